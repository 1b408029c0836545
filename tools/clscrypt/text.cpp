#include "text.hpp"

#include <clscrypt/policy.hpp>

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

std::string library_words(const RuntimeError& e) {
    std::string text = e.what();
    const std::string legacy = StandardDescription(e.Number()) + ": ";
    if (legacy.size() > 2 && text.compare(0, legacy.size(), legacy) == 0) text.erase(0, legacy.size());
    return text;
}

std::string unmappable_message(const RuntimeError& e) {
    return library_words(e) +
           "; choose a code page that has it with --codepage N, or add --replace-unmappable to turn such "
           "characters into '?' as the legacy conversion does";
}

void check_mappable(std::u16string_view text, const CodePage& codepage, std::string_view what) {
    try {
        codepage.CheckMappable(text, Unmappable::Refuse, what);
    } catch (const RuntimeError& e) {
        if (e.Kind() != ErrorKind::Unmappable) throw;
        throw UsageError(unmappable_message(e));
    }
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

std::optional<std::string> read_ciphertext_hex(std::string_view hex, std::vector<std::uint8_t>& out) {
    const std::size_t bad = ReadHex(hex, out);
    if (bad == 0) return std::nullopt;
    if (bad == hex.size() + 1) return "has an odd number of hexadecimal digits";
    // The library counts bytes, but everything before the fault is ASCII,
    // so that is the count in characters too.
    return "is not hexadecimal text (a character that is not a digit at position " + std::to_string(bad) + ")";
}

std::vector<std::uint8_t> read_ciphertext_hex(std::string_view hex, std::string_view what) {
    std::vector<std::uint8_t> out;
    if (const auto problem = read_ciphertext_hex(hex, out)) throw UsageError(std::string(what) + " " + *problem);
    return out;
}

void chomp(std::string& s) {
    if (!s.empty() && s.back() == '\n') {
        s.pop_back();
        if (!s.empty() && s.back() == '\r') s.pop_back();
    }
}

}  // namespace clscrypt::tool
