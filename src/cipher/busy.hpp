#pragma once

// An instance is busy while an operation runs on it (its listeners are
// called from inside) or a stream on it is open; calls that would change its
// key or tables under the running operation are refused.

#include <string>

#include "clscrypt/cipher.hpp"
#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"

namespace clscrypt::detail {

struct Busy {
    /// Raises kind Busy when `c` is busy.
    static void refuse_if_busy(const clsToString& c, const char* call) {
        if (c.busy_ != 0) {
            throw RuntimeError(ErrorKind::Busy, errnum::kInvalidArgument,
                               StandardDescription(errnum::kInvalidArgument),
                               std::string(call) + " refused: an operation is running on this instance");
        }
    }
    static void enter(clsToString& c) noexcept { ++c.busy_; }
    static void leave(clsToString& c) noexcept { --c.busy_; }
};

/// Holds an instance busy for a scope.
class BusyScope {
public:
    explicit BusyScope(clsToString& c) noexcept : c_(c) { Busy::enter(c_); }
    ~BusyScope() { Busy::leave(c_); }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    clsToString& c_;
};

}  // namespace clscrypt::detail
