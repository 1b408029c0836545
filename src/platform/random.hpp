#pragma once

#include <cstdint>
#include <span>

namespace clscrypt::platform {

/// Fills `out` from the operating system's cryptographic random source.
/// Throws RuntimeError with the system's error when the source fails.
void system_random(std::span<std::uint8_t> out);

}  // namespace clscrypt::platform
