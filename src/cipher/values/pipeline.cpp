// The batch pipelines of ValueCipher: values chunk by chunk through the
// kernels.
//
// Values go through in chunks: every value of a chunk is decoded from its
// stored form (or laid out from its plaintext) into one working buffer, side
// by side, and the block work of the whole chunk is one kernel call. A
// value longer than a chunk is a chunk of its own; with a cancellation check
// installed, its block work goes a mebibyte at a time, the check asked
// between strides and between the passes over it (chunks.hpp).
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
// steady state allocates nothing. The C interface's batches take their
// results packed end to end instead (PackedResults): a plaintext goes
// straight from the working buffer into one buffer, any other result through
// one reused string, so even a first batch allocates no string per value.

#include "cipher/values/pipeline.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "cipher/layout.hpp"
#include "cipher/message.hpp"
#include "cipher/parallel.hpp"
#include "cipher/values/chunks.hpp"
#include "common/byte_order.hpp"
#include "common/cancel.hpp"
#include "common/error_numbers.hpp"
#include "common/utf.hpp"

namespace clscrypt {

namespace {

using detail::CbcLane;
using detail::Chain;
using detail::kHeadCheckFrom;
using detail::kHeaderSize;
using detail::kUnread;
using detail::ValueItem;
using detail::ValueStatus;

constexpr char kNotInForm[] = "a value not in its stored form";
constexpr char kNotUtf8[] = "a text that is not UTF-8";
constexpr char kNoKey[] =
    "no key to encrypt under: the target key history is empty (allowNoKey writes data anyone can read)";

// A deciphered message of `m` bytes (descriptor `s`) laid out again for
// encryption: fresh random words `w`, the same size, the fill zeroed.
void lay_out_with(std::uint8_t* v, std::size_t m, std::int32_t s, const std::uint32_t (&w)[2]) noexcept {
    detail::write_header(v, w, static_cast<std::uint32_t>(s));
    const std::size_t end = kHeaderSize + static_cast<std::size_t>(s);
    std::memset(v + end, 0, m - end);
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

void apply(detail::KeyState& state, const CodePage& page, Unmappable policy, const KeyHistory& keys) {
    for (const auto& key : keys) detail::apply_key(state, page, policy, key);
}

}  // namespace

detail::PackedResults::~PackedResults() {
    if (bytes_) platform::secure_wipe(bytes_.get(), capacity_);
    platform::secure_wipe(scratch.data(), scratch.size());
}

void detail::PackedResults::start(std::size_t count) {
    wipe();
    ends.resize(count);
}

char* detail::PackedResults::room(std::size_t n) {
    if (n > capacity_ - size_) {
        // Doubled, so a batch copies its results about once more in all.
        const std::size_t capacity = std::max({2 * capacity_, size_ + n, std::size_t{4096}});
        std::unique_ptr<char[]> grown(new char[capacity]);
        if (size_ != 0) {
            std::memcpy(grown.get(), bytes_.get(), size_);
            platform::secure_wipe(bytes_.get(), size_);
        }
        bytes_ = std::move(grown);
        capacity_ = capacity;
    }
    return bytes_.get() + size_;
}

void detail::PackedResults::put(std::size_t i) {
    const std::size_t n = scratch.size();
    if (n != 0) {
        std::memcpy(room(n), scratch.data(), n);
        size_ += n;
        platform::secure_wipe(scratch.data(), n);
        scratch.clear();
    }
    ends[i] = size_;
}

void detail::PackedResults::put_plain(std::size_t i, const std::uint8_t* b, std::size_t n, PlainForm form,
                                      const PageText& text) {
    if (form == PlainForm::Bytes) {
        if (n != 0) std::memcpy(room(n), b, n);
        size_ += n;
    } else {
        size_ += text.to_text(b, n, room(3 * n));
    }
    ends[i] = size_;
}

void detail::PackedResults::wipe() noexcept {
    if (size_ != 0) platform::secure_wipe(bytes_.get(), size_);
    size_ = 0;
}

ValueCipher::State::State(ValueOptions o) : options(std::move(o)), text(options.codePage) {}

void ValueCipher::State::apply_histories(std::span<const KeyHistory> histories, const KeyHistory& writer) {
    // A key character the code page lacks is refused unless the caller asked
    // for the legacy "?": two different keys must never become one.
    const Unmappable policy = options.replaceUnmappable ? Unmappable::Replace : Unmappable::Refuse;
    candidates.reserve(histories.size());
    for (const auto& history : histories) {
        apply(*candidates.emplace_back(std::make_unique<detail::KeyState>()), options.codePage, policy, history);
    }
    target = std::make_unique<detail::KeyState>();
    apply(*target, options.codePage, policy, writer);
    target_keyless = writer.empty();
}

ValueOutcome ValueCipher::State::fail(ErrorKind kind, const char* what) {
    last_error.emplace(kind, errnum::kInvalidArgument, StandardDescription(errnum::kInvalidArgument), what);
    return ValueOutcome{false, kind, 0};
}
ValueOutcome ValueCipher::State::fail(RuntimeError e) {
    last_error.emplace(std::move(e));
    return ValueOutcome{false, last_error->Kind(), 0};
}
// A text the code page could not take: not UTF-8, or (kind Unmappable)
// a character the page lacks, named by its position only.
ValueOutcome ValueCipher::State::fail_text(std::string_view value) {
    std::u16string units;
    if (common::decode_utf8(value, units)) return fail(ErrorKind::InvalidArgument, kNotUtf8);
    try {
        options.codePage.CheckMappable(units, Unmappable::Refuse, "the text");
    } catch (RuntimeError& e) {
        platform::secure_wipe(units.data(), units.size() * sizeof(char16_t));
        return fail(std::move(e));
    }
    platform::secure_wipe(units.data(), units.size() * sizeof(char16_t));
    return fail(ErrorKind::InvalidArgument, kNotUtf8);
}

void ValueCipher::State::write_plain(const std::uint8_t* b, std::size_t n, PlainForm form, std::string& out) const {
    out.clear();
    if (form == PlainForm::Bytes) {
        out.assign(b, b + n);
    } else {
        text.to_text(b, n, out);
    }
}

// Deciphers `len` bytes in place under candidate `c` (byte planes built
// only when the kernel reads them), a stride at a time when a cancellation
// check is installed.
void ValueCipher::State::decipher(std::size_t c, std::uint8_t* data, std::size_t len) {
    detail::KeyState& key = *candidates[c];
    const detail::CbcBackend& backend = detail::cbc_backend();
    const detail::BytePlanes* planes = nullptr;
    if (backend.planes_from != 0 && len >= backend.planes_from) planes = &key.current_planes();
    Chain chain;
    detail::in_strides(len, [&](std::size_t from, std::size_t n) {
        detail::cbc_decrypt_run(backend, key.tables, planes, data + from, n, chain);
    });
}

// Enciphers one laid-out message of `len` bytes in place under the target,
// a stride at a time when a cancellation check is installed.
void ValueCipher::State::encipher(std::uint8_t* data, std::size_t len) {
    const detail::CbcBackend& backend = detail::cbc_backend();
    Chain chain;
    detail::in_strides(
        len, [&](std::size_t from, std::size_t n) { backend.encrypt(target->tables, data + from, n, chain); });
}

// The descriptor of a ciphertext of `m` bytes under candidate `c`, its
// first two blocks deciphered aside; whether it fits.
bool ValueCipher::State::head_fits(std::size_t c, const std::uint8_t* cipher, std::size_t m,
                                   std::int32_t& s) const noexcept {
    std::uint8_t head[16];
    std::memcpy(head, cipher, sizeof head);
    Chain chain;
    detail::cbc_decrypt(candidates[c]->tables, head, sizeof head, chain);
    s = detail::descriptor_from_left_half(detail::load_be32(head + 8));
    platform::secure_wipe(head, sizeof head);
    return detail::descriptor_fits(m, s);
}

// The two random header words of a message; false, with the error kept
// for the value's outcome, when the system's random source fails.
bool ValueCipher::State::draw(std::uint32_t (&w)[2]) {
    try {
        detail::draw_random_words(w);
        return true;
    } catch (const RuntimeError& e) {
        random_error.emplace(e);
        return false;
    }
}

// The random header words of a chunk's `count` messages, into `words`;
// false, with the error kept for the values' outcomes, when the system's
// random source fails.
bool ValueCipher::State::draw_chunk(std::size_t count) {
    words.resize(2 * count);
    try {
        detail::draw_random_words(words.data(), count);
        return true;
    } catch (const RuntimeError& e) {
        random_error.emplace(e);
        return false;
    }
}

bool ValueCipher::State::lay_out_again(std::uint8_t* v, std::size_t m, std::int32_t s) {
    std::uint32_t w[2];
    if (!draw(w)) return false;
    lay_out_with(v, m, s, w);
    return true;
}

// The laid-out messages of `lanes` enciphered under the target. A message
// longer than a chunk is alone in its chunk, and goes through as one
// message, a stride at a time.
void ValueCipher::State::encipher_lanes() {
    if (lanes.empty()) return;
    if (lanes.size() == 1 && lanes[0].len > detail::kChunkBytes) {
        encipher(lanes[0].data, lanes[0].len);
        return;
    }
    const detail::CbcBackend& backend = detail::cbc_backend();
    const detail::BytePlanes* planes = nullptr;
    if (backend.lanes_planes_from != 0 && lanes.size() >= backend.lanes_planes_from) {
        planes = &target->current_planes();  // built once, kept with the target's tables
    }
    backend.encrypt_lanes(target->tables, planes, lanes.data(), lanes.size());
}

// A value whose descriptor did not fit the first candidate, with
// descriptor `s` under it: read again and tried with the others.
ValueOutcome ValueCipher::State::retry(std::string_view stored, StoredForm form, Job job, PlainForm plainForm,
                                       StoredForm outForm, std::int32_t s, std::string& out) {
    if (work.bytes.size() < stored.size()) {
        work.bytes.clear();  // holds nothing between values
        work.bytes.resize(stored.size());
    }
    std::uint8_t* v = work.data();
    const std::size_t m = forms.read(stored, form, v);  // read once already
    std::size_t plain = 0;                              // bytes of `work` holding plaintext
    const WipeOnExit wipe{v, plain};
    for (std::size_t c = 1; c < candidates.size(); ++c) {
        if (!head_fits(c, v, m, s)) continue;
        detail::check_between_passes(m);
        plain = m;
        decipher(c, v, m);
        detail::check_between_passes(m);
        if (job == Job::Decrypt) {
            write_plain(v + kHeaderSize, static_cast<std::size_t>(s), plainForm, out);
        } else {
            if (!lay_out_again(v, m, s)) return fail(*random_error);
            encipher(v, m);
            detail::check_between_passes(m);
            forms.write(v, m, outForm, out);
        }
        return ValueOutcome{true, ErrorKind::Other, c};
    }
    return fail(detail::descriptor_error(m));
}

// Stored values to plaintexts, or re-keyed to stored values under the
// target: one chunk.
void ValueCipher::State::stored_chunk(std::span<const std::string_view> in, std::size_t bound, StoredForm form, Job job,
                                      PlainForm plainForm, StoredForm outForm, detail::ValueOutputs out,
                                      ValueOutcome* outcomes) {
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
        ValueItem& it = items[i];
        it = ValueItem{};
        if (form == StoredForm::Bytes && in[i].size() > detail::kMaxLength) {
            it.length = in[i].size();
            it.status = ValueStatus::BadLength;
            continue;
        }
        std::uint8_t* v = base + packed;
        const std::size_t m = forms.read(in[i], form, v);
        if (m == kUnread) {
            it.status = ValueStatus::NotInForm;
            continue;
        }
        it.length = m;
        if (m > detail::kMaxLength || !detail::valid_cipher_length(m)) {
            it.status = ValueStatus::BadLength;
            continue;
        }
        if (m >= kHeadCheckFrom && !head_fits(0, v, m, it.size)) {
            it.status = ValueStatus::OtherKey;
            continue;
        }
        it.offset = packed;
        it.seam = last;
        last = {detail::load_be32(v + m - 8), detail::load_be32(v + m - 4)};
        packed += m;
    }

    detail::check_between_passes(packed);
    if (packed != 0) decipher(0, base, packed);
    detail::check_between_passes(packed);
    lanes.clear();
    const bool drawn = job == Job::Rekey && packed != 0 && draw_chunk(in.size());
    const std::size_t word_bytes = drawn ? words.size() * sizeof words[0] : 0;
    const WipeOnExit wipe_words{reinterpret_cast<std::uint8_t*>(words.data()), word_bytes};
    for (std::size_t i = 0; i < in.size(); ++i) {
        ValueItem& it = items[i];
        if (it.status != ValueStatus::Packed) continue;
        std::uint8_t* v = base + it.offset;
        detail::store_be32(v, detail::load_be32(v) ^ it.seam.l);
        detail::store_be32(v + 4, detail::load_be32(v + 4) ^ it.seam.r);
        it.size = detail::descriptor_from_left_half(detail::load_be32(v + 8));
        if (!detail::descriptor_fits(it.length, it.size)) {
            it.status = ValueStatus::OtherKey;
        } else if (job == Job::Rekey) {
            if (drawn) {
                const auto w = words_of(i);
                lay_out_with(v, it.length, it.size, {w[0], w[1]});
                lanes.push_back({v, it.length, Chain{}});
            } else {
                it.status = ValueStatus::NoRandom;
            }
        }
    }
    encipher_lanes();
    detail::check_between_passes(packed);

    for (std::size_t i = 0; i < in.size(); ++i) {
        const ValueItem& it = items[i];
        std::string& o = out.open(i);
        switch (it.status) {
            case ValueStatus::Packed:
                if (job == Job::Decrypt) {
                    const std::uint8_t* b = base + it.offset + kHeaderSize;
                    const auto n = static_cast<std::size_t>(it.size);
                    if (!out.put_plain(i, b, n, plainForm, text)) write_plain(b, n, plainForm, o);
                } else {
                    forms.write(base + it.offset, it.length, outForm, o);
                }
                outcomes[i] = ValueOutcome{true, ErrorKind::Other, 0};
                break;
            case ValueStatus::OtherKey: outcomes[i] = retry(in[i], form, job, plainForm, outForm, it.size, o); break;
            case ValueStatus::BadLength: outcomes[i] = fail(*detail::cipher_length_error(it.length)); break;
            case ValueStatus::NoRandom: outcomes[i] = fail(*random_error); break;
            default: outcomes[i] = fail(ErrorKind::InvalidArgument, kNotInForm); break;
        }
        out.close(i);
    }
}

// Plaintexts to stored values under the target: one chunk.
void ValueCipher::State::plain_chunk(std::span<const std::string_view> in, std::size_t bound, PlainForm plainForm,
                                     StoredForm form, detail::ValueOutputs out, ValueOutcome* outcomes) {
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
        ValueItem& it = items[i];
        it = ValueItem{};
        const std::string_view plain = in[i];
        if (plainForm == PlainForm::Bytes && plain.size() > detail::kMaxLength) {
            it.length = plain.size();
            it.status = ValueStatus::TooLong;
            continue;
        }
        std::uint8_t* v = base + used;
        std::size_t n = plain.size();
        if (plainForm == PlainForm::Bytes) {
            if (n != 0) std::memcpy(v + kHeaderSize, plain.data(), n);
        } else if (const auto units = text.to_page(plain, v + kHeaderSize, options.replaceUnmappable)) {
            n = *units;
        } else {
            platform::secure_wipe(v + kHeaderSize, n);
            it.status = ValueStatus::Unmappable;
            continue;
        }
        const auto t = detail::encrypted_size(n);
        if (!t) {
            platform::secure_wipe(v + kHeaderSize, n);
            it.length = n;
            it.status = ValueStatus::TooLong;
            continue;
        }
        // Layout: random word, random word, N (all least significant
        // byte first), the message, zero fill to a whole block.
        if (!drawn) {
            platform::secure_wipe(v + kHeaderSize, n);
            it.status = ValueStatus::NoRandom;
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
    detail::check_between_passes(used);
    encipher_lanes();
    detail::check_between_passes(used);
    for (std::size_t i = 0; i < in.size(); ++i) {
        const ValueItem& it = items[i];
        std::string& o = out.open(i);
        switch (it.status) {
            case ValueStatus::Packed:
                forms.write(base + it.offset, it.length, form, o);
                outcomes[i] = ValueOutcome{true, ErrorKind::Other, 0};
                break;
            case ValueStatus::TooLong: outcomes[i] = fail(detail::encrypted_size_error(it.length)); break;
            case ValueStatus::NoRandom: outcomes[i] = fail(*random_error); break;
            default: outcomes[i] = fail_text(in[i]); break;
        }
        out.close(i);
    }
}

// Writing under no key at all makes data anyone can read: only when the
// caller said so. Every value fails otherwise.
bool ValueCipher::State::refuse_keyless_writing(std::size_t count, detail::ValueOutputs out, ValueOutcome* outcomes) {
    if (!target_keyless || options.allowNoKey) return false;
    for (std::size_t i = 0; i < count; ++i) {
        out.open(i);
        outcomes[i] = fail(ErrorKind::InvalidArgument, kNoKey);
        out.close(i);
    }
    return true;
}

void ValueCipher::State::convert_stored(std::span<const std::string_view> in, StoredForm form, Job job,
                                        PlainForm plainForm, StoredForm outForm, detail::ValueOutputs out,
                                        ValueOutcome* outcomes) {
    if (job == Job::Rekey && refuse_keyless_writing(in.size(), out, outcomes)) return;
    for (std::size_t first = 0; first < in.size();) {
        common::check_cancelled();
        std::size_t bound = 0;
        const std::size_t last = detail::chunk_end(in, first, 0, form == StoredForm::Bytes, bound);
        stored_chunk(in.subspan(first, last - first), bound, form, job, plainForm, outForm, out.from(first),
                     outcomes + first);
        first = last;
    }
}

void ValueCipher::State::convert_plain(std::span<const std::string_view> in, PlainForm plainForm, StoredForm form,
                                       detail::ValueOutputs out, ValueOutcome* outcomes) {
    if (refuse_keyless_writing(in.size(), out, outcomes)) return;
    for (std::size_t first = 0; first < in.size();) {
        common::check_cancelled();
        std::size_t bound = 0;
        const std::size_t last =
            detail::chunk_end(in, first, detail::kLayoutOverhead, plainForm == PlainForm::Bytes, bound);
        plain_chunk(in.subspan(first, last - first), bound, plainForm, form, out.from(first), outcomes + first);
        first = last;
    }
}

}  // namespace clscrypt
