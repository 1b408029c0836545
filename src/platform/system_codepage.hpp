#pragma once

namespace clscrypt::platform {

/// The number of the code page that stands for the system's ANSI code page
/// by default: the system's own where it has one (Windows), Windows-1252
/// elsewhere. CodePage's default constructor uses it when the library has
/// that code page built in, and Windows-1252 otherwise.
[[nodiscard]] int system_code_page() noexcept;

}  // namespace clscrypt::platform
