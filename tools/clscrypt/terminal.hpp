#pragma once

#include <optional>
#include <string>

#include "secret.hpp"

namespace clscrypt::tool {

bool stdout_is_terminal();
bool stderr_is_terminal();

/// Asks on the controlling terminal with echo off. Nothing when the process
/// has no terminal.
std::optional<SecretText> ask_hidden(const std::string& prompt);

/// Reads the first line (without its ending) of file descriptor `fd`, one
/// byte at a time so nothing after the line is consumed, into a buffer that
/// is wiped when it goes.
SecretText read_line_from_fd(int fd, const std::string& what);

/// Reads all of a file descriptor.
std::string read_all_fd(int fd, const std::string& what);

/// Writes all of `data` to a file descriptor.
void write_all_fd(int fd, const void* data, std::size_t size, const std::string& what);

}  // namespace clscrypt::tool
