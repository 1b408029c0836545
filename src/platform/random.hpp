#pragma once

#include <cstdint>
#include <span>

namespace clscrypt::platform {

/// Fills `out` from the operating system's cryptographic random source.
/// Throws RuntimeError with the system's error when the source fails.
void system_random(std::span<std::uint8_t> out);

/// The same source, drawn a few hundred bytes at a time into a per-thread
/// reserve: a system call costs microseconds, far more than enciphering a
/// short message. Bytes are handed out once and wiped from the reserve as
/// they go; a forked child discards the reserve it inherited, so parent and
/// child never hand out the same bytes. For requests of a few bytes.
void system_random_buffered(std::span<std::uint8_t> out);

}  // namespace clscrypt::platform
