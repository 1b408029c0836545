// The SHA-256 compression function on the x86 SHA extensions.
//
// SHA256RNDS2 runs two rounds on the state held as two vectors, ABEF and
// CDGH, taking W[t] + K[t] for both rounds in the low half of its third
// operand. SHA256MSG1 and SHA256MSG2 compute the message schedule four words
// at a time. The text kernels narrow each block's characters to bytes as
// they load it. Only the functions here carry the target attribute, so nothing
// else in the library is compiled for these instructions: the caller checks
// the processor first.

#include "digest/kernels/dispatch.hpp"

#if CLSCRYPT_SHA256_X86

#include <immintrin.h>

#include "digest/kernels/constants.hpp"

#define CLSCRYPT_X86_SHA [[gnu::target("sha,sse4.1")]]

namespace clscrypt::detail {

namespace {

// Four rounds, 4G to 4G + 3. `cur` holds W[4G..4G+3]; `next` and `prev` hold
// the words of groups G + 1 and G - 1 (the latter also group G + 3, which
// replaces it). Group G finishes the schedule of group G + 1 (SHA256MSG2,
// from group 4 on) and starts that of group G + 3 (SHA256MSG1).
template <int G>
CLSCRYPT_X86_SHA [[gnu::always_inline]] inline void four_rounds(__m128i& abef, __m128i& cdgh, const __m128i& cur,
                                                                __m128i& next, __m128i& prev) noexcept {
    const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kSha256K.data() + 4 * G));
    __m128i wk = _mm_add_epi32(cur, k);
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
    if constexpr (G >= 3 && G <= 14) {
        // W[t - 7] for the four words of group G + 1 straddles prev and cur.
        next = _mm_sha256msg2_epu32(_mm_add_epi32(next, _mm_alignr_epi8(cur, prev, 4)), cur);
    }
    wk = _mm_shuffle_epi32(wk, 0x0E);
    abef = _mm_sha256rnds2_epu32(abef, cdgh, wk);
    if constexpr (G >= 1 && G <= 12) {
        prev = _mm_sha256msg1_epu32(prev, cur);
    }
}

// Sixty-four rounds on one block, whose words W[0..15] are m0..m3 (already
// in the processor's byte order).
CLSCRYPT_X86_SHA [[gnu::always_inline]] inline void block_rounds(__m128i& abef, __m128i& cdgh, __m128i m0, __m128i m1,
                                                                 __m128i m2, __m128i m3) noexcept {
    const __m128i abef_before = abef;
    const __m128i cdgh_before = cdgh;
    four_rounds<0>(abef, cdgh, m0, m1, m3);
    four_rounds<1>(abef, cdgh, m1, m2, m0);
    four_rounds<2>(abef, cdgh, m2, m3, m1);
    four_rounds<3>(abef, cdgh, m3, m0, m2);
    four_rounds<4>(abef, cdgh, m0, m1, m3);
    four_rounds<5>(abef, cdgh, m1, m2, m0);
    four_rounds<6>(abef, cdgh, m2, m3, m1);
    four_rounds<7>(abef, cdgh, m3, m0, m2);
    four_rounds<8>(abef, cdgh, m0, m1, m3);
    four_rounds<9>(abef, cdgh, m1, m2, m0);
    four_rounds<10>(abef, cdgh, m2, m3, m1);
    four_rounds<11>(abef, cdgh, m3, m0, m2);
    four_rounds<12>(abef, cdgh, m0, m1, m3);
    four_rounds<13>(abef, cdgh, m1, m2, m0);
    four_rounds<14>(abef, cdgh, m2, m3, m1);
    four_rounds<15>(abef, cdgh, m3, m0, m2);
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
}

// a..d and e..h into the ABEF / CDGH arrangement the instructions use.
CLSCRYPT_X86_SHA [[gnu::always_inline]] inline void load_state(const std::uint32_t state[8], __m128i& abef,
                                                               __m128i& cdgh) noexcept {
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    abef = _mm_alignr_epi8(cdab, efgh, 8);
    cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
}

// Back to a..h.
CLSCRYPT_X86_SHA [[gnu::always_inline]] inline void store_state(std::uint32_t state[8], __m128i abef,
                                                                __m128i cdgh) noexcept {
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Each 32-bit word of a block is big-endian.
CLSCRYPT_X86_SHA [[gnu::always_inline]] inline __m128i byte_swap_words(__m128i v) noexcept {
    return _mm_shuffle_epi8(v, _mm_set_epi64x(0x0C0D0E0F08090A0BLL, 0x0405060700010203LL));
}

// Sixteen characters' low bytes with SSE2: PACKUSWB saturates, so each lane
// is masked to its low byte first (U+0100 gives 0x00, not 0xFF).
CLSCRYPT_X86_SHA [[gnu::always_inline]] inline __m128i narrow_sse2(const char16_t* text) noexcept {
    const __m128i low_byte = _mm_set1_epi16(0x00FF);
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + 8));
    return _mm_packus_epi16(_mm_and_si128(first, low_byte), _mm_and_si128(second, low_byte));
}

}  // namespace

CLSCRYPT_X86_SHA void sha256_compress_x86_sha(std::uint32_t state[8], const std::uint8_t* blocks,
                                              std::size_t nblocks) noexcept {
    __m128i abef;
    __m128i cdgh;
    load_state(state, abef, cdgh);
    for (; nblocks > 0; --nblocks, blocks += 64) {
        const auto* in = reinterpret_cast<const __m128i*>(blocks);
        block_rounds(abef, cdgh, byte_swap_words(_mm_loadu_si128(in)), byte_swap_words(_mm_loadu_si128(in + 1)),
                     byte_swap_words(_mm_loadu_si128(in + 2)), byte_swap_words(_mm_loadu_si128(in + 3)));
    }
    store_state(state, abef, cdgh);
}

CLSCRYPT_X86_SHA void sha256_compress_text_x86_sha(std::uint32_t state[8], const char16_t* text,
                                                   std::size_t nblocks) noexcept {
    __m128i abef;
    __m128i cdgh;
    load_state(state, abef, cdgh);
    for (; nblocks > 0; --nblocks, text += kSha256TextBlock) {
        block_rounds(abef, cdgh, byte_swap_words(narrow_sse2(text)), byte_swap_words(narrow_sse2(text + 16)),
                     byte_swap_words(narrow_sse2(text + 32)), byte_swap_words(narrow_sse2(text + 48)));
    }
    store_state(state, abef, cdgh);
}

}  // namespace clscrypt::detail

#undef CLSCRYPT_X86_SHA

#endif
