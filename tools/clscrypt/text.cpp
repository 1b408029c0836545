#include "text.hpp"

#include <cstdint>
#include <cstdio>

#include "common/hex.hpp"
#include "common/utf.hpp"
#include "errors.hpp"

namespace clscrypt::tool {

namespace {

// Appends the UTF-16 form of `utf8` to `out` (a string or a Secret).
template <typename Out>
void decode_utf8(std::string_view utf8, std::string_view what, Out& out) {
    if (common::decode_utf8(utf8, out)) throw UsageError(std::string(what) + " is not valid UTF-8");
}

}  // namespace

Utf8Character utf8_character_at(std::string_view utf8, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(utf8[i]);
    const std::size_t len = b0 < 0x80             ? 1
                            : (b0 & 0xE0) == 0xC0 ? 2
                            : (b0 & 0xF0) == 0xE0 ? 3
                            : (b0 & 0xF8) == 0xF0 ? 4
                                                  : 0;
    std::u16string units;
    if (len == 0 || len > utf8.size() - i || common::decode_utf8(utf8.substr(i, len), units)) return {b0, 1, false};
    return {static_cast<char32_t>(common::code_point_at(units, 0).first), len, true};
}

std::string describe_character(char32_t c) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(c));
    const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
    const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
    if (control || surrogate || c > 0x10FFFF) return code;
    std::string character;
    common::append_utf8(character, c);
    return std::string(code) + " '" + character + "'";
}

std::optional<std::string> unmappable_problem(std::u16string_view text, const CodePage& codepage, std::string_view what,
                                              bool secret) {
    const auto index = codepage.FirstUnmappable(text);
    if (!index) return std::nullopt;
    // The position counts characters, so a pair of surrogates is one.
    std::size_t position = 1;
    for (std::size_t i = 0; i < *index; ++i) {
        if (text[i] < 0xDC00 || text[i] > 0xDFFF) ++position;
    }
    const auto [c, units] = common::code_point_at(text, *index);
    const std::string which = secret ? "a character" : describe_character(static_cast<char32_t>(c));
    std::string message = std::string(what) + " has " + which + " at position " + std::to_string(position) +
                          ", which code page " + std::to_string(codepage.Number()) + " lacks; ";
    std::string holder;
    for (const int number : CodePage::Available()) {
        const std::u16string_view one = text.substr(*index, units);
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

namespace {

// The character at byte `i` of `text` and its position in characters,
// for messages: whole characters, never a piece of one.
std::string describe_at(std::string_view text, std::size_t i) {
    std::size_t position = 1;
    for (std::size_t at = 0; at < i;) {
        at += utf8_character_at(text, at).length;
        ++position;
    }
    const Utf8Character d = utf8_character_at(text, i);
    char byte[32];
    std::snprintf(byte, sizeof byte, "the byte 0x%02X", static_cast<unsigned>(d.c));
    return (d.valid ? describe_character(d.c) : std::string(byte)) + " at position " + std::to_string(position);
}

}  // namespace

std::string from_hex(std::string_view hex, std::string_view what) {
    std::string out;
    out.reserve(hex.size() / 2);
    const auto problem = common::decode_hex(hex, common::is_hex_white_space,
                                            [&](std::uint8_t byte) { out.push_back(static_cast<char>(byte)); });
    if (problem && problem->what == common::HexProblem::What::OddDigits) {
        throw UsageError(std::string(what) + " has an odd number of hexadecimal digits");
    }
    if (problem) {
        throw UsageError(std::string(what) + " is not hexadecimal text (found " + describe_at(hex, problem->offset) +
                         ")");
    }
    return out;
}

void chomp(std::string& s) {
    if (!s.empty() && s.back() == '\n') {
        s.pop_back();
        if (!s.empty() && s.back() == '\r') s.pop_back();
    }
}

}  // namespace clscrypt::tool
