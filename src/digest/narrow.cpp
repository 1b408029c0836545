// Narrowing text to its low bytes. On x86 (where SSE2 is part of the 64-bit
// baseline) sixteen characters at a time: PACKUSWB packs 16-bit lanes into
// bytes with unsigned saturation, so each lane is masked down to its low
// byte first, which keeps U+0100 at 0x00 rather than saturating it to 0xFF.

#include "digest/narrow.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace clscrypt::detail {

void narrow_low_bytes(const char16_t* text, std::size_t count, std::uint8_t* out) noexcept {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i low_byte = _mm_set1_epi16(0x00FF);
    for (; i + 16 <= count; i += 16) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 8));
        const __m128i packed = _mm_packus_epi16(_mm_and_si128(first, low_byte), _mm_and_si128(second, low_byte));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), packed);
    }
#endif
    for (; i < count; ++i) out[i] = static_cast<std::uint8_t>(text[i] & 0xFFU);
}

}  // namespace clscrypt::detail
