#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <clscrypt/codepage.hpp>
#include <clscrypt/error.hpp>

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

/// How a file name appears in a message, the way sha256sum shows it so that
/// it pastes back into a shell: as it is when nothing in it is special; in
/// double quotes when an apostrophe is its only trouble ("it's"); otherwise
/// in single quotes, with control characters and bytes that are no UTF-8 in
/// $'...' pieces ('a b', 'new'$'\n''line', ''$'\377'). No name reaches the
/// terminal raw: a control sequence in it could retitle or reprogram the
/// terminal, and a line break would split the message.
std::string shown_name(const std::string& name);
std::string shown_path(const std::filesystem::path& path);

/// `text` with its control characters and bytes that are no UTF-8 written
/// as escapes ("\n", "\033", "\377"), for text from elsewhere (the
/// library's messages) that may hold a name.
std::string without_controls(const std::string& text);

/// The library's words for an error, without the legacy run-time
/// description in front of them ("Invalid procedure call or argument: the
/// key has ..." says "the key has ..."); that description is for programs
/// that match on it, not for people.
std::string library_words(const RuntimeError& e);

/// The library's refusal of a character a code page lacks (kind
/// Unmappable, from CodePage::CheckMappable and the operations that ask it):
/// its words, which name the key or text, the character's position and a
/// code page that has it (never the character), and then the options of
/// this tool that help.
std::string unmappable_message(const RuntimeError& e);

/// Refuses `text` when `codepage` lacks one of its characters (the library's
/// CodePage::CheckMappable decides), with unmappable_message's words;
/// `what` names the text in them.
void check_mappable(std::u16string_view text, const CodePage& codepage, std::string_view what);

/// Ciphertext written as hexadecimal text, read by the library's one rule
/// (clscrypt::ReadHex): digits of either case, white space and ASCII
/// punctuation skipped, one leading "\x" skipped. Into `out`; nothing when
/// the text reads, else why not, as words to follow the text's name: the
/// position of the fault (from 1), never the character.
std::optional<std::string> read_ciphertext_hex(std::string_view hex, std::vector<std::uint8_t>& out);
/// The same, throwing UsageError naming `what` when the text does not read.
std::vector<std::uint8_t> read_ciphertext_hex(std::string_view hex, std::string_view what);

/// Removes one trailing line ending ("\n" or "\r\n").
void chomp(std::string& s);

}  // namespace clscrypt::tool
