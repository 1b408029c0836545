// The switch that hides every processor feature, read once.

#include <cstdlib>
#include <cstring>

#include "platform/cpu_features.hpp"

namespace clscrypt::platform {

bool portable_forced() noexcept {
    static const bool forced = [] {
        const char* value = std::getenv("CLSCRYPT_PORTABLE");
        return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
    }();
    return forced;
}

}  // namespace clscrypt::platform
