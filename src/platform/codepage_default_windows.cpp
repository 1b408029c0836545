// On Windows the default is what the legacy program used: the system's ANSI
// code page. The library's built-in tables for 874 and 1250-1258 agree byte
// for byte with the system's conversions (MultiByteToWideChar, and
// WideCharToMultiByte without best-fit mappings, a test checks it), so the
// tables serve; a system whose ANSI code page is multi-byte (932, 936, 949,
// 950) or UTF-8 has no single-byte form of the legacy strings, and
// Windows-1252 stands for it as on other systems.

#include <windows.h>

#include "platform/system_codepage.hpp"

namespace clscrypt::platform {

int system_code_page() noexcept {
    return static_cast<int>(::GetACP());
}

}  // namespace clscrypt::platform
