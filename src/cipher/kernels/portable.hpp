#pragma once

// CBC over whole 8-byte blocks, each block two big-endian 32-bit halves.
// The chaining value is carried in and out so a message can be processed in
// pieces (between progress events, or chunk by chunk from a file) with the
// same result as in one go.
//
// These are the portable kernels, the definition every accelerated kernel
// (dispatch.hpp) is checked against.

#include <cstddef>
#include <cstdint>

#include "cipher/kernels/block.hpp"

namespace clscrypt::detail {

struct Chain {
    std::uint32_t l = 0;
    std::uint32_t r = 0;
};

[[gnu::always_inline]] inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

[[gnu::always_inline]] inline void store_be32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

/// Enciphers `len` bytes (a multiple of 8) in place; `chain` is the previous
/// ciphertext block on entry and the last one on return.
void cbc_encrypt(const BlowfishTables& t, std::uint8_t* data, std::size_t len, Chain& chain) noexcept;

/// Deciphers `len` bytes (a multiple of 8) in place; `chain` is the
/// ciphertext block before `data` on entry and the last ciphertext block of
/// `data` on return.
void cbc_decrypt(const BlowfishTables& t, std::uint8_t* data, std::size_t len, Chain& chain) noexcept;

}  // namespace clscrypt::detail
