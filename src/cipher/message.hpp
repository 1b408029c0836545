#pragma once

// The checks and pieces of the message layout shared by the in-memory and
// the file operations.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "cipher/kernels/tables.hpp"
#include "clscrypt/error.hpp"

namespace clscrypt {
class clsToString;
}

namespace clscrypt::detail {

// The checks below each come in two shapes: one that raises, for the
// operations on one message, and one that returns the error it would raise,
// for callers converting many values that report each failure in place and
// build an error only for a value that fails.

/// The error checked_encrypted_size raises for a message of `n` bytes.
RuntimeError encrypted_size_error(std::uint64_t n);

/// The error check_cipher_length raises for `m`, or nothing when it passes.
std::optional<RuntimeError> cipher_length_error(std::uint64_t m);

/// The error checked_descriptor raises when the descriptor does not fit a
/// ciphertext of `m` bytes. It names the length only: a message never holds
/// a value computed from deciphered bytes.
RuntimeError descriptor_error(std::uint64_t m);

/// Raises error 6 unless a message of `n` bytes can be encrypted (its
/// ciphertext must fit a signed 32-bit length); returns that length.
std::uint64_t checked_encrypted_size(std::uint64_t n);

/// Raises error 9 unless `m` can be a ciphertext length (whole blocks, at
/// least two), error 6 when it is beyond the format's 32-bit lengths.
void check_cipher_length(std::uint64_t m);

/// Deciphers the first two blocks of a ciphertext of `m` bytes aside and
/// returns the message length its descriptor gives; raises the class's
/// descriptor error when that length does not fit `m`.
std::int32_t checked_descriptor(const BlowfishTables& t, std::span<const std::uint8_t, 16> head, std::uint64_t m);

/// The same under the tables in force on `c` (construction's for an
/// instance moved from), which it leaves as they are.
std::int32_t checked_descriptor(const clsToString& c, std::span<const std::uint8_t, 16> head, std::uint64_t m);

/// Deciphers the first two blocks of a ciphertext aside and returns the
/// size descriptor they hold, unchecked.
std::int32_t deciphered_descriptor(const BlowfishTables& t, std::span<const std::uint8_t, 16> head);

/// Raises the class's descriptor error; `context` says what did not fit.
[[noreturn]] void throw_descriptor_error(const std::string& context);

/// The two header words, drawn from the system's random source.
void draw_random_words(std::uint32_t (&words)[2]);

/// The header words of `count` messages at once (words[2i] and words[2i+1]
/// for message i): a batch of any size costs one request to the system
/// instead of a share of the per-thread reserve per message.
void draw_random_words(std::uint32_t* words, std::size_t count);

/// The 12 header bytes: both words and the size `n`, least significant byte
/// first.
void write_header(std::uint8_t* out, const std::uint32_t (&words)[2], std::uint32_t n) noexcept;

}  // namespace clscrypt::detail
