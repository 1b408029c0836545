#pragma once

// The 32-bit word operations of SHA-256 as small constexpr functions.
//
// The old class built these from signed arithmetic, shifting by multiplying
// and dividing by powers of two and adding with overflow checks; here they
// are plain unsigned operations, so every result is defined and reduced
// modulo 2^32 by the type itself. The compression kernels use them (or the
// instructions they stand for) and the compiler turns each into one or two
// machine instructions.
//
// Shift counts are 0..31. The callers pass constants, or counts already
// masked with 31, so a larger count is a programming error: it is asserted,
// which in a constant expression makes the expression fail to compile.

#include <cassert>
#include <cstdint>

namespace clscrypt::detail {

[[nodiscard]] constexpr std::uint32_t ShiftLeft(std::uint32_t Value, unsigned Count) noexcept {
    assert(Count < 32);
    return Value << Count;
}

/// Logical shift: zeros come in from the top.
[[nodiscard]] constexpr std::uint32_t ShiftRight(std::uint32_t Value, unsigned Count) noexcept {
    assert(Count < 32);
    return Value >> Count;
}

/// Sum modulo 2^32.
[[nodiscard]] constexpr std::uint32_t AddWords(std::uint32_t X, std::uint32_t Y) noexcept {
    return static_cast<std::uint32_t>(X + Y);
}

/// Each bit from Y where X has a one, else from Z.
[[nodiscard]] constexpr std::uint32_t Choose(std::uint32_t X, std::uint32_t Y, std::uint32_t Z) noexcept {
    return (X & Y) ^ (~X & Z);
}

/// Each bit set where at least two of X, Y, Z have it.
[[nodiscard]] constexpr std::uint32_t Majority(std::uint32_t X, std::uint32_t Y, std::uint32_t Z) noexcept {
    return (X & (Y ^ Z)) ^ (Y & Z);
}

/// Logical right shift by N & 31.
[[nodiscard]] constexpr std::uint32_t ShiftRightMasked(std::uint32_t X, unsigned N) noexcept {
    return ShiftRight(X, N & 31U);
}

/// Rotation right by N & 31. The left part shifts by (32 - n) & 31, so a
/// count of 0 (or 32) gives X back rather than shifting by 32; the old
/// composition raised an overflow error there, a case SHA-256 never reaches.
[[nodiscard]] constexpr std::uint32_t RotateRight(std::uint32_t X, unsigned N) noexcept {
    const unsigned n = N & 31U;
    return ShiftRight(X, n) | ShiftLeft(X, (32U - n) & 31U);
}

[[nodiscard]] constexpr std::uint32_t BigSigma0(std::uint32_t X) noexcept {
    return RotateRight(X, 2) ^ RotateRight(X, 13) ^ RotateRight(X, 22);
}

[[nodiscard]] constexpr std::uint32_t BigSigma1(std::uint32_t X) noexcept {
    return RotateRight(X, 6) ^ RotateRight(X, 11) ^ RotateRight(X, 25);
}

[[nodiscard]] constexpr std::uint32_t SmallSigma0(std::uint32_t X) noexcept {
    return RotateRight(X, 7) ^ RotateRight(X, 18) ^ ShiftRight(X, 3);
}

[[nodiscard]] constexpr std::uint32_t SmallSigma1(std::uint32_t X) noexcept {
    return RotateRight(X, 17) ^ RotateRight(X, 19) ^ ShiftRight(X, 10);
}

}  // namespace clscrypt::detail
