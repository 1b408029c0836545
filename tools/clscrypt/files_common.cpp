// The part of the tool's outputs that the system's sides (files_posix.cpp,
// files_windows.cpp) share: the loops over their calls, the register of
// temporary files for the signal handlers, and the held file's checks.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>

#include <clscrypt/error.hpp>

#include "errors.hpp"
#include "files.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace {

// The temporary files the signal handlers remove. A slot is claimed (1),
// filled, and published (2); the handler reads only published slots, so it
// never sees a name being written. Fixed storage: a handler may not
// allocate. A longer name is not registered (and no system call takes it).
constexpr int kSlots = 256;
constexpr std::size_t kPathUnits = 4096;
struct TemporarySlot {
    std::atomic<int> state{0};  // 0 free, 1 being filled, 2 published
    std::filesystem::path::value_type path[kPathUnits]{};
};
TemporarySlot g_temporaries[kSlots];
std::atomic<bool> g_progress_shown{false};
std::atomic<int> g_progress_plain{0};  // columns to overwrite; 0: erased by "\r\033[K"
// A carriage return and the spaces that overwrite a plain terminal's line.
constexpr std::size_t kBlankColumns = 512;
constexpr auto kBlank = [] {
    std::array<char, 1 + kBlankColumns> blank{};
    blank.fill(' ');
    blank[0] = '\r';
    return blank;
}();
// Threads creating a temporary file, and whether the run is ending.
std::atomic<int> g_creating{0};
std::atomic<bool> g_ending{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

}  // namespace

bool same_file(const std::filesystem::path& a, const std::filesystem::path& b) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

bool write_fd(int fd, const std::uint8_t* data, std::size_t size, std::string& error) {
    while (size > 0) {
        const long long put = write_some(fd, data, size, error);
        if (put < 0) return false;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool close_checked(int fd, std::string& error) {
    const int status = close_status(fd);
    if (status == 0) return true;
    error = std::strerror(status);
    return false;
}

int protect_temporary(const std::filesystem::path& path) {
    const auto& native = path.native();
    if (native.size() >= kPathUnits) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (!g_temporaries[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(g_temporaries[i].path, native.c_str(), (native.size() + 1) * sizeof native[0]);
        g_temporaries[i].state.store(2);
        return i;
    }
    return -1;
}

int temporary_slots() noexcept {
    return kSlots;
}

// A handler and a creating thread each write their own flag, then read the
// other's (sequentially consistent): either the handler sees the thread
// counted and waits for it, or the thread sees the end and creates nothing.
bool enter_creation() noexcept {
    g_creating.fetch_add(1);
    if (!g_ending.load()) return true;
    g_creating.fetch_sub(1);
    return false;
}

void leave_creation() noexcept {
    g_creating.fetch_sub(1);
}

void stop_creating_temporaries() noexcept {
    g_ending.store(true);
    for (int waited = 0; g_creating.load() > 0 && waited < 2000; ++waited) nap();
}

std::filesystem::path followed_links(const std::filesystem::path& path) {
    try {
        return platform::followed_links(path);
    } catch (const RuntimeError&) {
        return path;  // a loop, or a link that cannot be read: creating the file there says why
    }
}

void release_temporary(int slot) noexcept {
    if (slot >= 0 && slot < kSlots) g_temporaries[slot].state.store(0);
}

void set_progress_line_shown(bool shown) noexcept {
    g_progress_shown.store(shown);
}

void remove_temporaries(void (*remove)(const std::filesystem::path::value_type* path) noexcept) noexcept {
    for (auto& slot : g_temporaries) {
        if (slot.state.load() == 2) remove(slot.path);
    }
}

void set_progress_line_plain(int columns) noexcept {
    g_progress_plain.store(columns);
}

void clear_progress_line(void (*write)(const char* data, std::size_t size) noexcept) noexcept {
    if (!g_progress_shown.exchange(false)) return;
    const int plain = g_progress_plain.load();
    if (plain <= 0) {
        write("\r\033[K", 4);
        return;
    }
    write(kBlank.data(), 1 + std::min(kBlankColumns, static_cast<std::size_t>(plain)));
    write("\r", 1);
}

HeldFile::HeldFile(const std::filesystem::path& path) : path_(path) {
    bool busy = false;
    fd_ = open_locked(path, busy);
    if (busy) {
        throw ToolError(shown_path(path) + ": another run is rewriting it in place; nothing was written", kExitFailure);
    }
    if (fd_ == platform::kNoFile) return;  // the cipher reports a missing or unreadable file in its own words
    // Where the system has no locks, the identity check still catches a change.
    stamp_ = stamp_of(path);
}

HeldFile::~HeldFile() {
    std::error_code ignored;  // only read: nothing to lose
    if (fd_ != platform::kNoFile) platform::close_file(fd_, ignored);
}

void HeldFile::check_unchanged() const {
    if (fd_ == platform::kNoFile) return;
    const auto now = stamp_of(path_);
    if (!stamp_ || !now || *now != *stamp_ || !descriptor_is(*now)) {
        throw ToolError(
            shown_path(path_) + ": changed while it was rewritten in place; left as the other writer made it",
            kExitFailure);
    }
}

}  // namespace clscrypt::tool
