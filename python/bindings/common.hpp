#pragma once

// What the binding files share: the SIGINT watch of long calls, the
// conversion of arguments from Python objects, and buffers that wipe
// themselves. Each file that defines bindings has one init_* function,
// called by module.cpp.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <typeinfo>
#include <utility>
#include <vector>

#include <clscrypt/clscrypt.hpp>

namespace py = pybind11;

namespace clscrypt_python {

// ---- The parts of the module ----------------------------------------------

/// clscrypt.ErrorKind, clscrypt.Error and its subclasses, and the
/// translation of the library's errors into them (errors.cpp).
void init_errors(py::module_& m);
/// The legacy classes: clsToString, its ProgressEvent, clsHsh; the code
/// page functions (legacy.cpp).
void init_legacy(py::module_& m);
/// The value functions: read_hex and the bulk encrypt_values,
/// decrypt_values and rekey_values (values.cpp).
void init_values(py::module_& m);
/// Puts the dispatcher that names no argument in front of every function
/// of the module; called last (quiet_calls.cpp).
void init_quiet_calls(const py::module_& m);

// ---- Ctrl+C during a long call (interrupt.cpp) ----------------------------

/// One long call's watch for SIGINT; made and ended with the GIL held.
class Interruptible {
public:
    explicit Interruptible(bool long_call);
    ~Interruptible();
    Interruptible(const Interruptible&) = delete;
    Interruptible& operator=(const Interruptible&) = delete;

    [[nodiscard]] bool active() const noexcept { return active_; }
    [[nodiscard]] bool interrupted() const noexcept;
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
    void raise_for(const clscrypt::RuntimeError& e) const;

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

// ---- Arguments (arguments.cpp) --------------------------------------------

[[noreturn]] void wrong_type(const char* where, const char* param, const char* expected, py::handle got);
std::u16string utf16(py::handle text);
std::u16string text_arg(py::handle h, const char* where, const char* param);
std::int64_t int_arg(py::handle h, const char* where, const char* param, std::int64_t lo, std::int64_t hi);
bool bool_arg(py::handle h, const char* where, const char* param);
std::string choice_arg(py::handle h, const char* where, const char* param, std::initializer_list<const char*> names);
std::filesystem::path path_arg(py::handle h, const char* where, const char* param);
clscrypt::CodePage code_page(py::handle number, const char* where);

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

// ---- Buffers that wipe themselves -----------------------------------------

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

// Wipes a string's whole buffer (earlier, longer contents may sit past its
// size) before it goes: plaintext passes through these.
inline void wipe(std::string& s) noexcept {
    s.resize(s.capacity());
    clscrypt::Wipe(s.data(), s.size());
    s.clear();
}

}  // namespace clscrypt_python
