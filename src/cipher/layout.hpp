#pragma once

// The message layout around the block cipher: sizes, the size descriptor,
// the form of the random words and the progress schedule. Everything here is
// pure arithmetic so that the in-memory and the file operations share it.

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "cipher/kernels/portable.hpp"

namespace clscrypt::detail {

inline constexpr std::uint64_t kHeaderSize = 12;  // two random words + size descriptor
inline constexpr std::uint64_t kMaxLength = std::numeric_limits<std::int32_t>::max();

/// T = 8 * ceil((N + 12) / 8), or nothing when T does not fit the format's
/// signed 32-bit lengths.
constexpr std::optional<std::uint64_t> encrypted_size(std::uint64_t n) noexcept {
    if (n > kMaxLength) {
        return std::nullopt;
    }
    const std::uint64_t t = (n + kHeaderSize + 7) / 8 * 8;
    if (t > kMaxLength) {
        return std::nullopt;
    }
    return t;
}

/// A ciphertext length the decryption can start on: whole blocks, and at
/// least the first block plus the one holding the descriptor.
constexpr bool valid_cipher_length(std::uint64_t m) noexcept {
    return m >= 16 && m % 8 == 0;
}

/// The descriptor test: S is accepted when it is not negative and M - S lies
/// in 12..19, i.e. S is exactly the message length a T = M layout can hold.
constexpr bool descriptor_fits(std::uint64_t m, std::int32_t s) noexcept {
    if (s < 0) {
        return false;
    }
    const auto size = static_cast<std::uint64_t>(s);
    return size + 12 <= m && m <= size + 19;
}

/// The descriptor as stored: bytes 8..11 of the plaintext, least significant
/// first. `left` is the left half of the second block, which holds those
/// bytes most significant first.
constexpr std::int32_t descriptor_from_left_half(std::uint32_t left) noexcept {
    const std::uint32_t s = (left >> 24) | ((left >> 8) & 0xFF00) | ((left << 8) & 0xFF0000) | (left << 24);
    return static_cast<std::int32_t>(s);
}

/// Round to the nearest integer, halfway cases to even, independent of the
/// floating-point environment the host program may have changed.
inline double round_half_even(double v) noexcept {
    const double f = std::floor(v);
    const double diff = v - f;
    if (diff > 0.5 || (diff == 0.5 && std::fmod(f, 2.0) != 0.0)) {
        return f + 1.0;
    }
    return f;
}

/// The form of a random header word: r is a single-precision value in
/// [0, 1) with 24 random bits, and the word is the integer nearest to
/// r * 2147483647 computed in double precision, halfway cases to even.
///
/// r is the 24 bits times 2^-24 exactly, so that product is the double
/// nearest to bits * 2147483647 (an integer below 2^55, so the double is an
/// integer too) times 2^-24. Taking the product of the bits unscaled, the
/// rounding is on its low 24 bits, in integers and without a branch: random
/// words would make a branch on the fraction wrong every other time, which
/// costs more than enciphering a short message's blocks.
inline std::uint32_t random_word_from_bits(std::uint32_t bits) noexcept {
    const auto scaled = static_cast<std::uint64_t>(static_cast<double>(bits & 0xFFFFFF) * 2147483647.0);
    const std::uint64_t whole = scaled >> 24;
    const std::uint64_t fraction = scaled & 0xFFFFFF;
    const std::uint64_t up =
        static_cast<std::uint64_t>(fraction > 0x800000) | (static_cast<std::uint64_t>(fraction == 0x800000) & whole);
    return static_cast<std::uint32_t>(whole + (up & 1));
}

/// When the Progress events of one operation fall, and with what values.
///
/// After the block at offset k an event is due when k has reached the
/// threshold; its value is floor(k / Total * 100) computed in double
/// precision with the division first, and the next threshold is the integer
/// nearest to (value + 1) / 100 * Total + 1. The first threshold is 0, so
/// the first block always reports 0.
class ProgressSchedule {
public:
    explicit ProgressSchedule(std::uint64_t total) noexcept : total_(static_cast<double>(total)) {}

    /// Offset of the first block at or past the threshold.
    [[nodiscard]] std::uint64_t next_event_block() const noexcept { return (threshold_ + 7) / 8 * 8; }

    /// The value to report after the block at `k` (which must be the block
    /// next_event_block() named); moves the threshold on.
    std::int32_t advance(std::uint64_t k) noexcept {
        const double pct = std::floor(static_cast<double>(k) / total_ * 100.0);
        threshold_ = static_cast<std::uint64_t>(round_half_even((pct + 1.0) / 100.0 * total_ + 1.0));
        return static_cast<std::int32_t>(pct);
    }

private:
    double total_;
    std::uint64_t threshold_ = 0;
};

}  // namespace clscrypt::detail

namespace clscrypt::detail {

struct Overlap;  // cipher/parallel.hpp

/// One CBC pass over a message of `total` bytes, fed in pieces: the chaining
/// value, the progress schedule and the running percentage carry over from
/// piece to piece, so a message processed in chunks (from a file) chains and
/// reports exactly as the whole array would.
struct CbcRun {
    CbcRun(std::uint64_t total_bytes, bool reports) noexcept
        : schedule(total_bytes), total(total_bytes), report(reports) {}

    Chain chain;
    ProgressSchedule schedule;
    std::uint64_t total;
    std::uint64_t offset = 0;  // of the next piece within the message
    std::int32_t percent = 0;  // the running percentage listeners see
    bool report;               // whether anyone listens
    // Work for the calling thread during the next piece (a decryption
    // piece shared out between threads runs it beside the workers; any
    // other piece runs it once done), cleared once run.
    const Overlap* overlap = nullptr;
};

}  // namespace clscrypt::detail
