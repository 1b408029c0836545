#include <string.h>

#include "platform/wipe.hpp"

namespace clscrypt::platform {

void secure_wipe(void* data, std::size_t size) noexcept {
    if (size != 0) ::explicit_bzero(data, size);  // data may be null then
}

}  // namespace clscrypt::platform
