// Fork detection through pthread_atfork: the child handler counts.

#include <pthread.h>

#include <atomic>

#include "platform/process.hpp"

namespace clscrypt::platform {

namespace {

std::atomic<std::uint64_t> g_forks{0};

void in_child() noexcept {
    g_forks.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

std::uint64_t fork_generation() noexcept {
    // Registered before anyone records a generation, so no fork after the
    // first record goes unseen. Registration can only fail for want of
    // memory; the counter then stays put, as it would without forks.
    static const bool registered = ::pthread_atfork(nullptr, nullptr, &in_child) == 0;
    (void)registered;
    return g_forks.load(std::memory_order_relaxed);
}

}  // namespace clscrypt::platform
