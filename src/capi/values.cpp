// The value batches: single values and packed batches of them encrypted,
// decrypted or given a new key under a ValueCipher.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "capi/arguments.hpp"
#include "capi/status.hpp"
#include "cipher/values/value_access.hpp"
#include "platform/wipe.hpp"

struct clscrypt_values {
    explicit clscrypt_values(clscrypt::ValueCipher v) : values(std::move(v)) {}
    ~clscrypt_values() { clscrypt::platform::secure_wipe(result.data(), result.size()); }
    clscrypt::ValueCipher values;
    std::string result;  // the last value's result, reused from value to value
    // A batch's values, results (packed, wiped) and outcomes, reused from
    // batch to batch.
    std::vector<std::string_view> views;
    clscrypt::detail::PackedResults results;
    std::vector<clscrypt::ValueOutcome> outcomes;
};

using namespace clscrypt::capi;

namespace {

clscrypt::KeyHistory history_arg(const clscrypt_key_history& h, const char* name) {
    if (h.keys == nullptr && h.count != 0) throw ArgumentError{std::string(name) + " has null keys"};
    clscrypt::KeyHistory keys;
    // Reserved up front: growing would free short keys held inside the old
    // storage without wiping them.
    keys.reserve(h.count);
    try {
        for (std::size_t i = 0; i < h.count; ++i) {
            keys.push_back(utf8_arg(h.keys[i], h.lengths != nullptr ? h.lengths[i] : CLSCRYPT_NUL_TERMINATED, name));
        }
    } catch (...) {
        for (auto& k : keys) const WipeOnExit<std::u16string> wipe{k};
        throw;
    }
    return keys;
}

// Enumerated arguments are read as the integers a C caller may have put
// there: loading a value outside the enumeration as the enumeration type
// would be undefined behaviour in C++.
template <typename Enum>
int enum_arg(const Enum& e) noexcept {
    static_assert(sizeof(Enum) == sizeof(int));
    int v = 0;
    std::memcpy(&v, &e, sizeof v);
    return v;
}

clscrypt::StoredForm stored_form(const clscrypt_stored_form& arg) {
    const int form = enum_arg(arg);
    switch (form) {
        case CLSCRYPT_STORED_BYTES: return clscrypt::StoredForm::Bytes;
        case CLSCRYPT_STORED_HEX: return clscrypt::StoredForm::Hex;
        case CLSCRYPT_STORED_BASE64: return clscrypt::StoredForm::Base64;
        case CLSCRYPT_STORED_STRING: return clscrypt::StoredForm::String;
    }
    throw ArgumentError{"unknown stored form " + std::to_string(form)};
}

clscrypt::PlainForm plain_form(const clscrypt_plain_form& arg) {
    const int form = enum_arg(arg);
    switch (form) {
        case CLSCRYPT_PLAIN_TEXT: return clscrypt::PlainForm::Text;
        case CLSCRYPT_PLAIN_BYTES: return clscrypt::PlainForm::Bytes;
    }
    throw ArgumentError{"unknown plaintext form " + std::to_string(form)};
}

// Runs one value's operation into the handle's result and copies it out.
template <typename Run>
clscrypt_status value_into(clscrypt_values* handle, const void* in, std::size_t in_size, void* out, std::size_t* size,
                           std::size_t* candidate, Run run) {
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::size_t& capacity = need(size, "the size");
        if (in == nullptr && in_size != 0) throw ArgumentError{"the input is null"};
        const std::string_view value(static_cast<const char*>(in), in == nullptr ? 0 : in_size);
        const clscrypt::ValueOutcome outcome = run(h, value);
        if (!outcome) throw h.values.LastError();
        if (candidate != nullptr) *candidate = outcome.candidate;
        if (h.result.size() > capacity) {
            capacity = h.result.size();
            clscrypt::platform::secure_wipe(h.result.data(), h.result.size());
            throw BufferTooSmall{};
        }
        if (out == nullptr && !h.result.empty()) throw ArgumentError{"the output buffer is null"};
        if (!h.result.empty()) std::memcpy(out, h.result.data(), h.result.size());
        capacity = h.result.size();
        clscrypt::platform::secure_wipe(h.result.data(), h.result.size());
    });
}

// Runs a batch's operation into the handle's results and packs them out.
template <typename Run>
clscrypt_status many_into(clscrypt_values* handle, const void* in, const std::size_t* in_offsets, std::size_t count,
                          void* out, std::size_t* size, std::size_t* out_offsets, clscrypt_value_outcome* outcomes,
                          Run run) {
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::size_t& capacity = need(size, "the size");
        need(in_offsets, "the input offsets");
        need(out_offsets, "the output offsets");
        if (count != 0) need(outcomes, "the outcomes");
        for (std::size_t i = 0; i < count; ++i) {
            if (in_offsets[i + 1] < in_offsets[i])
                throw ArgumentError{"input offset " + std::to_string(i + 1) + " falls"};
        }
        if (in == nullptr && in_offsets[count] != in_offsets[0]) throw ArgumentError{"the input is null"};
        const char* base = in == nullptr ? "" : static_cast<const char*>(in);
        h.views.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            h.views[i] = std::string_view(base + in_offsets[i], in_offsets[i + 1] - in_offsets[i]);
        }
        // Wiped however this ends: the results may be plaintext.
        struct WipeResults {
            clscrypt::detail::PackedResults& r;
            explicit WipeResults(clscrypt::detail::PackedResults& p) noexcept : r(p) {}
            WipeResults(const WipeResults&) = delete;
            WipeResults& operator=(const WipeResults&) = delete;
            ~WipeResults() { r.wipe(); }
        } wipe{h.results};
        h.results.start(count);
        h.outcomes.resize(count);
        run(h);
        const std::size_t total = h.results.size();
        if (total > capacity) {
            capacity = total;
            throw BufferTooSmall{};
        }
        if (out == nullptr && total != 0) throw ArgumentError{"the output buffer is null"};
        if (total != 0) std::memcpy(out, h.results.data(), total);
        out_offsets[0] = 0;
        for (std::size_t i = 0; i < count; ++i) {
            out_offsets[i + 1] = h.results.ends[i];
            const clscrypt::ValueOutcome& o = h.outcomes[i];
            outcomes[i] = {o.ok ? CLSCRYPT_KIND_NONE : c_kind(o.error), o.candidate};
        }
        capacity = total;
    });
}

}  // namespace

extern "C" {

clscrypt_status clscrypt_values_new(const clscrypt_key_history* candidates, size_t candidate_count,
                                    const clscrypt_key_history* target, int codepage, const char* hex_separator,
                                    unsigned flags, clscrypt_values** out) {
    return guarded([&] {
        auto& result = need(out, "the output pointer");
        result = nullptr;
        if (candidates == nullptr && candidate_count != 0) throw ArgumentError{"the candidates are null"};
        constexpr unsigned known = CLSCRYPT_VALUES_REPLACE_UNMAPPABLE | CLSCRYPT_VALUES_ALLOW_NO_KEY;
        if ((flags & ~known) != 0) throw ArgumentError{"unknown flags " + std::to_string(flags & ~known)};
        std::vector<clscrypt::KeyHistory> histories;
        clscrypt::KeyHistory writer;
        // The keys pass through these copies: wipe them however this ends.
        struct WipeKeys {
            std::vector<clscrypt::KeyHistory>& histories;
            clscrypt::KeyHistory& writer;
            WipeKeys(std::vector<clscrypt::KeyHistory>& h, clscrypt::KeyHistory& w) noexcept
                : histories(h), writer(w) {}
            WipeKeys(const WipeKeys&) = delete;
            WipeKeys& operator=(const WipeKeys&) = delete;
            ~WipeKeys() {
                for (auto& h : histories) {
                    for (auto& k : h) const WipeOnExit<std::u16string> wipe{k};
                }
                for (auto& k : writer) const WipeOnExit<std::u16string> wipe{k};
            }
        } wipe_keys{histories, writer};
        histories.reserve(candidate_count);
        for (std::size_t i = 0; i < candidate_count; ++i)
            histories.push_back(history_arg(candidates[i], "a candidate"));
        if (target != nullptr) {
            writer = history_arg(*target, "the target");
        } else if (!histories.empty()) {
            writer = histories.front();
        }
        clscrypt::ValueOptions options;
        options.codePage = code_page(codepage);
        options.replaceUnmappable = (flags & CLSCRYPT_VALUES_REPLACE_UNMAPPABLE) != 0;
        options.allowNoKey = (flags & CLSCRYPT_VALUES_ALLOW_NO_KEY) != 0;
        if (hex_separator != nullptr) options.hexSeparator = hex_separator;
        result = new clscrypt_values(clscrypt::ValueCipher(histories, writer, std::move(options)));
    });
}

void clscrypt_values_free(clscrypt_values* handle) {
    delete handle;
}

clscrypt_status clscrypt_values_encrypt(clscrypt_values* handle, const void* in, size_t in_size,
                                        clscrypt_plain_form plain, clscrypt_stored_form form, void* out, size_t* size) {
    return value_into(handle, in, in_size, out, size, nullptr, [&](clscrypt_values& h, std::string_view value) {
        return h.values.Encrypt(value, plain_form(plain), stored_form(form), h.result);
    });
}

clscrypt_status clscrypt_values_decrypt(clscrypt_values* handle, const void* in, size_t in_size,
                                        clscrypt_stored_form form, clscrypt_plain_form plain, void* out, size_t* size,
                                        size_t* candidate) {
    return value_into(handle, in, in_size, out, size, candidate, [&](clscrypt_values& h, std::string_view value) {
        return h.values.Decrypt(value, stored_form(form), plain_form(plain), h.result);
    });
}

clscrypt_status clscrypt_values_rekey(clscrypt_values* handle, const void* in, size_t in_size,
                                      clscrypt_stored_form in_form, clscrypt_stored_form out_form, void* out,
                                      size_t* size, size_t* candidate) {
    return value_into(handle, in, in_size, out, size, candidate, [&](clscrypt_values& h, std::string_view value) {
        return h.values.Rekey(value, stored_form(in_form), stored_form(out_form), h.result);
    });
}

// The three batch calls differ only in the job they name and the forms
// they take; each checks its own arguments, as its header states.
clscrypt_status clscrypt_values_encrypt_many(clscrypt_values* handle, const void* in, const size_t* in_offsets,
                                             size_t count, clscrypt_plain_form plain, clscrypt_stored_form form,
                                             void* out, size_t* size, size_t* out_offsets,
                                             clscrypt_value_outcome* outcomes) {
    return many_into(handle, in, in_offsets, count, out, size, out_offsets, outcomes, [&](clscrypt_values& h) {
        clscrypt::detail::ValueAccess::encrypt_many(h.values, h.views, plain_form(plain), stored_form(form), h.results,
                                                    h.outcomes.data());
    });
}

clscrypt_status clscrypt_values_decrypt_many(clscrypt_values* handle, const void* in, const size_t* in_offsets,
                                             size_t count, clscrypt_stored_form form, clscrypt_plain_form plain,
                                             void* out, size_t* size, size_t* out_offsets,
                                             clscrypt_value_outcome* outcomes) {
    return many_into(handle, in, in_offsets, count, out, size, out_offsets, outcomes, [&](clscrypt_values& h) {
        clscrypt::detail::ValueAccess::decrypt_many(h.values, h.views, stored_form(form), plain_form(plain), h.results,
                                                    h.outcomes.data());
    });
}

clscrypt_status clscrypt_values_rekey_many(clscrypt_values* handle, const void* in, const size_t* in_offsets,
                                           size_t count, clscrypt_stored_form in_form, clscrypt_stored_form out_form,
                                           void* out, size_t* size, size_t* out_offsets,
                                           clscrypt_value_outcome* outcomes) {
    return many_into(handle, in, in_offsets, count, out, size, out_offsets, outcomes, [&](clscrypt_values& h) {
        clscrypt::detail::ValueAccess::rekey_many(h.values, h.views, stored_form(in_form), stored_form(out_form),
                                                  h.results, h.outcomes.data());
    });
}

}  // extern "C"
