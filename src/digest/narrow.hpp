#pragma once

#include <cstddef>
#include <cstdint>

namespace clscrypt::detail {

/// Writes the low 8 bits of each of `count` characters to `out`: the bytes
/// the legacy hash takes from a text.
void narrow_low_bytes(const char16_t* text, std::size_t count, std::uint8_t* out) noexcept;

}  // namespace clscrypt::detail
