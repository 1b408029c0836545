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

void close_standard_output() noexcept {
    // std::cout shares the C stream's buffer; a failed write leaves its
    // mark on both. The reason is known only when the last flush fails.
    errno = 0;
    std::cout.flush();
    bool lost = std::cout.bad();
    int reason = lost ? errno : 0;
    if (std::fflush(stdout) != 0) {
        lost = true;
        reason = errno;
    }
    if (std::ferror(stdout) != 0) lost = true;
    // Some file systems report a failed write only when the file is closed.
    // EBADF: standard output was closed from the start; that is no failure
    // unless something was written (and then the write failed already).
    if (::close(STDOUT_FILENO) != 0 && errno != EBADF && errno != EINTR) {
        lost = true;
        if (reason == 0) reason = errno;
    }
    if (!lost) return;
    std::string message = "clscrypt: write error on standard output";
    if (reason != 0) message += std::string(": ") + std::strerror(reason);
    message += "\n";
    [[maybe_unused]] const ssize_t ignored = ::write(STDERR_FILENO, message.data(), message.size());
    ::_exit(kExitFailure);
}

}  // namespace clscrypt::tool
