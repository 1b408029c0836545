// The parts of the tool's system side that are the same on every system,
// built on the few calls that terminal_posix.cpp and terminal_windows.cpp
// make to their system.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "errors.hpp"
#include "files.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

std::string system_reason() {
    return std::strerror(errno);
}

int terminal_columns() {
    if (const int columns = console_columns(); columns > 0) return columns;
    if (const char* columns = std::getenv("COLUMNS")) {
        const int n = std::atoi(columns);
        if (n > 0) return n;
    }
    return 80;
}

void close_fd(int fd) {
    (void)close_status(fd);
}

std::string read_all_fd(int fd, const std::string& what) {
    std::string data;
    char buf[1 << 16];
    std::string error;
    for (;;) {
        const long long got = read_some(fd, buf, sizeof buf, error);
        if (got < 0) throw ToolError("cannot read " + what + ": " + error, kExitFailure);
        if (got == 0) break;
        data.append(buf, static_cast<std::size_t>(got));
    }
    return data;
}

void write_all_fd(int fd, const void* data, std::size_t size, const std::string& what) {
    std::string error;
    if (!write_fd(fd, static_cast<const std::uint8_t*>(data), size, error)) {
        throw ToolError("cannot write " + what + ": " + error, kExitFailure);
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
    if (const int closed = close_status(kStdoutFd); closed != 0 && closed != EBADF) {
        lost = true;
        if (reason == 0) reason = closed;
    }
    if (!lost) return;
    std::string message = "clscrypt: write error on standard output";
    if (reason != 0) message += std::string(": ") + std::strerror(reason);
    message += "\n";
    std::string ignored;
    write_fd(kStderrFd, reinterpret_cast<const std::uint8_t*>(message.data()), message.size(), ignored);
    std::_Exit(kExitFailure);
}

}  // namespace clscrypt::tool
