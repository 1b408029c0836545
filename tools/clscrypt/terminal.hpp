#pragma once

// What the tool needs from the operating system: the terminal, file
// descriptors, arguments, environment and paths. terminal_posix.cpp serves
// POSIX systems, terminal_windows.cpp Windows, terminal_common.cpp what is
// the same on both; everything else in the tool is portable. Text crosses
// this interface as UTF-8 on every system.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "secret.hpp"

namespace clscrypt::tool {

inline constexpr int kStdinFd = 0;
inline constexpr int kStdoutFd = 1;
inline constexpr int kStderrFd = 2;

/// The C library's words for the current errno.
std::string system_reason();

/// The program's arguments as UTF-8 (on Windows, from the wide command
/// line). Also sets up standard input and output for binary data and the
/// console for UTF-8 and the progress bar's control sequences.
std::vector<std::string> prepare_process(int argc, char** argv);

bool stdout_is_terminal();
bool stderr_is_terminal();
/// The width of the terminal on standard error: the terminal's own, else
/// COLUMNS, else 80.
int terminal_columns();
/// The system's side of it: the width of the terminal on standard error, or
/// 0 when it has none.
int console_columns();

/// Asks on the controlling terminal with echo off: the line typed, without
/// its ending. Ends the line on the terminal when the answer ends without
/// one (Ctrl-D). Nothing when the process has no terminal.
std::optional<SecretText> ask_hidden(const std::string& prompt);

/// A path from UTF-8 text, and back. (On POSIX systems the bytes pass
/// unchanged.)
std::filesystem::path path_from_utf8(const std::string& utf8);
std::string path_to_utf8(const std::filesystem::path& path);

/// An environment variable's value as UTF-8; nothing when it is not set.
std::optional<std::string> environment_variable(const std::string& name);

/// Opens a file for reading: a file descriptor, or -1 with the system's
/// reason in `error`.
int open_for_reading(const std::filesystem::path& path, std::string& error);
/// Reads up to `size` bytes: how many, 0 at the end, -1 with the reason in
/// `error`.
long long read_some(int fd, void* data, std::size_t size, std::string& error);
/// Writes up to `size` bytes: how many (at least 1), or -1 with the reason in
/// `error`.
long long write_some(int fd, const void* data, std::size_t size, std::string& error);
/// Closes a file descriptor: 0, or the error number of a failed close (which
/// has released the descriptor all the same: never close it again).
int close_status(int fd) noexcept;
/// Closes a file descriptor that was only read.
void close_fd(int fd);

/// When `fd` is a regular file, moves its offset back by `count` bytes, so
/// that the next read gets them again, and returns true. Anything else
/// (pipes, terminals, devices) cannot give bytes back: false, nothing done.
bool unread(int fd, std::size_t count);

/// True when two descriptors read the same file, pipe or device (standard
/// input named again as fd:N or as a file).
bool same_open_file(int a, int b);

/// Reads all of a file descriptor.
std::string read_all_fd(int fd, const std::string& what);

/// Writes all of `data` to a file descriptor.
void write_all_fd(int fd, const void* data, std::size_t size, const std::string& what);

/// The last word on standard output, run as the process exits: flushes it
/// and closes it, and when anything written to it was lost (a full disk, a
/// closed descriptor, a device that refuses data) says "write error" and
/// ends the process with status 1, whatever the command's own status was.
/// An output that was closed from the start and never written to is fine.
void close_standard_output() noexcept;

}  // namespace clscrypt::tool
