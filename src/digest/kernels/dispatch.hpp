#pragma once

// The SHA-256 compression kernels and the choice between them.
//
// Every kernel has the same signature: it runs the compression function over
// `nblocks` consecutive 64-byte blocks, updating the eight chaining words in
// `state` (a..h, as the standard numbers them). Blocks need no alignment.
// A text kernel does the same over blocks of 64 characters, each character
// giving the block its low byte: the legacy text hash narrows as it loads,
// so a long text is read once and no narrowed copy of it is written.
// A kernel is only called on a processor that has what it needs; which ones
// qualify is decided here from platform::cpu_features().

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#if (defined(__x86_64__) || defined(__i386__)) && !defined(CLSCRYPT_NO_SIMD)
#define CLSCRYPT_SHA256_X86 1
#else
#define CLSCRYPT_SHA256_X86 0
#endif

namespace clscrypt::detail {

using Sha256Compress = void (*)(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t nblocks) noexcept;
using Sha256CompressText = void (*)(std::uint32_t state[8], const char16_t* text, std::size_t nblocks) noexcept;

/// Characters in a block of text: one per message byte.
inline constexpr std::size_t kSha256TextBlock = 64;

/// Plain C++ from the word operations; runs everywhere.
void sha256_compress_portable(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t nblocks) noexcept;
void sha256_compress_text_portable(std::uint32_t state[8], const char16_t* text, std::size_t nblocks) noexcept;

#if CLSCRYPT_SHA256_X86
/// The x86 SHA extensions (SHA-NI). Needs SHA, SSSE3 and SSE4.1. The text
/// kernel narrows with SSE2 (PACKUSWB).
void sha256_compress_x86_sha(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t nblocks) noexcept;
void sha256_compress_text_x86_sha(std::uint32_t state[8], const char16_t* text, std::size_t nblocks) noexcept;
#endif

struct Sha256Backend {
    std::string_view name;
    Sha256Compress compress;
    Sha256CompressText compress_text;
};

/// The kernels this build holds that the running processor can execute: the
/// portable one first, the preferred one last.
[[nodiscard]] std::span<const Sha256Backend> sha256_backends() noexcept;

/// Compresses through the kernel in force: the preferred one, chosen on the
/// first call from any thread, unless a ScopedSha256Backend says otherwise.
void sha256_compress(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t nblocks) noexcept;

/// The text kernel of the same backend.
void sha256_compress_text(std::uint32_t state[8], const char16_t* text, std::size_t nblocks) noexcept;

/// Puts one kernel in force for the whole process while it lives, then
/// restores the one before; for tests and benchmarks that must run each
/// kernel through the public interface. Not to be used while other threads
/// are hashing.
class ScopedSha256Backend {
public:
    explicit ScopedSha256Backend(const Sha256Backend& backend) noexcept;
    ScopedSha256Backend(const ScopedSha256Backend&) = delete;
    ScopedSha256Backend& operator=(const ScopedSha256Backend&) = delete;
    ScopedSha256Backend(ScopedSha256Backend&&) = delete;
    ScopedSha256Backend& operator=(ScopedSha256Backend&&) = delete;
    ~ScopedSha256Backend();

private:
    Sha256Compress previous_;
    Sha256CompressText previous_text_;
};

}  // namespace clscrypt::detail
