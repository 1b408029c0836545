#pragma once

// The Blowfish block core: the round function and the encipherment and
// decipherment of one block, inline for the kernels to build on.

#include <cstdint>

#include "cipher/kernels/tables.hpp"

namespace clscrypt::detail {

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
