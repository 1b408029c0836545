#include <string.h>

#include "platform/wipe.hpp"

namespace clscrypt::platform {

// Nothing to wipe may come as a null pointer (an empty vector's data()),
// which explicit_bzero must not be given.
void secure_wipe(void* data, std::size_t size) noexcept {
    if (size != 0) ::explicit_bzero(data, size);
}

}  // namespace clscrypt::platform
