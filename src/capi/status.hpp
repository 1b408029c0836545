#pragma once

// What every C function shares: the C++ operation runs inside `guarded`,
// which catches every exception, records it as this thread's last error and
// returns the status that goes with it; `need` refuses a null argument.

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "clscrypt/clscrypt.h"
#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"

namespace clscrypt::capi {

using clscrypt::ErrorKind;
using clscrypt::RuntimeError;
using clscrypt::errnum::kInternalError;
using clscrypt::errnum::kInvalidArgument;
using clscrypt::errnum::kOutOfMemory;
using clscrypt::errnum::kUserInterrupt;

// The C kinds are the C++ ones, value for value.
constexpr clscrypt_kind c_kind(ErrorKind kind) noexcept {
    return static_cast<clscrypt_kind>(static_cast<std::int32_t>(kind));
}

struct LastError {
    clscrypt_kind kind = CLSCRYPT_KIND_NONE;
    std::int32_t number = 0;
    std::string description;
    std::string message;
};

/// This thread's last error.
LastError& last_error() noexcept;

// Exceptions that only the C interface raises, each becoming its own status.
struct ArgumentError {
    std::string what;
};
struct BufferTooSmall {};
struct Cancelled {};

void record(clscrypt_kind kind, std::int32_t number, std::string description, std::string message) noexcept;

template <typename F>
clscrypt_status guarded(F&& f) noexcept {
    try {
        LastError& e = last_error();
        e.kind = CLSCRYPT_KIND_NONE;
        e.number = 0;
        e.description.clear();
        e.message.clear();
        f();
        return CLSCRYPT_OK;
    } catch (const RuntimeError& e) {
        record(c_kind(e.Kind()), e.Number(), e.Description(), e.what());
        // The status agrees with the kind wherever a status of its own exists.
        switch (e.Kind()) {
            case ErrorKind::InvalidArgument: return CLSCRYPT_INVALID_ARGUMENT;
            case ErrorKind::OutOfMemory: return CLSCRYPT_OUT_OF_MEMORY;
            case ErrorKind::Cancelled: return CLSCRYPT_CANCELLED;
            default: return CLSCRYPT_ERROR;
        }
    } catch (const ArgumentError& e) {
        record(CLSCRYPT_KIND_INVALID_ARGUMENT, kInvalidArgument, clscrypt::StandardDescription(kInvalidArgument),
               clscrypt::StandardDescription(kInvalidArgument) + ": " + e.what);
        return CLSCRYPT_INVALID_ARGUMENT;
    } catch (const BufferTooSmall&) {
        record(CLSCRYPT_KIND_BUFFER_TOO_SMALL, 0, "Buffer too small",
               "Buffer too small: the required size was stored in the size argument");
        return CLSCRYPT_BUFFER_TOO_SMALL;
    } catch (const Cancelled&) {
        record(CLSCRYPT_KIND_CANCELLED, kUserInterrupt, "User interrupt occurred",
               "User interrupt occurred: the progress callback stopped it");
        return CLSCRYPT_CANCELLED;
    } catch (const std::bad_alloc&) {
        record(CLSCRYPT_KIND_OUT_OF_MEMORY, kOutOfMemory, clscrypt::StandardDescription(kOutOfMemory),
               clscrypt::StandardDescription(kOutOfMemory));
        return CLSCRYPT_OUT_OF_MEMORY;
    } catch (const std::exception& e) {
        record(CLSCRYPT_KIND_OTHER, kInternalError, "Internal error", std::string("Internal error: ") + e.what());
        return CLSCRYPT_ERROR;
    } catch (...) {
        record(CLSCRYPT_KIND_OTHER, kInternalError, "Internal error", "Internal error");
        return CLSCRYPT_ERROR;
    }
}

template <typename T>
T& need(T* p, const char* name) {
    if (p == nullptr) throw ArgumentError{std::string(name) + " is null"};
    return *p;
}

}  // namespace clscrypt::capi
