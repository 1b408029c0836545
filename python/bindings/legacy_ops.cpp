// The operations behind the legacy classes' bindings: EncryptByte and
// DecryptByte on Python buffers, the length and character checks that come
// before a copy, and the Progress listeners, copies and closing of an
// instance.

#include <cstring>

#include "legacy.hpp"

namespace clscrypt_python {

namespace {

// A listener's result: None, or an int percentage for later listeners.
std::int32_t percent_of(const py::object& result) {
    if (PyFloat_Check(result.ptr()) || !PyIndex_Check(result.ptr())) {
        throw py::type_error(std::string("a Progress listener returns None or an int, not ") +
                             Py_TYPE(result.ptr())->tp_name);
    }
    return static_cast<std::int32_t>(
        int_arg(result, "Progress listener", "the returned percentage", INT32_MIN, INT32_MAX));
}

}  // namespace

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

namespace {

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

}  // namespace

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
    const auto [page, policy] = unlocked(
        self, "EncryptString", 0, [&] { return std::pair(self.cipher.GetCodePage(), self.cipher.GetUnmappable()); });
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

namespace {

PyToString& owner_of(py::handle event, const char* where) {
    auto& progress = self_of<PyProgress>(event, where, "self", "ProgressEvent");
    if (!progress.owner) throw py::type_error(std::string(where) + "(): this ProgressEvent belongs to no clsToString");
    return self_of<PyToString>(progress.owner, where, "self", "clsToString");
}

}  // namespace

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

template py::object crypt_bytes<true>(py::handle, py::handle, py::handle);
template py::object crypt_bytes<false>(py::handle, py::handle, py::handle);
template void refuse_length<true>(PyToString&, const char*, std::uint64_t, const std::u16string&);
template void refuse_length<false>(PyToString&, const char*, std::uint64_t, const std::u16string&);

}  // namespace clscrypt_python
