#pragma once

// Long decryption runs split across threads. CBC decryption has no chain
// from block to block (each plaintext block needs only its own ciphertext
// block and the one before), so a run cut into pieces can be deciphered by
// several threads at once once each piece's preceding ciphertext block has
// been set aside. Nothing is shared out unless the program asked for more
// than one thread (SetDecryptionThreads, clscrypt/threads.hpp): a library
// starts no thread its caller did not ask for. Once asked, the workers are
// started on first need and kept for the life of the process, so a split
// costs a wake-up, not a thread start.

#include <cstddef>
#include <cstdint>

#include "cipher/kernels/dispatch.hpp"

namespace clscrypt::detail {

/// Runs shorter than this stay on the calling thread. Waking a worker is a
/// system call and a cross-processor interrupt, tens of microseconds on a
/// virtual machine; measured there (AVX-512 kernel, about 2 GB/s a thread),
/// a second thread broke even at about 512 KiB, so sharing starts at twice
/// that. File chunks (1 MiB) are shared.
inline constexpr std::size_t kParallelMinRun = std::size_t{1} << 20;

/// The most threads one run uses.
inline constexpr std::size_t kMaxDecryptThreads = 8;

/// Work the calling thread does while the workers decipher a run it shares
/// out: a file operation's reads and writes of the chunks either side of
/// the one being deciphered. Must not throw; it keeps its own failure.
struct Overlap {
    void (*call)(void* context) noexcept;
    void* context;
};

/// Deciphers like backend.decrypt; when more than one thread is allowed, a
/// run of kParallelMinRun bytes or more (unless a ScopedDecryptThreads says
/// otherwise) is cut into parts that the calling thread and idle workers
/// decipher at the same time. Returns when the whole run is done, with `chain` as the kernel would leave it. When the
/// workers are busy with another caller's run, or cannot be started, the calling thread does it all.
///
/// With `overlap` pointing at work, a run that is shared out calls it on the
/// calling thread once the workers have been offered the pieces (the caller
/// takes what pieces are left when it returns), and sets `*overlap` to null;
/// a run that is not shared out leaves it to the caller.
void cbc_decrypt_run(const CbcBackend& backend, const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data,
                     std::size_t len, Chain& chain, const Overlap** overlap = nullptr) noexcept;

/// Sets the most threads a decryption run may use, the caller's included,
/// for the whole process (0: as many as the processor has, up to
/// kMaxDecryptThreads; 1, the default: the caller's only, and no worker is
/// ever started).
void set_decryption_thread_limit(std::size_t threads) noexcept;

/// The shortest run cbc_decrypt_run shares out now (kParallelMinRun unless
/// a ScopedDecryptThreads says otherwise).
[[nodiscard]] std::size_t decryption_shared_run() noexcept;

/// The most threads a long run uses now: the limit, capped by the
/// processor's count and kMaxDecryptThreads.
[[nodiscard]] std::size_t decryption_thread_budget() noexcept;

/// Sets the threads a decryption run may use (0: as many as the processor
/// has, up to kMaxDecryptThreads; 1: the caller's only) and the shortest run
/// that is shared out, for the whole process while it lives, then restores
/// both; for tests (which split short runs to reach every split point
/// cheaply) and benchmarks.
class ScopedDecryptThreads {
public:
    explicit ScopedDecryptThreads(std::size_t threads, std::size_t min_run = kParallelMinRun) noexcept;
    ScopedDecryptThreads(const ScopedDecryptThreads&) = delete;
    ScopedDecryptThreads& operator=(const ScopedDecryptThreads&) = delete;
    ~ScopedDecryptThreads();

private:
    std::size_t previous_threads_;
    std::size_t previous_min_run_;
};

}  // namespace clscrypt::detail
