#pragma once

#include <array>
#include <cstdint>
#include <span>

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

}  // namespace clscrypt::detail
