#include "terminal.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "errors.hpp"

namespace clscrypt::tool {

std::vector<std::string> prepare_process(int argc, char** argv) {
    return {argv, argv + argc};
}

bool stdout_is_terminal() {
    return ::isatty(STDOUT_FILENO) == 1;
}
bool stderr_is_terminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

int terminal_columns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    if (const char* columns = std::getenv("COLUMNS")) {
        const int n = std::atoi(columns);
        if (n > 0) return n;
    }
    return 80;
}

namespace {

std::string system_reason() {
    return std::strerror(errno);
}

// Restores the terminal's settings however the prompt ends.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (::tcgetattr(fd_, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ECHONL;
            active_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    ~EchoOff() {
        if (active_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
    }

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

}  // namespace

std::optional<SecretText> ask_hidden(const std::string& prompt) {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<SecretText> line;
    {
        EchoOff quiet(fd);
        write_all_fd(fd, prompt.data(), prompt.size(), "the terminal");
        line = read_line_from_fd(fd, "the terminal");
    }
    ::close(fd);
    return line;
}

void wipe_memory(void* data, std::size_t size) noexcept {
    if (size != 0) ::explicit_bzero(data, size);
}

std::filesystem::path path_from_utf8(const std::string& utf8) {
    return utf8;
}
std::string path_to_utf8(const std::filesystem::path& path) {
    return path.string();
}

std::optional<std::string> environment_variable(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return value;
}

int open_for_reading(const std::filesystem::path& path, std::string& error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) error = system_reason();
    return fd;
}

long long read_some(int fd, void* data, std::size_t size, std::string& error) {
    for (;;) {
        const ssize_t got = ::read(fd, data, size);
        if (got >= 0) return got;
        if (errno != EINTR) {
            error = system_reason();
            return -1;
        }
    }
}

void close_fd(int fd) {
    ::close(fd);
}

SecretText read_line_from_fd(int fd, const std::string& what) {
    SecretText line;
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw ToolError("cannot read the key from " + what + ": " + system_reason(), kExitFailure);
        }
        if (got == 0 || c == '\n') break;
        line.push_back(c);
        c = 0;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string read_all_fd(int fd, const std::string& what) {
    std::string data;
    char buf[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buf, sizeof buf);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw ToolError("cannot read " + what + ": " + system_reason(), kExitFailure);
        }
        if (got == 0) break;
        data.append(buf, static_cast<std::size_t>(got));
    }
    return data;
}

void write_all_fd(int fd, const void* data, std::size_t size, const std::string& what) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = ::write(fd, p, size);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw ToolError("cannot write " + what + ": " + system_reason(), kExitFailure);
        }
        p += put;
        size -= static_cast<std::size_t>(put);
    }
}

}  // namespace clscrypt::tool
