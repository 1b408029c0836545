// Ctrl+C during a long call: the SIGINT watch behind Interruptible.

#include <atomic>
#include <csignal>

#include "common.hpp"

namespace clscrypt_python {

namespace {

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

}  // namespace

Interruptible::Interruptible(bool long_call) {
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

Interruptible::~Interruptible() {
    if (active_ && --g_installed == 0) PyOS_setsig(SIGINT, g_python_handler.load());
}

bool Interruptible::interrupted() const noexcept {
    return active_ && g_interrupts.load() != start_;
}

void Interruptible::raise_for(const clscrypt::RuntimeError& e) const {
    if (e.Kind() != clscrypt::ErrorKind::Cancelled || !interrupted()) return;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    PyErr_SetNone(PyExc_KeyboardInterrupt);  // the handler ran already: Ctrl+C all the same
    throw py::error_already_set();
}

}  // namespace clscrypt_python
