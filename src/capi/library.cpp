// What concerns the library as a whole rather than one handle: its version,
// the per-thread cancellation check and the decryption threads.

#include "clscrypt/clscrypt.h"
#include "clscrypt/clscrypt.hpp"
#include "common/cancel.hpp"

extern "C" {

const char* clscrypt_version(void) {
    return CLSCRYPT_VERSION_STRING;
}

}  // extern "C"

// Outside the C linkage block: clang refuses a C-linkage function returning
// a C++ reference.
namespace {

struct CCancel {
    clscrypt_cancel_fn check = nullptr;
    void* context = nullptr;
};

CCancel& c_cancel() noexcept {
    thread_local CCancel c;
    return c;
}

bool ask_c_check(void* context) noexcept {
    const CCancel& c = *static_cast<CCancel*>(context);
    return c.check != nullptr && c.check(c.context) != 0;
}

}  // namespace

extern "C" {

void clscrypt_set_cancel_check(clscrypt_cancel_fn check, void* context) {
    CCancel& c = c_cancel();
    c.check = check;
    c.context = context;
    clscrypt::common::CancelHook& hook = clscrypt::common::cancel_hook();
    hook.check = check != nullptr ? &ask_c_check : nullptr;
    hook.context = check != nullptr ? &c : nullptr;
}

void clscrypt_set_decryption_threads(unsigned threads) {
    clscrypt::SetDecryptionThreads(threads);
}

unsigned clscrypt_get_decryption_threads(void) {
    return clscrypt::GetDecryptionThreads();
}

}  // extern "C"
