#pragma once

#include <cstddef>

namespace clscrypt::platform {

/// Overwrites `size` bytes with zeros in a way the compiler may not drop.
void secure_wipe(void* data, std::size_t size) noexcept;

}  // namespace clscrypt::platform
