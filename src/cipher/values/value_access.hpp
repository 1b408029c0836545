#pragma once

// The batch methods of a ValueCipher with their results packed end to end
// (PackedResults), for the C interface's batch calls.

#include <span>
#include <string_view>

#include "cipher/values/pipeline.hpp"
#include "clscrypt/values.hpp"

namespace clscrypt::detail {

struct ValueAccess {
    static void encrypt_many(ValueCipher& v, std::span<const std::string_view> plain, PlainForm plainForm,
                             StoredForm form, PackedResults& out, ValueOutcome* outcomes) {
        v.state_->convert_plain(plain, plainForm, form, ValueOutputs(out), outcomes);
    }
    static void decrypt_many(ValueCipher& v, std::span<const std::string_view> stored, StoredForm form,
                             PlainForm plainForm, PackedResults& out, ValueOutcome* outcomes) {
        v.state_->convert_stored(stored, form, ValueCipher::State::Job::Decrypt, plainForm, form, ValueOutputs(out),
                                 outcomes);
    }
    static void rekey_many(ValueCipher& v, std::span<const std::string_view> stored, StoredForm inForm,
                           StoredForm outForm, PackedResults& out, ValueOutcome* outcomes) {
        v.state_->convert_stored(stored, inForm, ValueCipher::State::Job::Rekey, PlainForm::Bytes, outForm,
                                 ValueOutputs(out), outcomes);
    }
};

}  // namespace clscrypt::detail
