#pragma once

// The key-dependent tables the block cipher works from. The kernels read
// them; the key schedule (cipher/blowfish.hpp) fills them; an instance of
// the public class owns one set behind its private state.

#include <array>
#include <cstdint>

namespace clscrypt::detail {

/// The P-array and the four S-boxes, box-major (s[box][entry]).
struct BlowfishTables {
    std::array<std::uint32_t, 18> p;
    std::array<std::array<std::uint32_t, 256>, 4> s;
};

/// The same tables split into bytes for the vector decryption kernel, which
/// looks up 64 blocks at once in 256-byte planes: s[box][k][x] is byte k
/// (0 least significant) of S-box entry x, and every byte of p[i][k] is
/// byte k of P[i].
struct BytePlanes {
    alignas(64) std::array<std::array<std::array<std::uint8_t, 256>, 4>, 4> s;
    std::array<std::array<std::uint32_t, 4>, 18> p;
};

}  // namespace clscrypt::detail
