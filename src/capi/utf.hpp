#pragma once

// UTF-8 to and from UTF-16 for the C interface and the bindings, which meet
// callers whose texts are UTF-8.

#include <optional>
#include <string>
#include <string_view>

namespace clscrypt::detail {

/// Strict UTF-8 to UTF-16: nothing for ill-formed input (overlong forms,
/// surrogates, values past U+10FFFF, truncated sequences).
std::optional<std::u16string> utf8_to_utf16(std::string_view utf8);

/// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view utf16);

}  // namespace clscrypt::detail
