// The Python module `clscrypt`: clsToString and clsHsh with the operation
// names of the C++ classes.
//
// Byte arrays are `bytes`-like objects; a `bytearray` given to EncryptByte or
// DecryptByte changes in place, as the C++ vector does, and anything else
// gets its result returned as `bytes`. Texts are `str`. The GIL is released
// while the cipher works: the input is copied out of the Python object
// first, so another thread may touch that object meanwhile without harm, and
// each instance has a lock so that two threads never run one instance at
// once. Progress listeners are Python callables, called with the GIL held.

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <clscrypt/clscrypt.hpp>

namespace py = pybind11;

namespace {

// clsToString with the lock that keeps one thread at a time inside it. The
// lock is recursive because a Progress listener may call back into the
// instance that raised the event, as it may in C++.
struct PyToString {
    explicit PyToString(clscrypt::CodePage codePage) : cipher(codePage) {}
    PyToString(const PyToString& other) : cipher(other.cipher) {}
    clscrypt::clsToString cipher;
    std::recursive_mutex lock;
};

// Runs `f` on the instance with the GIL released and the instance locked.
// The lock is taken after the GIL is given up, so a thread waiting for the
// instance never blocks the thread that holds it.
template <typename F>
auto unlocked(PyToString& self, F&& f) {
    py::gil_scoped_release release;
    std::lock_guard guard(self.lock);
    return f();
}

// Wipes its bytes when it goes: they may be plaintext.
struct Buffer {
    std::vector<std::uint8_t> bytes;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        volatile std::uint8_t* p = bytes.data();
        for (std::size_t i = 0; i < bytes.size(); ++i) p[i] = 0;
    }
};

void copy_in(const py::buffer& data, Buffer& out) {
    const py::buffer_info info = data.request();
    if (info.ndim != 1 && info.size != 0) throw py::type_error("expected a one-dimensional bytes-like object");
    const auto n = static_cast<std::size_t>(info.size * info.itemsize);
    const auto* p = static_cast<const std::uint8_t*>(info.ptr);
    out.bytes.assign(p, p + n);
}

// EncryptByte or DecryptByte, in place for a bytearray.
template <bool Encrypt>
py::object crypt_bytes(PyToString& self, const py::buffer& data, const std::u16string& key) {
    Buffer work;
    copy_in(data, work);
    unlocked(self, [&] {
        if constexpr (Encrypt) {
            self.cipher.EncryptByte(work.bytes, key);
        } else {
            self.cipher.DecryptByte(work.bytes, key);
        }
    });
    if (PyByteArray_Check(data.ptr())) {
        if (PyByteArray_Resize(data.ptr(), static_cast<Py_ssize_t>(work.bytes.size())) != 0) {
            throw py::error_already_set();
        }
        if (!work.bytes.empty()) std::memcpy(PyByteArray_AsString(data.ptr()), work.bytes.data(), work.bytes.size());
        return py::none();
    }
    return py::bytes(reinterpret_cast<const char*>(work.bytes.data()), work.bytes.size());
}

clscrypt::CodePage code_page(const py::object& number) {
    if (number.is_none()) return clscrypt::CodePage();
    return clscrypt::CodePage::FromNumber(number.cast<int>());
}

}  // namespace

PYBIND11_MODULE(clscrypt, m) {
    m.doc() = "Read and write data in the legacy clsToString cipher format, and clsHsh's SHA-256 of text.";
    m.attr("__version__") = CLSCRYPT_VERSION;

    // clscrypt.ErrorKind: what went wrong, for code that branches on it.
    py::enum_<clscrypt::ErrorKind> kind(m, "ErrorKind",
                                        "What went wrong: the `kind` of a clscrypt.RuntimeError. Branch on it, "
                                        "never on the description (a wrong key and a missing file share a number).");
    for (const auto k : {clscrypt::ErrorKind::Other, clscrypt::ErrorKind::InvalidArgument,
                         clscrypt::ErrorKind::Overflow, clscrypt::ErrorKind::SubscriptOutOfRange,
                         clscrypt::ErrorKind::DivisionByZero, clscrypt::ErrorKind::WrongKeyOrDamaged,
                         clscrypt::ErrorKind::SourceMissing, clscrypt::ErrorKind::FileSystem,
                         clscrypt::ErrorKind::System, clscrypt::ErrorKind::OutOfMemory,
                         clscrypt::ErrorKind::Cancelled}) {
        kind.value(clscrypt::ErrorKindName(k), k);
    }

    // clscrypt.RuntimeError, a RuntimeError with the legacy error number and
    // description, and its kind (a clscrypt.ErrorKind).
    static py::exception<clscrypt::RuntimeError> error(m, "RuntimeError", PyExc_RuntimeError);
    error.attr("Overflow") = clscrypt::RuntimeError::Overflow;
    error.attr("SubscriptOutOfRange") = clscrypt::RuntimeError::SubscriptOutOfRange;
    error.attr("DivisionByZero") = clscrypt::RuntimeError::DivisionByZero;
    error.attr("ClassError") = clscrypt::RuntimeError::ClassError;
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const clscrypt::RuntimeError& e) {
            py::object instance = py::handle(error.ptr())(e.what());
            instance.attr("number") = e.Number();
            instance.attr("description") = e.Description();
            instance.attr("kind") = py::cast(e.Kind());
            PyErr_SetObject(error.ptr(), instance.ptr());
        }
    });

    m.def("codepages", &clscrypt::CodePage::Available, "The code page numbers this library has built in.");
    m.def(
        "default_codepage", [] { return clscrypt::CodePage().Number(); },
        "The code page new instances use: the system's ANSI code page on Windows where built in, else 1252.");

    py::class_<clscrypt::ProgressEvent>(m, "ProgressEvent",
                                        "The Progress event. A listener is called with the percentage; one that "
                                        "returns an int replaces it for later listeners (as storing into Percent "
                                        "does in C++), and one that returns 100 suppresses the closing event.")
        .def(
            "Subscribe",
            [](clscrypt::ProgressEvent& event, py::function listener) {
                return event.Subscribe([listener = std::move(listener)](std::int32_t& percent) {
                    py::gil_scoped_acquire acquire;
                    const py::object result = listener(percent);
                    if (!result.is_none()) percent = result.cast<std::int32_t>();
                });
            },
            py::arg("listener"), "Adds a listener; returns a token for Unsubscribe.")
        .def("Unsubscribe", &clscrypt::ProgressEvent::Unsubscribe, py::arg("token"));

    py::class_<PyToString>(m, "clsToString",
                           "The legacy cipher: Blowfish-based encryption of byte arrays, strings and files.")
        .def(py::init([](const py::object& codepage) { return std::make_unique<PyToString>(code_page(codepage)); }),
             py::arg("codepage") = py::none())
        .def("__copy__", [](const PyToString& self) { return std::make_unique<PyToString>(self); })
        .def(
            "EncryptByte",
            [](PyToString& self, const py::buffer& data, const std::u16string& key) {
                return crypt_bytes<true>(self, data, key);
            },
            py::arg("ByteArray"), py::arg("Key") = std::u16string(),
            "Encrypts bytes: a bytearray changes in place (returns None); other bytes-like objects give bytes.")
        .def(
            "DecryptByte",
            [](PyToString& self, const py::buffer& data, const std::u16string& key) {
                return crypt_bytes<false>(self, data, key);
            },
            py::arg("ByteArray"), py::arg("Key") = std::u16string(),
            "Decrypts bytes: a bytearray changes in place (returns None); other bytes-like objects give bytes. "
            "A wrong key or damaged data leaves a bytearray untouched.")
        .def(
            "EncryptString",
            [](PyToString& self, const std::u16string& text, const std::u16string& key) {
                return unlocked(self, [&] { return self.cipher.EncryptString(text, key); });
            },
            py::arg("Text"), py::arg("Key") = std::u16string())
        .def(
            "DecryptString",
            [](PyToString& self, const std::u16string& text, const std::u16string& key) {
                return unlocked(self, [&] { return self.cipher.DecryptString(text, key); });
            },
            py::arg("Text"), py::arg("Key") = std::u16string())
        .def(
            "EncryptFile",
            [](PyToString& self, const std::filesystem::path& source, const std::filesystem::path& dest,
               const std::u16string& key) { unlocked(self, [&] { self.cipher.EncryptFile(source, dest, key); }); },
            py::arg("SourceFile"), py::arg("DestFile"), py::arg("Key") = std::u16string())
        .def(
            "DecryptFile",
            [](PyToString& self, const std::filesystem::path& source, const std::filesystem::path& dest,
               const std::u16string& key) { unlocked(self, [&] { self.cipher.DecryptFile(source, dest, key); }); },
            py::arg("SourceFile"), py::arg("DestFile"), py::arg("Key") = std::u16string())
        .def(
            "RekeyFile",
            [](PyToString& self, PyToString& from, const std::filesystem::path& source,
               const std::filesystem::path& dest) {
                py::gil_scoped_release release;
                std::scoped_lock guard(self.lock, from.lock);
                self.cipher.RekeyFile(from.cipher, source, dest);
            },
            py::arg("From"), py::arg("SourceFile"), py::arg("DestFile"))
        .def(
            "HexToStr",
            [](PyToString& self, const std::u16string& hex, std::int32_t separators) {
                return unlocked(self, [&] { return self.cipher.HexToStr(hex, separators); });
            },
            py::arg("HexText"), py::arg("Separators") = 0)
        .def(
            "StrToHex",
            [](PyToString& self, const std::u16string& text, const std::u16string& separator) {
                return unlocked(self, [&] { return self.cipher.StrToHex(text, separator); });
            },
            py::arg("Text"), py::arg("Separator") = std::u16string(u" "))
        .def_property(
            "Key", [](const PyToString&) -> py::object { throw py::attribute_error("Key is write-only"); },
            [](PyToString& self, const std::u16string& key) { unlocked(self, [&] { self.cipher.Key(key); }); },
            "Write-only: mixes a new key into the tables.")
        .def_property(
            "CodePage", [](const PyToString& self) { return self.cipher.GetCodePage().Number(); },
            [](PyToString& self, int number) {
                const auto cp = clscrypt::CodePage::FromNumber(number);
                unlocked(self, [&] { self.cipher.SetCodePage(cp); });
            },
            "The code page number for keys and text.")
        .def_property_readonly(
            "Progress", [](PyToString& self) -> clscrypt::ProgressEvent& { return self.cipher.Progress; },
            py::return_value_policy::reference_internal, "The Progress event.");

    py::class_<clscrypt::clsHsh>(m, "clsHsh", "The legacy hashing class.")
        .def(py::init<>())
        .def(
            "SHA256",
            [](const clscrypt::clsHsh& self, const std::u16string& text) {
                py::gil_scoped_release release;
                return self.SHA256(text);
            },
            py::arg("sMessage"),
            "SHA-256 of the text's low bytes (one per character) as 64 lower-case hexadecimal digits.");
}
