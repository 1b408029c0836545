#pragma once

// The legacy classes as Python sees them: clsToString with its lock and its
// Python listeners, and the operations the bindings in legacy.cpp call.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common.hpp"

namespace clscrypt_python {

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

// The Progress event of one instance, as Python sees it: the instance.
struct PyProgress {
    py::object owner;
};

[[noreturn]] void closed_error(const char* where);

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

constexpr std::size_t kFileWork = ~std::size_t{0};  // a file: long, whatever its size

// EncryptByte or DecryptByte, in place for a bytearray.
template <bool Encrypt>
py::object crypt_bytes(py::handle self_handle, py::handle data, py::handle key_text);

// Refuses a message or ciphertext of `n` bytes that the format cannot carry
// before anything is copied, with the library's own error.
template <bool Encrypt>
void refuse_length(PyToString& self, const char* where, std::uint64_t n, const std::u16string& key);

// A str's length in UTF-16 code units, as the library counts it, read with
// the GIL released (the str cannot change).
std::uint64_t utf16_length(py::handle text);

// The position of the first character of `text` that the instance's code
// page lacks, when it refuses those: EncryptString raises for it before it
// looks at the length.
std::optional<Py_ssize_t> refused_character(PyToString& self, py::handle text);

std::size_t subscribe(py::handle event, py::handle callable);
void unsubscribe(py::handle event, py::handle token_arg);
// A twin of `other` with its key state and its listeners (the same
// callables, under the same tokens).
std::unique_ptr<PyToString> twin(py::handle other_handle, const char* where);
// Wipes the key state at once and refuses further operations.
void close_instance(py::handle self_handle);

}  // namespace clscrypt_python
