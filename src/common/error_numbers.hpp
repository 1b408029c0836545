#pragma once

// The run-time error numbers this library raises, named once. Callers of the
// original classes test for these numbers, so they never change; the public
// RuntimeError constants and the C header's CLSCRYPT_ERR_... macros are
// checked against this list where they are defined.

#include <cstdint>

namespace clscrypt::errnum {

inline constexpr std::int32_t kInvalidArgument = 5;  // "Invalid procedure call or argument"
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kOutOfMemory = 7;
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
inline constexpr std::int32_t kDivisionByZero = 11;
inline constexpr std::int32_t kUserInterrupt = 18;  // an operation its caller stopped
inline constexpr std::int32_t kInternalError = 51;
inline constexpr std::int32_t kBadFileName = 52;  // "Bad file name or number"
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kDeviceIoError = 57;
inline constexpr std::int32_t kFileAlreadyExists = 58;
inline constexpr std::int32_t kDiskFull = 61;
inline constexpr std::int32_t kPermissionDenied = 70;
inline constexpr std::int32_t kPathFileAccessError = 75;
inline constexpr std::int32_t kPathNotFound = 76;
/// Errors a class defines: its base number 0x80040000, as a signed 32-bit value.
inline constexpr std::int32_t kClassError = -2147221504;
static_assert(static_cast<std::uint32_t>(kClassError) == 0x80040000U);

}  // namespace clscrypt::errnum
