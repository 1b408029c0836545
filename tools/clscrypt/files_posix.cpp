// The tool's own side of its outputs on POSIX systems: the signal clean-up,
// what an in-place rewrite keeps (owner, group, mode, times), and the held
// file. The file steps themselves are the platform layer's (src/platform).

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "errors.hpp"
#include "files.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

namespace {

// Every signal whose default action ends the process and that a handler may
// catch: only SIGKILL (and a crash of the tool itself) can leave a temporary
// file behind. The crash signals stay with their default (and with the
// sanitizers' handlers in those builds).
constexpr int kCleanupSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1,
                                   SIGUSR2, SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGPOLL, SIGABRT};

void unlink_quietly(const char* path) noexcept {
    ::unlink(path);
}

void write_to_stderr(const char* data, std::size_t size) noexcept {
    (void)!::write(STDERR_FILENO, data, size);
}

extern "C" void cleanup_and_raise(int sig) {
    const int saved = errno;
    stop_creating_temporaries();
    remove_temporaries(unlink_quietly);
    // Back to the start of the line and clear it, "^C" and all.
    clear_progress_line(write_to_stderr);
    ::signal(sig, SIG_DFL);
    ::raise(sig);  // delivered, with its default action, once this returns
    errno = saved;
}

}  // namespace

bool links_to_standard_output(const std::filesystem::path& path) {
    struct stat link {
    }, named{}, out{};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return false;
    return ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 && named.st_dev == out.st_dev &&
           named.st_ino == out.st_ino;
}

std::optional<std::uint64_t> remaining_file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0 || at > st.st_size) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size - at);
}

namespace {
sigset_t cleanup_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : kCleanupSignals) sigaddset(&set, sig);
    return set;
}
}  // namespace

CreationGuard::CreationGuard() {
    static_assert(sizeof(sigset_t) <= sizeof saved_mask_);
    const sigset_t block = cleanup_signal_set();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &block, &old);
    std::memcpy(saved_mask_, &old, sizeof old);
    // The run is ending: this thread waits for the end, its signals held back.
    while (!enter_creation()) ::pause();
}

CreationGuard::~CreationGuard() {
    leave_creation();
    sigset_t old;
    std::memcpy(&old, saved_mask_, sizeof old);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

void nap() noexcept {
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
}

void install_signal_cleanup() {
    struct sigaction action {};
    action.sa_handler = cleanup_and_raise;
    sigemptyset(&action.sa_mask);
    for (const int sig : kCleanupSignals) sigaddset(&action.sa_mask, sig);
    for (const int sig : kCleanupSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;  // as nohup left it
        ::sigaction(sig, &action, nullptr);
    }
}

std::optional<HeldFile::Stamp> HeldFile::stamp_of(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Stamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                 static_cast<std::uint64_t>(st.st_size),
                 static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

platform::FileHandle HeldFile::open_locked(const std::filesystem::path& path, bool& busy) {
    std::error_code ec;
    const int fd = platform::open_for_reading(path, ec);
    if (fd < 0) return fd;
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == EWOULDBLOCK) {
        platform::close_file(fd, ec);
        busy = true;
        return platform::kNoFile;
    }
    return fd;
}

void HeldFile::release_for_replacement() {
    // A rename replaces a name whatever holds the file: the lock stays.
}

bool HeldFile::descriptor_is(const Stamp& now) const {
    // The name may have been moved away and another file put in its place.
    struct stat st {};
    return ::fstat(fd_, &st) == 0 && static_cast<std::uint64_t>(st.st_ino) == now.inode &&
           static_cast<std::uint64_t>(st.st_dev) == now.device;
}

}  // namespace clscrypt::tool
