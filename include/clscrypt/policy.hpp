#pragma once

#include "clscrypt/language.hpp"

// The rules every surface of the library keeps the same way: how secrets are
// wiped, how a long operation is cancelled, and how the hexadecimal text of
// a ciphertext is read. Bindings and the tool call these instead of
// deciding for themselves.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "clscrypt/export.h"

namespace clscrypt {

/// Overwrites `size` bytes at `data` with zeros in a way the compiler may
/// not drop. Null with size 0 is allowed.
CLSCRYPT_API void Wipe(void* data, std::size_t size) noexcept;

/// Asked between chunks of every long operation on the thread that installed
/// it: true stops the operation with RuntimeError kind Cancelled (error 18,
/// "User interrupt occurred"). It runs on the operation's thread (never on a
/// decryption worker), must not throw or longjmp, and must not call into
/// the library (its operations ask the check themselves).
using CancelCheck = bool (*)(void* context) noexcept;

/// Installs a cancellation check for the calling thread for the scope's
/// lifetime (the previous one comes back when it ends): scopes nest, and
/// each must end on the thread that made it, innermost first. Operations
/// look at it at least once a mebibyte of work: the block passes, the file
/// operations, the hexadecimal conversions, the value calls and the hashing
/// of very long keys; SHA-256 and clsHsh never do. Errors: none.
class CLSCRYPT_API CancelScope {
public:
    CancelScope(CancelCheck check, void* context) noexcept;
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    CancelCheck previous_check_;
    void* previous_context_;
};

/// Raises the Cancelled error (18) if the calling thread's check says so;
/// for code of the caller's own that runs between the library's chunks.
CLSCRYPT_API void ThrowIfCancelled();

/// The one rule for reading a ciphertext (or any byte string) written as
/// hexadecimal text: digits of either case; white space (space, tab, CR,
/// LF, VT, FF) and ASCII punctuation are skipped wherever they stand, so
/// "1F 48 ...", "1F-48-...", "1f48..." and text wrapped at any column read
/// alike; one leading "\x" (PostgreSQL's bytea output) is skipped. Anything
/// else, or an odd number of digits, raises RuntimeError kind
/// InvalidArgument (error 5) naming the position (from 1) of the first
/// character at fault, never the character. The legacy HexToStr keeps its
/// own rule. Also 18 Cancelled (texts over a mebibyte) and std::bad_alloc.
CLSCRYPT_API std::vector<std::uint8_t> ReadHex(std::string_view text);

/// The same into `out` (cleared first); returns 0 when the text reads, or
/// the position (from 1) of the first character at fault (text.size() + 1
/// for an odd number of digits). Never throws for bad text; raises 18
/// Cancelled (texts over a mebibyte) and std::bad_alloc. `text` must not lie
/// in `out`.
CLSCRYPT_API std::size_t ReadHex(std::string_view text, std::vector<std::uint8_t>& out);

/// ReadHex's rule for text that arrives in pieces (a pipe, a stream, a
/// file read a buffer at a time): the pieces read as their concatenation
/// would, a pair of digits or the leading "\x" may straddle two pieces, and
/// positions count from the start of the whole text.
class CLSCRYPT_API HexReader {
public:
    /// Appends to `out` the bytes that the digits of `piece` complete.
    /// Returns 0, or the position (from 1, over the whole text) of the first
    /// character at fault: the bytes this call appended are then wiped and
    /// taken off `out`, and every later call returns the same position and
    /// appends nothing. Raises 18 Cancelled (between mebibytes of a piece)
    /// and std::bad_alloc. `piece` must not lie in `out`.
    std::size_t Read(std::string_view piece, std::vector<std::uint8_t>& out);

    /// After the last piece: 0 when the whole text read, or the position of
    /// its fault (the text's length + 1 when it ends in half a pair).
    [[nodiscard]] std::size_t Finish() const noexcept;

    /// The characters of all the pieces given so far.
    [[nodiscard]] std::uint64_t Length() const noexcept { return read_; }

private:
    std::uint64_t read_ = 0;
    std::size_t fault_ = 0;
    int high_ = -1;
    bool backslash_first_ = false;
};

/// Bytes as two upper-case digits each, `separator` between pairs. Errors:
/// 18 Cancelled (more than a mebibyte of bytes) and std::bad_alloc.
CLSCRYPT_API std::string WriteHex(std::span<const std::uint8_t> bytes, std::string_view separator = {});

}  // namespace clscrypt
