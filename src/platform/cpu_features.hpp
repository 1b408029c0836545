#pragma once

// What the processor running us can do, for the code that picks a kernel at
// run time. This is the only place that asks the processor; kernels never
// look for themselves.

namespace clscrypt::platform {

struct CpuFeatures {
    /// x86 SHA extensions with the SSSE3 and SSE4.1 shuffles the SHA-256
    /// kernel needs around them.
    bool x86_sha = false;
    /// ARMv8 cryptographic extension: the SHA-256 instructions.
    bool arm_sha2 = false;
};

/// The features of the running processor, detected once (thread-safe).
[[nodiscard]] const CpuFeatures& cpu_features() noexcept;

}  // namespace clscrypt::platform
