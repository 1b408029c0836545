#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace clscrypt::detail {

// The first 1042 words of the fractional part of pi, most significant hex
// digit first: words 0..17 are the Blowfish P-array, 18..1041 the four
// standard S-boxes one after the other (S1 first).
inline constexpr std::size_t kPiWordCount = 1042;
extern const std::array<std::uint32_t, kPiWordCount> kPiWords;

}  // namespace clscrypt::detail
