// Systems without an ANSI code page: the data comes from Western European
// Windows installations far more often than from any other, so Windows-1252
// stands for it.

#include "platform/system_codepage.hpp"

namespace clscrypt::platform {

int system_code_page() noexcept {
    return 1252;
}

}  // namespace clscrypt::platform
