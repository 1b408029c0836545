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

// Persistent worker threads serving one caller at a time.
//
// A round is a run cut into pieces that the caller and the workers take one
// at a time from a shared counter. Nobody waits for a worker to arrive: the
// caller starts on the pieces at once, a worker that wakes in time takes
// some, and one that wakes late finds the round closed and goes back to
// sleep. So a busy machine, where the workers get no processor, costs the
// caller no more than the wake-up call; an idle one shares the work evenly
// whatever the wake-up latency.
class WorkerPool {
public:
    using Piece = void (*)(void* context, std::size_t piece) noexcept;

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

    // The pool a forked parent left behind: its threads do not exist in
    // this process and its mutex may be held, so it is never touched again,
    // only kept reachable (it is not leaked memory, just memory that cannot
    // be given back safely).
    WorkerPool* inherited = nullptr;

    // Runs piece(context, i) for every i below `count`, on the calling
    // thread and on up to `helpers` workers, and returns when all are done;
    // or returns false at once, having run nothing, when another caller has
    // the pool. `overlap`, when given, is called on the calling thread once
    // the workers have been woken, before it takes pieces itself.
    bool try_run(std::size_t count, std::size_t helpers, Piece piece, void* context,
                 const Overlap* overlap = nullptr) noexcept {
        if (busy_.exchange(true, std::memory_order_acquire)) return false;
        next_.store(0, std::memory_order_relaxed);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            piece_ = piece;
            context_ = context;
            count_ = count;
            helpers_ = helpers;
            open_ = true;
            ++round_;
        }
        start_.notify_all();
        if (overlap != nullptr) overlap->call(overlap->context);
        take_pieces();
        {
            // Close the round; wait only for the workers that joined it.
            std::unique_lock<std::mutex> lock(mutex_);
            open_ = false;
            done_.wait(lock, [this] { return active_ == 0; });
        }
        busy_.store(false, std::memory_order_release);
        return true;
    }

private:
    void take_pieces() noexcept {
        for (std::size_t i = next_.fetch_add(1, std::memory_order_relaxed); i < count_;
             i = next_.fetch_add(1, std::memory_order_relaxed)) {
            piece_(context_, i);
        }
    }

    void work(std::size_t number) noexcept {
        std::uint64_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            start_.wait(lock, [&] { return round_ != seen; });
            seen = round_;
            if (!open_ || number > helpers_) continue;
            ++active_;
            lock.unlock();
            take_pieces();
            lock.lock();
            if (--active_ == 0) done_.notify_one();
        }
    }

    std::mutex mutex_;
    std::condition_variable start_;
    std::condition_variable done_;
    // The round, set by the caller under the mutex before the workers look.
    std::uint64_t round_ = 0;
    bool open_ = false;
    std::size_t helpers_ = 0;
    std::size_t count_ = 0;
    Piece piece_ = nullptr;
    void* context_ = nullptr;
    std::size_t active_ = 0;  // workers in the round
    std::atomic<std::size_t> next_{0};
    std::atomic<bool> busy_{false};
    const std::uint64_t generation_;
    std::vector<std::thread> threads_;
};

std::atomic<WorkerPool*> g_pool{nullptr};
// The most threads a run may use; 0 for as many as the processor has. One by
// default: nothing is shared out, and no worker is ever started, unless the
// program asks (SetDecryptionThreads).
std::atomic<std::size_t> g_thread_limit{1};
std::atomic<std::size_t> g_min_run{kParallelMinRun};

// The processor count, read once: the C library reads it from the system
// (a file open and read on Linux) on every call, and a long run asks once a
// chunk.
std::size_t hardware_threads() noexcept {
    static const std::size_t count = std::max<std::size_t>(1, std::thread::hardware_concurrency());
    return count;
}

std::size_t thread_budget() noexcept {
    const std::size_t limit = g_thread_limit.load(std::memory_order_relaxed);
    const std::size_t hardware = hardware_threads();
    return std::min({limit == 0 ? hardware : limit, hardware, kMaxDecryptThreads});
}

// The pool of this process, started on the first run that may use more than
// one thread, with the workers that run may use (`threads`, the caller's
// included); null when there is none to be had.
WorkerPool* pool(std::size_t threads) noexcept {
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
    if (threads < 2) return nullptr;
    WorkerPool* const stale = p;
    try {
        p = new WorkerPool(threads - 1, generation);
    } catch (...) {
        return nullptr;  // no threads to be had: the caller works alone
    }
    p->inherited = stale;
    g_pool.store(p, std::memory_order_release);
    return p;
}

// Pieces are whole multiples of 4 KiB (whole batches for every kernel),
// at least 16 KiB (less when tests lower the shortest shared run), and at
// most 64 to a run.
constexpr std::size_t kPieceUnit = 4096;
constexpr std::size_t kMinPiece = 16384;
constexpr std::size_t kMaxPieces = 64;

struct Run {
    const CbcBackend* backend;
    const BlowfishTables* tables;
    const BytePlanes* planes;
    std::uint8_t* data;
    std::size_t len;
    std::size_t piece_len;
    std::size_t count;
    std::array<Chain, kMaxPieces> chains;  // piece i's chaining value, in and out
};

void decrypt_piece(void* context, std::size_t i) noexcept {
    Run& run = *static_cast<Run*>(context);
    const std::size_t from = i * run.piece_len;
    const std::size_t n = i + 1 < run.count ? run.piece_len : run.len - from;
    run.backend->decrypt(*run.tables, run.planes, run.data + from, n, run.chains[i]);
}

}  // namespace

void cbc_decrypt_run(const CbcBackend& backend, const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data,
                     std::size_t len, Chain& chain, const Overlap** overlap) noexcept {
    const std::size_t min_run = g_min_run.load(std::memory_order_relaxed);
    const std::size_t threads = len >= min_run ? thread_budget() : 1;
    WorkerPool* workers = threads > 1 ? pool(threads) : nullptr;
    const std::size_t count = std::min(kMaxPieces, len / std::clamp(min_run / 64, kPieceUnit, kMinPiece));
    if (workers == nullptr || workers->workers() == 0 || count < 2) {
        backend.decrypt(t, planes, data, len, chain);
        return;
    }
    Run run{&backend, &t, planes, data, len, len / count / kPieceUnit * kPieceUnit, count, {}};
    // Each piece chains from the ciphertext block before it, which the
    // piece before will overwrite: read them all now.
    run.chains[0] = chain;
    for (std::size_t i = 1; i < count; ++i) {
        const std::uint8_t* before = data + i * run.piece_len - 8;
        run.chains[i] = {load_be32(before), load_be32(before + 4)};
    }
    const Overlap* const side = overlap != nullptr ? *overlap : nullptr;
    if (!workers->try_run(count, threads - 1, &decrypt_piece, &run, side)) {
        backend.decrypt(t, planes, data, len, chain);
        return;
    }
    if (side != nullptr) *overlap = nullptr;
    chain = run.chains[count - 1];
}

void set_decryption_thread_limit(std::size_t threads) noexcept {
    g_thread_limit.store(threads, std::memory_order_relaxed);
}

std::size_t decryption_shared_run() noexcept {
    return g_min_run.load(std::memory_order_relaxed);
}

std::size_t decryption_thread_budget() noexcept {
    return thread_budget();
}

ScopedDecryptThreads::ScopedDecryptThreads(std::size_t threads, std::size_t min_run) noexcept
    : previous_threads_(g_thread_limit.exchange(threads, std::memory_order_relaxed)),
      previous_min_run_(g_min_run.exchange(min_run, std::memory_order_relaxed)) {}

ScopedDecryptThreads::~ScopedDecryptThreads() {
    g_thread_limit.store(previous_threads_, std::memory_order_relaxed);
    g_min_run.store(previous_min_run_, std::memory_order_relaxed);
}

}  // namespace clscrypt::detail
