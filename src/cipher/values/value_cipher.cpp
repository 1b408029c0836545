// ValueCipher's public face: construction, the single-value and batch
// methods over the pipelines (values/pipeline.cpp), and the last error.

#include "clscrypt/values.hpp"

#include <functional>
#include <utility>

#include "cipher/key_state.hpp"
#include "cipher/values/pipeline.hpp"
#include "common/error_numbers.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace {

RuntimeError no_candidate() {
    return RuntimeError(ErrorKind::InvalidArgument, errnum::kInvalidArgument,
                        StandardDescription(errnum::kInvalidArgument), "no key candidate to decrypt with");
}

}  // namespace

ValueCipher::ValueCipher(const std::vector<KeyHistory>& candidates, const KeyHistory& target, ValueOptions options)
    : state_(std::make_unique<State>(std::move(options))) {
    if (candidates.empty()) throw no_candidate();
    state_->apply_histories(candidates, target);
}

ValueCipher::ValueCipher(std::vector<clsToString> candidates, clsToString target, ValueOptions options)
    : state_(std::make_unique<State>(std::move(options))) {
    if (candidates.empty()) throw no_candidate();
    state_->candidates.reserve(candidates.size());
    for (clsToString& c : candidates) state_->candidates.push_back(detail::take_key_state(std::move(c)));
    state_->target = detail::take_key_state(std::move(target));
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
    state_->convert_plain({&plain, 1}, plainForm, form, detail::ValueOutputs(&stored), &outcome);
    return outcome;
}

ValueOutcome ValueCipher::Decrypt(std::string_view stored, StoredForm form, PlainForm plainForm, std::string& plain) {
    ValueOutcome outcome;
    const InputAside aside(stored, plain);
    state_->convert_stored({&stored, 1}, form, State::Job::Decrypt, plainForm, form, detail::ValueOutputs(&plain),
                           &outcome);
    return outcome;
}

ValueOutcome ValueCipher::Rekey(std::string_view stored, StoredForm inForm, StoredForm outForm, std::string& rekeyed) {
    ValueOutcome outcome;
    const InputAside aside(stored, rekeyed);
    state_->convert_stored({&stored, 1}, inForm, State::Job::Rekey, PlainForm::Bytes, outForm,
                           detail::ValueOutputs(&rekeyed), &outcome);
    return outcome;
}

void ValueCipher::EncryptMany(std::span<const std::string_view> plain, PlainForm plainForm, StoredForm form,
                              std::vector<std::string>& stored, std::vector<ValueOutcome>& outcomes) {
    stored.resize(plain.size());
    outcomes.resize(plain.size());
    state_->convert_plain(plain, plainForm, form, detail::ValueOutputs(stored.data()), outcomes.data());
}

void ValueCipher::DecryptMany(std::span<const std::string_view> stored, StoredForm form, PlainForm plainForm,
                              std::vector<std::string>& plain, std::vector<ValueOutcome>& outcomes) {
    plain.resize(stored.size());
    outcomes.resize(stored.size());
    state_->convert_stored(stored, form, State::Job::Decrypt, plainForm, form, detail::ValueOutputs(plain.data()),
                           outcomes.data());
}

void ValueCipher::RekeyMany(std::span<const std::string_view> stored, StoredForm inForm, StoredForm outForm,
                            std::vector<std::string>& rekeyed, std::vector<ValueOutcome>& outcomes) {
    rekeyed.resize(stored.size());
    outcomes.resize(stored.size());
    state_->convert_stored(stored, inForm, State::Job::Rekey, PlainForm::Bytes, outForm,
                           detail::ValueOutputs(rekeyed.data()), outcomes.data());
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
