#pragma once

// Texts of values to and from code-page bytes: UTF-8 in and out, the code
// page's byte per character, with tables built once per ValueCipher so that
// neither direction looks the page up character by character.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "clscrypt/codepage.hpp"

namespace clscrypt::detail {

class PageText {
public:
    explicit PageText(const CodePage& page);

    /// UTF-8 text to code-page bytes at `out` (room for text.size()): the
    /// count, or nothing for invalid UTF-8 or a character the page lacks
    /// (unless `replace`: then the legacy "?"). Bytes written before a fault
    /// are the caller's to wipe.
    std::optional<std::size_t> to_page(std::string_view text, std::uint8_t* out, bool replace) const;

    /// Code-page bytes to UTF-8 text, appended to `out`.
    void to_text(const std::uint8_t* b, std::size_t n, std::string& out) const;
    /// The same into `out` (room for 3 * n): the count written.
    std::size_t to_text(const std::uint8_t* b, std::size_t n, char* out) const noexcept;

    [[nodiscard]] const CodePage& page() const noexcept { return page_; }

private:
    static constexpr std::uint16_t kMissing = 0x100;

    // The byte for a character; kMissing when the code page lacks it.
    [[nodiscard]] std::uint32_t byte_of(char16_t c) const noexcept {
        if (c < 0x100) return latin_[c];
        return page_.Contains(c) ? page_.ToByte(c) : kMissing;
    }

    CodePage page_;
    // The code page at a glance: the byte of each character below U+0100
    // (kMissing where the page lacks it), and the UTF-8 of each byte's
    // character (its length first).
    std::array<std::uint16_t, 256> latin_{};
    std::array<std::array<char, 4>, 256> utf8_{};
    // Whether the page carries ASCII as itself, each character its own byte
    // (the pages in use all do): ASCII text then needs no decoding either way.
    bool ascii_same_ = true;
};

}  // namespace clscrypt::detail
