// The compiled part of the Python package `clscrypt` (`clscrypt._clscrypt`,
// re-exported by the package): clsToString and clsHsh with the operation
// names of the C++ classes, and the bulk-value functions over ValueCipher.
//
// Byte arrays are `bytes`-like objects; a `bytearray` given to EncryptByte or
// DecryptByte changes in place, as the C++ vector does, and anything else
// gets its result returned as `bytes`. Texts are `str`. The GIL is released
// while the cipher works: the input is copied out of the Python object
// first, so another thread may touch that object meanwhile without harm, and
// each instance has a lock so that two threads never run one instance at
// once. Progress listeners are Python callables, called with the GIL held.
//
// The bulk-value functions take a column at once: the values' text or bytes
// are gathered while the GIL is held (pointers into the immutable str and
// bytes objects, which the call keeps referenced), the keyed tables are set up
// once, and the values converted part by part with the GIL released, each
// part's results becoming Python objects before the next. Conversion, candidates and errors are all
// ValueCipher's; this layer only maps Python values and names onto it.

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
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

// ---- Bulk values ----------------------------------------------------------

// Wipes a string's whole buffer (earlier, longer contents may sit past its
// size) before it goes: plaintext passes through these.
void wipe(std::string& s) noexcept {
    s.resize(s.capacity());
    volatile char* p = s.data();
    for (std::size_t i = 0; i < s.size(); ++i) p[i] = 0;
    s.clear();
}

struct WipedStrings {
    std::vector<std::string> items;
    WipedStrings() = default;
    WipedStrings(const WipedStrings&) = delete;
    WipedStrings& operator=(const WipedStrings&) = delete;
    ~WipedStrings() {
        for (auto& s : items) wipe(s);
    }
};

// Key texts copied out of Python, wiped when the call ends (the tables set
// up from them are the library's to wipe).
struct WipedKeys {
    std::vector<clscrypt::KeyHistory> histories;
    explicit WipedKeys(std::vector<clscrypt::KeyHistory> h) : histories(std::move(h)) {}
    WipedKeys(const WipedKeys&) = delete;
    WipedKeys& operator=(const WipedKeys&) = delete;
    ~WipedKeys() {
        for (auto& history : histories) {
            for (auto& key : history) {
                volatile char16_t* p = key.data();
                for (std::size_t i = 0; i < key.size(); ++i) p[i] = 0;
            }
        }
    }
};

clscrypt::StoredForm stored_form(const std::string& name, const char* argument) {
    if (name == "hex") return clscrypt::StoredForm::Hex;
    if (name == "base64") return clscrypt::StoredForm::Base64;
    if (name == "string") return clscrypt::StoredForm::String;
    if (name == "bytes") return clscrypt::StoredForm::Bytes;
    throw py::value_error(std::string(argument) + " must be \"hex\", \"base64\", \"string\" or \"bytes\", not \"" +
                          name + "\"");
}

clscrypt::PlainForm plain_form(const std::string& name) {
    if (name == "str") return clscrypt::PlainForm::Text;
    if (name == "bytes") return clscrypt::PlainForm::Bytes;
    throw py::value_error("plain must be \"str\" or \"bytes\", not \"" + name + "\"");
}

// errors="raise" or errors="none": whether a failed value raises or gives None.
bool raises(const std::string& errors) {
    if (errors == "raise") return true;
    if (errors == "none") return false;
    throw py::value_error("errors must be \"raise\" or \"none\", not \"" + errors + "\"");
}

// One key history: a sequence of keys applied in order, or a single str as a
// history of that one key (a str is iterable, and taking its characters as
// keys one by one is never what the caller meant).
clscrypt::KeyHistory history(const py::handle& keys, const char* argument) {
    if (PyUnicode_Check(keys.ptr())) return {keys.cast<std::u16string>()};
    if (PyBytes_Check(keys.ptr()) || PyByteArray_Check(keys.ptr())) {
        throw py::type_error(std::string(argument) + ": keys are str, not bytes");
    }
    clscrypt::KeyHistory out;
    for (const py::handle key : py::iter(keys)) {
        if (!PyUnicode_Check(key.ptr())) throw py::type_error(std::string(argument) + ": keys are str");
        out.push_back(key.cast<std::u16string>());
    }
    return out;
}

// The candidate histories of a decryption: `candidates` (a list of histories,
// tried in order), or `keys` (one history); exactly one of them.
std::vector<clscrypt::KeyHistory> candidate_histories(const py::object& candidates, const py::object& keys) {
    if (candidates.is_none() == keys.is_none()) {
        throw py::type_error("give the key histories to try as candidates=[[...], ...], or one history as keys=[...]");
    }
    if (!keys.is_none()) return {history(keys, "keys")};
    if (PyUnicode_Check(candidates.ptr())) {
        throw py::type_error("candidates is a list of key histories, such as [[\"old\"], [\"old\", \"new\"]]");
    }
    std::vector<clscrypt::KeyHistory> out;
    for (const py::handle h : py::iter(candidates)) out.push_back(history(h, "candidates"));
    if (out.empty()) throw py::value_error("candidates is empty: give at least one key history");
    return out;
}

clscrypt::ValueOptions value_options(int codepage, const std::string& separator, bool replace_unmappable) {
    clscrypt::ValueOptions options;
    options.codePage = clscrypt::CodePage::FromNumber(codepage);
    options.hexSeparator = separator;
    options.replaceUnmappable = replace_unmappable;
    return options;
}

// The values of one call, as views for the batch. Missing values (None, the
// float NaN that pandas puts in an object column's gaps, and pandas.NA of its
// string columns) take no part and come back as None.
struct Column {
    std::vector<std::string_view> views;  // the values present, in order
    std::vector<std::size_t> index;       // each view's position among all values
    std::size_t count = 0;                // all values, missing ones included
    std::vector<py::object> held;         // keeps the viewed objects alive
    std::deque<std::string> copies;       // other bytes-like values, copied (wiped)
    ~Column() {
        for (auto& s : copies) wipe(s);
    }
};

// What a call accepts as its values: str (text), bytes-like, or either one,
// fixed by the first value present.
enum class Accept { Str, Bytes, Either };

// pandas.NA when pandas is loaded (a value can only be it then), else null.
py::object pandas_na() {
    const py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("pandas")) return py::object();
    return py::getattr(modules["pandas"], "NA", py::none());
}

bool missing(const py::handle& item, const py::object& na) {
    if (item.is_none() || (na && item.is(na))) return true;
    return PyFloat_Check(item.ptr()) && std::isnan(PyFloat_AS_DOUBLE(item.ptr()));
}

std::string position(std::size_t i) {
    return "value " + std::to_string(i);
}

// Gathers `values`; returns whether the values present were str.
bool gather(const py::handle& values, Accept accept, Column& column) {
    if (PyUnicode_Check(values.ptr()) || PyBytes_Check(values.ptr())) {
        throw py::type_error("values is a collection of values (a list, a pandas Series), not a single value");
    }
    std::optional<bool> text;
    const py::object na = pandas_na();
    for (const py::handle item : py::iter(values)) {
        const std::size_t i = column.count++;
        if (missing(item, na)) continue;
        const bool is_str = PyUnicode_Check(item.ptr());
        const bool want_str = accept == Accept::Str || (accept == Accept::Either && text.value_or(is_str));
        if (is_str != want_str) {
            throw py::type_error(position(i) + " is " + std::string(Py_TYPE(item.ptr())->tp_name) + "; expected " +
                                 (want_str ? "str" : "bytes") +
                                 (accept == Accept::Either ? " like the values before it" : ""));
        }
        text = is_str;
        std::string_view view;
        if (is_str) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(item.ptr(), &size);
            if (data != nullptr) {
                view = std::string_view(data, static_cast<std::size_t>(size));
            } else {
                // A str with a lone surrogate has no UTF-8: the library is
                // handed a byte that starts no UTF-8 or stored form, so the
                // value fails as text it cannot take, like any other.
                PyErr_Clear();
                view = std::string_view("\xff", 1);
            }
        } else if (PyBytes_Check(item.ptr())) {
            view =
                std::string_view(PyBytes_AS_STRING(item.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(item.ptr())));
        } else if (PyObject_CheckBuffer(item.ptr())) {
            // A bytearray or memoryview may change while the GIL is released:
            // its bytes are copied.
            Py_buffer buffer;
            if (PyObject_GetBuffer(item.ptr(), &buffer, PyBUF_SIMPLE) != 0) throw py::error_already_set();
            column.copies.emplace_back(static_cast<const char*>(buffer.buf), static_cast<std::size_t>(buffer.len));
            PyBuffer_Release(&buffer);
            view = column.copies.back();
        } else {
            throw py::type_error(position(i) + " is " + std::string(Py_TYPE(item.ptr())->tp_name) +
                                 "; expected str or bytes");
        }
        column.held.push_back(py::reinterpret_borrow<py::object>(item));
        column.views.push_back(view);
        column.index.push_back(i);
    }
    return text.value_or(accept == Accept::Str);
}

// The error of a value that failed, raised as the strict operation raises it,
// with its position in front of the context; never the value itself.
[[noreturn]] void raise_at(std::size_t i, const clscrypt::RuntimeError& e) {
    std::string context = position(i);
    const std::string what = e.what();
    const std::string prefix = e.Description() + ": ";
    if (what.size() > prefix.size() && what.compare(0, prefix.size(), prefix) == 0) {
        context += ", " + what.substr(prefix.size());
    }
    throw clscrypt::RuntimeError(e.Kind(), e.Number(), e.Description(), context);
}

// Values per batch call. A column is converted a part at a time, so the
// library's output strings for a part are all it holds besides the Python
// results (not a second copy of a million values), and errors="raise" stops
// at the part with the first failure; a part is still large enough for the
// batch to spread over the library's threads and for giving up and retaking
// the GIL to cost nothing measurable.
constexpr std::size_t kPart = 16384;

// The instances of one call: one per thread the caller asked for
// (threads=N), each with its own keyed tables and working buffers, since an
// instance serves one batch at a time. 0 means one per processor.
template <typename Make>
std::vector<clscrypt::ValueCipher> ciphers_for(int threads, std::size_t values, Make&& make) {
    if (threads < 0) throw py::value_error("threads must be 0 (one per processor) or more");
    std::size_t n =
        threads == 0 ? std::max(1U, std::thread::hardware_concurrency()) : static_cast<std::size_t>(threads);
    n = std::max<std::size_t>(1, std::min(n, (values + kPart - 1) / kPart));  // no thread without a part
    std::vector<clscrypt::ValueCipher> ciphers;
    ciphers.reserve(n);
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i) ciphers.push_back(make());
    return ciphers;
}

// Converts the column part by part with `batch` (GIL released) and returns
// the results as a list: str (UTF-8) or bytes per value, None for a missing
// value and, with errors="none", for a failed one. With several instances,
// as many parts are converted side by side on threads of their own, each
// instance on its own part; the Python objects are made afterwards, with the
// GIL. With errors="raise", the first failure in order raises; `redo`
// repeats that value's conversion with the strict method for its own error
// (a batch records only its last).
template <typename Batch, typename Redo>
py::list convert(const Column& column, bool wipe_results, bool as_str, bool raise,
                 std::vector<clscrypt::ValueCipher>& ciphers, Batch&& batch, Redo&& redo) {
    py::list list(column.count);  // empty slots until filled, which a list may hold while it is built
    const auto put = [&list](std::size_t i, PyObject* item) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item);
    };
    const auto none = [] {
        Py_INCREF(Py_None);
        return Py_None;
    };
    const std::size_t width = ciphers.size();
    std::vector<std::vector<std::string>> outs(width);
    std::vector<std::vector<clscrypt::ValueOutcome>> outcomes(width);
    struct Wipe {
        std::vector<std::vector<std::string>>& outs;
        bool on;
        ~Wipe() {
            if (on) {
                for (auto& o : outs) {
                    for (auto& s : o) wipe(s);
                }
            }
        }
    } wipe_at_end{outs, wipe_results};
    const auto part_at = [&column](std::size_t start) {
        return std::span<const std::string_view>(column.views.data() + start,
                                                 std::min(kPart, column.views.size() - start));
    };
    std::size_t next = 0;  // the next list position to fill
    for (std::size_t group = 0; group < column.views.size(); group += kPart * width) {
        const std::size_t parts = std::min(width, (column.views.size() - group + kPart - 1) / kPart);
        {
            py::gil_scoped_release release;
            std::vector<std::exception_ptr> failures(parts);
            std::vector<std::thread> helpers;
            const auto run = [&](std::size_t w) {
                try {
                    batch(ciphers[w], part_at(group + w * kPart), outs[w], outcomes[w]);
                } catch (...) {
                    failures[w] = std::current_exception();
                }
            };
            for (std::size_t w = 1; w < parts; ++w) helpers.emplace_back(run, w);
            run(0);
            for (auto& t : helpers) t.join();
            for (auto& f : failures) {
                if (f) std::rethrow_exception(f);
            }
        }
        for (std::size_t w = 0; w < parts; ++w) {
            const std::size_t start = group + w * kPart;
            const auto part = part_at(start);
            for (std::size_t j = 0; j < part.size(); ++j) {
                const std::size_t i = column.index[start + j];
                while (next < i) put(next++, none());
                PyObject* item = nullptr;
                if (outcomes[w][j]) {
                    const std::string& s = outs[w][j];
                    item = as_str ? PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict")
                                  : PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
                    if (item == nullptr) throw py::error_already_set();
                } else if (raise) {
                    try {
                        py::gil_scoped_release release;
                        redo(ciphers[w], part[j]);
                    } catch (const clscrypt::RuntimeError& e) {
                        raise_at(i, e);
                    }
                    raise_at(i, ciphers[w].LastError());  // not expected: it failed in the batch
                }
                put(next++, item != nullptr ? item : none());
            }
        }
    }
    while (next < column.count) put(next++, none());
    return list;
}

py::list encrypt_values(const py::object& values, const py::object& keys, const std::string& form, int codepage,
                        const std::string& errors, const std::string& separator, bool replace_unmappable, int threads) {
    const auto stored = stored_form(form, "form");
    const bool raise = raises(errors);
    const WipedKeys target({history(keys, "keys")});
    const auto options = value_options(codepage, separator, replace_unmappable);
    Column column;
    const auto plain = gather(values, Accept::Either, column) ? clscrypt::PlainForm::Text : clscrypt::PlainForm::Bytes;
    auto ciphers = ciphers_for(threads, column.views.size(), [&] {
        return clscrypt::ValueCipher(target.histories, target.histories.front(), options);
    });
    return convert(  // ciphertext only: nothing to wipe
        column, false, stored != clscrypt::StoredForm::Bytes, raise, ciphers,
        [&](auto& c, auto part, auto& results, auto& outcomes) {
            c.EncryptMany(part, plain, stored, results, outcomes);
        },
        [&](auto& c, std::string_view v) { c.EncryptOrThrow(v, plain, stored); });
}

py::list decrypt_values(const py::object& values, const py::object& candidates, const std::string& form, int codepage,
                        const std::string& errors, const py::object& keys, const std::string& plain_name, int threads) {
    const auto stored = stored_form(form, "form");
    const auto plain = plain_form(plain_name);
    const bool raise = raises(errors);
    const WipedKeys histories(candidate_histories(candidates, keys));
    const auto options = value_options(codepage, {}, false);
    Column column;
    gather(values, stored == clscrypt::StoredForm::Bytes ? Accept::Bytes : Accept::Str, column);
    auto ciphers = ciphers_for(threads, column.views.size(), [&] {
        return clscrypt::ValueCipher(histories.histories, clscrypt::KeyHistory{}, options);
    });
    return convert(
        column, true, plain == clscrypt::PlainForm::Text, raise, ciphers,
        [&](auto& c, auto part, auto& results, auto& outcomes) {
            c.DecryptMany(part, stored, plain, results, outcomes);
        },
        [&](auto& c, std::string_view v) {
            std::string opened = c.DecryptOrThrow(v, stored, plain);
            wipe(opened);
        });
}

py::list rekey_values(const py::object& values, const py::object& candidates, const py::object& new_keys,
                      const std::string& form, int codepage, const std::string& errors, const py::object& keys,
                      const py::object& new_form, const std::string& separator, int threads) {
    const auto in = stored_form(form, "form");
    const auto out_form = new_form.is_none() ? in : stored_form(new_form.cast<std::string>(), "new_form");
    const bool raise = raises(errors);
    const WipedKeys histories(candidate_histories(candidates, keys));
    if (new_keys.is_none()) throw py::type_error("rekey_values needs new_keys=[...], the history to write under");
    const WipedKeys target({history(new_keys, "new_keys")});
    const auto options = value_options(codepage, separator, false);
    Column column;
    gather(values, in == clscrypt::StoredForm::Bytes ? Accept::Bytes : Accept::Str, column);
    auto ciphers = ciphers_for(threads, column.views.size(), [&] {
        return clscrypt::ValueCipher(histories.histories, target.histories.front(), options);
    });
    return convert(  // ciphertext only
        column, false, out_form != clscrypt::StoredForm::Bytes, raise, ciphers,
        [&](auto& c, auto part, auto& results, auto& outcomes) { c.RekeyMany(part, in, out_form, results, outcomes); },
        [&](auto& c, std::string_view v) { c.RekeyOrThrow(v, in, out_form); });
}

}  // namespace

PYBIND11_MODULE(_clscrypt, m) {
    m.doc() = "The compiled part of the clscrypt package; import clscrypt instead.";
    m.attr("__version__") = CLSCRYPT_VERSION;

    // clscrypt.ErrorKind: what went wrong, for code that branches on it.
    py::enum_<clscrypt::ErrorKind> kind(m, "ErrorKind",
                                        "What went wrong: the `kind` of a clscrypt.RuntimeError. Branch on it, "
                                        "never on the description (a wrong key and a missing file share a number).");
    for (const auto k :
         {clscrypt::ErrorKind::Other, clscrypt::ErrorKind::InvalidArgument, clscrypt::ErrorKind::Overflow,
          clscrypt::ErrorKind::SubscriptOutOfRange, clscrypt::ErrorKind::DivisionByZero,
          clscrypt::ErrorKind::WrongKeyOrDamaged, clscrypt::ErrorKind::SourceMissing, clscrypt::ErrorKind::FileSystem,
          clscrypt::ErrorKind::System, clscrypt::ErrorKind::OutOfMemory, clscrypt::ErrorKind::Cancelled}) {
        kind.value(clscrypt::ErrorKindName(k), k);
    }

    // clscrypt.RuntimeError, a RuntimeError with the legacy error number and
    // description, and its kind (a clscrypt.ErrorKind).
    static py::exception<clscrypt::RuntimeError> error(m, "RuntimeError", PyExc_RuntimeError);
    error.attr("__doc__") =
        "The error every operation raises: a RuntimeError with the legacy error `number`, its `description` and "
        "its `kind` (an ErrorKind, to branch on). str(error) adds context: which value, length or file was at fault, "
        "never a key or plaintext.";
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
        .def("Unsubscribe", &clscrypt::ProgressEvent::Unsubscribe, py::arg("token"),
             "Removes the listener the token names.");

    py::class_<PyToString>(m, "clsToString",
                           "The legacy cipher: Blowfish-based encryption of byte arrays, strings and files.")
        .def(py::init([](const py::object& codepage) { return std::make_unique<PyToString>(code_page(codepage)); }),
             py::arg("codepage") = py::none(),
             "A new instance with no key, on the code page numbered `codepage` (default: default_codepage()).")
        .def("__copy__", [](const PyToString& self) { return std::make_unique<PyToString>(self); })
        .def(
            "__deepcopy__",
            [](const PyToString& self, const py::object&) { return std::make_unique<PyToString>(self); },
            py::arg("memo"))
        // An instance's tables are its key: a pickle would carry key material
        // to wherever the bytes go (a file, a cluster's network).
        .def("__reduce__",
             [](const PyToString&) -> py::object {
                 throw py::type_error(
                     "clsToString holds key material and does not pickle; make the instance where it is used, or "
                     "pass the keys to clscrypt.encrypt_values, decrypt_values or rekey_values, which work in "
                     "worker processes");
             })
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
            py::arg("Text"), py::arg("Key") = std::u16string(),
            "Encrypts a text (through the code page); the ciphertext bytes come back one character each.")
        .def(
            "DecryptString",
            [](PyToString& self, const std::u16string& text, const std::u16string& key) {
                return unlocked(self, [&] { return self.cipher.DecryptString(text, key); });
            },
            py::arg("Text"), py::arg("Key") = std::u16string(), "Decrypts a text EncryptString made.")
        .def(
            "EncryptFile",
            [](PyToString& self, const std::filesystem::path& source, const std::filesystem::path& dest,
               const std::u16string& key) { unlocked(self, [&] { self.cipher.EncryptFile(source, dest, key); }); },
            py::arg("SourceFile"), py::arg("DestFile"), py::arg("Key") = std::u16string(),
            "Encrypts a file into another, or into itself.")
        .def(
            "DecryptFile",
            [](PyToString& self, const std::filesystem::path& source, const std::filesystem::path& dest,
               const std::u16string& key) { unlocked(self, [&] { self.cipher.DecryptFile(source, dest, key); }); },
            py::arg("SourceFile"), py::arg("DestFile"), py::arg("Key") = std::u16string(),
            "Decrypts a file into another, or into itself; a failure leaves nothing behind.")
        .def(
            "RekeyFile",
            [](PyToString& self, PyToString& from, const std::filesystem::path& source,
               const std::filesystem::path& dest) {
                py::gil_scoped_release release;
                std::scoped_lock guard(self.lock, from.lock);
                self.cipher.RekeyFile(from.cipher, source, dest);
            },
            py::arg("From"), py::arg("SourceFile"), py::arg("DestFile"),
            "Decrypts a file with From's key state and encrypts it with this instance's.")
        .def(
            "HexToStr",
            [](PyToString& self, const std::u16string& hex, std::int32_t separators) {
                return unlocked(self, [&] { return self.cipher.HexToStr(hex, separators); });
            },
            py::arg("HexText"), py::arg("Separators") = 0,
            "Hexadecimal pairs, `Separators` characters apart, to text through the code page.")
        .def(
            "StrToHex",
            [](PyToString& self, const std::u16string& text, const std::u16string& separator) {
                return unlocked(self, [&] { return self.cipher.StrToHex(text, separator); });
            },
            py::arg("Text"), py::arg("Separator") = std::u16string(u" "),
            "Text through the code page to upper-case hexadecimal pairs with the separator between them.")
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

    py::class_<clscrypt::clsHsh>(m, "clsHsh", "The legacy hashing class. It holds no state, so it pickles.")
        .def(py::init<>())
        .def(py::pickle([](const clscrypt::clsHsh&) { return py::tuple(); },
                        [](const py::tuple&) { return clscrypt::clsHsh(); }))
        .def(
            "SHA256",
            [](const clscrypt::clsHsh& self, const std::u16string& text) {
                py::gil_scoped_release release;
                return self.SHA256(text);
            },
            py::arg("sMessage"),
            "SHA-256 of the text's low bytes (one per character) as 64 lower-case hexadecimal digits.");

    m.def("encrypt_values", &encrypt_values, py::arg("values"), py::arg("keys"), py::arg("form") = "hex",
          py::arg("codepage") = 1252, py::arg("errors") = "raise", py::arg("separator") = "",
          py::arg("replace_unmappable") = false, py::arg("threads") = 1, "See clscrypt.encrypt_values.");
    m.def("decrypt_values", &decrypt_values, py::arg("values"), py::arg("candidates") = py::none(),
          py::arg("form") = "hex", py::arg("codepage") = 1252, py::arg("errors") = "raise",
          py::arg("keys") = py::none(), py::arg("plain") = "str", py::arg("threads") = 1,
          "See clscrypt.decrypt_values.");
    m.def("rekey_values", &rekey_values, py::arg("values"), py::arg("candidates") = py::none(),
          py::arg("new_keys") = py::none(), py::arg("form") = "hex", py::arg("codepage") = 1252,
          py::arg("errors") = "raise", py::arg("keys") = py::none(), py::arg("new_form") = py::none(),
          py::arg("separator") = "", py::arg("threads") = 1, "See clscrypt.rekey_values.");
}
