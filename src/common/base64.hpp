#pragma once

// Base64 (RFC 4648, standard alphabet), a common export form of binary
// database columns. Written with padding; read with or without it, but
// strictly otherwise: no other characters, no bits left over in the last
// character, no data after padding.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace clscrypt::common {

inline constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/// The length of the padded Base64 text of `size` bytes.
constexpr std::size_t base64_length(std::size_t size) noexcept {
    return (size + 2) / 3 * 4;
}

/// Writes base64_length(size) characters at `out`.
inline void encode_base64(const std::uint8_t* data, std::size_t size, char* out) noexcept {
    std::size_t i = 0;
    for (; i + 3 <= size; i += 3, out += 4) {
        const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
        out[0] = kBase64Alphabet[v >> 18];
        out[1] = kBase64Alphabet[(v >> 12) & 63];
        out[2] = kBase64Alphabet[(v >> 6) & 63];
        out[3] = kBase64Alphabet[v & 63];
    }
    if (i < size) {
        const bool two = size - i == 2;
        const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (two ? std::uint32_t{data[i + 1]} << 8 : 0U);
        out[0] = kBase64Alphabet[v >> 18];
        out[1] = kBase64Alphabet[(v >> 12) & 63];
        out[2] = two ? kBase64Alphabet[(v >> 6) & 63] : '=';
        out[3] = '=';
    }
}

constexpr int base64_value(char c) noexcept {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

/// Reads Base64 text, padded or not, appending each byte with
/// `put(std::uint8_t)`. Returns the offset of the first character that
/// cannot stand where it stands (the text's length when it ends too early).
template <typename Put>
std::optional<std::size_t> decode_base64(std::string_view text, Put put) {
    std::size_t end = text.size();
    // Up to two '=' close a text whose length is a multiple of four.
    if (end % 4 == 0 && end >= 4) {
        if (text[end - 1] == '=') --end;
        if (text[end - 1] == '=') --end;
    }
    if (end % 4 == 1) return end - 1;  // one character cannot hold a byte
    std::uint32_t bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const int v = base64_value(text[i]);
        if (v < 0) return i;
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if (++count == 4) {
            put(static_cast<std::uint8_t>(bits >> 16));
            put(static_cast<std::uint8_t>(bits >> 8));
            put(static_cast<std::uint8_t>(bits));
            bits = 0;
            count = 0;
        }
    }
    // A short last group: its spare low bits must be zero, as an encoder
    // writes them, so each byte string has one text.
    if (count == 2) {
        if ((bits & 0xF) != 0) return end - 1;
        put(static_cast<std::uint8_t>(bits >> 4));
    } else if (count == 3) {
        if ((bits & 0x3) != 0) return end - 1;
        put(static_cast<std::uint8_t>(bits >> 10));
        put(static_cast<std::uint8_t>(bits >> 2));
    }
    return std::nullopt;
}

}  // namespace clscrypt::common
