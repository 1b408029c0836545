#pragma once

// The Blowfish block core: round function, block encipherment and the key
// schedule, with switches for the two places where the legacy tables depart
// from standard Blowfish (S-box arrangement and key-byte packing). The third
// departure, mixing a key into the tables as they stand, is simply what
// mix_key does: callers choose the starting tables.
//
// Primitives here cannot fail.

#include <cstdint>
#include <span>

#include "clscrypt/cipher.hpp"

namespace clscrypt::detail {

enum class SboxArrangement {
    // The 1024 pi words dealt out round-robin: box j entry x holds word
    // 4x + j of the concatenated standard S-boxes.
    Legacy,
    // Standard Blowfish: box j entry x holds word 256j + x.
    Standard,
};

enum class KeyPacking {
    // Each key word accumulates its bytes with a bitwise or while shifting:
    // bytes k0..k3 give (k0, k0|k1, k0|k1|k2, k0|k1|k2|k3) from the top.
    AccumulatingOr,
    // Standard Blowfish: the four bytes side by side, k0 most significant.
    Standard,
};

/// Fills `t` with the tables construction leaves.
void initial_tables(BlowfishTables& t, SboxArrangement arrangement = SboxArrangement::Legacy) noexcept;

/// The 18 key words that `key` (cyclically repeated, 72 bytes consumed)
/// packs into. `key` must not be empty.
void pack_key(std::span<const std::uint8_t> key, KeyPacking packing, std::uint32_t (&words)[18]) noexcept;

/// Mixes `key` into the tables as they stand (521 encipherments, by the
/// key-schedule kernel of the backend in force). `key` must not be empty.
void mix_key(BlowfishTables& t, std::span<const std::uint8_t> key,
             KeyPacking packing = KeyPacking::AccumulatingOr) noexcept;

[[gnu::always_inline]] inline std::uint32_t round_f(const BlowfishTables& t, std::uint32_t x) noexcept {
    return ((t.s[0][x >> 24] + t.s[1][(x >> 16) & 0xFF]) ^ t.s[2][(x >> 8) & 0xFF]) + t.s[3][x & 0xFF];
}

// Sixteen rounds with the last exchange of halves undone, then the output
// whitening: P[16] into the right half, P[17] into the left.
[[gnu::always_inline]] inline void encipher(const BlowfishTables& t, std::uint32_t& l, std::uint32_t& r) noexcept {
    std::uint32_t L = l;
    std::uint32_t R = r;
#define CLSCRYPT_BF_ENC(i)           \
    L ^= t.p[i];                     \
    R ^= round_f(t, L) ^ t.p[i + 1]; \
    L ^= round_f(t, R);
    CLSCRYPT_BF_ENC(0)
    CLSCRYPT_BF_ENC(2)
    CLSCRYPT_BF_ENC(4)
    CLSCRYPT_BF_ENC(6)
    CLSCRYPT_BF_ENC(8)
    CLSCRYPT_BF_ENC(10)
    CLSCRYPT_BF_ENC(12)
    CLSCRYPT_BF_ENC(14)
#undef CLSCRYPT_BF_ENC
    l = R ^ t.p[17];
    r = L ^ t.p[16];
}

[[gnu::always_inline]] inline void decipher(const BlowfishTables& t, std::uint32_t& l, std::uint32_t& r) noexcept {
    std::uint32_t L = r ^ t.p[16];
    std::uint32_t R = l ^ t.p[17];
#define CLSCRYPT_BF_DEC(i)           \
    L ^= round_f(t, R);              \
    R ^= t.p[i + 1] ^ round_f(t, L); \
    L ^= t.p[i];
    CLSCRYPT_BF_DEC(14)
    CLSCRYPT_BF_DEC(12)
    CLSCRYPT_BF_DEC(10)
    CLSCRYPT_BF_DEC(8)
    CLSCRYPT_BF_DEC(6)
    CLSCRYPT_BF_DEC(4)
    CLSCRYPT_BF_DEC(2)
    CLSCRYPT_BF_DEC(0)
#undef CLSCRYPT_BF_DEC
    l = L;
    r = R;
}

}  // namespace clscrypt::detail
