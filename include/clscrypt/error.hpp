#pragma once

#include "clscrypt/language.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>

#include "clscrypt/export.h"

namespace clscrypt {

/// What went wrong, for callers that branch on the failure: the legacy error
/// number says it the way the original classes did (one number for a wrong
/// key and a missing file), the kind tells those apart. Values are stable;
/// the C interface's CLSCRYPT_KIND_... constants carry the same ones.
enum class ErrorKind : std::int32_t {
    /// None of the kinds below: an error built from a number this library
    /// does not raise, or an unexpected failure inside it.
    Other = 1,
    /// An argument the operation cannot take: an unknown code page, the
    /// empty key after a non-empty one (error 5 or 9).
    InvalidArgument = 2,
    /// A value beyond the format's range, such as a message too long for its
    /// 32-bit sizes or hexadecimal text too long to convert (error 6).
    Overflow = 3,
    /// Hexadecimal text that is not pairs of digits where the separator
    /// count puts them (error 9).
    SubscriptOutOfRange = 4,
    /// HexToStr with a separator count of -2 (error 11).
    DivisionByZero = 5,
    /// Not a ciphertext of this format under this key: the size descriptor
    /// does not fit (wrong key or damaged data, the class error), or the
    /// length is one no ciphertext has (error 9 or 6).
    WrongKeyOrDamaged = 6,
    /// The source file of a file operation does not exist (the class error).
    SourceMissing = 7,
    /// The file system refused or failed an open, read, write or
    /// replacement, or a source changed size while it was read (52-76).
    FileSystem = 8,
    /// Another service of the operating system failed: the random source
    /// (error 57).
    System = 9,
    /// Memory ran out (error 7; C++ callers get std::bad_alloc instead).
    OutOfMemory = 10,
    /// The caller stopped the operation from its progress callback (error
    /// 18; raised by the C interface, where C++ listeners throw their own).
    Cancelled = 11,
    // 12 is the C interface's CLSCRYPT_KIND_BUFFER_TOO_SMALL, which C++
    // callers never meet.
    /// The instance is inside an operation (a Progress listener, an open
    /// stream) and refuses a call that would change its key or tables or
    /// free it; the running operation goes on unharmed (error 5).
    Busy = 13,
    /// A key or text has a character that the code page cannot carry, and
    /// the caller did not ask for the legacy "?" in its place (error 5). The
    /// message gives the character's position and a code page that has it,
    /// never the character.
    Unmappable = 14,
};

/// The error every clscrypt operation raises. It carries the run-time error
/// number and description that callers of the original classes tested for,
/// so code ported from them can keep matching on `Number()`.
///
/// `Description()` is the bare description (the class's own text, or the
/// usual run-time text for the numbered errors); `what()` is the description
/// followed by context: which value, length or file was at fault. Errors that
/// come from the operating system also carry its `std::error_code`, and every
/// error its `Kind()`, which is what code should branch on: the descriptions
/// are for people, and two failures may share a number.
class CLSCRYPT_API RuntimeError : public std::runtime_error {
public:
    /// Run-time error numbers in use.
    static constexpr std::int32_t Overflow = 6;
    static constexpr std::int32_t SubscriptOutOfRange = 9;
    static constexpr std::int32_t DivisionByZero = 11;
    /// Base number for errors that a class defines (0x80040000).
    static constexpr std::int32_t ClassError = -2147221504;

    /// An error of the kind its number usually means (ErrorKind::Other for
    /// the class error, whose number covers several kinds).
    RuntimeError(std::int32_t number, std::string description, const std::string& context = {},
                 std::error_code code = {});
    RuntimeError(ErrorKind kind, std::int32_t number, std::string description, const std::string& context = {},
                 std::error_code code = {});

    /// Raises `number` with the usual run-time description for it
    /// ("Overflow", "Subscript out of range", ...) and the given context.
    static RuntimeError FromNumber(std::int32_t number, const std::string& context = {});
    static RuntimeError FromNumber(ErrorKind kind, std::int32_t number, const std::string& context = {});

    [[nodiscard]] std::int32_t Number() const noexcept { return number_; }
    [[nodiscard]] const std::string& Description() const noexcept { return description_; }
    /// The operating system's error, when the failure came from it.
    [[nodiscard]] std::error_code Code() const noexcept { return code_; }
    [[nodiscard]] ErrorKind Kind() const noexcept { return kind_; }

private:
    ErrorKind kind_;
    std::int32_t number_;
    std::string description_;
    std::error_code code_;
};

/// The usual run-time description of an error number, or an empty string for
/// numbers this library does not raise.
[[nodiscard]] CLSCRYPT_API std::string StandardDescription(std::int32_t number);

/// The kind's name as the enumerator spells it ("WrongKeyOrDamaged"), for
/// bindings and logs.
[[nodiscard]] CLSCRYPT_API const char* ErrorKindName(ErrorKind kind) noexcept;

}  // namespace clscrypt
