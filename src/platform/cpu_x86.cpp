// Processor features on x86, from the CPUID instruction and, for the vector
// registers, from what the operating system enabled in XCR0.

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>

#include "platform/cpu_features.hpp"

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
// XCR0: SSE and AVX state, then the opmask, upper ZMM0-15 and ZMM16-31 state.
constexpr unsigned long long kZmmState = (1ULL << 1) | (1ULL << 2) | (1ULL << 5) | (1ULL << 6) | (1ULL << 7);

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

}  // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = detect();
    return features;
}

}  // namespace clscrypt::platform

#endif
