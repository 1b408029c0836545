#include <windows.h>

#include "platform/wipe.hpp"

namespace clscrypt::platform {

// SecureZeroMemory writes through volatile pointers: the compiler keeps it.
void secure_wipe(void* data, std::size_t size) noexcept {
    ::SecureZeroMemory(data, size);
}

}  // namespace clscrypt::platform
