// The last error of each thread, and the C functions that read it.

#include "capi/status.hpp"

namespace clscrypt::capi {

static_assert(CLSCRYPT_ERR_INVALID_ARGUMENT == kInvalidArgument);
static_assert(CLSCRYPT_ERR_OVERFLOW == clscrypt::errnum::kOverflow);
static_assert(CLSCRYPT_ERR_OUT_OF_MEMORY == kOutOfMemory);
static_assert(CLSCRYPT_ERR_USER_INTERRUPT == kUserInterrupt);
static_assert(CLSCRYPT_ERR_SUBSCRIPT_OUT_OF_RANGE == clscrypt::errnum::kSubscriptOutOfRange);
static_assert(CLSCRYPT_ERR_DIVISION_BY_ZERO == clscrypt::errnum::kDivisionByZero);
static_assert(CLSCRYPT_ERR_CLASS_ERROR == clscrypt::errnum::kClassError);

static_assert(c_kind(ErrorKind::Other) == CLSCRYPT_KIND_OTHER);
static_assert(c_kind(ErrorKind::InvalidArgument) == CLSCRYPT_KIND_INVALID_ARGUMENT);
static_assert(c_kind(ErrorKind::Overflow) == CLSCRYPT_KIND_OVERFLOW);
static_assert(c_kind(ErrorKind::SubscriptOutOfRange) == CLSCRYPT_KIND_SUBSCRIPT_OUT_OF_RANGE);
static_assert(c_kind(ErrorKind::DivisionByZero) == CLSCRYPT_KIND_DIVISION_BY_ZERO);
static_assert(c_kind(ErrorKind::WrongKeyOrDamaged) == CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED);
static_assert(c_kind(ErrorKind::SourceMissing) == CLSCRYPT_KIND_SOURCE_MISSING);
static_assert(c_kind(ErrorKind::FileSystem) == CLSCRYPT_KIND_FILE_SYSTEM);
static_assert(c_kind(ErrorKind::System) == CLSCRYPT_KIND_SYSTEM);
static_assert(c_kind(ErrorKind::OutOfMemory) == CLSCRYPT_KIND_OUT_OF_MEMORY);
static_assert(c_kind(ErrorKind::Cancelled) == CLSCRYPT_KIND_CANCELLED);
static_assert(c_kind(ErrorKind::Busy) == CLSCRYPT_KIND_BUSY);
static_assert(c_kind(ErrorKind::Unmappable) == CLSCRYPT_KIND_UNMAPPABLE);

LastError& last_error() noexcept {
    thread_local LastError error;
    return error;
}

void record(clscrypt_kind kind, std::int32_t number, std::string description, std::string message) noexcept {
    LastError& e = last_error();
    try {
        e.kind = kind;
        e.number = number;
        e.description = std::move(description);
        e.message = std::move(message);
    } catch (...) {
        e.description.clear();
        e.message.clear();
    }
}

}  // namespace clscrypt::capi

using clscrypt::capi::last_error;

extern "C" {

clscrypt_kind clscrypt_error_kind(void) {
    return last_error().kind;
}
int32_t clscrypt_error_number(void) {
    return last_error().number;
}
const char* clscrypt_error_description(void) {
    return last_error().description.c_str();
}
const char* clscrypt_error_message(void) {
    return last_error().message.c_str();
}

}  // extern "C"
