// Processor features where no detection is written yet: nothing beyond the
// baseline, so the portable kernels run. An ARMv8 build would read the
// hardware capabilities here (getauxval(AT_HWCAP) & HWCAP_SHA2 on Linux) and
// set arm_sha2.

#if !defined(__x86_64__) && !defined(__i386__)

#include "platform/cpu_features.hpp"
#include "platform/wipe.hpp"

namespace clscrypt::platform {

const CpuFeatures& cpu_features() noexcept {
    static const CpuFeatures features{};
    return features;
}

// No register clearing written for these processors yet.
void clear_vector_registers() noexcept {}

}  // namespace clscrypt::platform

#endif
