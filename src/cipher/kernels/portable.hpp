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
#include "common/byte_order.hpp"

namespace clscrypt::detail {

struct Chain {
    std::uint32_t l = 0;
    std::uint32_t r = 0;
};

using common::load_be32;
using common::store_be32;

/// Enciphers `len` bytes (a multiple of 8) in place; `chain` is the previous
/// ciphertext block on entry and the last one on return.
void cbc_encrypt(const BlowfishTables& t, std::uint8_t* data, std::size_t len, Chain& chain) noexcept;

/// Deciphers `len` bytes (a multiple of 8) in place; `chain` is the
/// ciphertext block before `data` on entry and the last ciphertext block of
/// `data` on return.
void cbc_decrypt(const BlowfishTables& t, std::uint8_t* data, std::size_t len, Chain& chain) noexcept;

/// One message of a batch enciphered chain by chain: `len` bytes (a
/// multiple of 8, possibly 0) at `data`, in place; `chain` as for
/// cbc_encrypt.
struct CbcLane {
    std::uint8_t* data = nullptr;
    std::size_t len = 0;
    Chain chain;
};

/// Enciphers every lane as cbc_encrypt would encipher it alone. The lanes'
/// chains are independent, so several run side by side: a slot whose message
/// ends takes up the next one, and once none is left the others finish
/// side by side in fewer slots.
void cbc_encrypt_lanes(const BlowfishTables& t, CbcLane* lanes, std::size_t count) noexcept;

}  // namespace clscrypt::detail
