// Processor features on x86, from the CPUID instruction.

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>

#include "platform/cpu_features.hpp"

namespace clscrypt::platform {

namespace {

// Leaf 1, ECX.
constexpr unsigned kSsse3 = 1U << 9;
constexpr unsigned kSse41 = 1U << 19;
// Leaf 7 sub-leaf 0, EBX.
constexpr unsigned kSha = 1U << 29;

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
    return f;
}

}  // namespace

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features = detect();
    return features;
}

}  // namespace clscrypt::platform

#endif
