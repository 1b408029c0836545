#pragma once

#include <cstddef>

namespace clscrypt::platform {

/// Overwrites `size` bytes with zeros in a way the compiler may not drop.
void secure_wipe(void* data, std::size_t size) noexcept;

/// Zeroes the vector registers that code may leave data in. Copying or
/// comparing key text goes through them (memcpy, memcmp), and what stays
/// there reaches memory later: the lazy binder saves every register to the
/// stack on a library function's first call, and so does a signal frame.
/// Called after key set-up. Does nothing where the calling convention makes
/// some of them callee-saved (the compiler would spill them to clear them).
void clear_vector_registers() noexcept;

}  // namespace clscrypt::platform
