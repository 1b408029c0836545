#include "cipher/parallel.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/process.hpp"

namespace clscrypt::detail {

namespace {

// Persistent worker threads serving one caller at a time. Each round hands
// part 0 to the caller and parts 1.. to the workers with those numbers.
class WorkerPool {
public:
    using Job = void (*)(void* context, std::size_t part) noexcept;

    WorkerPool(std::size_t workers, std::uint64_t generation) : generation_(generation) {
        threads_.reserve(workers);
        for (std::size_t i = 1; i <= workers; ++i) {
            try {
                threads_.emplace_back([this, i] { work(i); });
            } catch (const std::system_error&) {
                break;  // the system gives no more threads: make do with those started
            }
            // Never joined: the pool lives as long as the process.
            threads_.back().detach();
        }
    }

    [[nodiscard]] std::size_t workers() const noexcept { return threads_.size(); }
    [[nodiscard]] std::uint64_t generation() const noexcept { return generation_; }

    // Runs job(context, 0) on the calling thread and job(context, p) for
    // p = 1 .. parts - 1 on the workers, and returns when all are done; or
    // returns false at once, having run nothing, when another caller has
    // the pool.
    bool try_run(std::size_t parts, Job job, void* context) noexcept {
        if (busy_.exchange(true, std::memory_order_acquire)) return false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            job_ = job;
            context_ = context;
            parts_ = parts;
            pending_ = parts - 1;
            ++round_;
        }
        start_.notify_all();
        job(context, 0);
        {
            std::unique_lock<std::mutex> lock(mutex_);
            done_.wait(lock, [this] { return pending_ == 0; });
        }
        busy_.store(false, std::memory_order_release);
        return true;
    }

private:
    void work(std::size_t part) noexcept {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            start_.wait(lock, [&] { return round_ != seen; });
            seen = round_;
            if (part >= parts_) continue;
            const Job job = job_;
            void* const context = context_;
            lock.unlock();
            job(context, part);
            lock.lock();
            if (--pending_ == 0) done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable start_;
    std::condition_variable done_;
    std::uint64_t round_ = 0;
    std::size_t parts_ = 0;
    std::size_t pending_ = 0;
    Job job_ = nullptr;
    void* context_ = nullptr;
    std::atomic<bool> busy_{false};
    const std::uint64_t generation_;
    std::vector<std::thread> threads_;
};

std::atomic<WorkerPool*> g_pool{nullptr};
std::atomic<std::size_t> g_thread_limit{0};
std::atomic<std::size_t> g_min_run{kParallelMinRun};

std::size_t thread_budget() noexcept {
    const std::size_t limit = g_thread_limit.load(std::memory_order_relaxed);
    const std::size_t hardware = std::max<std::size_t>(1, std::thread::hardware_concurrency());
    return std::min({limit == 0 ? hardware : limit, hardware, kMaxDecryptThreads});
}

// The pool of this process, started on first need; null when there is none
// to be had.
WorkerPool* pool() noexcept {
    const std::uint64_t generation = platform::fork_generation();
    WorkerPool* p = g_pool.load(std::memory_order_acquire);
    if (p != nullptr && p->generation() == generation) return p;
    // Only one thread starts the workers. A pool of an earlier generation
    // was the parent's before a fork: its threads do not exist here, and it
    // is left alone. A mutex a fork caught locked stays locked in the child,
    // which then simply works on one thread.
    static std::mutex starting;
    const std::unique_lock<std::mutex> lock(starting, std::try_to_lock);
    if (!lock.owns_lock()) return nullptr;
    p = g_pool.load(std::memory_order_acquire);
    if (p != nullptr && p->generation() == generation) return p;
    const std::size_t workers = std::min<std::size_t>(std::thread::hardware_concurrency(), kMaxDecryptThreads);
    if (workers < 2) return nullptr;
    try {
        p = new WorkerPool(workers - 1, generation);
    } catch (...) {
        return nullptr;  // no threads to be had: the caller works alone
    }
    g_pool.store(p, std::memory_order_release);
    return p;
}

struct Part {
    std::uint8_t* data;
    std::size_t len;
    Chain chain;
};

struct Run {
    const CbcBackend* backend;
    const BlowfishTables* tables;
    const BytePlanes* planes;
    std::array<Part, kMaxDecryptThreads> parts;
};

void decrypt_part(void* context, std::size_t index) noexcept {
    Run& run = *static_cast<Run*>(context);
    Part& part = run.parts[index];
    run.backend->decrypt(*run.tables, run.planes, part.data, part.len, part.chain);
}

}  // namespace

void cbc_decrypt_run(const CbcBackend& backend, const BlowfishTables& t, const BytePlanes* planes,
                     std::uint8_t* data, std::size_t len, Chain& chain) noexcept {
    const std::size_t min_run = g_min_run.load(std::memory_order_relaxed);
    std::size_t threads = len >= min_run ? thread_budget() : 1;
    WorkerPool* workers = threads > 1 ? pool() : nullptr;
    if (workers != nullptr) threads = std::min(threads, workers->workers() + 1);
    // Parts of whole 4 KiB pieces (whole batches for every kernel), each at
    // least half the threshold.
    constexpr std::size_t kPiece = 4096;
    threads = std::min(threads, len / std::max(kPiece, min_run / 2));
    if (workers == nullptr || threads < 2) {
        backend.decrypt(t, planes, data, len, chain);
        return;
    }
    Run run{&backend, &t, planes, {}};
    const std::size_t share = len / threads / kPiece * kPiece;
    for (std::size_t i = 0; i < threads; ++i) {
        std::uint8_t* const from = data + i * share;
        const std::size_t part_len = i + 1 < threads ? share : len - i * share;
        // Each part chains from the ciphertext block before it, which the
        // part before will have overwritten: read it now.
        const Chain before = i == 0 ? chain : Chain{load_be32(from - 8), load_be32(from - 4)};
        run.parts[i] = {from, part_len, before};
    }
    if (!workers->try_run(threads, &decrypt_part, &run)) {
        backend.decrypt(t, planes, data, len, chain);
        return;
    }
    chain = run.parts[threads - 1].chain;
}

ScopedDecryptThreads::ScopedDecryptThreads(std::size_t threads, std::size_t min_run) noexcept
    : previous_threads_(g_thread_limit.exchange(threads, std::memory_order_relaxed)),
      previous_min_run_(g_min_run.exchange(min_run, std::memory_order_relaxed)) {}

ScopedDecryptThreads::~ScopedDecryptThreads() {
    g_thread_limit.store(previous_threads_, std::memory_order_relaxed);
    g_min_run.store(previous_min_run_, std::memory_order_relaxed);
}

}  // namespace clscrypt::detail
