#pragma once

#include <string>
#include <string_view>

#include "secret.hpp"

namespace clscrypt::tool {

/// Strict UTF-8 to UTF-16; throws UsageError naming `what` on invalid input.
std::u16string utf8_to_utf16(std::string_view utf8, std::string_view what);
/// The same for key text, into a buffer that is wiped when it goes.
SecretKey utf8_to_key(std::string_view utf8, std::string_view what);
/// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);

/// Upper-case hexadecimal, no separators.
std::string to_hex(const unsigned char* data, std::size_t size);
/// Hexadecimal in either case, white space ignored; throws UsageError naming
/// `what` on anything else or an odd number of digits.
std::string from_hex(std::string_view hex, std::string_view what);

/// Removes one trailing line ending ("\n" or "\r\n").
void chomp(std::string& s);

}  // namespace clscrypt::tool
