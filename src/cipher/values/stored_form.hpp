#pragma once

// Ciphertext bytes to and from the stored forms of values: the bytes
// themselves, hexadecimal, Base64, and the string form (each byte one
// character through the code page).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "cipher/values/page_text.hpp"
#include "clscrypt/values.hpp"

namespace clscrypt::detail {

/// What a reader returns for a text not in its form: no count of bytes can
/// be this large. (A count or this in one word, rather than an optional
/// count, stays in a register on its way back through the loop of a chunk.)
inline constexpr std::size_t kUnread = SIZE_MAX;

struct StoredForms {
    const PageText& text;
    /// Written between hexadecimal pairs.
    const std::string& hex_separator;
    /// Hexadecimal digits sixteen at a time, unless the portable code is
    /// forced (then the scalar loop is what runs, and is tested).
    bool vector_hex;

    /// A stored value to ciphertext bytes at `out` (room for stored.size()):
    /// the count, or kUnread.
    std::size_t read(std::string_view stored, StoredForm form, std::uint8_t* out) const;

    /// Ciphertext bytes to their stored form in `out`.
    void write(const std::uint8_t* b, std::size_t n, StoredForm form, std::string& out) const;
};

}  // namespace clscrypt::detail
