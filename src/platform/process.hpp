#pragma once

#include <cstdint>

namespace clscrypt::platform {

/// How many times this process's ancestry has forked since the first call:
/// a child sees a larger number than its parent had. State that must not be
/// shared across a fork (worker threads, which the child lacks; buffered
/// random bytes, which the parent will hand out too) records the number when
/// it is made and is made afresh when the number has moved on.
[[nodiscard]] std::uint64_t fork_generation() noexcept;

}  // namespace clscrypt::platform
