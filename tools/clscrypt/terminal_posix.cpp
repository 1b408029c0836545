// The tool's operating-system side on POSIX systems.

#include "terminal.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

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

int console_columns() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0) return size.ws_col;
    return 0;
}

namespace {

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

// Reads one line from the terminal. In canonical mode each read returns at
// most one line; the loop gathers a line that comes in pieces (text, then
// Ctrl-D). `ended` tells whether the line ended with Enter.
SecretText read_terminal_line(int fd, bool& ended) {
    constexpr std::size_t kPiece = 256;
    constexpr std::size_t kMax = std::size_t{64} << 10;  // beyond any key; the caller refuses it
    SecretText line;
    ended = false;
    while (line.size() <= kMax) {
        const std::size_t before = line.size();
        char* at = line.extend(kPiece);
        const ssize_t got = ::read(fd, at, kPiece);
        if (got < 0 && errno == EINTR) {
            line.truncate(before);
            continue;
        }
        if (got < 0) {
            const std::string reason = system_reason();
            line.truncate(before);
            throw ToolError("cannot read the key from the terminal: " + reason, kExitFailure);
        }
        line.truncate(before + static_cast<std::size_t>(got));
        if (got == 0) break;
        const std::size_t end = line.view().find('\n', before);
        if (end != std::string_view::npos) {
            line.truncate(end);
            ended = true;
            break;
        }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

}  // namespace

std::optional<SecretText> ask_hidden(const std::string& prompt) {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<SecretText> line;
    try {
        EchoOff quiet(fd);
        write_all_fd(fd, prompt.data(), prompt.size(), "the terminal");
        bool ended = false;
        line = read_terminal_line(fd, ended);
        // Enter is echoed even with echo off; Ctrl-D is not, so the next
        // output would start beside the prompt.
        if (!ended) write_all_fd(fd, "\n", 1, "the terminal");
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    return line;
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

long long write_some(int fd, const void* data, std::size_t size, std::string& error) {
    for (;;) {
        const ssize_t put = ::write(fd, data, size);
        if (put >= 0) return put;
        if (errno != EINTR) {
            error = system_reason();
            return -1;
        }
    }
}

int close_status(int fd) noexcept {
    // A failed close has already released the descriptor: never retry it,
    // and an interrupted one has closed it.
    if (::close(fd) == 0 || errno == EINTR) return 0;
    return errno;
}

bool unread(int fd, std::size_t count) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::lseek(fd, -static_cast<off_t>(count), SEEK_CUR) >= 0;
}

bool same_open_file(int a, int b) {
    struct stat sa {
    }, sb{};
    if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace clscrypt::tool
