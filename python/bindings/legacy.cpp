// Bindings of the legacy classes: clsToString (with its ProgressEvent) and
// clsHsh, with the operation names of the C++ classes; the code pages.

#include <pybind11/stl.h>

#include "legacy.hpp"

namespace clscrypt_python {

namespace {

// Garbage collection: the listeners of an instance may refer back to it.

// The instance behind a Python object, or null for one never initialised.
template <typename T>
T* initialised(PyObject* self) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    const auto v_h = inst->get_value_and_holder(py::detail::get_type_info(typeid(T)), false);
    if (!v_h || !v_h.holder_constructed()) return nullptr;
    return v_h.template value_ptr<T>();
}

template <typename T, typename Visit, typename Clear>
py::custom_type_setup collected() {
    return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
        auto* type = &heap_type->ht_type;
        type->tp_flags |= Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
            Py_VISIT(Py_TYPE(self));
            if (T* object = initialised<T>(self)) return Visit{}(*object, visit, arg);
            return 0;
        };
        type->tp_clear = [](PyObject* self) -> int {
            if (T* object = initialised<T>(self)) Clear{}(*object);
            return 0;
        };
    });
}

struct VisitListeners {
    int operator()(const PyToString& self, visitproc visit, void* arg) const {
        for (const auto& l : self.listeners) Py_VISIT(l.callable.ptr());
        return 0;
    }
};
struct ClearListeners {
    // The library's relays stay; they find no callable and do nothing.
    void operator()(PyToString& self) const {
        std::vector<Listener> gone;
        gone.swap(self.listeners);
    }
};
struct VisitOwner {
    int operator()(const PyProgress& self, visitproc visit, void* arg) const {
        Py_VISIT(self.owner.ptr());
        return 0;
    }
};
struct ClearOwner {
    void operator()(PyProgress& self) const { const py::object gone = std::move(self.owner); }
};

}  // namespace

void init_legacy(py::module_& m) {
    m.def("codepages", &clscrypt::CodePage::Available, "The code page numbers this library has built in.");
    m.def(
        "default_codepage", [] { return clscrypt::CodePage().Number(); },
        "The code page new instances use: the system's ANSI code page on Windows where built in, else 1252.");

    py::class_<PyProgress>(m, "ProgressEvent", collected<PyProgress, VisitOwner, ClearOwner>(),
                           "The Progress event. A listener is called with the percentage; one that "
                           "returns an int replaces it for later listeners (as storing into Percent "
                           "does in C++), and one that returns 100 suppresses the closing event.")
        .def("Subscribe", &subscribe, py::arg("listener"), "Adds a listener; returns a token for Unsubscribe.")
        .def("Unsubscribe", &unsubscribe, py::arg("token"), "Removes the listener the token names.");

    // The legacy methods come in encrypt/decrypt pairs bound alike: each
    // checks its arguments, releases the GIL and calls the one library call.
    py::class_<PyToString>(m, "clsToString", collected<PyToString, VisitListeners, ClearListeners>(),
                           "The legacy cipher: Blowfish-based encryption of byte arrays, strings and files.")
        .def(py::init([](py::handle codepage, py::handle replace_unmappable) {
                 return std::make_unique<PyToString>(code_page(codepage, "clsToString"),
                                                     bool_arg(replace_unmappable, "clsToString", "replace_unmappable"));
             }),
             py::arg("codepage") = py::none(), py::kw_only(), py::arg("replace_unmappable") = false,
             "A new instance with no key, on the code page numbered `codepage` (default: default_codepage()). "
             "A key or text with a character the code page lacks raises clscrypt.UnmappableError, "
             "unless `replace_unmappable` asks for the legacy \"?\" in its place (needed only to read data "
             "written that way).")
        .def("__copy__", [](py::handle self) { return twin(self, "__copy__"); })
        .def(
            "__deepcopy__", [](py::handle self, py::handle) { return twin(self, "__deepcopy__"); }, py::arg("memo"))
        .def("close", &close_instance,
             "Wipes the key state now and closes the instance: later operations raise ValueError. Closing twice "
             "does nothing; a Progress listener closing the instance that runs it gets clscrypt.BusyError.")
        .def("__enter__",
             [](py::handle self) {
                 (void)self_of<PyToString>(self, "__enter__", "self", "clsToString");
                 return py::reinterpret_borrow<py::object>(self);
             })
        .def(
            "__exit__",
            [](py::handle self, py::handle, py::handle, py::handle) {
                close_instance(self);
                return false;
            },
            py::arg("type"), py::arg("value"), py::arg("traceback"))
        // An instance's tables are its key: a pickle would carry key material
        // to wherever the bytes go (a file, a cluster's network).
        .def("__reduce__",
             [](py::handle) -> py::object {
                 throw py::type_error(
                     "clsToString holds key material and does not pickle; make the instance where it is used, or "
                     "pass the keys to clscrypt.encrypt_values, decrypt_values or rekey_values, which work in "
                     "worker processes");
             })
        .def("EncryptByte", &crypt_bytes<true>, py::arg("ByteArray"), py::arg("Key") = "",
             "Encrypts bytes: a bytearray changes in place (returns None); other bytes-like objects give bytes.")
        .def("DecryptByte", &crypt_bytes<false>, py::arg("ByteArray"), py::arg("Key") = "",
             "Decrypts bytes: a bytearray changes in place (returns None); other bytes-like objects give bytes. "
             "A wrong key or damaged data leaves a bytearray untouched.")
        .def(
            "EncryptString",
            [](py::handle self_handle, py::handle text, py::handle key) {
                constexpr const char* where = "EncryptString";
                PyToString& self = self_of<PyToString>(self_handle, where, "self", "clsToString");
                if (!PyUnicode_Check(text.ptr())) wrong_type(where, "Text", "str", text);
                const Secret secret(key, where, "Key");
                const std::uint64_t n = utf16_length(text);
                if (!clscrypt::EncryptedSize(n)) {
                    // Too long. The library refuses a character first: the text
                    // up to the first one is refused as the whole would be, at
                    // the same position; with none, the length is refused.
                    if (const auto at = refused_character(self, text)) {
                        const auto head =
                            py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), 0, *at + 1));
                        if (!head) throw py::error_already_set();
                        const Secret plain(head, where, "Text");
                        unlocked(self, where, plain.text.size(),
                                 [&] { (void)self.cipher.EncryptString(plain.text, secret.text); });
                    }
                    refuse_length<true>(self, where, n, secret.text);
                }
                const Secret plain(text, where, "Text");
                return unlocked(self, where, plain.text.size(),
                                [&] { return self.cipher.EncryptString(plain.text, secret.text); });
            },
            py::arg("Text"), py::arg("Key") = "",
            "Encrypts a text (through the code page); the ciphertext bytes come back one character each.")
        .def(
            "DecryptString",
            [](py::handle self_handle, py::handle text, py::handle key) {
                constexpr const char* where = "DecryptString";
                PyToString& self = self_of<PyToString>(self_handle, where, "self", "clsToString");
                if (!PyUnicode_Check(text.ptr())) wrong_type(where, "Text", "str", text);
                const Secret secret(key, where, "Key");
                refuse_length<false>(self, where, utf16_length(text), secret.text);
                const Secret sealed(text, where, "Text");
                const Secret plain(unlocked(self, where, sealed.text.size(),
                                            [&] { return self.cipher.DecryptString(sealed.text, secret.text); }));
                return py::str(py::cast(plain.text));
            },
            py::arg("Text"), py::arg("Key") = "", "Decrypts a text EncryptString made.")
        .def(
            "EncryptFile",
            [](py::handle self_handle, py::handle source, py::handle dest, py::handle key) {
                constexpr const char* where = "EncryptFile";
                PyToString& self = self_of<PyToString>(self_handle, where, "self", "clsToString");
                const auto from = path_arg(source, where, "SourceFile");
                const auto to = path_arg(dest, where, "DestFile");
                const Secret secret(key, where, "Key");
                unlocked(self, where, kFileWork, [&] { self.cipher.EncryptFile(from, to, secret.text); });
            },
            py::arg("SourceFile"), py::arg("DestFile"), py::arg("Key") = "",
            "Encrypts a file into another, or into itself. A destination that is a link is followed; a FIFO or a "
            "device is written into, never replaced.")
        .def(
            "DecryptFile",
            [](py::handle self_handle, py::handle source, py::handle dest, py::handle key) {
                constexpr const char* where = "DecryptFile";
                PyToString& self = self_of<PyToString>(self_handle, where, "self", "clsToString");
                const auto from = path_arg(source, where, "SourceFile");
                const auto to = path_arg(dest, where, "DestFile");
                const Secret secret(key, where, "Key");
                unlocked(self, where, kFileWork, [&] { self.cipher.DecryptFile(from, to, secret.text); });
            },
            py::arg("SourceFile"), py::arg("DestFile"), py::arg("Key") = "",
            "Decrypts a file into another, or into itself; a failure leaves nothing behind. A destination that is "
            "a link is followed; a FIFO or a device is written into, never replaced.")
        .def(
            "RekeyFile",
            [](py::handle self_handle, py::handle from_handle, py::handle source, py::handle dest) {
                constexpr const char* where = "RekeyFile";
                PyToString& self = self_of<PyToString>(self_handle, where, "self", "clsToString");
                PyToString& from = self_of<PyToString>(from_handle, where, "From", "clsToString");
                const auto in = path_arg(source, where, "SourceFile");
                const auto out = path_arg(dest, where, "DestFile");
                interruptible(true, [&](Interruptible& watch) {
                    py::gil_scoped_release release;
                    std::scoped_lock guard(self.lock, from.lock);
                    if (self.closed || from.closed) closed_error(where);
                    const Interruptible::Scope scope(watch);
                    self.cipher.RekeyFile(from.cipher, in, out);
                });
            },
            py::arg("From"), py::arg("SourceFile"), py::arg("DestFile"),
            "Decrypts a file with From's key state and encrypts it with this instance's.")
        .def(
            "HexToStr",
            [](py::handle self_handle, py::handle hex_text, py::handle separators) {
                constexpr const char* where = "HexToStr";
                PyToString& self = self_of<PyToString>(self_handle, where, "self", "clsToString");
                const std::u16string hex = text_arg(hex_text, where, "HexText");
                const auto count =
                    static_cast<std::int32_t>(int_arg(separators, where, "Separators", INT32_MIN, INT32_MAX));
                const Secret plain(unlocked(self, where, hex.size(), [&] { return self.cipher.HexToStr(hex, count); }));
                return py::str(py::cast(plain.text));
            },
            py::arg("HexText"), py::arg("Separators") = 0,
            "Hexadecimal pairs, `Separators` characters apart, to text through the code page.")
        .def(
            "StrToHex",
            [](py::handle self_handle, py::handle text, py::handle separator_text) {
                constexpr const char* where = "StrToHex";
                PyToString& self = self_of<PyToString>(self_handle, where, "self", "clsToString");
                const Secret plain(text, where, "Text");
                const std::u16string separator = text_arg(separator_text, where, "Separator");
                return unlocked(self, where, plain.text.size(),
                                [&] { return self.cipher.StrToHex(plain.text, separator); });
            },
            py::arg("Text"), py::arg("Separator") = " ",
            "Text through the code page to upper-case hexadecimal pairs with the separator between them.")
        .def_property(
            "Key",
            [](py::handle self) -> py::object {
                (void)self_of<PyToString>(self, "Key", "self", "clsToString");
                throw py::attribute_error("Key is write-only");
            },
            [](py::handle self_handle, py::handle key) {
                PyToString& self = self_of<PyToString>(self_handle, "Key", "self", "clsToString");
                const Secret secret(key, "Key", "the key");
                unlocked(self, "Key", 0, [&] { self.cipher.Key(secret.text); });
            },
            "Write-only: mixes a new key into the tables. A Progress listener that sets it on the instance "
            "running the operation gets clscrypt.BusyError.")
        .def_property(
            "CodePage",
            [](py::handle self_handle) {
                PyToString& self = self_of<PyToString>(self_handle, "CodePage", "self", "clsToString");
                return unlocked(self, "CodePage", 0, [&] { return self.cipher.GetCodePage().Number(); });
            },
            [](py::handle self_handle, py::handle number) {
                PyToString& self = self_of<PyToString>(self_handle, "CodePage", "self", "clsToString");
                const auto cp = clscrypt::CodePage::FromNumber(
                    static_cast<int>(int_arg(number, "CodePage", "the code page", INT32_MIN, INT32_MAX)));
                unlocked(self, "CodePage", 0, [&] { self.cipher.SetCodePage(cp); });
            },
            "The code page number for keys and text.")
        .def_property_readonly(
            "replace_unmappable",
            [](py::handle self_handle) {
                PyToString& self = self_of<PyToString>(self_handle, "replace_unmappable", "self", "clsToString");
                return unlocked(self, "replace_unmappable", 0,
                                [&] { return self.cipher.GetUnmappable() == clscrypt::Unmappable::Replace; });
            },
            "Whether characters the code page lacks become \"?\" (the constructor's option) instead of raising.")
        .def_property_readonly(
            "Progress",
            [](py::handle self) {
                (void)self_of<PyToString>(self, "Progress", "self", "clsToString");
                return PyProgress{py::reinterpret_borrow<py::object>(self)};
            },
            "The Progress event.");

    py::class_<clscrypt::clsHsh>(m, "clsHsh", "The legacy hashing class. It holds no state, so it pickles.")
        .def(py::init<>())
        .def(py::pickle([](const clscrypt::clsHsh&) { return py::tuple(); },
                        [](const py::tuple&) { return clscrypt::clsHsh(); }))
        .def(
            "SHA256",
            [](const clscrypt::clsHsh& self, py::handle message) {
                const Secret text(message, "SHA256", "sMessage");
                py::gil_scoped_release release;
                return self.SHA256(text.text);
            },
            py::arg("sMessage"),
            "SHA-256 of the text's low bytes (one per character) as 64 lower-case hexadecimal digits.");
}

}  // namespace clscrypt_python
