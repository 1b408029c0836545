// The legacy text hash. Whole blocks of a long text go straight from the
// caller's characters to the compression: the text kernel narrows each block
// to its low bytes as it loads it, so the text is read once and no narrowed
// copy of it is made. What is left (the last partial block, or all of a
// short text: passwords, names, the usual use) is narrowed into one or two
// blocks on the stack with its padding and compressed in one call. The
// digest is written as hexadecimal straight from the chaining words; the
// returned string is the only allocation.

#include <array>
#include <cstring>

#include "clscrypt/digest.hpp"
#include "digest/kernels/constants.hpp"
#include "digest/kernels/dispatch.hpp"
#include "digest/narrow.hpp"
#include "platform/wipe.hpp"

#if defined(__SSE2__) && !defined(CLSCRYPT_NO_SIMD)
#include <emmintrin.h>
#define CLSCRYPT_HEX_SSE2 1
#else
#define CLSCRYPT_HEX_SSE2 0
#endif

namespace clscrypt {

namespace {

// The longest text whose padding (a one bit and the 8-byte length) still
// fits two blocks: such a text is laid out whole on the stack, one call.
constexpr std::size_t kShortText = 2 * Sha256::BlockSize - 9;

#if CLSCRYPT_HEX_SSE2
// Sixteen bytes as 32 lower-case digits: the nibbles side by side, each
// lifted to '0'..'9' or 'a'..'f'.
void hex_of_bytes(__m128i bytes, char* out) noexcept {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble);
    const __m128i low = _mm_and_si128(bytes, nibble);
    const auto digits = [](__m128i v) {
        const __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
        return _mm_add_epi8(_mm_add_epi8(v, _mm_set1_epi8('0')), letter);
    };
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), digits(_mm_unpacklo_epi8(high, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), digits(_mm_unpackhi_epi8(high, low)));
}

// Four words, most significant byte first.
__m128i big_endian_bytes(const std::uint32_t* words) noexcept {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(words));
    v = _mm_or_si128(_mm_slli_epi16(v, 8), _mm_srli_epi16(v, 8));    // bytes within halves
    return _mm_shufflehi_epi16(_mm_shufflelo_epi16(v, 0xB1), 0xB1);  // halves within words
}
#endif

// The digest of the chaining words as 64 digits at `out`.
void write_digest_hex(const std::uint32_t state[8], char* out) noexcept {
#if CLSCRYPT_HEX_SSE2
    hex_of_bytes(big_endian_bytes(state), out);
    hex_of_bytes(big_endian_bytes(state + 4), out + 32);
#else
    constexpr char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < 8; ++i) {
        for (std::size_t j = 0; j < 8; ++j) out[8 * i + j] = digits[(state[i] >> (28 - 4 * j)) & 15];
    }
#endif
}

}  // namespace

std::string clsHsh::SHA256(std::u16string_view sMessage) const {
    struct Work {
        alignas(64) std::uint8_t block[2 * Sha256::BlockSize];
        std::array<std::uint32_t, 8> state;
    } w;
    w.state = detail::kSha256H0;
    const std::size_t n = sMessage.size();
    const std::size_t whole = n <= kShortText ? 0 : n / detail::kSha256TextBlock;
    if (whole > 0) detail::sha256_compress_text(w.state.data(), sMessage.data(), whole);

    const std::size_t rest = n - whole * detail::kSha256TextBlock;
    const std::size_t length = rest + 9 <= Sha256::BlockSize ? Sha256::BlockSize : 2 * Sha256::BlockSize;
    std::memset(w.block, 0, sizeof w.block);
    detail::narrow_low_bytes(sMessage.data() + whole * detail::kSha256TextBlock, rest, w.block);
    w.block[rest] = 0x80;
    const std::uint64_t bits = static_cast<std::uint64_t>(n) * 8;
    for (std::size_t i = 0; i < 8; ++i) w.block[length - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    detail::sha256_compress(w.state.data(), w.block, length / Sha256::BlockSize);

    std::string hex(2 * Sha256::DigestSize, '\0');
    write_digest_hex(w.state.data(), hex.data());
    platform::secure_wipe(&w, sizeof w);
    return hex;
}

}  // namespace clscrypt
