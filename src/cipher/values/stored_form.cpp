// The stored forms of values: hexadecimal (sixteen digits at a time where
// SSE2 is there), Base64 and the string form.

#include "cipher/values/stored_form.hpp"

#include <array>
#include <cstring>

#include "common/base64.hpp"
#include "common/hex.hpp"

#if defined(__SSE2__) && !defined(CLSCRYPT_NO_SIMD)
#include <emmintrin.h>
#define CLSCRYPT_VALUES_SSE2 1
#else
#define CLSCRYPT_VALUES_SSE2 0
#endif

namespace clscrypt::detail {

namespace {

// The two upper-case digits of each byte value, side by side.
constexpr std::array<char, 512> kHexPairs = [] {
    std::array<char, 512> pairs{};
    constexpr char digits[] = "0123456789ABCDEF";
    for (std::size_t b = 0; b < 256; ++b) {
        pairs[2 * b] = digits[b >> 4];
        pairs[2 * b + 1] = digits[b & 15];
    }
    return pairs;
}();

// The value of each character as a digit; kNotDigit for any other.
constexpr std::uint32_t kNotDigit = 0x100;
constexpr std::array<std::uint16_t, 256> kDigitValue = [] {
    std::array<std::uint16_t, 256> values{};
    for (std::size_t c = 0; c < 256; ++c) {
        const int v = common::hex_digit_value(static_cast<char>(static_cast<unsigned char>(c)));
        values[c] = static_cast<std::uint16_t>(v < 0 ? kNotDigit : static_cast<std::uint32_t>(v));
    }
    return values;
}();

// Sixteen digits of either case at `in` to eight bytes at `out`, in 64-bit
// words (each byte a lane, with no carry or borrow from one to the next);
// false when any of them is not a digit. The code without SSE2 (the npm
// package's WebAssembly above all), where a table look-up a digit took as
// long as a fifth of the block work of a short value.
inline bool read_hex16_words(const char* in, std::uint8_t* out) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101U;
    constexpr std::uint64_t kHigh = 0x8080808080808080U;
    std::uint64_t bytes = 0;
    for (std::size_t half = 0; half < 2; ++half) {
        std::uint64_t x = 0;
        for (std::size_t k = 0; k < 8; ++k) x |= std::uint64_t{static_cast<unsigned char>(in[8 * half + k])} << (8 * k);
        // Each lane below 0x80: then a lane's top bit after these
        // subtractions says whether the character is at least the lower
        // bound, and at most the upper one.
        const std::uint64_t folded = x | (0x20 * kOnes);
        const std::uint64_t digit = ((x | kHigh) - 0x30 * kOnes) & ((0x39 * kOnes | kHigh) - x);
        const std::uint64_t letter = ((folded | kHigh) - 0x61 * kOnes) & ((0x66 * kOnes | kHigh) - folded);
        if ((x & kHigh) != 0 || ((digit | letter) & kHigh) != kHigh) return false;
        // A digit's value is its low four bits, a letter's nine more.
        const std::uint64_t v = (x & (0x0F * kOnes)) + ((letter & kHigh) >> 7) * 9;
        // Each pair in a 16-bit lane, the high digit in the lower byte.
        std::uint64_t pairs = ((v & 0x00FF00FF00FF00FFU) << 4) | ((v >> 8) & 0x00FF00FF00FF00FFU);
        pairs = (pairs | (pairs >> 8)) & 0x0000FFFF0000FFFFU;
        pairs = (pairs | (pairs >> 16)) & 0xFFFFFFFFU;
        bytes |= pairs << (32 * half);
    }
    for (std::size_t k = 0; k < 8; ++k) out[k] = static_cast<std::uint8_t>(bytes >> (8 * k));
    return true;
}

#if CLSCRYPT_VALUES_SSE2
// Sixteen digits of either case at `in` to eight bytes at `out`; false when
// any of them is not a digit. Every x86-64 processor has SSE2.
inline bool read_hex16(const char* in, std::uint8_t* out) noexcept {
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    // Setting bit 5 folds the capitals onto the small letters and leaves
    // the digits as they are.
    const __m128i folded = _mm_or_si128(c, _mm_set1_epi8(0x20));
    const __m128i digit =
        _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
    const __m128i letter =
        _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)), _mm_cmplt_epi8(folded, _mm_set1_epi8('f' + 1)));
    if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xFFFF) return false;
    // A letter's value is its code less 'a' - 10 (87), a digit's 39 more.
    const __m128i v = _mm_add_epi8(_mm_sub_epi8(folded, _mm_set1_epi8(87)), _mm_and_si128(digit, _mm_set1_epi8(39)));
    // Each pair in a 16-bit lane, the high digit in the low byte.
    const __m128i bytes = _mm_or_si128(_mm_slli_epi16(_mm_and_si128(v, _mm_set1_epi16(0xFF)), 4), _mm_srli_epi16(v, 8));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(bytes, bytes));
    return true;
}
#endif

// Bytes to upper-case digit pairs at `out` (room for 2 * n), sixteen
// digits at a time with `vector`.
void write_hex(const std::uint8_t* b, std::size_t n, char* out, [[maybe_unused]] bool vector) noexcept {
    std::size_t i = 0;
#if CLSCRYPT_VALUES_SSE2
    const __m128i low_nibble = _mm_set1_epi8(0x0F);
    const __m128i nine = _mm_set1_epi8(9);
    for (; vector && i + 8 <= n; i += 8) {
        const __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b + i));
        // Each byte's high digit, then its low one, in byte order.
        const __m128i high = _mm_and_si128(_mm_srli_epi16(x, 4), low_nibble);
        const __m128i digits = _mm_unpacklo_epi8(high, _mm_and_si128(x, low_nibble));
        // '0' + d, and 7 more for A to F.
        const __m128i letters = _mm_and_si128(_mm_cmpgt_epi8(digits, nine), _mm_set1_epi8(7));
        const __m128i text = _mm_add_epi8(_mm_add_epi8(digits, _mm_set1_epi8('0')), letters);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), text);
    }
#endif
    for (; i < n; ++i) std::memcpy(out + 2 * i, &kHexPairs[2 * std::size_t{b[i]}], 2);
}

// Hexadecimal text to bytes at `out` (room for text.size() / 2); the count,
// or kUnread when the text is not hexadecimal. Digits in pairs without
// separators, as this library and most exports write them, take the quick
// loop (sixteen at a time, in SSE2 with `vector`, else in 64-bit words, the
// last few by table); anything else is read again by the lenient reader.
std::size_t read_hex(std::string_view text, std::uint8_t* out, [[maybe_unused]] bool vector) {
    // The library's one reading rule (ReadHex keeps the same): the bytea
    // prefix, then digits with separators skipped.
    text.remove_prefix(common::ciphertext_hex_prefix(text));
    if (text.size() % 2 == 0) {
        const auto* c = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t n = text.size() / 2;
        std::size_t i = 0;
        bool digits = true;
#if CLSCRYPT_VALUES_SSE2
        if (vector) {
            for (; digits && i + 8 <= n; i += 8) digits = read_hex16(text.data() + 2 * i, out + i);
        }
#endif
        for (; digits && i + 8 <= n; i += 8) digits = read_hex16_words(text.data() + 2 * i, out + i);
        std::uint32_t seen = 0;
        for (; digits && i < n; ++i) {
            const std::uint32_t high = kDigitValue[c[2 * i]];
            const std::uint32_t low = kDigitValue[c[2 * i + 1]];
            seen |= high | low;
            out[i] = static_cast<std::uint8_t>((high << 4) | low);
        }
        if (digits && (seen & kNotDigit) == 0) return n;
    }
    std::size_t written = 0;
    if (common::decode_hex(text, common::is_ciphertext_hex_separator, [&](std::uint8_t b) { out[written++] = b; }))
        return kUnread;
    return written;
}

}  // namespace

std::size_t StoredForms::read(std::string_view stored, StoredForm form, std::uint8_t* out) const {
    switch (form) {
        case StoredForm::Bytes:
            if (!stored.empty()) std::memcpy(out, stored.data(), stored.size());
            return stored.size();
        case StoredForm::Hex: return read_hex(stored, out, vector_hex);
        case StoredForm::Base64: {
            std::size_t written = 0;
            if (common::decode_base64(stored, [&](std::uint8_t b) { out[written++] = b; })) return kUnread;
            return written;
        }
        case StoredForm::String: return text.to_page(stored, out, false).value_or(kUnread);
    }
    return kUnread;
}

void StoredForms::write(const std::uint8_t* b, std::size_t n, StoredForm form, std::string& out) const {
    out.clear();
    switch (form) {
        case StoredForm::Bytes: out.assign(b, b + n); return;
        case StoredForm::Hex: {
            const std::string& sep = hex_separator;
            if (n == 0) return;
            out.resize(2 * n + sep.size() * (n - 1));
            char* w = out.data();
            if (sep.empty()) {
                write_hex(b, n, w, vector_hex);
                return;
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (i != 0 && !sep.empty()) {
                    std::memcpy(w, sep.data(), sep.size());
                    w += sep.size();
                }
                std::memcpy(w, &kHexPairs[2 * std::size_t{b[i]}], 2);
                w += 2;
            }
            return;
        }
        case StoredForm::Base64:
            out.resize(common::base64_length(n));
            common::encode_base64(b, n, out.data());
            return;
        case StoredForm::String: text.to_text(b, n, out); return;
    }
}

}  // namespace clscrypt::detail
