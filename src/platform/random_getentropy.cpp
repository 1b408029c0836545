#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"
#include "platform/random.hpp"

namespace clscrypt::platform {

// For systems whose random source is getentropy() alone, such as
// WebAssembly under Emscripten, where it reaches the host's
// crypto.getRandomValues (browsers, Node). getentropy() hands out at most
// 256 bytes a call. There is no weaker fallback: a failure is raised.
void system_random(std::span<std::uint8_t> out) {
    constexpr std::size_t kMaxPerCall = 256;
    std::size_t done = 0;
    while (done < out.size()) {
        const std::size_t n = std::min(kMaxPerCall, out.size() - done);
        if (::getentropy(out.data() + done, n) != 0) {
            const std::error_code ec(errno, std::system_category());
            throw RuntimeError(ErrorKind::System, errnum::kDeviceIoError, StandardDescription(errnum::kDeviceIoError),
                               "getentropy: " + ec.message(), ec);
        }
        done += n;
    }
}

}  // namespace clscrypt::platform
