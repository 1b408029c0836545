#pragma once

// The cipher handle, shared by its own functions and by the streams opened
// on it.

#include <cstddef>

#include "clscrypt/clscrypt.h"
#include "clscrypt/clscrypt.hpp"

struct clscrypt_tostring {
    explicit clscrypt_tostring(clscrypt::CodePage codePage) : cipher(codePage) {}
    clscrypt::clsToString cipher;
    clscrypt_progress_fn callback = nullptr;
    void* user = nullptr;
    std::size_t token = 0;  // of the listener that calls `callback`
    // Freed from inside one of its own operations: freed once that returns.
    bool free_pending = false;
};

namespace clscrypt::capi {

// A handle freed while busy (from its own progress callback, or with a stream
// on it open) goes once the operation has returned or the stream is done.
struct Settle {
    clscrypt_tostring* h;
    explicit Settle(clscrypt_tostring* handle) noexcept : h(handle) {}
    Settle(const Settle&) = delete;
    Settle& operator=(const Settle&) = delete;
    ~Settle() {
        if (h != nullptr && h->free_pending && !h->cipher.IsBusy()) delete h;
    }
};

}  // namespace clscrypt::capi
