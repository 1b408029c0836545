#include "text.hpp"

#include <algorithm>
#include <cctype>

#include <clscrypt/policy.hpp>

#include "common/utf.hpp"
#include "errors.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

namespace {

// Appends the UTF-16 form of `utf8` to `out` (a string or a Secret).
template <typename Out>
void decode_utf8(std::string_view utf8, std::string_view what, Out& out) {
    if (common::decode_utf8(utf8, out)) throw UsageError(std::string(what) + " is not valid UTF-8");
}

// One piece of a file name on its way into a message (see shown_name()).
struct NamePiece {
    enum Kind { kPlain, kSpecial, kQuote, kEscape } kind;
    std::string text;  // for kEscape, the escape sequence ("\\n", "\\377")
    // Harmless inside double quotes too: a name whose only trouble is an
    // apostrophe is shown as "it's" rather than 'it'\''s'.
    bool fits_double_quotes;
};

// A code point that a terminal shows as a visible character. Control
// characters and the line and paragraph separators are not.
bool printable(std::uint32_t cp) {
    return cp >= 0x20 && cp != 0x7F && !(cp >= 0x80 && cp < 0xA0) && cp != 0x2028 && cp != 0x2029;
}

std::string octal_escape(unsigned char byte) {
    return {'\\', static_cast<char>('0' + (byte >> 6)), static_cast<char>('0' + ((byte >> 3) & 7)),
            static_cast<char>('0' + (byte & 7))};
}

std::vector<NamePiece> name_pieces(const std::string& name) {
    std::vector<NamePiece> pieces;
    for (std::size_t i = 0; i < name.size();) {
        const char c = name[i];
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) {
            const Utf8Character character = utf8_character_at(name, i);
            const std::size_t len = character.length;
            if (!character.valid) {
                pieces.push_back({NamePiece::kEscape, octal_escape(u), false});
                ++i;
            } else if (printable(character.c)) {
                pieces.push_back({NamePiece::kPlain, name.substr(i, len), true});
                i += len;
            } else {
                std::string octal;
                for (std::size_t k = 0; k < len; ++k) octal += octal_escape(static_cast<unsigned char>(name[i + k]));
                pieces.push_back({NamePiece::kEscape, octal, false});
                i += len;
            }
            continue;
        }
        static constexpr std::string_view kLetters = "\aa\bb\ff\nn\rr\tt\vv";
        const std::size_t letter = kLetters.find(c);
        if (c != 0 && letter != std::string_view::npos && letter % 2 == 0) {
            pieces.push_back({NamePiece::kEscape, std::string{'\\', kLetters[letter + 1]}, false});
        } else if (u < 0x20 || u == 0x7F) {
            pieces.push_back({NamePiece::kEscape, octal_escape(u), false});
        } else if (c == '\'') {
            pieces.push_back({NamePiece::kQuote, "'", true});
        } else if (std::isalnum(u) || std::string_view("%+,-./]_@").find(c) != std::string_view::npos) {
            pieces.push_back({NamePiece::kPlain, std::string(1, c), true});
        } else if (c == ' ' || c == ':' || ((c == '#' || c == '~') && i == 0) ||
                   ((c == '{' || c == '}') && name.size() == 1)) {
            // Special to a shell (a colon: to a reader of "name: message").
            pieces.push_back({NamePiece::kSpecial, std::string(1, c), true});
        } else if (c == '#' || c == '~' || c == '{' || c == '}') {
            pieces.push_back({NamePiece::kPlain, std::string(1, c), false});
        } else {
            pieces.push_back({NamePiece::kSpecial, std::string(1, c), false});
        }
        ++i;
    }
    return pieces;
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

std::string shown_name(const std::string& name) {
    const auto pieces = name_pieces(name);
    if (!name.empty() &&
        std::all_of(pieces.begin(), pieces.end(), [](const NamePiece& p) { return p.kind == NamePiece::kPlain; }))
        return name;
    const bool has_quote =
        std::any_of(pieces.begin(), pieces.end(), [](const NamePiece& p) { return p.kind == NamePiece::kQuote; });
    if (has_quote && std::all_of(pieces.begin(), pieces.end(), [](const NamePiece& p) { return p.fits_double_quotes; }))
        return '"' + name + '"';
    std::string out = "'";
    bool in_escape = false;  // inside a $'...' piece
    for (const auto& p : pieces) {
        if (p.kind == NamePiece::kEscape) {
            if (!in_escape) out += "'$'";
            in_escape = true;
            out += p.text;
        } else if (p.kind == NamePiece::kQuote) {
            out += "'\\''";
            in_escape = false;
        } else {
            if (in_escape) out += "''";
            in_escape = false;
            out += p.text;
        }
    }
    return out + "'";
}

std::string shown_path(const std::filesystem::path& path) {
    return shown_name(path_to_utf8(path));
}

std::string without_controls(const std::string& text) {
    std::string out;
    for (const auto& piece : name_pieces(text)) out += piece.text;
    return out;
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
