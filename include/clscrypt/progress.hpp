#pragma once

#include "clscrypt/language.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "clscrypt/export.h"

namespace clscrypt {

class clsToString;

/// The `Progress` event of clsToString.
///
/// Listeners are called synchronously, on the thread that called the
/// operation (never on a decryption worker), in the order they subscribed,
/// between two blocks of an operation and once with 100 at its end. Each
/// receives a reference to the operation's current percentage: a listener
/// that stores a value there changes what later listeners of the same event
/// see, and one that stores 100 suppresses the operation's closing event.
///
/// Re-entry. While a listener runs, its instance is busy (see clsToString):
/// the listener may subscribe and unsubscribe (itself included), read the
/// instance, and run any operation on another instance; setting the
/// instance's key, or assigning to it, raises RuntimeError 5 Busy in the
/// listener; destroying it ends the program. An exception a listener throws
/// stops the operation and passes through it unchanged; a longjmp out of a
/// listener is not supported (it skips the clean-up: plaintext copies stay
/// unwiped and the instance stays busy for good).
class CLSCRYPT_API ProgressEvent {
public:
    using Listener = std::function<void(std::int32_t& Percent)>;

    /// Adds a listener; returns a token for Unsubscribe. One added while an
    /// event is being raised is called from the next event on. Errors:
    /// std::bad_alloc only.
    std::size_t Subscribe(Listener listener);
    /// Removes the listener with this token. Unknown tokens are ignored. A
    /// listener removed while an event is being raised is not called again.
    void Unsubscribe(std::size_t token) noexcept;

    [[nodiscard]] bool HasListeners() const noexcept { return !listeners_.empty(); }

private:
    friend class clsToString;
    CLSCRYPT_LOCAL void Raise(std::int32_t& percent);

    std::vector<std::pair<std::size_t, Listener>> listeners_;
    std::size_t next_token_ = 1;
};

}  // namespace clscrypt
