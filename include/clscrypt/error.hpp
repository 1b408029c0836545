#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include "clscrypt/export.h"

namespace clscrypt {

/// The error every clscrypt operation raises. It carries the run-time error
/// number and description that callers of the original classes tested for,
/// so code ported from them can keep matching on `Number()`.
///
/// `Description()` is the bare description (the class's own text, or the
/// usual run-time text for the numbered errors); `what()` is the description
/// followed by context: which value, length or file was at fault. Errors that
/// come from the operating system also carry its `std::error_code`.
class CLSCRYPT_API RuntimeError : public std::runtime_error {
public:
    /// Run-time error numbers in use.
    static constexpr std::int32_t Overflow = 6;
    static constexpr std::int32_t SubscriptOutOfRange = 9;
    static constexpr std::int32_t DivisionByZero = 11;
    /// Base number for errors that a class defines (0x80040000).
    static constexpr std::int32_t ClassError = -2147221504;

    RuntimeError(std::int32_t number, std::string description, const std::string& context = {},
                 std::error_code code = {});

    /// Raises `number` with the usual run-time description for it
    /// ("Overflow", "Subscript out of range", ...) and the given context.
    static RuntimeError FromNumber(std::int32_t number, const std::string& context = {});

    [[nodiscard]] std::int32_t Number() const noexcept { return number_; }
    [[nodiscard]] const std::string& Description() const noexcept { return description_; }
    /// The operating system's error, when the failure came from it.
    [[nodiscard]] std::error_code Code() const noexcept { return code_; }

private:
    std::int32_t number_;
    std::string description_;
    std::error_code code_;
};

/// The usual run-time description of an error number, or an empty string for
/// numbers this library does not raise.
[[nodiscard]] CLSCRYPT_API std::string StandardDescription(std::int32_t number);

}  // namespace clscrypt
