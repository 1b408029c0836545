#pragma once

// The AVX-512 intrinsics for the emulated build of the AVX-512 VBMI kernels
// (CLSCRYPT_AVX512_EMULATED): SIMDe's portable implementations under the
// intrinsics' own names, and the little that SIMDe does not provide or
// provides in a form the sanitizers object to.

#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

#include <cstdint>

// SIMDe names the 64-bit mask type but gives it no native alias.
typedef simde__mmask64 __mmask64;

namespace clscrypt::detail::emulated {

// valignq with a zero mask: the 16 quadwords a:b (b the low half) shifted
// down by `count` quadwords, the low eight kept where `k` has their bit.
inline simde__m512i maskz_alignr_epi64(simde__mmask8 k, simde__m512i a, simde__m512i b, int count) noexcept {
    std::uint64_t in[16];
    simde_mm512_storeu_si512(in, b);
    simde_mm512_storeu_si512(in + 8, a);
    std::uint64_t out[8];
    for (unsigned j = 0; j < 8; ++j) {
        const unsigned from = j + (static_cast<unsigned>(count) & 7U);
        out[j] = ((k >> j) & 1U) != 0 ? in[from] : 0;
    }
    return simde_mm512_loadu_si512(out);
}

// vpaddb wraps each byte. SIMDe adds the bytes as signed chars, which
// UndefinedBehaviorSanitizer reports as overflow; here they are unsigned.
inline simde__m512i add_epi8(simde__m512i a, simde__m512i b) noexcept {
    std::uint8_t x[64];
    std::uint8_t y[64];
    simde_mm512_storeu_si512(x, a);
    simde_mm512_storeu_si512(y, b);
    for (unsigned j = 0; j < 64; ++j) x[j] = static_cast<std::uint8_t>(x[j] + y[j]);
    return simde_mm512_loadu_si512(x);
}

inline simde__m512i mask_add_epi8(simde__m512i src, simde__mmask64 k, simde__m512i a, simde__m512i b) noexcept {
    return simde_mm512_mask_mov_epi8(src, k, add_epi8(a, b));
}

}  // namespace clscrypt::detail::emulated

#undef _mm512_add_epi8
#undef _mm512_mask_add_epi8
#define _mm512_add_epi8(a, b) ::clscrypt::detail::emulated::add_epi8((a), (b))
#define _mm512_mask_add_epi8(src, k, a, b) ::clscrypt::detail::emulated::mask_add_epi8((src), (k), (a), (b))
#define _mm512_maskz_alignr_epi64(k, a, b, count) \
    ::clscrypt::detail::emulated::maskz_alignr_epi64((k), (a), (b), (count))
