// Single values under prepared key states. Each value goes stored form ->
// ciphertext bytes -> plaintext bytes -> plain form (or the reverse) through
// buffers the instance keeps, so the steady state allocates nothing: the
// working vector keeps its capacity between values, and outputs are the
// caller's reused strings.

#include "clscrypt/values.hpp"

#include <optional>
#include <utility>

#include "clscrypt/cipher.hpp"
#include "common/base64.hpp"
#include "common/error_numbers.hpp"
#include "common/hex.hpp"
#include "common/utf.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace {

// Between hexadecimal pairs a reader meets whatever separator the writer
// chose: white space and ASCII punctuation are skipped, letters past F and
// anything else are not hexadecimal text.
constexpr bool is_hex_separator(char c) noexcept {
    if (c == ' ' || (c >= '\t' && c <= '\r')) return true;
    const bool punctuation =
        (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
    return punctuation;
}

constexpr std::size_t kLayoutOverhead = 20;  // header and the most padding

}  // namespace

struct ValueCipher::State {
    State(ValueOptions o) : options(std::move(o)), target(options.codePage) {}
    ~State() {
        // The whole capacity: earlier, longer values left characters past the
        // size. Not a WipedBytes: the decoder fills a std::u16string.
        text.resize(text.capacity());
        platform::secure_wipe(text.data(), text.size() * sizeof(char16_t));
    }

    ValueOptions options;
    std::vector<clsToString> candidates;
    clsToString target;
    platform::WipedBytes work;  // ciphertext or plaintext bytes of the value in hand
    std::u16string text;        // a text value's UTF-16 on its way to the code page
    std::optional<RuntimeError> last_error;

    ValueOutcome fail(ErrorKind kind, const std::string& what) {
        last_error.emplace(kind, errnum::kInvalidArgument, StandardDescription(errnum::kInvalidArgument), what);
        return fail_with_last();
    }
    ValueOutcome fail(const RuntimeError& e) {
        last_error.emplace(e);
        return fail_with_last();
    }
    ValueOutcome fail_with_last() {
        wipe_work();
        return ValueOutcome{false, last_error->Kind(), 0};
    }
    void wipe_work() noexcept {
        platform::secure_wipe(work.bytes.data(), work.bytes.size());
        work.bytes.clear();
    }

    // Stored form -> ciphertext bytes in `work`.
    bool read_stored(std::string_view stored, StoredForm form) {
        work.bytes.clear();
        work.bytes.reserve(stored.size());
        const auto put = [this](std::uint8_t b) { work.bytes.push_back(b); };
        switch (form) {
            case StoredForm::Bytes: work.bytes.assign(stored.begin(), stored.end()); return true;
            case StoredForm::Hex: return !common::decode_hex(stored, is_hex_separator, put);
            case StoredForm::Base64: return !common::decode_base64(stored, put);
            case StoredForm::String: {
                const CodePage& page = options.codePage;
                text.clear();
                if (common::decode_utf8(stored, text)) return false;
                for (const char16_t c : text) {
                    if (!page.Contains(c)) return false;
                    work.bytes.push_back(page.ToByte(c));
                }
                return true;
            }
        }
        return false;
    }

    // Ciphertext bytes in `work` -> stored form in `out`.
    void write_stored(StoredForm form, std::string& out) const {
        out.clear();
        switch (form) {
            case StoredForm::Bytes: out.assign(work.bytes.begin(), work.bytes.end()); return;
            case StoredForm::Hex: {
                const std::string& sep = options.hexSeparator;
                if (sep.empty()) {
                    out.resize(2 * work.bytes.size());
                    common::encode_hex(work.bytes.data(), work.bytes.size(), out.data());
                    return;
                }
                out.reserve(work.bytes.size() * (2 + sep.size()));
                char pair[2];
                for (std::size_t i = 0; i < work.bytes.size(); ++i) {
                    if (i != 0) out += sep;
                    common::encode_hex(&work.bytes[i], 1, pair);
                    out.append(pair, 2);
                }
                return;
            }
            case StoredForm::Base64:
                out.resize(common::base64_length(work.bytes.size()));
                common::encode_base64(work.bytes.data(), work.bytes.size(), out.data());
                return;
            case StoredForm::String:
                for (const std::uint8_t b : work.bytes) common::append_utf8(out, options.codePage.ToChar(b));
                return;
        }
    }

    // Plain form -> message bytes in `work`; false for text the code page
    // cannot carry (unless the legacy "?" was asked for) or invalid UTF-8.
    bool read_plain(std::string_view plain, PlainForm form) {
        work.bytes.clear();
        work.bytes.reserve(plain.size() + kLayoutOverhead);
        if (form == PlainForm::Bytes) {
            work.bytes.assign(plain.begin(), plain.end());
            return true;
        }
        text.clear();
        const bool valid = !common::decode_utf8(plain, text);
        bool mapped = valid;
        for (const char16_t c : text) {
            if (!options.replaceUnmappable && !options.codePage.Contains(c)) mapped = false;
            work.bytes.push_back(options.codePage.ToByte(c));
        }
        platform::secure_wipe(text.data(), text.size() * sizeof(char16_t));
        return mapped;
    }

    // Message bytes in `work` -> plain form in `out`.
    void write_plain(PlainForm form, std::string& out) const {
        out.clear();
        if (form == PlainForm::Bytes) {
            out.assign(work.bytes.begin(), work.bytes.end());
            return;
        }
        out.reserve(work.bytes.size());
        for (const std::uint8_t b : work.bytes) common::append_utf8(out, options.codePage.ToChar(b));
    }

    // Ciphertext bytes in `work` -> message bytes, trying each candidate.
    ValueOutcome decrypt_work() {
        // A length no ciphertext has fails every candidate alike.
        if (work.bytes.size() < 16 || work.bytes.size() % 8 != 0) {
            try {
                candidates.front().DecryptByte(work.bytes);  // raises the length error
            } catch (const RuntimeError& e) {
                return fail(e);
            }
            return ValueOutcome{true, ErrorKind::Other, 0};
        }
        for (std::size_t i = 0; i < candidates.size(); ++i) {
            try {
                candidates[i].DecryptByte(work.bytes);
                return ValueOutcome{true, ErrorKind::Other, i};
            } catch (const RuntimeError& e) {
                // The array is untouched when the descriptor does not check:
                // the next candidate reads the same ciphertext.
                if (e.Kind() != ErrorKind::WrongKeyOrDamaged || i + 1 == candidates.size()) return fail(e);
            }
        }
        return fail(ErrorKind::WrongKeyOrDamaged, "no key candidate");
    }

    ValueOutcome encrypt_work() {
        try {
            target.EncryptByte(work.bytes);
        } catch (const RuntimeError& e) {
            return fail(e);
        }
        return ValueOutcome{true, ErrorKind::Other, 0};
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
    state_->candidates.reserve(candidates.size());
    for (const auto& history : candidates) {
        apply(state_->candidates.emplace_back(state_->options.codePage), history);
    }
    apply(state_->target, target);
}

ValueCipher::ValueCipher(std::vector<clsToString> candidates, clsToString target, ValueOptions options)
    : state_(std::make_unique<State>(std::move(options))) {
    if (candidates.empty()) throw no_candidate();
    state_->candidates = std::move(candidates);
    state_->target = std::move(target);
}

ValueCipher::ValueCipher(const KeyHistory& keys, ValueOptions options)
    : ValueCipher(std::vector<KeyHistory>{keys}, keys, std::move(options)) {}

ValueCipher::ValueCipher(ValueCipher&&) noexcept = default;
ValueCipher& ValueCipher::operator=(ValueCipher&&) noexcept = default;
ValueCipher::~ValueCipher() = default;

ValueOutcome ValueCipher::Encrypt(std::string_view plain, PlainForm plainForm, StoredForm form, std::string& stored) {
    State& s = *state_;
    stored.clear();
    if (!s.read_plain(plain, plainForm)) {
        return s.fail(ErrorKind::InvalidArgument, "a text with characters the code page lacks, or not UTF-8");
    }
    const ValueOutcome outcome = s.encrypt_work();
    if (outcome) s.write_stored(form, stored);
    s.work.bytes.clear();  // ciphertext only: nothing to wipe
    return outcome;
}

ValueOutcome ValueCipher::Decrypt(std::string_view stored, StoredForm form, PlainForm plainForm, std::string& plain) {
    State& s = *state_;
    plain.clear();
    if (!s.read_stored(stored, form)) return s.fail(ErrorKind::InvalidArgument, "a value not in its stored form");
    const ValueOutcome outcome = s.decrypt_work();
    if (outcome) {
        s.write_plain(plainForm, plain);
        s.wipe_work();
    }
    return outcome;
}

ValueOutcome ValueCipher::Rekey(std::string_view stored, StoredForm inForm, StoredForm outForm, std::string& rekeyed) {
    State& s = *state_;
    rekeyed.clear();
    if (!s.read_stored(stored, inForm)) return s.fail(ErrorKind::InvalidArgument, "a value not in its stored form");
    ValueOutcome outcome = s.decrypt_work();
    if (!outcome) return outcome;
    const std::size_t candidate = outcome.candidate;
    outcome = s.encrypt_work();
    if (!outcome) return outcome;
    s.write_stored(outForm, rekeyed);
    s.work.bytes.clear();
    outcome.candidate = candidate;
    return outcome;
}

void ValueCipher::EncryptMany(std::span<const std::string_view> plain, PlainForm plainForm, StoredForm form,
                              std::vector<std::string>& stored, std::vector<ValueOutcome>& outcomes) {
    stored.resize(plain.size());
    outcomes.resize(plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) outcomes[i] = Encrypt(plain[i], plainForm, form, stored[i]);
}

void ValueCipher::DecryptMany(std::span<const std::string_view> stored, StoredForm form, PlainForm plainForm,
                              std::vector<std::string>& plain, std::vector<ValueOutcome>& outcomes) {
    plain.resize(stored.size());
    outcomes.resize(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) outcomes[i] = Decrypt(stored[i], form, plainForm, plain[i]);
}

void ValueCipher::RekeyMany(std::span<const std::string_view> stored, StoredForm inForm, StoredForm outForm,
                            std::vector<std::string>& rekeyed, std::vector<ValueOutcome>& outcomes) {
    rekeyed.resize(stored.size());
    outcomes.resize(stored.size());
    for (std::size_t i = 0; i < stored.size(); ++i) outcomes[i] = Rekey(stored[i], inForm, outForm, rekeyed[i]);
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

std::size_t ValueCipher::CandidateCount() const noexcept {
    return state_->candidates.size();
}

const ValueOptions& ValueCipher::Options() const noexcept {
    return state_->options;
}

}  // namespace clscrypt
