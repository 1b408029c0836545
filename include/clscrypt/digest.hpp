#pragma once

#include "clscrypt/language.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "clscrypt/export.h"

namespace clscrypt {

/// SHA-256 over bytes, fed in pieces of any size.
///
/// `Final()` returns the digest of everything given since construction (or
/// the previous `Final()`) and leaves the hasher as new, ready for the next
/// message. Copying a hasher forks the message hashed so far. Message
/// lengths are counted in 64 bits, as the standard allows.
///
/// The hardware kernel, where the processor has one (x86 SHA extensions), is
/// chosen on first use. An instance serves one thread at a time; separate
/// instances share nothing. The buffered message bytes and the chaining
/// state are wiped when the digest is taken and when an instance goes away.
class CLSCRYPT_API Sha256 {
public:
    static constexpr std::size_t DigestSize = 32;
    static constexpr std::size_t BlockSize = 64;
    using Digest = std::array<std::uint8_t, DigestSize>;

    Sha256() noexcept;
    Sha256(const Sha256&) = default;
    Sha256(Sha256&&) noexcept = default;
    Sha256& operator=(const Sha256&) = default;
    Sha256& operator=(Sha256&&) noexcept = default;
    ~Sha256();

    void Update(std::span<const std::uint8_t> data) noexcept;
    void Update(std::span<const std::byte> data) noexcept;

    /// The digest of the message so far; the hasher then starts afresh.
    [[nodiscard]] Digest Final() noexcept;

    /// Drops the message so far.
    void Reset() noexcept;

    /// The digest of `data` in one call.
    [[nodiscard]] static Digest Hash(std::span<const std::uint8_t> data) noexcept;
    [[nodiscard]] static Digest Hash(std::span<const std::byte> data) noexcept;

private:
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, BlockSize> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes given so far, modulo 2^64
};

/// A digest as 64 lower-case hexadecimal digits.
[[nodiscard]] CLSCRYPT_API std::string ToHex(const Sha256::Digest& digest);

/// The legacy hashing class.
class CLSCRYPT_API clsHsh {
public:
    /// SHA-256 of the text's low bytes as 64 lower-case hexadecimal digits.
    /// The class holds no state: one instance may serve any number of threads
    /// at once. Raises only std::bad_alloc; no cancellation check.
    /// Each character contributes one byte, the low 8 bits of its code: no
    /// code page or UTF-8 conversion takes place, so U+20AC hashes like
    /// U+00AC and U+0100 like a zero byte. The empty text gives the digest of
    /// the empty message. Memory use does not grow with the text's length.
    [[nodiscard]] std::string SHA256(std::u16string_view sMessage) const;
};

}  // namespace clscrypt
