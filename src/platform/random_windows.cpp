// Random bytes on Windows: BCryptGenRandom with the system's preferred
// generator (no algorithm handle to open or close).

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <system_error>

#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"
#include "platform/random.hpp"

namespace clscrypt::platform {

// The same retry loop as random_getrandom.cpp, around this system's call.
void system_random(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ULONG want = static_cast<ULONG>(std::min<std::size_t>(out.size() - done, 1U << 30));
        const NTSTATUS status = ::BCryptGenRandom(nullptr, out.data() + done, want, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            const std::error_code ec(static_cast<int>(status), std::system_category());
            throw RuntimeError(ErrorKind::System, errnum::kDeviceIoError, StandardDescription(errnum::kDeviceIoError),
                               "BCryptGenRandom: status " + std::to_string(status), ec);
        }
        done += want;
    }
}

}  // namespace clscrypt::platform
