// Processor features on x86, from the CPUID instruction and, for the vector
// registers, from what the operating system enabled in XCR0.

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>

#include "platform/cpu_features.hpp"
#include "platform/wipe.hpp"

namespace clscrypt::platform {

namespace {

// Leaf 1, ECX.
constexpr unsigned kSsse3 = 1U << 9;
constexpr unsigned kSse41 = 1U << 19;
constexpr unsigned kOsxsave = 1U << 27;
// Leaf 7 sub-leaf 0, EBX.
constexpr unsigned kBmi1 = 1U << 3;
constexpr unsigned kBmi2 = 1U << 8;
constexpr unsigned kAvx512F = 1U << 16;
constexpr unsigned kSha = 1U << 29;
constexpr unsigned kAvx512Bw = 1U << 30;
// Leaf 7 sub-leaf 0, ECX.
constexpr unsigned kAvx512Vbmi = 1U << 1;
constexpr unsigned kAvx = 1U << 28;
// XCR0: SSE and AVX state, then the opmask, upper ZMM0-15 and ZMM16-31 state.
constexpr unsigned long long kYmmState = (1ULL << 1) | (1ULL << 2);
constexpr unsigned long long kZmmState = kYmmState | (1ULL << 5) | (1ULL << 6) | (1ULL << 7);

unsigned long long xcr0() noexcept {
    unsigned lo = 0;
    unsigned hi = 0;
    // XGETBV with ECX = 0; spelled out so that no target attribute is needed.
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<unsigned long long>(hi) << 32) | lo;
}

CpuFeatures detect() noexcept {
    CpuFeatures f;
    if (portable_forced()) return f;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx1 = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx1, &edx) == 0) return f;
    unsigned ebx7 = 0;
    unsigned ecx7 = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx7, &ecx7, &edx) == 0) return f;

    f.x86_sha = (ebx7 & kSha) != 0 && (ecx1 & kSsse3) != 0 && (ecx1 & kSse41) != 0;
    f.x86_bmi2 = (ebx7 & kBmi1) != 0 && (ebx7 & kBmi2) != 0;
    // The instructions alone are not enough: a kernel may only touch the
    // 512-bit and mask registers when the system saves them on a switch.
    const bool os_saves_zmm = (ecx1 & kOsxsave) != 0 && (xcr0() & kZmmState) == kZmmState;
    f.x86_avx512_vbmi = os_saves_zmm && (ebx7 & kAvx512F) != 0 && (ebx7 & kAvx512Bw) != 0 && (ecx7 & kAvx512Vbmi) != 0;
    return f;
}

#if defined(__x86_64__) && !defined(_WIN32)
enum class RegisterFile { Xmm, Ymm, Zmm };

// Which registers exist, whatever the kernel choice: the C library's own
// copies use the widest ones even when the portable kernels are forced.
RegisterFile register_file() noexcept {
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0 || (ecx & kOsxsave) == 0 || (ecx & kAvx) == 0) {
        return RegisterFile::Xmm;
    }
    const unsigned long long state = xcr0();
    if ((state & kYmmState) != kYmmState) return RegisterFile::Xmm;
    unsigned ebx7 = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx7, &ecx, &edx) != 0 && (ebx7 & kAvx512F) != 0 &&
        (state & kZmmState) == kZmmState) {
        return RegisterFile::Zmm;
    }
    return RegisterFile::Ymm;
}

// In the System V convention every vector register is caller-saved, so the
// clobbers below cost nothing and make the compiler keep nothing in them.
__attribute__((target("avx512f"), noinline)) void clear_zmm() noexcept {
    __asm__ volatile(
        "vzeroall\n\t"
        "vpxord %%zmm16, %%zmm16, %%zmm16\n\tvpxord %%zmm17, %%zmm17, %%zmm17\n\t"
        "vpxord %%zmm18, %%zmm18, %%zmm18\n\tvpxord %%zmm19, %%zmm19, %%zmm19\n\t"
        "vpxord %%zmm20, %%zmm20, %%zmm20\n\tvpxord %%zmm21, %%zmm21, %%zmm21\n\t"
        "vpxord %%zmm22, %%zmm22, %%zmm22\n\tvpxord %%zmm23, %%zmm23, %%zmm23\n\t"
        "vpxord %%zmm24, %%zmm24, %%zmm24\n\tvpxord %%zmm25, %%zmm25, %%zmm25\n\t"
        "vpxord %%zmm26, %%zmm26, %%zmm26\n\tvpxord %%zmm27, %%zmm27, %%zmm27\n\t"
        "vpxord %%zmm28, %%zmm28, %%zmm28\n\tvpxord %%zmm29, %%zmm29, %%zmm29\n\t"
        "vpxord %%zmm30, %%zmm30, %%zmm30\n\tvpxord %%zmm31, %%zmm31, %%zmm31" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
              "xmm13", "xmm14", "xmm15", "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23",
              "xmm24", "xmm25", "xmm26", "xmm27", "xmm28", "xmm29", "xmm30", "xmm31");
}

__attribute__((target("avx"), noinline)) void clear_ymm() noexcept {
    __asm__ volatile("vzeroall" ::
                         : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
                           "xmm11", "xmm12", "xmm13", "xmm14", "xmm15");
}

__attribute__((noinline)) void clear_xmm() noexcept {
    __asm__ volatile(
        "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
        "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
        "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
        "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15" ::
            : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12",
              "xmm13", "xmm14", "xmm15");
}
#endif

}  // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = detect();
    return features;
}

void clear_vector_registers() noexcept {
#if defined(__x86_64__) && !defined(_WIN32)
    static const RegisterFile file = register_file();
    switch (file) {
        case RegisterFile::Zmm: clear_zmm(); break;
        case RegisterFile::Ymm: clear_ymm(); break;
        case RegisterFile::Xmm: clear_xmm(); break;
    }
#endif
}

}  // namespace clscrypt::platform

#endif
