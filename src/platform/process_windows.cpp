// Windows has no fork: a process never finds itself a copy of another with
// the worker threads gone, so the generation never moves.

#include "platform/process.hpp"

namespace clscrypt::platform {

std::uint64_t fork_generation() noexcept {
    return 0;
}

}  // namespace clscrypt::platform
