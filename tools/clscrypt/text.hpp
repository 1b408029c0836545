#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <clscrypt/codepage.hpp>

#include "secret.hpp"

namespace clscrypt::tool {

/// Strict UTF-8 to UTF-16; throws UsageError naming `what` on invalid input.
std::u16string utf8_to_utf16(std::string_view utf8, std::string_view what);
/// The same for key text, into a buffer that is wiped when it goes.
SecretKey utf8_to_key(std::string_view utf8, std::string_view what);

/// The character whose UTF-8 form starts at byte `i` of `utf8`, and its
/// length in bytes; a byte that starts no valid sequence stands for itself,
/// with length 1 and `valid` false.
struct Utf8Character {
    char32_t c;
    std::size_t length;
    bool valid;
};
Utf8Character utf8_character_at(std::string_view utf8, std::size_t i);

/// A character for messages: "U+043F 'п'", its code and the character
/// itself as UTF-8 (the code alone for control characters).
std::string describe_character(char32_t c);

/// Why `text` cannot go through `codepage` without loss: a message naming
/// `what`, the first character the code page lacks and its position (in
/// characters, from 1), and the options that help; nothing when every
/// character fits. For a `secret` (a key) the message gives the position
/// only: no part of a key goes into a message.
std::optional<std::string> unmappable_problem(std::u16string_view text, const CodePage& codepage,
                                              std::string_view what, bool secret = false);

/// Hexadecimal in either case, white space ignored; throws UsageError naming
/// `what` on anything else or an odd number of digits.
std::string from_hex(std::string_view hex, std::string_view what);

/// Removes one trailing line ending ("\n" or "\r\n").
void chomp(std::string& s);

}  // namespace clscrypt::tool
