// Choosing the compression kernel. The kernel in force is a function pointer
// that starts out pointing at a resolver: the first call, from whichever
// thread, asks which kernels the processor can run, installs the preferred
// one and compresses through it. Later calls cost one atomic load and an
// indirect call per run of blocks. Bytes and text have a pointer each,
// always set from the same backend.

#include <array>
#include <atomic>

#include "common/short_list.hpp"
#include "digest/kernels/dispatch.hpp"
#include "platform/cpu_features.hpp"

namespace clscrypt::detail {

namespace {

using BackendList = common::ShortList<Sha256Backend, 3>;

BackendList available_backends() noexcept {
    BackendList list;
    list.add({"portable", &sha256_compress_portable, &sha256_compress_text_portable});
#if CLSCRYPT_SHA256_X86
    // Narrowing with VPMOVWB (AVX-512 BW/VL) measured slower than PACKUSWB
    // beside the SHA instructions, which exist only in the legacy SSE
    // encoding: the 256-bit loads need a VZEROUPPER every block (without
    // it, a hundred times slower). SSE2 narrows for the one x86 kernel.
    if (platform::cpu_features().x86_sha) {
        list.add({"x86-sha", &sha256_compress_x86_sha, &sha256_compress_text_x86_sha});
    }
#endif
    // Another processor's kernel is declared in dispatch.hpp and listed here.
    return list;
}

void resolve_and_compress(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t nblocks) noexcept;
void resolve_and_compress_text(std::uint32_t state[8], const char16_t* text, std::size_t nblocks) noexcept;

std::atomic<Sha256Compress> g_compress{&resolve_and_compress};
std::atomic<Sha256CompressText> g_compress_text{&resolve_and_compress_text};

// Threads racing here all pick the same kernel; a kernel already forced by
// ScopedSha256Backend is left in place.
void resolve_and_compress(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t nblocks) noexcept {
    Sha256Compress expected = &resolve_and_compress;
    g_compress.compare_exchange_strong(expected, sha256_backends().back().compress, std::memory_order_acq_rel);
    g_compress.load(std::memory_order_acquire)(state, blocks, nblocks);
}

void resolve_and_compress_text(std::uint32_t state[8], const char16_t* text, std::size_t nblocks) noexcept {
    Sha256CompressText expected = &resolve_and_compress_text;
    g_compress_text.compare_exchange_strong(expected, sha256_backends().back().compress_text,
                                            std::memory_order_acq_rel);
    g_compress_text.load(std::memory_order_acquire)(state, text, nblocks);
}

}  // namespace

std::span<const Sha256Backend> sha256_backends() noexcept {
    static const BackendList list = available_backends();
    return {list.items.data(), list.count};
}

void sha256_compress(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t nblocks) noexcept {
    g_compress.load(std::memory_order_acquire)(state, blocks, nblocks);
}

void sha256_compress_text(std::uint32_t state[8], const char16_t* text, std::size_t nblocks) noexcept {
    g_compress_text.load(std::memory_order_acquire)(state, text, nblocks);
}

ScopedSha256Backend::ScopedSha256Backend(const Sha256Backend& backend) noexcept
    : previous_(g_compress.exchange(backend.compress, std::memory_order_acq_rel)),
      previous_text_(g_compress_text.exchange(backend.compress_text, std::memory_order_acq_rel)) {}

ScopedSha256Backend::~ScopedSha256Backend() {
    g_compress.store(previous_, std::memory_order_release);
    g_compress_text.store(previous_text_, std::memory_order_release);
}

}  // namespace clscrypt::detail
