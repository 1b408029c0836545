// The word operations, checked at compile time on their edge values; the
// SHA-256 known answers check how the kernels combine them.

#include <bit>
#include <initializer_list>

#include "digest/kernels/word_ops.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

using namespace clscrypt::detail;

// Shifts: bits leave at the edge and zeros come in; count 0 is the identity.
static_assert(ShiftLeft(1, 31) == 0x80000000U);
static_assert(ShiftLeft(0x40000000, 1) == 0x80000000U);
static_assert(ShiftLeft(0xFFFFFFFF, 4) == 0xFFFFFFF0U);
static_assert(ShiftLeft(0x12345678, 0) == 0x12345678U);
static_assert(ShiftRight(0x80000000, 31) == 1U);
static_assert(ShiftRight(0xFFFFFFFF, 1) == 0x7FFFFFFFU);
static_assert(ShiftRight(0xFFFFFFFF, 28) == 15U);
static_assert(ShiftRight(0x12345678, 0) == 0x12345678U);
static_assert(ShiftRightMasked(0x80000000, 31 + 32) == 1U);
static_assert(ShiftRightMasked(0x12345678, 32) == 0x12345678U);

// A shift left by 31 keeps nothing but bit 0, whatever the other bits hold.
constexpr bool shift_by_31_sees_only_bit_0() {
    for (const std::uint32_t x : {0x0U, 0x1U, 0x2U, 0x3U, 0x7FFFFFFEU, 0x7FFFFFFFU, 0x80000000U, 0xFFFFFFFEU,
                                  0xFFFFFFFFU, 0xAAAAAAAAU, 0x55555555U}) {
        if (ShiftLeft(x, 31) != ((x & 1U) != 0 ? 0x80000000U : 0U)) return false;
    }
    return true;
}
static_assert(shift_by_31_sees_only_bit_0());

// Addition wraps modulo 2^32 where signed arithmetic would overflow.
static_assert(AddWords(0x7FFFFFFF, 1) == 0x80000000U);
static_assert(AddWords(0xFFFFFFFF, 1) == 0U);
static_assert(AddWords(0x80000000, 0x80000000) == 0U);
static_assert(AddWords(0xC0000000, 0x40000000) == 0U);
static_assert(AddWords(0xFFFFFFFF, 0xFFFFFFFF) == 0xFFFFFFFEU);

// Bit selection and majority, bit by bit.
static_assert(Choose(0xFF00FF00, 0x12345678, 0x9ABCDEF0) == 0x12BC56F0U);
static_assert(Majority(0xFF00FF00, 0xF0F0F0F0, 0xCCCCCCCC) == 0xFCC0FCC0U);

// Rotation: the count is taken modulo 32, and 0 (or 32) gives the word back.
static_assert(RotateRight(1, 1) == 0x80000000U);
static_assert(RotateRight(0x12345678, 0) == 0x12345678U);
static_assert(RotateRight(0x12345678, 32) == 0x12345678U);
static_assert(RotateRight(0x12345678, 33) == RotateRight(0x12345678, 1));
static_assert(RotateRight(0x12345678, 4) == 0x81234567U);

constexpr bool rotation_matches_std_rotr_for_every_count() {
    for (const std::uint32_t x : {0x1U, 0x80000001U, 0x12345678U, 0xDEADBEEFU, 0xFFFFFFFEU}) {
        for (unsigned n = 0; n < 64; ++n) {
            if (RotateRight(x, n) != std::rotr(x, static_cast<int>(n % 32))) return false;
            if (RotateRight(x, n + 32) != RotateRight(x, n)) return false;
        }
    }
    return true;
}
static_assert(rotation_matches_std_rotr_for_every_count());

// The four sigma functions on a single set bit: each output bit comes from one
// rotation or shift, so the result shows every count at once.
static_assert(BigSigma0(1) == (std::rotr(1U, 2) | std::rotr(1U, 13) | std::rotr(1U, 22)));
static_assert(BigSigma1(1) == (std::rotr(1U, 6) | std::rotr(1U, 11) | std::rotr(1U, 25)));
static_assert(SmallSigma0(0x80000000) == (0x01000000U | 0x00002000U | 0x10000000U));
static_assert(SmallSigma1(0x80000000) == (0x00004000U | 0x00001000U | 0x00200000U));
// The small sigmas shift, not rotate, in their last term: bit 0 falls off.
static_assert(SmallSigma0(1) == (std::rotr(1U, 7) | std::rotr(1U, 18)));
static_assert(SmallSigma1(1) == (std::rotr(1U, 17) | std::rotr(1U, 19)));

TEST(WordOps, CountsOutsideTheWordAreRejected) {
#ifdef NDEBUG
    GTEST_SKIP() << "assertions are compiled out in this build";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    volatile unsigned count = 32;
    EXPECT_DEATH((void)ShiftLeft(1, count), "Count < 32");
    EXPECT_DEATH((void)ShiftRight(1, count), "Count < 32");
    // The masked forms take any count.
    EXPECT_EQ(ShiftRightMasked(0x80000000U, count + 31), 1U);
    EXPECT_EQ(RotateRight(0x80000000U, count + 31), 1U);
#endif
}

}  // namespace
}  // namespace clscrypt::test
