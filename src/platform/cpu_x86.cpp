// Processor features on x86, from the CPUID instruction.

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>

#include <cstdint>

#include "platform/cpu_features.hpp"

namespace clscrypt::platform {

namespace {

// Leaf 1, ECX.
constexpr unsigned kSsse3 = 1U << 9;
constexpr unsigned kSse41 = 1U << 19;
constexpr unsigned kOsxsave = 1U << 27;
constexpr unsigned kAvx = 1U << 28;
// Leaf 7 sub-leaf 0, EBX.
constexpr unsigned kAvx2 = 1U << 5;
constexpr unsigned kSha = 1U << 29;
// XCR0: the operating system saves the SSE and AVX register state.
constexpr std::uint32_t kXcr0SseAvx = 0x6;

std::uint32_t xcr0() noexcept {
    std::uint32_t eax = 0;
    std::uint32_t edx = 0;
    // XGETBV with ECX = 0; spelled as bytes so that no target flag is needed.
    __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(eax), "=d"(edx) : "c"(0));
    return eax;
}

CpuFeatures detect() noexcept {
    CpuFeatures f;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx1 = 0;
    unsigned edx = 0;
    if (__get_cpuid(1, &eax, &ebx, &ecx1, &edx) == 0) return f;
    unsigned ebx7 = 0;
    unsigned ecx7 = 0;
    if (__get_cpuid_count(7, 0, &eax, &ebx7, &ecx7, &edx) == 0) return f;

    f.x86_sha = (ebx7 & kSha) != 0 && (ecx1 & kSsse3) != 0 && (ecx1 & kSse41) != 0;
    const bool os_saves_ymm = (ecx1 & kOsxsave) != 0 && (xcr0() & kXcr0SseAvx) == kXcr0SseAvx;
    f.x86_avx2 = os_saves_ymm && (ecx1 & kAvx) != 0 && (ebx7 & kAvx2) != 0;
    return f;
}

}  // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = detect();
    return features;
}

}  // namespace clscrypt::platform

#endif
