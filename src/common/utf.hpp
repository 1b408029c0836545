#pragma once

// UTF-8 and UTF-16, the two encodings the system's surfaces meet: the
// library's strings are UTF-16 (the legacy classes' 16-bit characters),
// command lines, files, C and SQL callers speak UTF-8.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace clscrypt::common {

/// Decodes strict UTF-8 (no overlong forms, no surrogates, nothing past
/// U+10FFFF) and appends UTF-16 units with `out.push_back(char16_t)`, so a
/// caller may decode into a buffer that wipes itself. Returns the offset of
/// the first byte of the first invalid sequence, or nothing when all is valid
/// (what was appended before the fault stays appended).
template <typename Out>
std::optional<std::size_t> decode_utf8(std::string_view utf8, Out& out) {
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = 0;
        std::size_t len = 0;
        if (b0 < 0x80) {
            cp = b0;
            len = 1;
        } else if ((b0 & 0xE0U) == 0xC0) {
            cp = b0 & 0x1FU;
            len = 2;
        } else if ((b0 & 0xF0U) == 0xE0) {
            cp = b0 & 0x0FU;
            len = 3;
        } else if ((b0 & 0xF8U) == 0xF0) {
            cp = b0 & 0x07U;
            len = 4;
        } else {
            return i;
        }
        if (len > utf8.size() - i) return i;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0U) != 0x80) return i;
            cp = (cp << 6) | (b & 0x3FU);
        }
        static constexpr std::uint32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kShortest[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return i;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return std::nullopt;
}

/// The code point at `i` of a UTF-16 text (a surrogate pair as one; a lone
/// surrogate as itself) and the number of units it takes.
inline std::pair<std::uint32_t, std::size_t> code_point_at(std::u16string_view utf16, std::size_t i) noexcept {
    const std::uint32_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
        return {0x10000 + ((u - 0xD800) << 10) + (utf16[i + 1] - 0xDC00U), 2};
    }
    return {u, 1};
}

/// Appends the UTF-8 form of one code point; a lone surrogate becomes U+FFFD.
inline void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

/// UTF-16 to UTF-8; lone surrogates become U+FFFD.
inline std::string utf16_to_utf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size();) {
        const auto [cp, units] = code_point_at(utf16, i);
        append_utf8(out, cp);
        i += units;
    }
    return out;
}

}  // namespace clscrypt::common
