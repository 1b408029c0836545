#pragma once

// The inside of a ValueCipher: its key states, its working buffers and the
// batch pipelines that run values through them chunk by chunk.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cipher/kernels/dispatch.hpp"
#include "cipher/key_state.hpp"
#include "cipher/values/page_text.hpp"
#include "cipher/values/stored_form.hpp"
#include "clscrypt/error.hpp"
#include "clscrypt/export.h"
#include "clscrypt/values.hpp"
#include "platform/cpu_features.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace detail {

// How one value of a chunk stands.
enum class ValueStatus : std::uint8_t {
    Packed,      // in the working buffer, converted if nothing else is said
    NotInForm,   // the stored text is not in its form
    BadLength,   // not a ciphertext length
    OtherKey,    // its descriptor does not fit the first candidate
    Unmappable,  // a text the code page cannot carry, or not UTF-8
    TooLong,     // a message too long for the format
    NoRandom,    // the system's random source failed
};

struct ValueItem {
    std::size_t offset = 0;  // in the working buffer
    std::size_t length = 0;  // of the ciphertext (of the message while encrypting)
    std::int32_t size = 0;   // the descriptor read under the last candidate tried
    Chain seam;              // the ciphertext block the packed run chained the first block to
    ValueStatus status = ValueStatus::Packed;
};

/// A batch's results end to end in one buffer (the C interface's batch
/// calls), with no string per value: value i's result ends at ends[i]. The
/// buffer wipes what it held whenever it grows, and its whole capacity when
/// it goes; wipe() clears it for the next batch.
class PackedResults {
public:
    PackedResults() = default;
    PackedResults(const PackedResults&) = delete;
    PackedResults& operator=(const PackedResults&) = delete;
    ~PackedResults();

    /// Empties the results (wiped) and makes room for `count` ends.
    void start(std::size_t count);
    /// Appends `scratch` as value i's result and wipes it.
    void put(std::size_t i);
    /// Appends value i's plaintext, `n` bytes at `b` in `form`, written in
    /// place rather than through `scratch`.
    void put_plain(std::size_t i, const std::uint8_t* b, std::size_t n, PlainForm form, const PageText& text);
    void wipe() noexcept;

    [[nodiscard]] const char* data() const noexcept { return bytes_.get(); }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    std::vector<std::size_t> ends;
    std::string scratch;  // the result in hand

private:
    /// Room for `n` more bytes at the end.
    char* room(std::size_t n);

    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

/// Where a batch's results go: one string per value, or packed.
class ValueOutputs {
public:
    explicit ValueOutputs(std::string* each) noexcept : each_(each) {}
    explicit ValueOutputs(PackedResults& packed) noexcept : packed_(&packed) {}

    /// The outputs of the values from `first` on.
    [[nodiscard]] ValueOutputs from(std::size_t first) const noexcept {
        ValueOutputs o = *this;
        o.first_ += first;
        return o;
    }
    /// The string value i's result is written into, empty.
    std::string& open(std::size_t i) noexcept {
        if (packed_ != nullptr) return packed_->scratch;
        std::string& s = each_[first_ + i];
        s.clear();
        return s;
    }
    /// Writes value i's plaintext straight into packed results; false, with
    /// nothing done, when the results are strings.
    bool put_plain(std::size_t i, const std::uint8_t* b, std::size_t n, PlainForm form, const PageText& text) {
        if (packed_ == nullptr) return false;
        packed_->put_plain(first_ + i, b, n, form, text);
        return true;
    }
    /// Value i's result is complete (empty for a value that failed).
    void close(std::size_t i) {
        if (packed_ != nullptr) packed_->put(first_ + i);
    }

private:
    std::string* each_ = nullptr;
    PackedResults* packed_ = nullptr;
    std::size_t first_ = 0;
};

}  // namespace detail

// Hidden: the inside of an exported class, never part of the library's
// interface.
struct CLSCRYPT_LOCAL ValueCipher::State {
    explicit State(ValueOptions o);

    /// Keys a candidate for each history and the target with `writer`.
    void apply_histories(std::span<const KeyHistory> histories, const KeyHistory& writer);

    enum class Job { Decrypt, Rekey };

    /// Stored values to plaintexts (Decrypt), or re-keyed to stored values
    /// under the target (Rekey), chunk by chunk.
    void convert_stored(std::span<const std::string_view> in, StoredForm form, Job job, PlainForm plainForm,
                        StoredForm outForm, detail::ValueOutputs out, ValueOutcome* outcomes);
    /// Plaintexts to stored values under the target, chunk by chunk.
    void convert_plain(std::span<const std::string_view> in, PlainForm plainForm, StoredForm form,
                       detail::ValueOutputs out, ValueOutcome* outcomes);

    ValueOptions options;
    // Each candidate's tables, and the target's, held here and wiped with
    // the instance.
    std::vector<std::unique_ptr<detail::KeyState>> candidates;
    std::unique_ptr<detail::KeyState> target;
    bool target_keyless = false;  // the target history was empty

    detail::PageText text;
    detail::StoredForms forms{text, options.hexSeparator, !platform::portable_forced()};

    platform::WipedBytes arena;  // the chunk in hand, value after value
    platform::WipedBytes work;   // one value tried with the later candidates
    std::vector<detail::ValueItem> items;
    std::vector<detail::CbcLane> lanes;
    std::vector<std::uint32_t> words;  // the chunk's random header words, two a value
    std::optional<RuntimeError> last_error;
    std::optional<RuntimeError> random_error;  // the random source's last failure

private:
    ValueOutcome fail(ErrorKind kind, const char* what);
    ValueOutcome fail(RuntimeError e);
    ValueOutcome fail_text(std::string_view text);

    void write_plain(const std::uint8_t* b, std::size_t n, PlainForm form, std::string& out) const;
    void decipher(std::size_t c, std::uint8_t* data, std::size_t len);
    void encipher(std::uint8_t* data, std::size_t len);
    void encipher_lanes();
    bool head_fits(std::size_t c, const std::uint8_t* cipher, std::size_t m, std::int32_t& s) const noexcept;
    bool draw(std::uint32_t (&w)[2]);
    bool draw_chunk(std::size_t count);
    [[nodiscard]] std::array<std::uint32_t, 2> words_of(std::size_t i) const noexcept {
        return {words[2 * i], words[2 * i + 1]};
    }
    bool lay_out_again(std::uint8_t* v, std::size_t m, std::int32_t s);
    ValueOutcome retry(std::string_view stored, StoredForm form, Job job, PlainForm plainForm, StoredForm outForm,
                       std::int32_t s, std::string& out);
    void stored_chunk(std::span<const std::string_view> in, std::size_t bound, StoredForm form, Job job,
                      PlainForm plainForm, StoredForm outForm, detail::ValueOutputs out, ValueOutcome* outcomes);
    void plain_chunk(std::span<const std::string_view> in, std::size_t bound, PlainForm plainForm, StoredForm form,
                     detail::ValueOutputs out, ValueOutcome* outcomes);
    bool refuse_keyless_writing(std::size_t count, detail::ValueOutputs out, ValueOutcome* outcomes);
};

}  // namespace clscrypt
