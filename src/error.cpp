#include "clscrypt/error.hpp"

#include <utility>

#include "common/error_numbers.hpp"

namespace clscrypt {

static_assert(RuntimeError::Overflow == errnum::kOverflow);
static_assert(RuntimeError::SubscriptOutOfRange == errnum::kSubscriptOutOfRange);
static_assert(RuntimeError::DivisionByZero == errnum::kDivisionByZero);
static_assert(RuntimeError::ClassError == errnum::kClassError);

namespace {
std::string compose(const std::string& description, const std::string& context) {
    return context.empty() ? description : description + ": " + context;
}

// The kind a number means when nothing more is known.
ErrorKind kind_of(std::int32_t number) noexcept {
    switch (number) {
        case errnum::kInvalidArgument: return ErrorKind::InvalidArgument;
        case errnum::kOverflow: return ErrorKind::Overflow;
        case errnum::kOutOfMemory: return ErrorKind::OutOfMemory;
        case errnum::kSubscriptOutOfRange: return ErrorKind::SubscriptOutOfRange;
        case errnum::kDivisionByZero: return ErrorKind::DivisionByZero;
        case errnum::kUserInterrupt: return ErrorKind::Cancelled;
        default: break;
    }
    if (number >= errnum::kBadFileName && number <= errnum::kPathNotFound) {
        return ErrorKind::FileSystem;
    }
    return ErrorKind::Other;
}
}  // namespace

RuntimeError::RuntimeError(std::int32_t number, std::string description, const std::string& context,
                           std::error_code code)
    : RuntimeError(kind_of(number), number, std::move(description), context, code) {}

RuntimeError::RuntimeError(ErrorKind kind, std::int32_t number, std::string description, const std::string& context,
                           std::error_code code)
    : std::runtime_error(compose(description, context)),
      kind_(kind),
      number_(number),
      description_(std::move(description)),
      code_(code) {}

RuntimeError RuntimeError::FromNumber(std::int32_t number, const std::string& context) {
    return RuntimeError(number, StandardDescription(number), context);
}

RuntimeError RuntimeError::FromNumber(ErrorKind kind, std::int32_t number, const std::string& context) {
    return RuntimeError(kind, number, StandardDescription(number), context);
}

std::string StandardDescription(std::int32_t number) {
    switch (number) {
        case errnum::kInvalidArgument: return "Invalid procedure call or argument";
        case errnum::kOverflow: return "Overflow";
        case errnum::kOutOfMemory: return "Out of memory";
        case errnum::kSubscriptOutOfRange: return "Subscript out of range";
        case errnum::kDivisionByZero: return "Division by zero";
        case errnum::kBadFileName: return "Bad file name or number";
        case errnum::kFileNotFound: return "File not found";
        case errnum::kDeviceIoError: return "Device I/O error";
        case errnum::kFileAlreadyExists: return "File already exists";
        case errnum::kDiskFull: return "Disk full";
        case errnum::kPermissionDenied: return "Permission denied";
        case errnum::kPathFileAccessError: return "Path/File access error";
        case errnum::kPathNotFound: return "Path not found";
        default: return {};
    }
}

const char* ErrorKindName(ErrorKind kind) noexcept {
    switch (kind) {
        case ErrorKind::Other: return "Other";
        case ErrorKind::InvalidArgument: return "InvalidArgument";
        case ErrorKind::Overflow: return "Overflow";
        case ErrorKind::SubscriptOutOfRange: return "SubscriptOutOfRange";
        case ErrorKind::DivisionByZero: return "DivisionByZero";
        case ErrorKind::WrongKeyOrDamaged: return "WrongKeyOrDamaged";
        case ErrorKind::SourceMissing: return "SourceMissing";
        case ErrorKind::FileSystem: return "FileSystem";
        case ErrorKind::System: return "System";
        case ErrorKind::OutOfMemory: return "OutOfMemory";
        case ErrorKind::Cancelled: return "Cancelled";
        case ErrorKind::Busy: return "Busy";
        case ErrorKind::Unmappable: return "Unmappable";
    }
    return "Other";
}

}  // namespace clscrypt
