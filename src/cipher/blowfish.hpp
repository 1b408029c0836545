#pragma once

// The Blowfish key schedule, with switches for the two places where the
// legacy tables depart from standard Blowfish (S-box arrangement and
// key-byte packing). The third departure, mixing a key into the tables as
// they stand, is simply what mix_key does: callers choose the starting
// tables. The block core it enciphers with is in kernels/block.hpp.
//
// Primitives here cannot fail.

#include <cstdint>
#include <span>

#include "cipher/kernels/block.hpp"
#include "cipher/kernels/tables.hpp"

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

/// How many key bytes the set-up consumes: later ones never enter it.
inline constexpr std::size_t kKeyBytesUsed = 72;

/// The 18 key words that `key` (cyclically repeated, 72 bytes consumed)
/// packs into. `key` must not be empty.
void pack_key(std::span<const std::uint8_t> key, KeyPacking packing, std::uint32_t (&words)[18]) noexcept;

/// Mixes `key` into the tables as they stand (521 encipherments, by the
/// key-schedule kernel of the backend in force). `key` must not be empty.
void mix_key(BlowfishTables& t, std::span<const std::uint8_t> key,
             KeyPacking packing = KeyPacking::AccumulatingOr) noexcept;

}  // namespace clscrypt::detail
