#include "text.hpp"

#include <cstdint>
#include <cstdio>

#include "errors.hpp"

namespace clscrypt::tool {

namespace {

// Appends the UTF-16 form of `utf8` to `out` (a string or a Secret).
template <typename Out>
void decode_utf8(std::string_view utf8, std::string_view what, Out& out) {
    auto bad = [&] { throw UsageError(std::string(what) + " is not valid UTF-8"); };
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b0 = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = 0;
        std::size_t len = 0;
        if (b0 < 0x80) {
            cp = b0;
            len = 1;
        } else if ((b0 & 0xE0) == 0xC0) {
            cp = b0 & 0x1F;
            len = 2;
        } else if ((b0 & 0xF0) == 0xE0) {
            cp = b0 & 0x0F;
            len = 3;
        } else if ((b0 & 0xF8) == 0xF0) {
            cp = b0 & 0x07;
            len = 4;
        } else {
            bad();
        }
        if (i + len > utf8.size()) bad();
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(utf8[i + k]);
            if ((b & 0xC0) != 0x80) bad();
            cp = (cp << 6) | (b & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        static constexpr std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) bad();
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
}

// The character whose UTF-8 form starts at `utf8[i]`, and its length;
// a byte that starts no valid sequence stands for itself with length 1 and
// `valid` false.
struct Decoded {
    char32_t c;
    std::size_t length;
    bool valid;
};

Decoded decode_one(std::string_view utf8, std::size_t i) {
    std::u16string unit;
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    const std::size_t len = b0 < 0x80             ? 1
                            : (b0 & 0xE0) == 0xC0 ? 2
                            : (b0 & 0xF0) == 0xE0 ? 3
                            : (b0 & 0xF8) == 0xF0 ? 4
                                                  : 0;
    if (len == 0 || i + len > utf8.size()) return {b0, 1, false};
    try {
        decode_utf8(utf8.substr(i, len), "", unit);
    } catch (const UsageError&) {
        return {b0, 1, false};
    }
    const char32_t c = unit.size() == 2 ? 0x10000 + ((char32_t(unit[0]) - 0xD800) << 10) + (char32_t(unit[1]) - 0xDC00)
                                        : char32_t(unit[0]);
    return {c, len, true};
}

std::string utf8_of(char32_t c) {
    std::u16string units;
    if (c >= 0x10000) {
        units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
        units.push_back(static_cast<char16_t>(c));
    }
    return utf16_to_utf8(units);
}

}  // namespace

std::string describe_character(char32_t c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    if (control || surrogate || c > 0x10FFFF) return code;
    return std::string(code) + " '" + utf8_of(c) + "'";
}

std::optional<std::string> unmappable_problem(std::u16string_view text, const CodePage& codepage,
                                              std::string_view what) {
    const auto index = codepage.FirstUnmappable(text);
    if (!index) return std::nullopt;
    // The position counts characters, so a pair of surrogates is one.
    std::size_t position = 1;
    for (std::size_t i = 0; i < *index; ++i) {
        if (text[i] < 0xDC00 || text[i] > 0xDFFF) ++position;
    }
    char32_t c = text[*index];
    const bool pair = c >= 0xD800 && c <= 0xDBFF && *index + 1 < text.size() && text[*index + 1] >= 0xDC00 &&
                      text[*index + 1] <= 0xDFFF;
    if (pair) c = 0x10000 + ((c - 0xD800) << 10) + (char32_t(text[*index + 1]) - 0xDC00);
    std::string message = std::string(what) + " has " + describe_character(c) + " at position " +
                          std::to_string(position) + ", which code page " + std::to_string(codepage.Number()) +
                          " lacks; ";
    std::string holder;
    for (const int number : CodePage::Available()) {
        const std::u16string_view one = text.substr(*index, pair ? 2 : 1);
        if (!CodePage::FromNumber(number).FirstUnmappable(one)) {
            holder = std::to_string(number);
            break;
        }
    }
    message += holder.empty() ? "no code page that --codepage offers has it; add --replace-unmappable"
                              : "choose a code page that has it with --codepage N (" + holder +
                                    " has it), or add --replace-unmappable";
    message += " to turn such characters into '?' as the legacy conversion does";
    return message;
}

std::u16string utf8_to_utf16(std::string_view utf8, std::string_view what) {
    std::u16string out;
    out.reserve(utf8.size());
    decode_utf8(utf8, what, out);
    return out;
}

SecretKey utf8_to_key(std::string_view utf8, std::string_view what) {
    SecretKey out;
    decode_utf8(utf8, what, out);
    return out;
}

std::string utf16_to_utf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        std::uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
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
    return out;
}

std::string to_hex(const unsigned char* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out(size * 2, '0');
    for (std::size_t i = 0; i < size; ++i) {
        out[2 * i] = kDigits[data[i] >> 4];
        out[2 * i + 1] = kDigits[data[i] & 15];
    }
    return out;
}

namespace {

// The character at byte `i` of `text` and its position in characters,
// for messages: whole characters, never a piece of one.
std::string describe_at(std::string_view text, std::size_t i) {
    std::size_t position = 1;
    for (std::size_t at = 0; at < i;) {
        at += decode_one(text, at).length;
        ++position;
    }
    const Decoded d = decode_one(text, i);
    char byte[32];
    std::snprintf(byte, sizeof byte, "the byte 0x%02X", static_cast<unsigned>(d.c));
    return (d.valid ? describe_character(d.c) : std::string(byte)) + " at position " + std::to_string(position);
}

}  // namespace

std::string from_hex(std::string_view hex, std::string_view what) {
    std::string out;
    out.reserve(hex.size() / 2);
    int high = -1;
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const char c = hex[i];
        int v = -1;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        else
            throw UsageError(std::string(what) + " is not hexadecimal text (found " + describe_at(hex, i) + ")");
        if (high < 0) {
            high = v;
        } else {
            out.push_back(static_cast<char>(high * 16 + v));
            high = -1;
        }
    }
    if (high >= 0) throw UsageError(std::string(what) + " has an odd number of hexadecimal digits");
    return out;
}

void chomp(std::string& s) {
    if (!s.empty() && s.back() == '\n') {
        s.pop_back();
        if (!s.empty() && s.back() == '\r') s.pop_back();
    }
}

}  // namespace clscrypt::tool
