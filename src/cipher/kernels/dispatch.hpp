#pragma once

// The CBC kernels and the choice between them.
//
// A backend pairs an encryption kernel with a decryption kernel (and the key
// schedule, which enciphers like encryption); all have the signatures of the
// portable ones and give the same bytes. Encryption of one message is one
// chain of dependent blocks, so its kernels differ only in how short they
// make each round; many messages are many chains, which the lanes kernels
// run side by side (8 in the scalar ones, 64 in the AVX-512 VBMI one, with
// the byte planes below). Decryption works on independent blocks: the
// portable kernel interleaves several, the AVX-512 VBMI kernel looks up 64
// blocks at once in the byte planes of the S-boxes.
//
// A kernel is only called on a processor that has what it needs; which ones
// qualify is decided here from platform::cpu_features().

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "cipher/kernels/portable.hpp"

#if defined(__x86_64__) && !defined(CLSCRYPT_NO_SIMD)
#define CLSCRYPT_CBC_X86 1
#else
#define CLSCRYPT_CBC_X86 0
#endif

// WebAssembly without threads (the npm package): a decryption kernel shaped
// for the engines' compilers, which works from one fixed copy of the tables.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__) && !defined(CLSCRYPT_NO_WASM_KERNEL)
#define CLSCRYPT_CBC_WASM 1
#else
#define CLSCRYPT_CBC_WASM 0
#endif

namespace clscrypt::detail {

using CbcEncryptKernel = void (*)(const BlowfishTables& t, std::uint8_t* data, std::size_t len, Chain& chain) noexcept;
/// Many independent messages, each as CbcEncryptKernel would encipher it.
/// `planes` is the byte-plane form of `t`, or null when `count` is below
/// CbcBackend::lanes_planes_from.
using CbcEncryptLanesKernel = void (*)(const BlowfishTables& t, const BytePlanes* planes, CbcLane* lanes,
                                       std::size_t count) noexcept;
/// The key schedule's second half: with the key already in the P-array,
/// enciphers from a zero block and writes each result into the next two
/// table words, P first, then the S-boxes.
using FillTablesKernel = void (*)(BlowfishTables& t) noexcept;
/// `planes` is the byte-plane form of `t`; kernels that do not read it
/// (CbcBackend::planes_from) accept a null pointer.
using CbcDecryptKernel = void (*)(const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data,
                                  std::size_t len, Chain& chain) noexcept;

struct CbcBackend {
    std::string_view name;
    CbcEncryptKernel encrypt;
    CbcDecryptKernel decrypt;
    FillTablesKernel fill_tables;
    CbcEncryptLanesKernel encrypt_lanes;
    /// The decryption kernel reads the byte planes for runs of at least
    /// this many bytes (never when 0); shorter runs may pass a null pointer.
    std::size_t planes_from;
    /// The lanes kernel reads the byte planes for batches of at least this
    /// many messages (never when 0); smaller ones may pass a null pointer.
    std::size_t lanes_planes_from;
};

/// Portable decryption with the signature of the dispatched kernels.
void cbc_decrypt_portable(const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data, std::size_t len,
                          Chain& chain) noexcept;

/// The portable lanes kernel with the signature of the dispatched ones.
void cbc_encrypt_lanes_portable(const BlowfishTables& t, const BytePlanes* planes, CbcLane* lanes,
                                std::size_t count) noexcept;

/// The portable key-schedule kernel.
void fill_tables_portable(BlowfishTables& t) noexcept;

/// Fills `planes` from `t`.
void build_planes(const BlowfishTables& t, BytePlanes& planes) noexcept;

#if CLSCRYPT_CBC_WASM
/// Four blocks side by side in the order written, the S-boxes read at a
/// fixed address (kernels/wasm.cpp).
void cbc_decrypt_wasm(const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data, std::size_t len,
                      Chain& chain) noexcept;
#endif

#if CLSCRYPT_CBC_X86
/// Scalar kernels compiled for BMI1/BMI2 byte extraction.
void cbc_encrypt_bmi2(const BlowfishTables& t, std::uint8_t* data, std::size_t len, Chain& chain) noexcept;
void cbc_encrypt_lanes_bmi2(const BlowfishTables& t, const BytePlanes* planes, CbcLane* lanes,
                            std::size_t count) noexcept;
void fill_tables_bmi2(BlowfishTables& t) noexcept;
void cbc_decrypt_bmi2(const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data, std::size_t len,
                      Chain& chain) noexcept;
/// AVX-512 VBMI: 64 blocks at a time through the byte planes (runs of 512
/// bytes or more), the rest through the scalar kernel.
void cbc_decrypt_avx512_vbmi(const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data, std::size_t len,
                             Chain& chain) noexcept;
/// AVX-512 VBMI: 64 messages side by side, one block of each at a time
/// through the byte planes, for batches of kAvx512Lanes messages or more;
/// smaller ones, and the last messages of a batch, through the scalar
/// lanes kernel.
void cbc_encrypt_lanes_avx512_vbmi(const BlowfishTables& t, const BytePlanes* planes, CbcLane* lanes,
                                   std::size_t count) noexcept;
#endif
inline constexpr std::size_t kAvx512Batch = 512;
inline constexpr std::size_t kAvx512Lanes = 16;

/// The backends this build holds that the running processor can execute:
/// the portable one first, the preferred one last.
[[nodiscard]] std::span<const CbcBackend> cbc_backends() noexcept;

/// The backend in force: the preferred one, chosen on first use from any
/// thread, unless a ScopedCbcBackend says otherwise.
[[nodiscard]] const CbcBackend& cbc_backend() noexcept;

/// Puts one backend in force for the whole process while it lives, then
/// restores the one before; for tests and benchmarks. Not to be used while
/// other threads are enciphering.
class ScopedCbcBackend {
public:
    explicit ScopedCbcBackend(const CbcBackend& backend) noexcept;
    ScopedCbcBackend(const ScopedCbcBackend&) = delete;
    ScopedCbcBackend& operator=(const ScopedCbcBackend&) = delete;
    ~ScopedCbcBackend();

private:
    const CbcBackend* previous_;
};

}  // namespace clscrypt::detail
