#pragma once

#include "clscrypt/language.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "clscrypt/export.h"

namespace clscrypt {

namespace detail {
struct CodePageTable;
}

/// What becomes of a key or text character that the code page lacks.
enum class Unmappable : std::int32_t {
    /// The operation fails with RuntimeError kind Unmappable (error 5),
    /// naming the character's position and a code page that has it. A key
    /// two different texts would share once such characters are replaced
    /// ("ключ" and "????" under 1252) is never made.
    Refuse = 0,
    /// The character becomes "?", as the legacy conversion did: needed to
    /// read data written from such a key or text.
    Replace = 1,
};

/// A single-byte code page: how 16-bit text becomes the bytes that the
/// cipher keys, encrypts and writes as hexadecimal, and back.
///
/// The legacy program used the system's ANSI code page. The default is that
/// code page on Windows when it is one of the built-in single-byte ones, and
/// Windows-1252 everywhere else. Windows-1252's five unassigned bytes (0x81,
/// 0x8D, 0x8F, 0x90, 0x9D) map to and from the C1 control characters of the
/// same value, so every byte value survives a round trip through text. A
/// character the code page lacks becomes "?" (no best-fit mapping).
///
/// A small value type: copying it copies a pointer to static tables, which
/// never change, so any number of threads may use code pages at once. Its
/// methods raise only what their comments say, and std::bad_alloc where
/// they return a container.
class CLSCRYPT_API CodePage {
public:
    /// The default: the system's ANSI code page on Windows when it is built
    /// in (874, 1250-1258), Windows-1252 otherwise.
    CodePage() noexcept;

    /// The code page with this Windows number. Throws RuntimeError (5,
    /// "Invalid procedure call or argument", kind InvalidArgument) for a
    /// number this library lacks.
    static CodePage FromNumber(int number);
    /// The numbers FromNumber accepts, in rising order.
    static std::vector<int> Available();

    [[nodiscard]] int Number() const noexcept;

    [[nodiscard]] char16_t ToChar(std::uint8_t byte) const noexcept;
    /// The byte for `c`, or '?' when the code page lacks it.
    [[nodiscard]] std::uint8_t ToByte(char16_t c) const noexcept;
    /// True when `c` has a byte of its own in this code page.
    [[nodiscard]] bool Contains(char16_t c) const noexcept;

    /// Where `text` stops being representable: the index, in UTF-16 units,
    /// of the first character that Encode would not carry, or nothing when
    /// Decode(Encode(text)) gives `text` back. A character is representable
    /// only when its byte decodes to the same character again; Encode turns
    /// any other into '?'. Encode takes UTF-16 units one at a time, so a
    /// character beyond U+FFFF (a surrogate pair) is never representable and
    /// the index is that of its first unit. Callers that must not lose text
    /// silently ask this before encoding.
    [[nodiscard]] std::optional<std::size_t> FirstUnmappable(std::u16string_view text) const noexcept;

    /// Under Unmappable::Refuse, raises RuntimeError kind Unmappable (error 5)
    /// when `text` has a character FirstUnmappable finds: the message says
    /// that `what` ("the key", "the text") has a character at position N
    /// (counted in characters from 1) that this code page lacks, and names a
    /// code page that has it; never the character. Does nothing under
    /// Unmappable::Replace.
    void CheckMappable(std::u16string_view text, Unmappable policy, std::string_view what) const;

    /// One byte per character.
    [[nodiscard]] std::vector<std::uint8_t> Encode(std::u16string_view text) const;
    /// One character per byte.
    [[nodiscard]] std::u16string Decode(std::span<const std::uint8_t> bytes) const;

    friend bool operator==(const CodePage& a, const CodePage& b) noexcept { return a.table_ == b.table_; }

private:
    explicit CodePage(const detail::CodePageTable* table) noexcept : table_(table) {}
    const detail::CodePageTable* table_;
};

}  // namespace clscrypt
