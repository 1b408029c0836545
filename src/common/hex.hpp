#pragma once

// Hexadecimal digits of bytes, in the two shapes the system uses: the
// format's own text (two upper-case digits a byte, as the legacy string
// conversion writes them) and digests (lower case). Reading is lenient: any
// case, and any characters a caller calls separators between the pairs.
// The legacy HexToStr parser, with its own acceptance rules, is not this one.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace clscrypt::common {

enum class HexCase { Upper, Lower };

/// Writes 2 * size digits for `size` bytes at `out`.
constexpr void encode_hex(const std::uint8_t* data, std::size_t size, char* out,
                          HexCase letters = HexCase::Upper) noexcept {
    const char* digits = letters == HexCase::Upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
}

/// The value of one hexadecimal digit of either case, or -1.
constexpr int hex_digit_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

/// Why lenient hexadecimal text could not be read, and where.
struct HexProblem {
    enum class What { InvalidCharacter, OddDigits } what;
    std::size_t offset;  // of the offending character (the end for OddDigits)
};

/// Reads hexadecimal text of either case, skipping the characters for which
/// `is_separator` holds, and appends each byte with `put(std::uint8_t)`.
/// Separators are skipped wherever they stand, so text wrapped at any column
/// still reads.
template <typename IsSeparator, typename Put>
std::optional<HexProblem> decode_hex(std::string_view text, IsSeparator is_separator, Put put) {
    int high = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int v = hex_digit_value(text[i]);
        if (v < 0) {
            if (!is_separator(text[i])) return HexProblem{HexProblem::What::InvalidCharacter, i};
            continue;
        }
        if (high < 0) {
            high = v;
        } else {
            put(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) return HexProblem{HexProblem::What::OddDigits, text.size()};
    return std::nullopt;
}

/// The one rule for reading a ciphertext's hexadecimal text: between digits,
/// white space (space, tab, LF, VT, FF, CR) and ASCII punctuation are skipped
/// wherever they stand, whatever separator the writer chose; letters past F
/// and anything else are not hexadecimal text.
constexpr bool is_ciphertext_hex_separator(char c) noexcept {
    if (c == ' ' || (c >= '\t' && c <= '\r')) return true;
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}

/// How many leading characters of ciphertext hex to pass over: 2 for the
/// "\x" that PostgreSQL puts before a bytea's digits, else 0.
constexpr std::size_t ciphertext_hex_prefix(std::string_view text) noexcept {
    return text.size() >= 2 && text[0] == '\\' && (text[1] == 'x' || text[1] == 'X') ? 2 : 0;
}

/// White space (space, tab, CR, LF) as separators: hex pasted from a file,
/// a terminal or the legacy "1F 48 ..." form.
constexpr bool is_hex_white_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace clscrypt::common
