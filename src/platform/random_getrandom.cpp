#include <sys/random.h>

#include <cerrno>
#include <system_error>

#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"
#include "platform/random.hpp"

namespace clscrypt::platform {

// The same retry loop as random_windows.cpp, around this system's call.
void system_random(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::getrandom(out.data() + done, out.size() - done, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            const std::error_code ec(errno, std::system_category());
            throw RuntimeError(ErrorKind::System, errnum::kDeviceIoError, StandardDescription(errnum::kDeviceIoError),
                               "getrandom: " + ec.message(), ec);
        }
        done += static_cast<std::size_t>(got);
    }
}

}  // namespace clscrypt::platform
