// Single values and batches of them under prepared key states.
//
// Values go through in chunks: every value of a chunk is decoded from its
// stored form (or laid out from its plaintext) into one working buffer, side
// by side, and the block work of the whole chunk is one kernel call.
//
// Decryption of independent messages has no chain from one to the next:
// the chunk's ciphertexts, packed end to end, are deciphered as one CBC run
// under the first candidate, and each message's first block, which that run
// chained to the message before, is corrected by the block it was chained to.
// The size descriptor of each message is then a comparison; a message whose
// descriptor does not fit is read again from its stored form and tried with
// the other candidates, its first two blocks deciphered aside as the
// single-message operation does. Encryption (and the writing half of
// re-keying) hands every message of the chunk to the lanes kernel, which
// runs their chains side by side.
//
// Nothing here raises for a bad value: each failure is recorded, and its
// error object built once the chunk is done, in the order of the values, so
// LastError() names the last value that failed. The working buffers keep
// their capacity, and outputs are the caller's reused strings, so the
// steady state allocates nothing.

#include "clscrypt/values.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <utility>

#include "cipher/instance_access.hpp"
#include "cipher/kernels/dispatch.hpp"
#include "cipher/layout.hpp"
#include "cipher/message.hpp"
#include "cipher/parallel.hpp"
#include "clscrypt/cipher.hpp"
#include "common/base64.hpp"
#include "common/byte_order.hpp"
#include "common/cancel.hpp"
#include "common/error_numbers.hpp"
#include "common/hex.hpp"
#include "common/utf.hpp"
#include "platform/cpu_features.hpp"
#include "platform/wipe.hpp"

#if defined(__SSE2__) && !defined(CLSCRYPT_NO_SIMD)
#include <emmintrin.h>
#define CLSCRYPT_VALUES_SSE2 1
#else
#define CLSCRYPT_VALUES_SSE2 0
#endif

namespace clscrypt {

namespace {

using detail::CbcLane;
using detail::Chain;
using detail::kHeaderSize;


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

// What a reader returns for a text not in its form: no count of bytes can
// be this large. (A count or this in one word, rather than an optional
// count, stays in a register on its way back through the loop of a chunk.)
constexpr std::size_t kUnread = SIZE_MAX;

// Hexadecimal text to bytes at `out` (room for text.size() / 2); the count,
// or kUnread when the text is not hexadecimal. Digits in pairs without
// separators, as this library and most exports write them, take the quick
// loop (sixteen at a time with `vector`); anything else is read again by the
// lenient reader.
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
    if (common::decode_hex(text, common::is_ciphertext_hex_separator, [&](std::uint8_t b) { out[written++] = b; })) return kUnread;
    return written;
}

// Values are converted in chunks of about this many bytes of stored text:
// enough values for the kernels to run side by side, few enough that the
// working buffer stays in the caches.
constexpr std::size_t kChunkBytes = std::size_t{64} << 10;

// A ciphertext at least this long has its descriptor checked under the
// first candidate before the chunk is deciphered, so that a long message of
// another candidate is not deciphered in vain.
constexpr std::size_t kHeadCheckFrom = 4096;

// How one value of a chunk stands.
enum class Status : std::uint8_t {
    Packed,      // in the working buffer, converted if nothing else is said
    NotInForm,   // the stored text is not in its form
    BadLength,   // not a ciphertext length
    OtherKey,    // its descriptor does not fit the first candidate
    Unmappable,  // a text the code page cannot carry, or not UTF-8
    TooLong,     // a message too long for the format
    NoRandom,    // the system's random source failed
};

struct Item {
    std::size_t offset = 0;  // in the working buffer
    std::size_t length = 0;  // of the ciphertext (of the message while encrypting)
    std::int32_t size = 0;   // the descriptor read under the last candidate tried
    Chain seam;              // the ciphertext block the packed run chained the first block to
    Status status = Status::Packed;
};

constexpr char kNotInForm[] = "a value not in its stored form";
constexpr char kNotUtf8[] = "a text that is not UTF-8";
constexpr char kNoKey[] =
    "no key to encrypt under: the target key history is empty (allowNoKey writes data anyone can read)";

}  // namespace

struct ValueCipher::State {
    explicit State(ValueOptions o) : options(std::move(o)), target(options.codePage) {
        const CodePage& page = options.codePage;
        for (std::size_t c = 0; c < 256; ++c) {
            const auto ch = static_cast<char16_t>(c);
            latin[c] = page.Contains(ch) ? page.ToByte(ch) : kMissing;
            std::string u;
            common::append_utf8(u, page.ToChar(static_cast<std::uint8_t>(c)));
            utf8[c][0] = static_cast<char>(u.size());
            std::memcpy(&utf8[c][1], u.data(), u.size());
        }
        for (std::size_t c = 0; c < 128; ++c) {
            ascii_same = ascii_same && latin[c] == c && utf8[c][0] == 1 && utf8[c][1] == static_cast<char>(c);
        }
    }

    // Keys every candidate with its history and the target with `writer`.
    void apply_histories(std::span<const KeyHistory> histories, const KeyHistory& writer);

    ValueOptions options;
    std::vector<clsToString> candidates;
    clsToString target;
    bool target_keyless = false;  // the target history was empty

    // The code page at a glance: the byte of each character below U+0100
    // (kMissing where the page lacks it), and the UTF-8 of each byte's
    // character (its length first).
    static constexpr std::uint16_t kMissing = 0x100;
    std::array<std::uint16_t, 256> latin{};
    std::array<std::array<char, 4>, 256> utf8{};
    // Whether the page carries ASCII as itself, each character its own byte
    // (the pages in use all do): ASCII text then needs no decoding either way.
    bool ascii_same = true;

    // Hexadecimal digits sixteen at a time, unless the portable code is
    // forced (then the scalar loop is what runs, and is tested).
    bool vector_hex = !platform::portable_forced();

    platform::WipedBytes arena;  // the chunk in hand, value after value
    platform::WipedBytes work;   // one value tried with the later candidates
    std::vector<Item> items;
    std::vector<CbcLane> lanes;
    std::vector<std::uint32_t> words;  // the chunk's random header words, two a value
    std::optional<RuntimeError> last_error;
    std::optional<RuntimeError> random_error;  // the random source's last failure

    ValueOutcome fail(ErrorKind kind, const char* what) {
        last_error.emplace(kind, errnum::kInvalidArgument, StandardDescription(errnum::kInvalidArgument), what);
        return ValueOutcome{false, kind, 0};
    }
    ValueOutcome fail(RuntimeError e) {
        last_error.emplace(std::move(e));
        return ValueOutcome{false, last_error->Kind(), 0};
    }
    // A text the code page could not take: not UTF-8, or (kind Unmappable)
    // a character the page lacks, named by its position only.
    ValueOutcome fail_text(std::string_view text) {
        std::u16string units;
        if (common::decode_utf8(text, units)) return fail(ErrorKind::InvalidArgument, kNotUtf8);
        try {
            options.codePage.CheckMappable(units, Unmappable::Refuse, "the text");
        } catch (RuntimeError& e) {
            platform::secure_wipe(units.data(), units.size() * sizeof(char16_t));
            return fail(std::move(e));
        }
        platform::secure_wipe(units.data(), units.size() * sizeof(char16_t));
        return fail(ErrorKind::InvalidArgument, kNotUtf8);
    }

    // The byte for a character; kMissing when the code page lacks it.
    [[nodiscard]] std::uint32_t byte_of(char16_t c) const noexcept {
        if (c < 0x100) return latin[c];
        return options.codePage.Contains(c) ? options.codePage.ToByte(c) : kMissing;
    }

    // UTF-8 text to code-page bytes at `out` (room for text.size()): the
    // count, or nothing for invalid UTF-8 or a character the page lacks
    // (unless `replace`: then the legacy "?"). Bytes written before a fault
    // are the caller's to wipe.
    std::optional<std::size_t> text_to_page(std::string_view text, std::uint8_t* out, bool replace) const {
        if (ascii_same && is_ascii(text.data(), text.size())) {
            if (!text.empty()) std::memcpy(out, text.data(), text.size());
            return text.size();
        }
        struct Writer {
            const State& s;
            std::uint8_t* at;
            bool replace;
            bool mapped = true;
            void push_back(char16_t c) noexcept {
                std::uint32_t b = s.byte_of(c);
                if (b == kMissing) {
                    mapped = mapped && replace;
                    b = s.options.codePage.ToByte(c);
                }
                *at++ = static_cast<std::uint8_t>(b);
            }
        } writer{*this, out, replace};
        if (common::decode_utf8(text, writer) || !writer.mapped) return std::nullopt;
        return static_cast<std::size_t>(writer.at - out);
    }

    // Whether none of `n` bytes has its top bit set.
    static bool is_ascii(const void* data, std::size_t n) noexcept {
        const auto* p = static_cast<const unsigned char*>(data);
        std::uint64_t high = 0;
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, p + i, 8);
            high |= word;
        }
        for (; i < n; ++i) high |= p[i];
        return (high & 0x8080808080808080U) == 0;
    }

    // Code-page bytes to UTF-8 text, appended to `out`.
    void page_to_text(const std::uint8_t* b, std::size_t n, std::string& out) const {
        if (ascii_same && is_ascii(b, n)) {
            out.append(reinterpret_cast<const char*>(b), n);
            return;
        }
        const std::size_t at = out.size();
        out.resize(at + 3 * n);
        char* w = out.data() + at;
        for (std::size_t i = 0; i < n; ++i) {
            const auto& u = utf8[b[i]];
            std::memcpy(w, &u[1], 3);
            w += static_cast<unsigned char>(u[0]);
        }
        out.resize(static_cast<std::size_t>(w - out.data()));
    }

    // A stored value to ciphertext bytes at `out` (room for stored.size()):
    // the count, or kUnread.
    std::size_t read_stored(std::string_view stored, StoredForm form, std::uint8_t* out) const {
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
            case StoredForm::String: return text_to_page(stored, out, false).value_or(kUnread);
        }
        return kUnread;
    }

    // Ciphertext bytes to their stored form in `out`.
    void write_stored(const std::uint8_t* b, std::size_t n, StoredForm form, std::string& out) const {
        out.clear();
        switch (form) {
            case StoredForm::Bytes: out.assign(b, b + n); return;
            case StoredForm::Hex: {
                const std::string& sep = options.hexSeparator;
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
            case StoredForm::String: page_to_text(b, n, out); return;
        }
    }

    void write_plain(const std::uint8_t* b, std::size_t n, PlainForm form, std::string& out) const {
        out.clear();
        if (form == PlainForm::Bytes) {
            out.assign(b, b + n);
        } else {
            page_to_text(b, n, out);
        }
    }

    const detail::BlowfishTables& tables_of(std::size_t candidate) const noexcept {
        return detail::InstanceAccess::tables(candidates[candidate]);
    }

    // Deciphers `len` bytes in place under candidate `c` (byte planes built
    // only when the kernel reads them).
    void decipher(std::size_t c, std::uint8_t* data, std::size_t len) {
        const detail::CbcBackend& backend = detail::cbc_backend();
        const detail::BytePlanes* planes = nullptr;
        if (backend.planes_from != 0 && len >= backend.planes_from) {
            planes = &detail::InstanceAccess::planes(candidates[c]);
        }
        Chain chain;
        detail::cbc_decrypt_run(backend, tables_of(c), planes, data, len, chain);
    }

    // The descriptor of a ciphertext of `m` bytes under candidate `c`, its
    // first two blocks deciphered aside; whether it fits.
    bool head_fits(std::size_t c, const std::uint8_t* cipher, std::size_t m, std::int32_t& s) const noexcept {
        std::uint8_t head[16];
        std::memcpy(head, cipher, sizeof head);
        Chain chain;
        detail::cbc_decrypt(tables_of(c), head, sizeof head, chain);
        s = detail::descriptor_from_left_half(detail::load_be32(head + 8));
        platform::secure_wipe(head, sizeof head);
        return detail::descriptor_fits(m, s);
    }

    // The two random header words of a message; false, with the error kept
    // for the value's outcome, when the system's random source fails.
    bool draw(std::uint32_t (&words)[2]) {
        try {
            detail::draw_random_words(words);
            return true;
        } catch (const RuntimeError& e) {
            random_error.emplace(e);
            return false;
        }
    }

    // The random header words of a chunk's `count` messages, into `words`;
    // false, with the error kept for the values' outcomes, when the system's
    // random source fails.
    bool draw_chunk(std::size_t count) {
        words.resize(2 * count);
        try {
            detail::draw_random_words(words.data(), count);
            return true;
        } catch (const RuntimeError& e) {
            random_error.emplace(e);
            return false;
        }
    }

    // The header words drawn for value `i` of the chunk.
    [[nodiscard]] std::array<std::uint32_t, 2> words_of(std::size_t i) const noexcept {
        return {words[2 * i], words[2 * i + 1]};
    }

    // A deciphered message of `m` bytes (descriptor `s`) laid out again for
    // encryption: fresh random words `w`, the same size, the fill zeroed.
    static void lay_out_again(std::uint8_t* v, std::size_t m, std::int32_t s, const std::uint32_t (&w)[2]) noexcept {
        detail::write_header(v, w, static_cast<std::uint32_t>(s));
        const std::size_t end = kHeaderSize + static_cast<std::size_t>(s);
        std::memset(v + end, 0, m - end);
    }

    bool lay_out_again(std::uint8_t* v, std::size_t m, std::int32_t s) {
        std::uint32_t w[2];
        if (!draw(w)) return false;
        lay_out_again(v, m, s, w);
        return true;
    }

    // Wipes the first `used` bytes of a buffer when the chunk is done,
    // however it ends.
    struct WipeOnExit {
        std::uint8_t* base;
        const std::size_t& used;
        WipeOnExit(std::uint8_t* b, const std::size_t& u) noexcept : base(b), used(u) {}
        WipeOnExit(const WipeOnExit&) = delete;
        WipeOnExit& operator=(const WipeOnExit&) = delete;
        ~WipeOnExit() { platform::secure_wipe(base, used); }
    };

    // Re-keying: the laid-out messages of `lanes` enciphered under the target.
    void encipher_lanes() {
        if (lanes.empty()) return;
        const detail::CbcBackend& backend = detail::cbc_backend();
        const detail::BytePlanes* planes = nullptr;
        if (backend.lanes_planes_from != 0 && lanes.size() >= backend.lanes_planes_from) {
            planes = &detail::InstanceAccess::planes(target);  // built once, kept with the target's tables
        }
        backend.encrypt_lanes(detail::InstanceAccess::tables(std::as_const(target)), planes, lanes.data(),
                              lanes.size());
    }

    enum class Job { Decrypt, Rekey };

    // A value whose descriptor did not fit the first candidate, with
    // descriptor `s` under it: read again and tried with the others.
    ValueOutcome retry(std::string_view stored, StoredForm form, Job job, PlainForm plainForm, StoredForm outForm,
                       std::int32_t s, std::string& out) {
        if (work.bytes.size() < stored.size()) {
            work.bytes.clear();  // holds nothing between values
            work.bytes.resize(stored.size());
        }
        std::uint8_t* v = work.data();
        const std::size_t m = read_stored(stored, form, v);  // read once already
        std::size_t plain = 0;                                // bytes of `work` holding plaintext
        const WipeOnExit wipe{v, plain};
        for (std::size_t c = 1; c < candidates.size(); ++c) {
            if (!head_fits(c, v, m, s)) continue;
            plain = m;
            decipher(c, v, m);
            if (job == Job::Decrypt) {
                write_plain(v + kHeaderSize, static_cast<std::size_t>(s), plainForm, out);
            } else {
                if (!lay_out_again(v, m, s)) return fail(*random_error);
                Chain chain;
                detail::cbc_backend().encrypt(detail::InstanceAccess::tables(std::as_const(target)), v, m, chain);
                write_stored(v, m, outForm, out);
            }
            return ValueOutcome{true, ErrorKind::Other, c};
        }
        return fail(detail::descriptor_error(m));
    }

    // Stored values to plaintexts, or re-keyed to stored values under the
    // target: one chunk.
    void stored_chunk(std::span<const std::string_view> in, std::size_t bound, StoredForm form, Job job,
                      PlainForm plainForm, StoredForm outForm, std::string* out, ValueOutcome* outcomes) {
        if (arena.bytes.size() < bound) {
            arena.bytes.clear();  // holds nothing between chunks
            arena.bytes.resize(bound);
        }
        std::uint8_t* base = arena.data();
        items.resize(in.size());
        std::size_t packed = 0;
        const WipeOnExit wipe{base, packed};  // plaintext lives in the packed part
        Chain last;                           // the last ciphertext block packed so far
        for (std::size_t i = 0; i < in.size(); ++i) {
            Item& it = items[i];
            it = Item{};
            if (form == StoredForm::Bytes && in[i].size() > detail::kMaxLength) {
                it.length = in[i].size();
                it.status = Status::BadLength;
                continue;
            }
            std::uint8_t* v = base + packed;
            const std::size_t m = read_stored(in[i], form, v);
            if (m == kUnread) {
                it.status = Status::NotInForm;
                continue;
            }
            it.length = m;
            if (m > detail::kMaxLength || !detail::valid_cipher_length(m)) {
                it.status = Status::BadLength;
                continue;
            }
            if (m >= kHeadCheckFrom && !head_fits(0, v, m, it.size)) {
                it.status = Status::OtherKey;
                continue;
            }
            it.offset = packed;
            it.seam = last;
            last = {detail::load_be32(v + m - 8), detail::load_be32(v + m - 4)};
            packed += m;
        }

        if (packed != 0) decipher(0, base, packed);
        lanes.clear();
        const bool drawn = job == Job::Rekey && packed != 0 && draw_chunk(in.size());
        const std::size_t word_bytes = drawn ? words.size() * sizeof words[0] : 0;
        const WipeOnExit wipe_words{reinterpret_cast<std::uint8_t*>(words.data()), word_bytes};
        for (std::size_t i = 0; i < in.size(); ++i) {
            Item& it = items[i];
            if (it.status != Status::Packed) continue;
            std::uint8_t* v = base + it.offset;
            detail::store_be32(v, detail::load_be32(v) ^ it.seam.l);
            detail::store_be32(v + 4, detail::load_be32(v + 4) ^ it.seam.r);
            it.size = detail::descriptor_from_left_half(detail::load_be32(v + 8));
            if (!detail::descriptor_fits(it.length, it.size)) {
                it.status = Status::OtherKey;
            } else if (job == Job::Rekey) {
                if (drawn) {
                    const auto w = words_of(i);
                    lay_out_again(v, it.length, it.size, {w[0], w[1]});
                    lanes.push_back({v, it.length, Chain{}});
                } else {
                    it.status = Status::NoRandom;
                }
            }
        }
        encipher_lanes();

        for (std::size_t i = 0; i < in.size(); ++i) {
            const Item& it = items[i];
            out[i].clear();
            switch (it.status) {
                case Status::Packed:
                    if (job == Job::Decrypt) {
                        write_plain(base + it.offset + kHeaderSize, static_cast<std::size_t>(it.size), plainForm,
                                    out[i]);
                    } else {
                        write_stored(base + it.offset, it.length, outForm, out[i]);
                    }
                    outcomes[i] = ValueOutcome{true, ErrorKind::Other, 0};
                    break;
                case Status::OtherKey:
                    outcomes[i] = retry(in[i], form, job, plainForm, outForm, it.size, out[i]);
                    break;
                case Status::BadLength: outcomes[i] = fail(*detail::cipher_length_error(it.length)); break;
                case Status::NoRandom: outcomes[i] = fail(*random_error); break;
                default: outcomes[i] = fail(ErrorKind::InvalidArgument, kNotInForm); break;
            }
        }
    }

    // Plaintexts to stored values under the target: one chunk.
    void plain_chunk(std::span<const std::string_view> in, std::size_t bound, PlainForm plainForm, StoredForm form,
                     std::string* out, ValueOutcome* outcomes) {
        if (arena.bytes.size() < bound) {
            arena.bytes.clear();  // holds nothing between chunks
            arena.bytes.resize(bound);
        }
        std::uint8_t* base = arena.data();
        items.resize(in.size());
        lanes.clear();
        std::size_t used = 0;
        const WipeOnExit wipe{base, used};  // plaintext until the lanes have run
        const bool drawn = draw_chunk(in.size());
        const std::size_t word_bytes = drawn ? words.size() * sizeof words[0] : 0;
        const WipeOnExit wipe_words{reinterpret_cast<std::uint8_t*>(words.data()), word_bytes};
        for (std::size_t i = 0; i < in.size(); ++i) {
            Item& it = items[i];
            it = Item{};
            const std::string_view plain = in[i];
            if (plainForm == PlainForm::Bytes && plain.size() > detail::kMaxLength) {
                it.length = plain.size();
                it.status = Status::TooLong;
                continue;
            }
            std::uint8_t* v = base + used;
            std::size_t n = plain.size();
            if (plainForm == PlainForm::Bytes) {
                if (n != 0) std::memcpy(v + kHeaderSize, plain.data(), n);
            } else if (const auto units = text_to_page(plain, v + kHeaderSize, options.replaceUnmappable)) {
                n = *units;
            } else {
                platform::secure_wipe(v + kHeaderSize, n);
                it.status = Status::Unmappable;
                continue;
            }
            const auto t = detail::encrypted_size(n);
            if (!t) {
                platform::secure_wipe(v + kHeaderSize, n);
                it.length = n;
                it.status = Status::TooLong;
                continue;
            }
            // Layout: random word, random word, N (all least significant
            // byte first), the message, zero fill to a whole block.
            if (!drawn) {
                platform::secure_wipe(v + kHeaderSize, n);
                it.status = Status::NoRandom;
                continue;
            }
            const auto w = words_of(i);
            detail::write_header(v, {w[0], w[1]}, static_cast<std::uint32_t>(n));
            std::memset(v + kHeaderSize + n, 0, static_cast<std::size_t>(*t) - kHeaderSize - n);
            it.offset = used;
            it.length = static_cast<std::size_t>(*t);
            lanes.push_back({v, it.length, Chain{}});
            used += it.length;
        }
        encipher_lanes();
        for (std::size_t i = 0; i < in.size(); ++i) {
            const Item& it = items[i];
            out[i].clear();
            switch (it.status) {
                case Status::Packed:
                    write_stored(base + it.offset, it.length, form, out[i]);
                    outcomes[i] = ValueOutcome{true, ErrorKind::Other, 0};
                    break;
                case Status::TooLong: outcomes[i] = fail(detail::encrypted_size_error(it.length)); break;
                case Status::NoRandom: outcomes[i] = fail(*random_error); break;
                default: outcomes[i] = fail_text(in[i]); break;
            }
        }
    }

    // The values from `first` that make the next chunk, and the working
    // buffer it needs: `extra` bytes a value beyond its stored text (a value
    // that cannot be converted at all takes none).
    static std::size_t chunk_end(std::span<const std::string_view> in, std::size_t first, std::size_t extra,
                                 bool bytes_form, std::size_t& bound) noexcept {
        bound = 0;
        std::size_t last = first;
        do {
            const std::size_t size = in[last].size();
            if (!(bytes_form && size > detail::kMaxLength)) bound += size + extra;
            ++last;
        } while (last < in.size() && bound + in[last].size() + extra <= kChunkBytes);
        return last;
    }

    // Writing under no key at all makes data anyone can read: only when the
    // caller said so. Every value fails otherwise.
    bool refuse_keyless_writing(std::size_t count, std::string* out, ValueOutcome* outcomes) {
        if (!target_keyless || options.allowNoKey) return false;
        for (std::size_t i = 0; i < count; ++i) {
            out[i].clear();
            outcomes[i] = fail(ErrorKind::InvalidArgument, kNoKey);
        }
        return true;
    }

    void convert_stored(std::span<const std::string_view> in, StoredForm form, Job job, PlainForm plainForm,
                        StoredForm outForm, std::string* out, ValueOutcome* outcomes) {
        if (job == Job::Rekey && refuse_keyless_writing(in.size(), out, outcomes)) return;
        for (std::size_t first = 0; first < in.size();) {
            common::check_cancelled();
            std::size_t bound = 0;
            const std::size_t last = chunk_end(in, first, 0, form == StoredForm::Bytes, bound);
            stored_chunk(in.subspan(first, last - first), bound, form, job, plainForm, outForm, out + first,
                         outcomes + first);
            first = last;
        }
    }

    void convert_plain(std::span<const std::string_view> in, PlainForm plainForm, StoredForm form, std::string* out,
                       ValueOutcome* outcomes) {
        constexpr std::size_t kLayoutOverhead = 20;  // header and the most fill
        if (refuse_keyless_writing(in.size(), out, outcomes)) return;
        for (std::size_t first = 0; first < in.size();) {
            common::check_cancelled();
            std::size_t bound = 0;
            const std::size_t last = chunk_end(in, first, kLayoutOverhead, plainForm == PlainForm::Bytes, bound);
            plain_chunk(in.subspan(first, last - first), bound, plainForm, form, out + first, outcomes + first);
            first = last;
        }
    }
};

namespace {

RuntimeError no_candidate() {
    return RuntimeError(ErrorKind::InvalidArgument, errnum::kInvalidArgument,
                        StandardDescription(errnum::kInvalidArgument), "no key candidate to decrypt with");
}

void apply(clsToString& cipher, const KeyHistory& keys) {
    for (const auto& key : keys) cipher.Key(key);
}

}  // namespace

ValueCipher::ValueCipher(const std::vector<KeyHistory>& candidates, const KeyHistory& target, ValueOptions options)
    : state_(std::make_unique<State>(std::move(options))) {
    if (candidates.empty()) throw no_candidate();
    state_->apply_histories(candidates, target);
}

void ValueCipher::State::apply_histories(std::span<const KeyHistory> histories, const KeyHistory& writer) {
    // A key character the code page lacks is refused unless the caller asked
    // for the legacy "?": two different keys must never become one.
    const Unmappable policy = options.replaceUnmappable ? Unmappable::Replace : Unmappable::Refuse;
    candidates.reserve(histories.size());
    for (const auto& history : histories) {
        clsToString& c = candidates.emplace_back(options.codePage);
        c.SetUnmappable(policy);
        apply(c, history);
    }
    target.SetUnmappable(policy);
    apply(target, writer);
    target_keyless = writer.empty();
}

ValueCipher::ValueCipher(std::vector<clsToString> candidates, clsToString target, ValueOptions options)
    : state_(std::make_unique<State>(std::move(options))) {
    if (candidates.empty()) throw no_candidate();
    state_->candidates = std::move(candidates);
    state_->target = std::move(target);
}

// One history read and written with; applied in place, since a copy of it
// would hold the keys.
ValueCipher::ValueCipher(const KeyHistory& keys, ValueOptions options)
    : state_(std::make_unique<State>(std::move(options))) {
    state_->apply_histories(std::span<const KeyHistory>(&keys, 1), keys);
}

ValueCipher::ValueCipher(ValueCipher&&) noexcept = default;
ValueCipher& ValueCipher::operator=(ValueCipher&&) noexcept = default;
ValueCipher::~ValueCipher() = default;

namespace {

// A single value may be converted in place: an input that lies in the
// output string is copied aside first, since the output is cleared before
// the input is read again (later candidates, the stored form's text).
class InputAside {
public:
    InputAside(std::string_view& in, const std::string& out) {
        const std::less<const char*> before;
        if (!in.empty() && before(in.data(), out.data() + out.capacity() + 1) &&
            before(out.data(), in.data() + in.size())) {
            copy_.bytes.assign(in.begin(), in.end());
            in = std::string_view(reinterpret_cast<const char*>(copy_.data()), copy_.size());
        }
    }

private:
    platform::WipedBytes copy_;
};

}  // namespace

ValueOutcome ValueCipher::Encrypt(std::string_view plain, PlainForm plainForm, StoredForm form, std::string& stored) {
    ValueOutcome outcome;
    const InputAside aside(plain, stored);
    state_->convert_plain({&plain, 1}, plainForm, form, &stored, &outcome);
    return outcome;
}

ValueOutcome ValueCipher::Decrypt(std::string_view stored, StoredForm form, PlainForm plainForm, std::string& plain) {
    ValueOutcome outcome;
    const InputAside aside(stored, plain);
    state_->convert_stored({&stored, 1}, form, State::Job::Decrypt, plainForm, form, &plain, &outcome);
    return outcome;
}

ValueOutcome ValueCipher::Rekey(std::string_view stored, StoredForm inForm, StoredForm outForm, std::string& rekeyed) {
    ValueOutcome outcome;
    const InputAside aside(stored, rekeyed);
    state_->convert_stored({&stored, 1}, inForm, State::Job::Rekey, PlainForm::Bytes, outForm, &rekeyed, &outcome);
    return outcome;
}

void ValueCipher::EncryptMany(std::span<const std::string_view> plain, PlainForm plainForm, StoredForm form,
                              std::vector<std::string>& stored, std::vector<ValueOutcome>& outcomes) {
    stored.resize(plain.size());
    outcomes.resize(plain.size());
    state_->convert_plain(plain, plainForm, form, stored.data(), outcomes.data());
}

void ValueCipher::DecryptMany(std::span<const std::string_view> stored, StoredForm form, PlainForm plainForm,
                              std::vector<std::string>& plain, std::vector<ValueOutcome>& outcomes) {
    plain.resize(stored.size());
    outcomes.resize(stored.size());
    state_->convert_stored(stored, form, State::Job::Decrypt, plainForm, form, plain.data(), outcomes.data());
}

void ValueCipher::RekeyMany(std::span<const std::string_view> stored, StoredForm inForm, StoredForm outForm,
                            std::vector<std::string>& rekeyed, std::vector<ValueOutcome>& outcomes) {
    rekeyed.resize(stored.size());
    outcomes.resize(stored.size());
    state_->convert_stored(stored, inForm, State::Job::Rekey, PlainForm::Bytes, outForm, rekeyed.data(),
                           outcomes.data());
}

std::string ValueCipher::EncryptOrThrow(std::string_view plain, PlainForm plainForm, StoredForm form) {
    std::string out;
    if (!Encrypt(plain, plainForm, form, out)) throw LastError();
    return out;
}

std::string ValueCipher::DecryptOrThrow(std::string_view stored, StoredForm form, PlainForm plainForm) {
    std::string out;
    if (!Decrypt(stored, form, plainForm, out)) throw LastError();
    return out;
}

std::string ValueCipher::RekeyOrThrow(std::string_view stored, StoredForm inForm, StoredForm outForm) {
    std::string out;
    if (!Rekey(stored, inForm, outForm, out)) throw LastError();
    return out;
}

const RuntimeError& ValueCipher::LastError() const {
    if (!state_->last_error) {
        throw RuntimeError(ErrorKind::InvalidArgument, errnum::kInvalidArgument,
                           StandardDescription(errnum::kInvalidArgument), "no value has failed");
    }
    return *state_->last_error;
}

// A moved-from instance answers as one with no candidates and the default
// options.
std::size_t ValueCipher::CandidateCount() const noexcept {
    return state_ ? state_->candidates.size() : 0;
}

const ValueOptions& ValueCipher::Options() const noexcept {
    static const ValueOptions defaults;
    return state_ ? state_->options : defaults;
}

}  // namespace clscrypt
