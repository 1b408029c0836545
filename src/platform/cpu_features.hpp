#pragma once

// What the processor running us can do, for the code that picks a kernel at
// run time. This is the only place that asks the processor; kernels never
// look for themselves.
//
// Setting the environment variable CLSCRYPT_PORTABLE (to anything but "" or
// "0") before the first query hides every feature below, so that the whole
// process runs the portable kernels: how CI and anyone chasing a suspected
// kernel fault run the same binary without the accelerated paths.

namespace clscrypt::platform {

struct CpuFeatures {
    /// x86 SHA extensions with the SSSE3 and SSE4.1 shuffles the SHA-256
    /// kernel needs around them.
    bool x86_sha = false;
    /// x86 BMI1 and BMI2 (bextr, shrx): cheap byte extraction for the scalar
    /// Blowfish kernels.
    bool x86_bmi2 = false;
    /// AVX-512 F, BW and VBMI, with the operating system saving the mask and
    /// 512-bit registers across context switches (XCR0): the byte-plane
    /// decryption kernel.
    bool x86_avx512_vbmi = false;
};

/// The features of the running processor, detected once (thread-safe).
[[nodiscard]] const CpuFeatures& cpu_features() noexcept;

/// True when CLSCRYPT_PORTABLE asks for the portable kernels only.
[[nodiscard]] bool portable_forced() noexcept;

}  // namespace clscrypt::platform
