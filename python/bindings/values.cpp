// The value functions: read_hex, and encrypt_values, decrypt_values and
// rekey_values over ValueCipher, a column at a time. Conversion, candidates
// and errors are all ValueCipher's; this layer only maps Python values and
// names onto it.

#include <pybind11/stl.h>

#include "columns.hpp"
#include "engine.hpp"

namespace clscrypt_python {

namespace {

// Key texts copied out of Python, wiped when the call ends (the tables set
// up from them are the library's to wipe).
struct WipedKeys {
    std::vector<clscrypt::KeyHistory> histories;
    explicit WipedKeys(std::vector<clscrypt::KeyHistory> h) : histories(std::move(h)) {}
    WipedKeys(const WipedKeys&) = delete;
    WipedKeys& operator=(const WipedKeys&) = delete;
    ~WipedKeys() {
        for (auto& history : histories) {
            for (auto& key : history) clscrypt::Wipe(key.data(), key.size() * sizeof(char16_t));
        }
    }
};

clscrypt::StoredForm stored_form(py::handle name, const char* where, const char* param) {
    const std::string form = choice_arg(name, where, param, {"hex", "base64", "string", "bytes"});
    if (form == "hex") return clscrypt::StoredForm::Hex;
    if (form == "base64") return clscrypt::StoredForm::Base64;
    if (form == "string") return clscrypt::StoredForm::String;
    return clscrypt::StoredForm::Bytes;
}

clscrypt::PlainForm plain_form(py::handle name, const char* where) {
    return choice_arg(name, where, "plain", {"str", "bytes"}) == "str" ? clscrypt::PlainForm::Text
                                                                       : clscrypt::PlainForm::Bytes;
}

// errors="raise" or errors="none": whether a failed value raises or gives None.
bool raises(py::handle errors, const char* where) {
    return choice_arg(errors, where, "errors", {"raise", "none"}) == "raise";
}

// One key history: a sequence of keys applied in order, or a single str as a
// history of that one key (a str is iterable, and taking its characters as
// keys one by one is never what the caller meant).
clscrypt::KeyHistory history(const py::handle& keys, const char* argument) {
    if (PyUnicode_Check(keys.ptr())) return {utf16(keys)};
    if (PyBytes_Check(keys.ptr()) || PyByteArray_Check(keys.ptr())) {
        throw py::type_error(std::string(argument) + ": keys are str, not bytes");
    }
    if (!PyObject_HasAttrString(keys.ptr(), "__iter__") && !PySequence_Check(keys.ptr())) {
        throw py::type_error(std::string(argument) + " must be a str or a sequence of str, not " +
                             Py_TYPE(keys.ptr())->tp_name);
    }
    clscrypt::KeyHistory out;
    for (const py::handle key : py::iter(keys)) {
        if (!PyUnicode_Check(key.ptr())) {
            throw py::type_error(std::string(argument) + ": keys are str, not " + Py_TYPE(key.ptr())->tp_name);
        }
        out.push_back(utf16(key));
    }
    return out;
}

// The candidate histories of a decryption: `candidates` (a list of histories,
// tried in order), or `keys` (one history); exactly one of them.
std::vector<clscrypt::KeyHistory> candidate_histories(py::handle candidates, py::handle keys) {
    if (candidates.is_none() == keys.is_none()) {
        throw py::type_error("give the key histories to try as candidates=[[...], ...], or one history as keys=[...]");
    }
    if (!keys.is_none()) return {history(keys, "keys")};
    if (PyUnicode_Check(candidates.ptr()) ||
        (!PyObject_HasAttrString(candidates.ptr(), "__iter__") && !PySequence_Check(candidates.ptr()))) {
        throw py::type_error(std::string("candidates is a list of key histories, such as [[\"old\"], [\"old\", "
                                         "\"new\"]], not ") +
                             Py_TYPE(candidates.ptr())->tp_name);
    }
    std::vector<clscrypt::KeyHistory> out;
    for (const py::handle h : py::iter(candidates)) out.push_back(history(h, "candidates"));
    if (out.empty()) throw py::value_error("candidates is empty: give at least one key history");
    return out;
}

clscrypt::ValueOptions value_options(const char* where, py::handle codepage, py::handle separator,
                                     py::handle replace_unmappable) {
    clscrypt::ValueOptions options;
    options.codePage =
        clscrypt::CodePage::FromNumber(static_cast<int>(int_arg(codepage, where, "codepage", INT32_MIN, INT32_MAX)));
    if (!separator.is_none()) {
        if (!PyUnicode_Check(separator.ptr())) wrong_type(where, "separator", "str", separator);
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(separator.ptr(), &size);
        if (data == nullptr) throw py::error_already_set();
        options.hexSeparator.assign(data, static_cast<std::size_t>(size));
    }
    options.replaceUnmappable = bool_arg(replace_unmappable, where, "replace_unmappable");
    // keys=[] is written out by the caller: an explicit choice of no key.
    options.allowNoKey = true;
    return options;
}

// The column position of a call's first value (its messages count from it).
std::size_t first_row(py::handle first, const char* where) {
    return static_cast<std::size_t>(int_arg(first, where, "first", 0, INT64_MAX));
}

py::list encrypt_values(py::handle values, py::handle keys, py::handle form, py::handle codepage, py::handle errors,
                        py::handle separator, py::handle replace_unmappable, py::handle threads, py::handle first) {
    constexpr const char* where = "encrypt_values";
    return interruptible(true, [&](Interruptible& watch) {
        const auto stored = stored_form(form, where, "form");
        const bool raise = raises(errors, where);
        const auto options = value_options(where, codepage, separator, replace_unmappable);
        const WipedKeys target({history(keys, "keys")});
        Values column(values, Accept::Either, first_row(first, where));
        auto ciphers = ciphers_for(where, threads, column, [&] {
            return clscrypt::ValueCipher(target.histories, target.histories.front(), options);
        });
        // A column of str is text through the code page, one of bytes the
        // messages as they are (each part knows which, from the values it read).
        const auto plain = [](bool text) { return text ? clscrypt::PlainForm::Text : clscrypt::PlainForm::Bytes; };
        return convert(  // ciphertext only: nothing to wipe
            column, output_of(stored), false, raise, ciphers, watch,
            [&](auto& c, auto part, bool text, auto& results, auto& outcomes) {
                c.EncryptMany(part, plain(text), stored, results, outcomes);
            },
            [&](auto& c, std::string_view v) { c.EncryptOrThrow(v, plain(column.text()), stored); });
    });
}

py::list decrypt_values(py::handle values, py::handle candidates, py::handle form, py::handle codepage,
                        py::handle errors, py::handle keys, py::handle plain_name, py::handle replace_unmappable,
                        py::handle threads, py::handle first) {
    constexpr const char* where = "decrypt_values";
    return interruptible(true, [&](Interruptible& watch) {
        const auto stored = stored_form(form, where, "form");
        const auto plain = plain_form(plain_name, where);
        const bool raise = raises(errors, where);
        const auto options = value_options(where, codepage, py::none(), replace_unmappable);
        const WipedKeys histories(candidate_histories(candidates, keys));
        Values column(values, stored == clscrypt::StoredForm::Bytes ? Accept::Bytes : Accept::Str,
                      first_row(first, where));
        auto ciphers = ciphers_for(where, threads, column, [&] {
            return clscrypt::ValueCipher(histories.histories, clscrypt::KeyHistory{}, options);
        });
        return convert(
            column, plain == clscrypt::PlainForm::Text ? Output::Text : Output::Bytes, true, raise, ciphers, watch,
            [&](auto& c, auto part, bool, auto& results, auto& outcomes) {
                c.DecryptMany(part, stored, plain, results, outcomes);
            },
            [&](auto& c, std::string_view v) {
                std::string opened = c.DecryptOrThrow(v, stored, plain);
                wipe(opened);
            });
    });
}

py::list rekey_values(py::handle values, py::handle candidates, py::handle new_keys, py::handle form,
                      py::handle codepage, py::handle errors, py::handle keys, py::handle new_form,
                      py::handle separator, py::handle replace_unmappable, py::handle threads, py::handle first) {
    constexpr const char* where = "rekey_values";
    return interruptible(true, [&](Interruptible& watch) {
        const auto in = stored_form(form, where, "form");
        const auto out_form = new_form.is_none() ? in : stored_form(new_form, where, "new_form");
        const bool raise = raises(errors, where);
        const auto options = value_options(where, codepage, separator, replace_unmappable);
        const WipedKeys histories(candidate_histories(candidates, keys));
        if (new_keys.is_none()) throw py::type_error("rekey_values needs new_keys=[...], the history to write under");
        const WipedKeys target({history(new_keys, "new_keys")});
        Values column(values, in == clscrypt::StoredForm::Bytes ? Accept::Bytes : Accept::Str, first_row(first, where));
        auto ciphers = ciphers_for(where, threads, column, [&] {
            return clscrypt::ValueCipher(histories.histories, target.histories.front(), options);
        });
        return convert(  // ciphertext only
            column, output_of(out_form), false, raise, ciphers, watch,
            [&](auto& c, auto part, bool, auto& results, auto& outcomes) {
                c.RekeyMany(part, in, out_form, results, outcomes);
            },
            [&](auto& c, std::string_view v) { c.RekeyOrThrow(v, in, out_form); });
    });
}

}  // namespace

void init_values(py::module_& m) {
    m.def(
        "read_hex",
        [](py::handle text) {
            if (!PyUnicode_Check(text.ptr())) wrong_type("read_hex", "text", "str", text);
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
            if (data == nullptr) {
                throw py::value_error("read_hex(): text has a lone surrogate, which is no hexadecimal digit");
            }
            const std::vector<std::uint8_t> bytes =
                clscrypt::ReadHex(std::string_view(data, static_cast<std::size_t>(size)));
            return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        },
        py::arg("text"),
        "Reads ciphertext written as hexadecimal text by the library's one rule (digits of either case; white "
        "space and ASCII punctuation skipped; one leading \\x skipped); anything else raises "
        "clscrypt.InvalidArgumentError naming the position.");
    m.def("encrypt_values", &encrypt_values, py::arg("values"), py::arg("keys"), py::arg("form") = "hex",
          py::arg("codepage") = 1252, py::arg("errors") = "raise", py::arg("separator") = "",
          py::arg("replace_unmappable") = false, py::arg("threads") = 1, py::arg("first") = 0,
          "See clscrypt.encrypt_values; `first` is the column position of the first value, for messages.");
    m.def("decrypt_values", &decrypt_values, py::arg("values"), py::arg("candidates") = py::none(),
          py::arg("form") = "hex", py::arg("codepage") = 1252, py::arg("errors") = "raise",
          py::arg("keys") = py::none(), py::arg("plain") = "str", py::arg("replace_unmappable") = false,
          py::arg("threads") = 1, py::arg("first") = 0, "See clscrypt.decrypt_values.");
    m.def("rekey_values", &rekey_values, py::arg("values"), py::arg("candidates") = py::none(),
          py::arg("new_keys") = py::none(), py::arg("form") = "hex", py::arg("codepage") = 1252,
          py::arg("errors") = "raise", py::arg("keys") = py::none(), py::arg("new_form") = py::none(),
          py::arg("separator") = "", py::arg("replace_unmappable") = false, py::arg("threads") = 1,
          py::arg("first") = 0, "See clscrypt.rekey_values.");
}

}  // namespace clscrypt_python
