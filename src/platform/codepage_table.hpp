#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "clscrypt/codepage.hpp"

namespace clscrypt::detail {

struct CodePageEntry {
    char16_t ch;
    std::uint8_t byte;
};

/// A single-byte code page. Bytes map to characters through `to_char`;
/// characters map back through `latin` for U+0000..U+00FF (0xFFFF where the
/// code page lacks the character) and through `high`, sorted by character,
/// for everything above.
struct CodePageTable {
    int number;
    std::array<char16_t, 256> to_char;
    std::array<std::uint16_t, 256> latin;
    std::span<const CodePageEntry> high;
};

/// All code pages built in, sorted by number. The first is the default.
std::span<const CodePageTable* const> code_page_tables() noexcept;

/// The characters of `text`, a pair of surrogates counting one.
std::size_t count_characters(std::u16string_view text) noexcept;

/// CodePage::CheckMappable for a piece of a longer text: `before` is the
/// number of characters ahead of the piece, so that the position named is
/// the character's place in the whole text.
void check_mappable(const CodePage& page, std::u16string_view text, Unmappable policy, std::string_view what,
                    std::size_t before);

}  // namespace clscrypt::detail
