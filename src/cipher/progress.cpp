#include <algorithm>

#include "clscrypt/progress.hpp"

namespace clscrypt {

std::size_t ProgressEvent::Subscribe(Listener listener) {
    const std::size_t token = next_token_++;
    listeners_.emplace_back(token, std::move(listener));
    return token;
}

void ProgressEvent::Unsubscribe(std::size_t token) noexcept {
    std::erase_if(listeners_, [token](const auto& entry) { return entry.first == token; });
}

void ProgressEvent::Raise(std::int32_t& percent) {
    // A listener may subscribe or unsubscribe while it runs; walk a snapshot
    // of the tokens and look each one up again so a removed listener is not
    // called and the vector may change under us.
    if (listeners_.size() == 1) {
        const Listener listener = listeners_.front().second;
        listener(percent);
        return;
    }
    std::vector<std::size_t> tokens;
    tokens.reserve(listeners_.size());
    for (const auto& entry : listeners_) {
        tokens.push_back(entry.first);
    }
    for (const std::size_t token : tokens) {
        const auto it = std::find_if(listeners_.begin(), listeners_.end(),
                                     [token](const auto& entry) { return entry.first == token; });
        if (it != listeners_.end()) {
            const Listener listener = it->second;  // the listener may unsubscribe itself
            listener(percent);
        }
    }
}

}  // namespace clscrypt
