// Processor features where no detection is written yet: nothing beyond the
// baseline, so the portable kernels run.

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
