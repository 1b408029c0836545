#pragma once

// The calling thread's cancellation check, asked between the chunks of long
// operations. Installed through clscrypt::CancelScope (or the C interface);
// nothing is installed by default, and then asking costs one load.

#include <cstddef>

namespace clscrypt::common {

struct CancelHook {
    bool (*check)(void* context) noexcept = nullptr;
    void* context = nullptr;
};

CancelHook& cancel_hook() noexcept;

/// Whether the installed check asks to stop.
inline bool cancel_requested() noexcept {
    const CancelHook& h = cancel_hook();
    return h.check != nullptr && h.check(h.context);
}

/// Raises the Cancelled error (error 18).
[[noreturn]] void throw_cancelled();

inline void check_cancelled() {
    if (cancel_requested()) throw_cancelled();
}

/// Work between two looks at the check: about a millisecond of any of the
/// library's passes.
inline constexpr std::size_t kCancelStride = std::size_t{1} << 20;

}  // namespace clscrypt::common
