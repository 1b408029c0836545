#include <string.h>

#include "platform/wipe.hpp"

namespace clscrypt::platform {

void secure_wipe(void* data, std::size_t size) noexcept { ::explicit_bzero(data, size); }

}  // namespace clscrypt::platform
