// The bulk functions' engine: parts of a column through ValueCiphers on the
// calling thread and on threads of the call's own.

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engine.hpp"

namespace clscrypt_python {

namespace {

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

}  // namespace

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
py::list convert(Values& values, Output output, bool wipe_results, bool raise,
                 std::vector<clscrypt::ValueCipher>& ciphers, Interruptible& watch, const Batch& batch,
                 const Redo& redo) {
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
std::vector<clscrypt::ValueCipher> ciphers_for(const char* where, py::handle threads_arg, Values& values,
                                               const std::function<clscrypt::ValueCipher()>& make) {
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

}  // namespace clscrypt_python
