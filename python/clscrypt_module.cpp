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
// The bulk-value functions take a column at once. The keyed tables are set
// up once; then the column goes part by part: the values' text or bytes are
// viewed while the GIL is held (pointers into the immutable str and bytes
// objects, which the call keeps referenced while it views them), converted
// with the GIL released, and the results made Python objects. With threads,
// parts are converted on them while the calling thread reads and makes
// objects. Conversion, candidates and errors are all ValueCipher's; this
// layer only maps Python values and names onto it.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <cmath>
#include <csignal>
#include <condition_variable>
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

// ---- Ctrl+C during a long call ---------------------------------------------
//
// Python turns SIGINT into KeyboardInterrupt in its eval loop, which a call
// that has released the GIL never reaches until it returns. So during a
// long call on the main thread, while SIGINT's Python handler is the default
// one (the handler that raises KeyboardInterrupt), this module puts a C
// handler of its own in front of Python's: it counts the signal in an
// atomic (async-signal-safe, readable from any thread without the GIL) and
// then calls Python's handler, so Python still notes the signal as it would
// have. The library's cancel check (clscrypt::CancelScope, asked between
// chunks of at most a mebibyte) only compares that count with the one at the
// start of the call. When the library stops with kind Cancelled, the call
// retakes the GIL, restores the handler and lets Python run its pending
// handler (PyErr_CheckSignals), which raises KeyboardInterrupt: the caller
// sees what Ctrl+C gives anywhere else in Python, not a clscrypt error.
//
// Retaking the GIL every chunk to ask PyErr_CheckSignals was the other way;
// it makes every chunk wait for whatever other Python thread holds the GIL
// (up to a switch interval each), and from a worker thread it never sees a
// signal at all. Calls on other threads, and calls while the program has a
// SIGINT handler of its own or ignores SIGINT, are left alone: Python runs
// that handler in the main thread as before, once the call returns.

std::atomic<unsigned> g_interrupts{0};
std::atomic<PyOS_sighandler_t> g_python_handler{nullptr};
int g_installed = 0;  // nested long calls on the main thread (the GIL held)

extern "C" void count_interrupt(int signal_number) {
    g_interrupts.fetch_add(1, std::memory_order_relaxed);
    const PyOS_sighandler_t chained = g_python_handler.load(std::memory_order_relaxed);
    if (chained != nullptr && chained != SIG_DFL && chained != SIG_IGN && chained != SIG_ERR) chained(signal_number);
}

// Whether SIGINT would raise KeyboardInterrupt in this thread: the main
// thread, with the default Python handler. The GIL is held.
bool keyboard_interrupt_applies() {
    const py::module_ threading = py::module_::import("threading");
    if (!threading.attr("main_thread")().is(threading.attr("current_thread")())) return false;
    const py::module_ signal = py::module_::import("signal");
    return signal.attr("getsignal")(signal.attr("SIGINT")).is(signal.attr("default_int_handler"));
}

// One long call's watch for SIGINT; made and ended with the GIL held.
class Interruptible {
public:
    explicit Interruptible(bool long_call) {
        static_assert(std::atomic<unsigned>::is_always_lock_free);
        if (!long_call || !keyboard_interrupt_applies()) return;
        if (g_installed == 0) {
            g_python_handler.store(PyOS_getsig(SIGINT));
            PyOS_setsig(SIGINT, count_interrupt);
        }
        ++g_installed;
        active_ = true;
        start_ = g_interrupts.load();
    }
    ~Interruptible() {
        if (active_ && --g_installed == 0) PyOS_setsig(SIGINT, g_python_handler.load());
    }
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;

    [[nodiscard]] bool active() const noexcept { return active_; }
    [[nodiscard]] bool interrupted() const noexcept { return active_ && g_interrupts.load() != start_; }
    // The library's cancel check.
    static bool check(void* self) noexcept { return static_cast<const Interruptible*>(self)->interrupted(); }

    // Installs the check on the calling thread (the one that runs the
    // operation) for the scope's life, when this call watches for SIGINT.
    struct Scope {
        std::optional<clscrypt::CancelScope> scope;
        explicit Scope(Interruptible& watch) {
            if (watch.active()) scope.emplace(&Interruptible::check, &watch);
        }
    };

    // The error a call ends with, the GIL held: KeyboardInterrupt in place of
    // the library's Cancelled when SIGINT stopped it.
    void raise_for(const clscrypt::RuntimeError& e) const {
        if (e.Kind() != clscrypt::ErrorKind::Cancelled || !interrupted()) return;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        PyErr_SetNone(PyExc_KeyboardInterrupt);  // the handler ran already: Ctrl+C all the same
        throw py::error_already_set();
    }

private:
    bool active_ = false;
    unsigned start_ = 0;
};

// Runs `f` (the GIL held) with SIGINT watched when the call is long, and
// turns a cancellation by SIGINT into KeyboardInterrupt.
template <typename F>
auto interruptible(bool long_call, F&& f) {
    Interruptible watch(long_call);
    try {
        return f(watch);
    } catch (const clscrypt::RuntimeError& e) {
        watch.raise_for(e);
        throw;
    }
}

// Work below this many bytes (or characters) never reaches the library's
// first cancel check, so watching for SIGINT would gain nothing.
constexpr std::size_t kLongCall = std::size_t{1} << 20;

// ---- Arguments ------------------------------------------------------------
//
// Every argument reaches the bindings as a Python object and is converted
// here, so that a wrong one raises TypeError (or ValueError for a value out
// of range) naming the function, the parameter and the type it takes, never
// the value given: that may be a key or a plaintext, and exception messages
// end up in logs, in tracebacks and on a Dask client.

[[noreturn]] void wrong_type(const char* where, const char* param, const char* expected, py::handle got) {
    throw py::type_error(std::string(where) + "(): " + param + " must be " + expected + ", not " +
                         Py_TYPE(got.ptr())->tp_name);
}

// A str as UTF-16 code units, as the legacy strings hold text. A lone
// surrogate passes as the code unit it is; the code page lacks it as it
// lacks any other character, so it is refused or replaced by that rule.
std::u16string utf16(py::handle text) {
    PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-16-le", "surrogatepass");
    if (encoded == nullptr) throw py::error_already_set();
    const auto bytes = py::reinterpret_steal<py::object>(encoded);
    char* data = PyBytes_AS_STRING(encoded);
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(encoded));
    std::u16string out(size / 2, u'\0');
    if (size != 0) std::memcpy(out.data(), data, size);
    clscrypt::Wipe(data, size);  // a key or a plaintext; the object is ours alone
    return out;
}

std::u16string text_arg(py::handle h, const char* where, const char* param) {
    if (!PyUnicode_Check(h.ptr())) wrong_type(where, param, "str", h);
    return utf16(h);
}

// An int (or anything with __index__, such as numpy's integers) from lo to hi.
std::int64_t int_arg(py::handle h, const char* where, const char* param, std::int64_t lo, std::int64_t hi) {
    if (PyFloat_Check(h.ptr()) || !PyIndex_Check(h.ptr())) wrong_type(where, param, "int", h);
    const auto index = py::reinterpret_steal<py::object>(PyNumber_Index(h.ptr()));
    if (!index) throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (value == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    if (overflow != 0 || value < lo || value > hi) {
        throw py::value_error(std::string(where) + "(): " + param + " must be from " + std::to_string(lo) + " to " +
                              std::to_string(hi));
    }
    return value;
}

bool bool_arg(py::handle h, const char* where, const char* param) {
    if (!PyBool_Check(h.ptr()) && !PyLong_Check(h.ptr())) wrong_type(where, param, "bool", h);
    return PyObject_IsTrue(h.ptr()) == 1;
}

// One of a few names (a stored form, an error policy). The name given is not
// repeated in the message: a key passed in the wrong place would be.
std::string choice_arg(py::handle h, const char* where, const char* param, std::initializer_list<const char*> names) {
    if (!PyUnicode_Check(h.ptr())) wrong_type(where, param, "str", h);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
    if (data == nullptr) PyErr_Clear();
    std::string list;
    for (const char* name : names) {
        if (data != nullptr && std::string_view(data, static_cast<std::size_t>(size)) == name) return name;
        list += std::string(list.empty() ? "" : ", ") + '"' + name + '"';
    }
    throw py::value_error(std::string(where) + "(): " + param + " must be one of " + list);
}

// A file name: str, bytes or os.PathLike, as open() takes it.
std::filesystem::path path_arg(py::handle h, const char* where, const char* param) {
    if (!PyUnicode_Check(h.ptr()) && !PyBytes_Check(h.ptr()) && !PyObject_HasAttrString(h.ptr(), "__fspath__")) {
        wrong_type(where, param, "str, bytes or os.PathLike", h);
    }
#ifdef _WIN32
    PyObject* decoded = nullptr;
    if (PyUnicode_FSDecoder(h.ptr(), &decoded) == 0) throw py::error_already_set();
    const auto text = py::reinterpret_steal<py::object>(decoded);
    return std::filesystem::path(py::cast<std::wstring>(text));
#else
    PyObject* encoded = nullptr;
    if (PyUnicode_FSConverter(h.ptr(), &encoded) == 0) throw py::error_already_set();
    const auto bytes = py::reinterpret_steal<py::object>(encoded);
    return std::filesystem::path(
        std::string(PyBytes_AS_STRING(encoded), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded))));
#endif
}

// The C++ object behind `self`, an instance of T; an instance made with
// T.__new__ and never initialised raises TypeError instead of handing out
// memory that holds no object.
template <typename T>
T& self_of(py::handle self, const char* where, const char* param, const char* type_name) {
    if (!py::isinstance<T>(self)) wrong_type(where, param, type_name, self);
    auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
    const auto v_h = inst->get_value_and_holder(py::detail::get_type_info(typeid(T)));
    if (!v_h.holder_constructed() || v_h.value_ptr() == nullptr) {
        throw py::type_error(std::string(where) + "(): the " + type_name + " object was never initialised (" +
                             type_name + ".__init__ was not called)");
    }
    return *v_h.template value_ptr<T>();
}

// ---- clsToString ----------------------------------------------------------

// A subscribed Progress listener: the Python callable, under a token of the
// Python instance's own, and the library's token for it.
struct Listener {
    std::size_t token = 0;
    std::size_t library_token = 0;
    py::object callable;
};

// clsToString with the lock that keeps one thread at a time inside it. The
// lock is recursive because a Progress listener may call back into the
// instance that raised the event, as it may in C++; a call that would change
// the running instance's key then raises the library's Busy error.
//
// The Python listeners live here, in `listeners`, which only a thread
// holding the GIL touches; the library holds for each a small function of
// its own (this object's address and the token) that it copies freely
// without the GIL, and that takes the GIL and looks the callable up when the
// event comes. So no Python object is ever copied or released without the
// GIL, and the garbage collector sees the listeners (tp_traverse), which may
// well refer back to the instance.
struct PyToString {
    PyToString(clscrypt::CodePage codePage, bool replace_unmappable) : cipher(codePage) {
        cipher.SetUnmappable(replace_unmappable ? clscrypt::Unmappable::Replace : clscrypt::Unmappable::Refuse);
    }
    PyToString(const PyToString&) = delete;
    PyToString& operator=(const PyToString&) = delete;

    clscrypt::clsToString cipher;
    std::recursive_mutex lock;
    bool closed = false;  // under `lock`
    // The GIL held:
    std::vector<Listener> listeners;
    std::size_t next_token = 1;

    // The callable subscribed under `token`, or null; the GIL held.
    py::object listener(std::size_t token) const {
        for (const auto& l : listeners) {
            if (l.token == token) return l.callable;
        }
        return {};
    }

    // What the library calls for the listener with this token.
    clscrypt::ProgressEvent::Listener relay(std::size_t token);
};

// A listener's result: None, or an int percentage for later listeners.
std::int32_t percent_of(const py::object& result) {
    if (PyFloat_Check(result.ptr()) || !PyIndex_Check(result.ptr())) {
        throw py::type_error(std::string("a Progress listener returns None or an int, not ") +
                             Py_TYPE(result.ptr())->tp_name);
    }
    return static_cast<std::int32_t>(
        int_arg(result, "Progress listener", "the returned percentage", INT32_MIN, INT32_MAX));
}

clscrypt::ProgressEvent::Listener PyToString::relay(std::size_t token) {
    return [owner = this, token](std::int32_t& percent) {
        const py::gil_scoped_acquire acquire;
        const py::object callable = owner->listener(token);
        if (!callable) return;  // unsubscribed meanwhile
        const py::object result = callable(percent);
        if (!result.is_none()) percent = percent_of(result);
    };
}

[[noreturn]] void closed_error(const char* where) {
    throw py::value_error(std::string(where) + "(): the clsToString is closed");
}

// Runs `f` on the instance with the GIL released and the instance locked,
// SIGINT watched when `work` (bytes or characters) makes the call long. The
// lock is taken after the GIL is given up, so a thread waiting for the
// instance never blocks the thread that holds it.
template <typename F>
auto unlocked(PyToString& self, const char* where, std::size_t work, F&& f) {
    return interruptible(work >= kLongCall, [&](Interruptible& watch) {
        py::gil_scoped_release release;
        std::lock_guard guard(self.lock);
        if (self.closed) closed_error(where);
        const Interruptible::Scope scope(watch);
        return f();
    });
}

// Wipes its bytes when it goes: they may be plaintext.
struct Buffer {
    std::vector<std::uint8_t> bytes;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { clscrypt::Wipe(bytes.data(), bytes.size()); }
};

// A key or text taken from Python as UTF-16, wiped when it goes (keys, and
// texts that may be plaintext).
struct Secret {
    std::u16string text;
    Secret(py::handle from, const char* where, const char* param) : text(text_arg(from, where, param)) {}
    explicit Secret(std::u16string from) : text(std::move(from)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    ~Secret() { clscrypt::Wipe(text.data(), text.size() * sizeof(char16_t)); }
};

constexpr std::size_t kFileWork = ~std::size_t{0};  // a file: long, whatever its size

// A bytes-like argument's buffer, held (not copied) while it is looked at.
// Raises TypeError for anything else, BufferError where the object has no
// view of itself.
class BufferArg {
public:
    BufferArg(py::handle data, const char* where, const char* param) {
        if (PyUnicode_Check(data.ptr()) || !PyObject_CheckBuffer(data.ptr())) {
            wrong_type(where, param, "a bytes-like object", data);
        }
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_FULL_RO) != 0) throw py::error_already_set();
        if (view_.ndim > 1) {
            PyBuffer_Release(&view_);
            throw py::type_error(std::string(where) + "(): " + param + " must be a one-dimensional bytes-like object");
        }
    }
    ~BufferArg() { PyBuffer_Release(&view_); }
    BufferArg(const BufferArg&) = delete;
    BufferArg& operator=(const BufferArg&) = delete;

    [[nodiscard]] std::size_t size() const noexcept { return static_cast<std::size_t>(view_.len); }

    // The bytes in order, whatever the strides (a reversed or stepped
    // memoryview gives the bytes it shows).
    void copy_to(Buffer& out) {
        out.bytes.resize(size());
        if (size() != 0 && PyBuffer_ToContiguous(out.bytes.data(), &view_, view_.len, 'C') != 0) {
            throw py::error_already_set();
        }
    }

private:
    Py_buffer view_{};
};

// Refuses a message or ciphertext of `n` bytes that the format cannot carry
// before anything is copied: copying a 2 GiB argument only to be told it is
// too long costs as much memory again and seconds. The refusal is the
// library's own, in the library's order: its streams, started with a length
// alone, set a non-empty key first (it stays in force, as after a failed
// EncryptByte) and raise the error EncryptByte or DecryptByte raises for that
// length. A length the format carries goes on to the usual path.
template <bool Encrypt>
void refuse_length(PyToString& self, const char* where, std::uint64_t n, const std::u16string& key) {
    if (Encrypt ? clscrypt::EncryptedSize(n).has_value() : n <= clscrypt::MaxCiphertextLength) return;
    unlocked(self, where, 0, [&] {
        if constexpr (Encrypt) {
            const clscrypt::EncryptStream refused(self.cipher, n, key);
        } else {
            const clscrypt::DecryptStream refused(self.cipher, key, n);
        }
    });
}

// A str's length in UTF-16 code units, as the library counts it, read with
// the GIL released (the str cannot change).
std::uint64_t utf16_length(py::handle text) {
    const auto n = static_cast<std::uint64_t>(PyUnicode_GET_LENGTH(text.ptr()));
    if (PyUnicode_KIND(text.ptr()) != PyUnicode_4BYTE_KIND) return n;
    const py::gil_scoped_release release;
    const auto* data = static_cast<const Py_UCS4*>(PyUnicode_DATA(text.ptr()));
    std::uint64_t pairs = 0;
    for (std::uint64_t i = 0; i < n; ++i) pairs += data[i] > 0xFFFF ? 1 : 0;
    return n + pairs;
}

// The position of the first character of `text` that the instance's code
// page lacks, when it refuses those: EncryptString raises for it before it
// looks at the length.
std::optional<Py_ssize_t> refused_character(PyToString& self, py::handle text) {
    const auto [page, policy] = unlocked(self, "EncryptString", 0, [&] {
        return std::pair(self.cipher.GetCodePage(), self.cipher.GetUnmappable());
    });
    if (policy == clscrypt::Unmappable::Replace) return std::nullopt;
    const py::gil_scoped_release release;
    const int kind = PyUnicode_KIND(text.ptr());
    const void* data = PyUnicode_DATA(text.ptr());
    const auto n = static_cast<Py_ssize_t>(PyUnicode_GET_LENGTH(text.ptr()));
    bool in_page[256];
    for (unsigned c = 0; c < 256; ++c) in_page[c] = page.Contains(static_cast<char16_t>(c));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 256 ? !in_page[c] : (c > 0xFFFF || !page.Contains(static_cast<char16_t>(c)))) return i;
    }
    return std::nullopt;
}

// EncryptByte or DecryptByte, in place for a bytearray.
template <bool Encrypt>
py::object crypt_bytes(py::handle self_handle, py::handle data, py::handle key_text) {
    constexpr const char* where = Encrypt ? "EncryptByte" : "DecryptByte";
    PyToString& self = self_of<PyToString>(self_handle, where, "self", "clsToString");
    Buffer work;
    std::optional<BufferArg> in(std::in_place, data, where, "ByteArray");
    const Secret key(key_text, where, "Key");
    refuse_length<Encrypt>(self, where, in->size(), key.text);
    in->copy_to(work);
    in.reset();  // the export ends: a bytearray is resized below
    unlocked(self, where, work.bytes.size(), [&] {
        if constexpr (Encrypt) {
            self.cipher.EncryptByte(work.bytes, key.text);
        } else {
            self.cipher.DecryptByte(work.bytes, key.text);
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

clscrypt::CodePage code_page(py::handle number, const char* where) {
    if (number.is_none()) return clscrypt::CodePage();
    return clscrypt::CodePage::FromNumber(static_cast<int>(int_arg(number, where, "codepage", INT32_MIN, INT32_MAX)));
}

// ---- Bulk values ----------------------------------------------------------

// Wipes a string's whole buffer (earlier, longer contents may sit past its
// size) before it goes: plaintext passes through these.
void wipe(std::string& s) noexcept {
    s.resize(s.capacity());
    clscrypt::Wipe(s.data(), s.size());
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
    if (PyUnicode_Check(candidates.ptr()) || (!PyObject_HasAttrString(candidates.ptr(), "__iter__") &&
                                              !PySequence_Check(candidates.ptr()))) {
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

// What a call accepts as its values: str (text), bytes-like, or either one,
// fixed by the first value present.
enum class Accept { Str, Bytes, Either };

// pandas.NA when pandas is loaded (a value can only be it then), else null.
py::object pandas_na() {
    const py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("pandas")) return py::object();
    return py::getattr(modules["pandas"], "NA", py::none());
}

std::string position(std::size_t i) {
    return "value " + std::to_string(i);
}

// Values per part. A column is read, converted and turned into Python
// objects a part at a time, so the call holds the views and library results
// of a few parts (all in the caches), never a second copy of a million
// values; a part is still large enough for giving up and retaking the GIL,
// and handing parts to threads, to cost nothing measurable.
constexpr std::size_t kPart = 16384;

// One part of a column: its values' views while they are converted, and the
// library's results until they become Python objects.
struct Part {
    enum class State : std::uint8_t { Free, Ready, Busy, Done };
    std::size_t number = 0;
    std::size_t first = 0;                // the column position of its first value
    bool text = false;                    // whether its values are str
    std::vector<std::string_view> views;  // the values present, in order
    std::vector<std::uint32_t> offsets;   // each view's position, counted from `first`
    std::vector<PyObject*> refs;          // references that keep viewed values alive
    std::deque<std::string> copies;       // other bytes-like values, copied (wiped)
    std::vector<std::string> outs;        // reused part after part
    std::vector<clscrypt::ValueOutcome> outcomes;
    std::exception_ptr failure;
    bool wipe_outs = false;
    State state = State::Free;

    Part() = default;
    Part(const Part&) = delete;
    Part& operator=(const Part&) = delete;
    // Lets go of the values; the GIL is held.
    void release() noexcept {
        for (PyObject* r : refs) Py_DECREF(r);
        refs.clear();
        for (auto& s : copies) wipe(s);
        copies.clear();
        views.clear();
        offsets.clear();
        failure = nullptr;
    }
    ~Part() {
        release();
        if (wipe_outs) {
            for (auto& s : outs) wipe(s);
        }
    }
};

// The values of one call, read a part at a time while the GIL is held: a
// list or tuple as it is (no copy of its references), any other iterable (a
// pandas Series, a generator) gathered into a list first. Missing values
// (None, the float NaN that pandas puts in an object column's gaps, and
// pandas.NA of its string columns) take no part and come back as None.
class Values {
public:
    // `first`: the column position of the first value, for messages (a
    // Dask partition's place in its whole column).
    Values(const py::handle& values, Accept accept, std::size_t first = 0)
        : accept_(accept), na_(pandas_na()), first_(first) {
        if (PyUnicode_Check(values.ptr()) || PyBytes_Check(values.ptr())) {
            throw py::type_error("values is a collection of values (a list, a pandas Series), not a single value");
        }
        if (PyList_CheckExact(values.ptr()) || PyTuple_CheckExact(values.ptr())) {
            seq_ = py::reinterpret_borrow<py::object>(values);
            // The caller's list may change while the GIL is given up between
            // parts: the values of a part in hand are referenced.
            shared_ = PyList_CheckExact(values.ptr());
        } else {
            seq_ = py::reinterpret_steal<py::object>(PySequence_List(values.ptr()));
            if (!seq_) throw py::error_already_set();
        }
        list_ = PyList_CheckExact(seq_.ptr());
        count_ = static_cast<std::size_t>(list_ ? PyList_GET_SIZE(seq_.ptr()) : PyTuple_GET_SIZE(seq_.ptr()));
    }

    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    // The position messages give for value `i`.
    [[nodiscard]] std::size_t row(std::size_t i) const noexcept { return first_ + i; }
    // Whether the values present were str (the default when none was).
    [[nodiscard]] bool text() const noexcept { return text_.value_or(accept_ == Accept::Str); }

    // Positions [first, end) into `part`, and None into `results` for the
    // values missing; raises TypeError for a value the call does not take.
    void gather(std::size_t first, std::size_t end, Part& part, PyObject* results) {
        part.first = first;
        for (std::size_t i = first; i < end; ++i) {
            PyObject* item = at(i);
            std::string_view view;
            switch (classify(item, i)) {
                case Kind::Missing:
                    Py_INCREF(Py_None);
                    PyList_SET_ITEM(results, static_cast<Py_ssize_t>(i), Py_None);
                    continue;
                case Kind::Str: view = str_view(item); break;
                case Kind::Bytes:
                    view = std::string_view(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
                    break;
                case Kind::Buffer: {
                    // A bytearray or memoryview may change while the GIL is
                    // released: its bytes are copied.
                    Py_buffer buffer;
                    if (PyObject_GetBuffer(item, &buffer, PyBUF_SIMPLE) != 0) throw py::error_already_set();
                    part.copies.emplace_back(static_cast<const char*>(buffer.buf),
                                             static_cast<std::size_t>(buffer.len));
                    PyBuffer_Release(&buffer);
                    view = part.copies.back();
                    break;
                }
            }
            if (shared_) {
                Py_INCREF(item);
                part.refs.push_back(item);
            }
            part.views.push_back(view);
            part.offsets.push_back(static_cast<std::uint32_t>(i - first));
        }
        part.text = text();
    }

    // Raises the TypeError of the first value from `first` on that the call
    // does not take, if there is one: a failed conversion raises only after
    // the whole column has been found to be of values the call takes.
    void check_from(std::size_t first) {
        for (std::size_t i = first; i < count_; ++i) classify(at(i), i);
    }

private:
    enum class Kind { Missing, Str, Bytes, Buffer };

    PyObject* at(std::size_t i) const {
        if (!list_) return PyTuple_GET_ITEM(seq_.ptr(), static_cast<Py_ssize_t>(i));
        if (i >= static_cast<std::size_t>(PyList_GET_SIZE(seq_.ptr()))) {
            throw clscrypt::RuntimeError::FromNumber(clscrypt::ErrorKind::InvalidArgument, 5,
                                                     "values changed size during the call");
        }
        return PyList_GET_ITEM(seq_.ptr(), static_cast<Py_ssize_t>(i));
    }

    Kind classify(PyObject* item, std::size_t i) {
        const bool is_str = PyUnicode_Check(item);
        if (!is_str &&
            (item == Py_None || item == na_.ptr() || (PyFloat_Check(item) && std::isnan(PyFloat_AS_DOUBLE(item))))) {
            return Kind::Missing;
        }
        const bool want_str = accept_ == Accept::Str || (accept_ == Accept::Either && text_.value_or(is_str));
        if (is_str != want_str) {
            throw py::type_error(position(row(i)) + " is " + std::string(Py_TYPE(item)->tp_name) + "; expected " +
                                 (want_str ? "str" : "bytes") +
                                 (accept_ == Accept::Either ? " like the values before it" : ""));
        }
        text_ = is_str;
        if (is_str) return Kind::Str;
        if (PyBytes_Check(item)) return Kind::Bytes;
        if (PyObject_CheckBuffer(item)) return Kind::Buffer;
        throw py::type_error(position(row(i)) + " is " + std::string(Py_TYPE(item)->tp_name) + "; expected str or bytes");
    }

    // A str's UTF-8, held by the str itself: its characters as they are
    // when it is all ASCII (the usual case).
    static std::string_view str_view(PyObject* item) {
        if (PyUnicode_IS_COMPACT_ASCII(item)) {
            return {static_cast<const char*>(PyUnicode_DATA(item)),
                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(item))};
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data != nullptr) return {data, static_cast<std::size_t>(size)};
        // A str with a lone surrogate has no UTF-8: the library is handed a
        // byte that starts no UTF-8 or stored form, so the value fails as
        // text it cannot take, like any other.
        PyErr_Clear();
        return {"\xff", 1};
    }

    Accept accept_;
    py::object na_;
    py::object seq_;  // a list or tuple
    bool list_ = false;
    bool shared_ = false;
    std::size_t count_ = 0;
    std::size_t first_ = 0;
    std::optional<bool> text_;
};

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

// What the results are in Python: str that is ASCII by its form
// (hexadecimal, Base64), str from UTF-8 (text), or bytes.
enum class Output { Ascii, Text, Bytes };

bool is_ascii(const std::string& s) noexcept {
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, s.data() + i, 8);
        high |= word;
    }
    for (; i < s.size(); ++i) high |= static_cast<unsigned char>(s[i]);
    return (high & 0x8080808080808080U) == 0;
}

// A result as a new Python object: ASCII goes into a one-byte str with one
// copy, where decoding it as UTF-8 would look at every byte again.
PyObject* result_object(const std::string& s, Output output) {
    const auto n = static_cast<Py_ssize_t>(s.size());
    if (output == Output::Bytes) return PyBytes_FromStringAndSize(s.data(), n);
    if (output == Output::Text && !is_ascii(s)) return PyUnicode_DecodeUTF8(s.data(), n, "strict");
    PyObject* str = PyUnicode_New(n, 127);
    if (str != nullptr && n != 0) std::memcpy(PyUnicode_1BYTE_DATA(str), s.data(), s.size());
    return str;
}

// What a stored form is in Python.
Output output_of(clscrypt::StoredForm form) {
    switch (form) {
        case clscrypt::StoredForm::Hex:
        case clscrypt::StoredForm::Base64: return Output::Ascii;
        case clscrypt::StoredForm::String: return Output::Text;
        case clscrypt::StoredForm::Bytes: break;
    }
    return Output::Bytes;
}

// The threads that convert parts beside the calling one, and what they
// share with it: parts move Free -> Ready (gathered) -> Busy -> Done
// (converted) -> Free under `lock`. Going, it stops them and waits for them.
struct Crew {
    std::mutex lock;
    std::condition_variable ready;  // a part is Ready, or the crew is to stop
    std::condition_variable done;   // a part is Done
    bool stop = false;
    std::vector<std::thread> threads;

    Crew() = default;
    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;
    ~Crew() {
        {
            const std::lock_guard guard(lock);
            stop = true;
        }
        ready.notify_all();
        for (auto& t : threads) t.join();
    }
};

// Converts the column part by part with `batch` (GIL released) and returns
// the results as a list: one object per value, None for a missing value and,
// with errors="none", for a failed one. With errors="raise", the first
// failure in order raises; `redo` repeats that value's conversion with the
// strict method for its own error (a batch records only its last).
//
// The calling thread reads the values (GIL held) and makes the results'
// Python objects; the library converts each part with the GIL released.
// With several instances (threads=N), N - 1 threads of the call's own
// convert parts side by side, each with its own instance, while the calling
// thread reads ahead and turns converted parts into objects, converting a
// part itself whenever it would otherwise wait. Results go into the list in
// order, whichever thread converted them.
//
// SIGINT (`watch`) stops the call between parts, and inside a part between
// the library's chunks, on every thread of the call.
template <typename Batch, typename Redo>
py::list convert(Values& values, Output output, bool wipe_results, bool raise,
                 std::vector<clscrypt::ValueCipher>& ciphers, Interruptible& watch, Batch&& batch, Redo&& redo) {
    const std::size_t count = values.size();
    const std::size_t parts = (count + kPart - 1) / kPart;
    py::list list(count);  // empty slots until filled, which a list may hold while it is built
    // One part in hand at a time alone; with a crew, enough parts read ahead
    // that no thread waits for the reading.
    std::vector<Part> ring(std::max<std::size_t>(1, std::min(parts, ciphers.size() == 1 ? 1 : 2 * ciphers.size())));
    for (auto& p : ring) p.wipe_outs = wipe_results;
    const auto run = [&batch](clscrypt::ValueCipher& cipher, Part& p) noexcept {
        try {
            if (!p.views.empty()) batch(cipher, std::span<const std::string_view>(p.views), p.text, p.outs, p.outcomes);
        } catch (...) {
            p.failure = std::current_exception();
        }
    };
    Crew crew;  // after the ring: stopped before the parts go
    // The earliest Ready part, now Busy; crew.lock is held.
    const auto take = [&ring]() -> Part* {
        Part* first = nullptr;
        for (auto& p : ring) {
            if (p.state == Part::State::Ready && (first == nullptr || p.number < first->number)) first = &p;
        }
        if (first != nullptr) first->state = Part::State::Busy;
        return first;
    };
    for (std::size_t w = 1; w < ciphers.size(); ++w) {
        crew.threads.emplace_back([&crew, &take, &run, &watch, &cipher = ciphers[w]] {
            const Interruptible::Scope scope(watch);
            std::unique_lock guard(crew.lock);
            for (;;) {
                Part* p = nullptr;
                crew.ready.wait(guard, [&] { return crew.stop || (p = take()) != nullptr; });
                if (crew.stop) return;
                guard.unlock();
                run(cipher, *p);
                guard.lock();
                p->state = Part::State::Done;
                crew.done.notify_one();
            }
        });
    }

    const std::size_t helpers = ciphers.size() - 1;
    std::size_t gathered = 0;  // parts read
    std::size_t built = 0;     // parts whose results are in the list
    const Interruptible::Scope scope(watch);
    while (built < parts) {
        clscrypt::ThrowIfCancelled();
        Part& next = ring[built % ring.size()];
        bool converted = false;
        std::size_t waiting = 0;
        {
            const std::lock_guard guard(crew.lock);
            converted = built < gathered && next.state == Part::State::Done;
            for (const auto& p : ring) waiting += p.state == Part::State::Ready ? 1 : 0;
        }
        // Read ahead while no result is ready, or while the crew may run
        // out of parts; else make the ready results' objects.
        if (gathered < parts && gathered - built < ring.size() && (!converted || waiting <= helpers)) {
            Part& p = ring[gathered % ring.size()];
            p.number = gathered;
            const std::size_t first = gathered * kPart;
            values.gather(first, std::min(count, first + kPart), p, list.ptr());
            {
                const std::lock_guard guard(crew.lock);
                p.state = Part::State::Ready;
            }
            crew.ready.notify_one();
            ++gathered;
            continue;
        }
        if (converted) {
            if (next.failure) std::rethrow_exception(next.failure);
            for (std::size_t j = 0; j < next.views.size(); ++j) {
                const std::size_t i = next.first + next.offsets[j];
                PyObject* item = nullptr;
                if (next.outcomes[j]) {
                    item = result_object(next.outs[j], output);
                    if (item == nullptr) throw py::error_already_set();
                } else if (raise) {
                    values.check_from(std::min(count, gathered * kPart));
                    try {
                        py::gil_scoped_release release;
                        redo(ciphers[0], next.views[j]);
                    } catch (const clscrypt::RuntimeError& e) {
                        raise_at(values.row(i), e);
                    }
                    raise_at(values.row(i), ciphers[0].LastError());  // not expected: it failed in the batch
                } else {
                    Py_INCREF(Py_None);
                    item = Py_None;
                }
                PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item);
            }
            next.release();
            {
                const std::lock_guard guard(crew.lock);
                next.state = Part::State::Free;
            }
            ++built;
            continue;
        }
        // Nothing to do with the GIL: convert a part, or wait for the next.
        py::gil_scoped_release release;
        std::unique_lock guard(crew.lock);
        if (Part* p = take()) {
            guard.unlock();
            run(ciphers[0], *p);
            guard.lock();
            p->state = Part::State::Done;
        } else {
            crew.done.wait(guard, [&next] { return next.state == Part::State::Done; });
        }
    }
    return list;
}

// The instances of one call: one per thread the caller asked for
// (threads=N; 0: one per processor), as many as there are parts at most,
// each with its own keyed tables and working buffers, since an instance
// serves one batch at a time. Key set-up fails before any value converts,
// but a column with a value the call does not take raises that first.
template <typename Make>
std::vector<clscrypt::ValueCipher> ciphers_for(const char* where, py::handle threads_arg, Values& values, Make&& make) {
    const auto threads = int_arg(threads_arg, where, "threads", 0, 1 << 16);
    std::size_t n =
        threads == 0 ? std::max(1U, std::thread::hardware_concurrency()) : static_cast<std::size_t>(threads);
    n = std::max<std::size_t>(1, std::min(n, (values.size() + kPart - 1) / kPart));  // no thread without a part
    std::vector<clscrypt::ValueCipher> ciphers;
    ciphers.reserve(n);
    try {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) ciphers.push_back(make());
    } catch (const clscrypt::RuntimeError&) {
        values.check_from(0);
        throw;
    }
    return ciphers;
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
    Values column(values, stored == clscrypt::StoredForm::Bytes ? Accept::Bytes : Accept::Str, first_row(first, where));
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

namespace {

// ---- Calls that fit no parameter list ------------------------------------
//
// pybind11 answers a call whose arguments fit none of a function's
// signatures (too many, one missing, an unknown keyword) with a TypeError
// that ends in the repr of every argument given: keys and plaintexts among
// them. Every function of this module goes through this dispatcher instead,
// which keeps pybind11's part of the message up to that list and puts the
// parameter names there in its place. (With every parameter taken as a
// Python object and converted by the code above, arity is all that is left
// to fail there.)

struct Dispatch : py::cpp_function {
    using py::cpp_function::dispatcher;
};

std::string parameters(const py::detail::function_record* rec) {
    std::string out;
    for (const auto& arg : rec->args) {
        if (arg.name == nullptr || std::string_view(arg.name) == "self") continue;
        out += std::string(out.empty() ? "" : ", ") + arg.name + (arg.value ? "=..." : "");
    }
    return out;
}

extern "C" PyObject* quiet_dispatcher(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* result = Dispatch::dispatcher(self, args, kwargs);
    if (result != nullptr || PyErr_ExceptionMatches(PyExc_TypeError) == 0) return result;
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    PyErr_NormalizeException(&type, &value, &trace);
    const char* text = nullptr;
    PyObject* str = value != nullptr ? PyObject_Str(value) : nullptr;
    if (str != nullptr) text = PyUnicode_AsUTF8(str);
    if (text == nullptr || std::strstr(text, "\nInvoked with") == nullptr) {
        Py_XDECREF(str);
        PyErr_Clear();
        PyErr_Restore(type, value, trace);
        return nullptr;
    }
    Py_XDECREF(str);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(trace);
    const auto* rec = static_cast<const py::detail::function_record*>(PyCapsule_GetPointer(self, nullptr));
    if (rec == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "the arguments given fit none of this function's parameters");
        return nullptr;
    }
    const std::string message = std::string(rec->name) + "() takes (" + parameters(rec) +
                                "): the arguments given do not fit (too many, one missing or an unknown keyword)";
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return nullptr;
}

void quiet(PyObject* f) {
    if (f == nullptr) return;
    if (PyInstanceMethod_Check(f)) f = PyInstanceMethod_GET_FUNCTION(f);
    if (!PyCFunction_Check(f)) return;
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
    const auto pybind = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Dispatch::dispatcher));
    if (def->ml_meth == pybind) def->ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&quiet_dispatcher));
}

// Every function of the module and every method and property of its classes.
void quiet_all(const py::module_& m) {
    for (const auto item : m.attr("__dict__").cast<py::dict>()) {
        PyObject* value = item.second.ptr();
        quiet(value);
        if (!PyType_Check(value)) continue;
        for (const auto member : py::reinterpret_borrow<py::dict>(reinterpret_cast<PyTypeObject*>(value)->tp_dict)) {
            PyObject* v = member.second.ptr();
            quiet(v);
            if (PyObject_TypeCheck(v, &PyProperty_Type)) {
                for (const char* part : {"fget", "fset", "fdel"}) {
                    const auto accessor = py::reinterpret_steal<py::object>(PyObject_GetAttrString(v, part));
                    if (!accessor) PyErr_Clear();
                    quiet(accessor.ptr());
                }
            } else if (PyObject_HasAttrString(v, "__func__")) {
                const auto inner = py::reinterpret_steal<py::object>(PyObject_GetAttrString(v, "__func__"));
                quiet(inner.ptr());
            }
        }
    }
}

// ---- Errors ---------------------------------------------------------------

// The package's error classes: clscrypt.Error (a RuntimeError, as the
// legacy run-time errors were) and one subclass per kind, each also derived
// from the built-in exception a Python user would catch for it. Made once,
// kept for the interpreter's life.
struct ErrorClass {
    clscrypt::ErrorKind kind;
    const char* name;
    PyObject* builtin;  // null: clscrypt.Error alone
    const char* doc;
};

std::vector<std::pair<clscrypt::ErrorKind, PyObject*>>& error_classes() {
    static std::vector<std::pair<clscrypt::ErrorKind, PyObject*>> classes;
    return classes;
}
PyObject* g_error = nullptr;

// A new error class in the package; the module keeps it.
PyObject* new_error(py::module_& m, const char* name, PyObject* bases, const char* doc) {
    const std::string qualified = std::string("clscrypt.") + name;
    PyObject* cls = PyErr_NewExceptionWithDoc(qualified.c_str(), doc, bases, nullptr);
    if (cls == nullptr) throw py::error_already_set();
    m.add_object(name, py::reinterpret_borrow<py::object>(cls));
    return cls;  // the reference made here is kept for good
}

void set_error(const clscrypt::RuntimeError& e) {
    PyObject* cls = g_error;
    for (const auto& [kind, c] : error_classes()) {
        if (kind == e.Kind()) cls = c;
    }
    // The context may hold a file name that is not UTF-8.
    const std::string what = e.what();
    const auto message = py::reinterpret_steal<py::object>(
        PyUnicode_DecodeUTF8(what.data(), static_cast<Py_ssize_t>(what.size()), "backslashreplace"));
    if (!message) return;
    const auto instance = py::reinterpret_steal<py::object>(PyObject_CallOneArg(cls, message.ptr()));
    if (!instance) return;
    instance.attr("number") = e.Number();
    instance.attr("description") = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
        e.Description().data(), static_cast<Py_ssize_t>(e.Description().size()), "backslashreplace"));
    instance.attr("kind") = py::cast(e.Kind());
    PyErr_SetObject(cls, instance.ptr());
}

// ---- Garbage collection ---------------------------------------------------

// The instance behind a Python object, or null for one never initialised.
template <typename T>
T* initialised(PyObject* self) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    const auto v_h = inst->get_value_and_holder(py::detail::get_type_info(typeid(T)), false);
    if (!v_h || !v_h.holder_constructed()) return nullptr;
    return v_h.template value_ptr<T>();
}

// The Progress event of one instance, as Python sees it: the instance.
struct PyProgress {
    py::object owner;
};

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
    void operator()(PyProgress& self) const {
        const py::object gone = std::move(self.owner);
    }
};

PyToString& owner_of(py::handle event, const char* where) {
    auto& progress = self_of<PyProgress>(event, where, "self", "ProgressEvent");
    if (!progress.owner) throw py::type_error(std::string(where) + "(): this ProgressEvent belongs to no clsToString");
    return self_of<PyToString>(progress.owner, where, "self", "clsToString");
}

std::size_t subscribe(py::handle event, py::handle callable) {
    PyToString& self = owner_of(event, "Subscribe");
    if (PyCallable_Check(callable.ptr()) == 0) wrong_type("Subscribe", "listener", "callable", callable);
    const std::size_t token = self.next_token++;
    self.listeners.push_back({token, 0, py::reinterpret_borrow<py::object>(callable)});
    std::size_t library_token = 0;
    try {
        unlocked(self, "Subscribe", 0, [&] { library_token = self.cipher.Progress.Subscribe(self.relay(token)); });
    } catch (...) {
        std::erase_if(self.listeners, [token](const Listener& l) { return l.token == token; });
        throw;
    }
    for (auto& l : self.listeners) {
        if (l.token == token) {
            l.library_token = library_token;
            return token;
        }
    }
    // Another thread unsubscribed the token before it was returned here.
    unlocked(self, "Subscribe", 0, [&] { self.cipher.Progress.Unsubscribe(library_token); });
    return token;
}

void unsubscribe(py::handle event, py::handle token_arg) {
    PyToString& self = owner_of(event, "Unsubscribe");
    const auto token = static_cast<std::size_t>(int_arg(token_arg, "Unsubscribe", "token", 0, INT64_MAX));
    std::size_t library_token = 0;
    py::object callable;  // released at the end, the GIL held
    for (auto it = self.listeners.begin(); it != self.listeners.end(); ++it) {
        if (it->token == token) {
            library_token = it->library_token;
            callable = std::move(it->callable);
            self.listeners.erase(it);
            break;
        }
    }
    if (library_token == 0) return;
    interruptible(false, [&](Interruptible&) {
        py::gil_scoped_release release;
        const std::lock_guard guard(self.lock);
        self.cipher.Progress.Unsubscribe(library_token);
    });
}

// A twin of `other` with its key state and its listeners (the same
// callables, under the same tokens).
std::unique_ptr<PyToString> twin(py::handle other_handle, const char* where) {
    PyToString& other = self_of<PyToString>(other_handle, where, "self", "clsToString");
    std::vector<Listener> listeners;
    for (const auto& l : other.listeners) listeners.push_back({l.token, 0, l.callable});
    std::unique_ptr<PyToString> copy;
    unlocked(other, where, 0, [&] {
        copy = std::make_unique<PyToString>(other.cipher.GetCodePage(), false);
        copy->cipher = other.cipher;
        copy->cipher.Progress = clscrypt::ProgressEvent();  // the relays name `other`
        for (auto& l : listeners) l.library_token = copy->cipher.Progress.Subscribe(copy->relay(l.token));
    });
    copy->listeners = std::move(listeners);
    copy->next_token = other.next_token;
    return copy;
}

// Wipes the key state at once and refuses further operations.
void close_instance(py::handle self_handle) {
    PyToString& self = self_of<PyToString>(self_handle, "close", "self", "clsToString");
    interruptible(false, [&](Interruptible&) {
        py::gil_scoped_release release;
        const std::lock_guard guard(self.lock);
        if (self.closed) return;
        self.cipher = clscrypt::clsToString(self.cipher.GetCodePage());  // Busy from inside its own operation
        self.closed = true;
    });
    std::vector<Listener> gone;
    gone.swap(self.listeners);
}

}  // namespace

PYBIND11_MODULE(_clscrypt, m) {
    m.doc() = "The compiled part of the clscrypt package; import clscrypt instead.";
    m.attr("__version__") = CLSCRYPT_VERSION;

    // clscrypt.ErrorKind: what went wrong, for code that branches on it.
    py::enum_<clscrypt::ErrorKind> kind(m, "ErrorKind",
                                        "What went wrong: the `kind` of a clscrypt.Error. Branch on it, "
                                        "never on the description (a wrong key and a missing file share a number).");
    for (const auto k :
         {clscrypt::ErrorKind::Other, clscrypt::ErrorKind::InvalidArgument, clscrypt::ErrorKind::Overflow,
          clscrypt::ErrorKind::SubscriptOutOfRange, clscrypt::ErrorKind::DivisionByZero,
          clscrypt::ErrorKind::WrongKeyOrDamaged, clscrypt::ErrorKind::SourceMissing, clscrypt::ErrorKind::FileSystem,
          clscrypt::ErrorKind::System, clscrypt::ErrorKind::OutOfMemory, clscrypt::ErrorKind::Cancelled,
          clscrypt::ErrorKind::Busy, clscrypt::ErrorKind::Unmappable}) {
        kind.value(clscrypt::ErrorKindName(k), k);
    }

    // clscrypt.Error (also clscrypt.RuntimeError, its name before), with the
    // legacy error number and description, and its kind; its subclasses.
    {
        const auto bases = py::make_tuple(py::handle(PyExc_RuntimeError));
        g_error = new_error(
            m, "Error", bases.ptr(),
            "The error every operation raises: a RuntimeError with the legacy error `number`, its `description` "
            "and its `kind` (an ErrorKind, to branch on). str(error) adds context: which value, length or file was "
            "at fault, never a key or plaintext. Each kind has a subclass that also derives from the built-in "
            "exception for it (WrongKeyError is a ValueError, SourceMissingError a FileNotFoundError, ...).");
        m.attr("RuntimeError") = py::handle(g_error);
        const py::handle error(g_error);
        error.attr("Overflow") = clscrypt::RuntimeError::Overflow;
        error.attr("SubscriptOutOfRange") = clscrypt::RuntimeError::SubscriptOutOfRange;
        error.attr("DivisionByZero") = clscrypt::RuntimeError::DivisionByZero;
        error.attr("ClassError") = clscrypt::RuntimeError::ClassError;
        using K = clscrypt::ErrorKind;
        const ErrorClass classes[] = {
            {K::InvalidArgument, "InvalidArgumentError", PyExc_ValueError, "An argument or value the operation cannot take."},
            {K::Overflow, "LengthOverflowError", PyExc_OverflowError, "A length beyond the format's 32-bit range."},
            {K::SubscriptOutOfRange, "SubscriptOutOfRangeError", PyExc_ValueError, "Text that is not hexadecimal pairs where HexToStr expects them."},
            {K::DivisionByZero, "DivisionByZeroError", PyExc_ZeroDivisionError, "HexToStr with a separator count of -2."},
            {K::WrongKeyOrDamaged, "WrongKeyError", PyExc_ValueError, "Not a ciphertext of this format under this key (wrong key or damaged data)."},
            {K::SourceMissing, "SourceMissingError", PyExc_FileNotFoundError, "The source file of a file operation does not exist."},
            {K::FileSystem, "FileSystemError", PyExc_OSError, "The file system refused or failed an operation."},
            {K::System, "OperatingSystemError", PyExc_OSError, "Another service of the operating system failed (the random source)."},
            {K::OutOfMemory, "OutOfMemoryError", PyExc_MemoryError, "Memory ran out."},
            {K::Cancelled, "CancelledError", nullptr, "The caller stopped the operation."},
            {K::Busy, "BusyError", nullptr, "The instance is running an operation and refuses to change its key."},
            {K::Unmappable, "UnmappableError", PyExc_ValueError, "A key or text has a character the code page lacks."},
        };
        for (const auto& c : classes) {
            const auto with = c.builtin != nullptr ? py::make_tuple(error, py::handle(c.builtin)) : py::make_tuple(error);
            error_classes().emplace_back(c.kind, new_error(m, c.name, with.ptr(), c.doc));
        }
    }
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const clscrypt::RuntimeError& e) {
            set_error(e);
        }
    });

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
        .def("__enter__", [](py::handle self) {
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
                        const auto head = py::reinterpret_steal<py::object>(PyUnicode_Substring(text.ptr(), 0, *at + 1));
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
                const auto count = static_cast<std::int32_t>(int_arg(separators, where, "Separators", INT32_MIN, INT32_MAX));
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

    m.def(
        "read_hex",
        [](py::handle text) {
            if (!PyUnicode_Check(text.ptr())) wrong_type("read_hex", "text", "str", text);
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
            if (data == nullptr) {
                throw py::value_error("read_hex(): text has a lone surrogate, which is no hexadecimal digit");
            }
            const std::vector<std::uint8_t> bytes = clscrypt::ReadHex(std::string_view(data, static_cast<std::size_t>(size)));
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

    quiet_all(m);
}
