// The system's side of the tool's outputs on POSIX systems.

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
#include <fstream>

#include "errors.hpp"
#include "files.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

namespace {

// The library has the same loop (platform/file_posix.cpp), but inside it: the
// tool links only the public library, which may be a shared one.
int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

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

NodeKind node_kind(const std::filesystem::path& path) {
    struct stat st {};
    // A name that cannot be looked up counts as free: creating the file
    // beside it then reports the system's reason.
    if (::stat(path.c_str(), &st) != 0) return NodeKind::Missing;
    if (S_ISREG(st.st_mode)) return NodeKind::Regular;
    if (S_ISDIR(st.st_mode)) return NodeKind::Folder;
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return NodeKind::Stream;
    return NodeKind::Other;
}

std::optional<FileFacts> file_facts(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    FileFacts f;
    f.device = static_cast<std::uint64_t>(st.st_dev);
    f.inode = static_cast<std::uint64_t>(st.st_ino);
    f.links = static_cast<std::uint64_t>(st.st_nlink);
    f.owner = static_cast<std::uint32_t>(st.st_uid);
    f.group = static_cast<std::uint32_t>(st.st_gid);
    f.mode = static_cast<unsigned>(st.st_mode) & 07777U;
    f.accessed_s = static_cast<std::int64_t>(st.st_atim.tv_sec);
    f.accessed_ns = static_cast<std::int64_t>(st.st_atim.tv_nsec);
    f.modified_s = static_cast<std::int64_t>(st.st_mtim.tv_sec);
    f.modified_ns = static_cast<std::int64_t>(st.st_mtim.tv_nsec);
    return f;
}

bool keep_owner_and_mode(int fd, const FileFacts& facts, std::string& error) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = system_reason();
        return false;
    }
    // Asked only when it differs: a user rewriting a file of their own
    // needs no right to give files away.
    const auto owner = static_cast<uid_t>(facts.owner);
    const auto group = static_cast<gid_t>(facts.group);
    if ((st.st_uid != owner || st.st_gid != group) && ::fchown(fd, owner, group) != 0) {
        error = system_reason();
        return false;
    }
    // After the owner: a change of owner clears the set-ID bits.
    if (::fchmod(fd, static_cast<mode_t>(facts.mode)) != 0) {
        error = system_reason();
        return false;
    }
    return true;
}

bool keep_times(int fd, const FileFacts& facts, std::string& error) {
    const timespec times[2] = {{static_cast<time_t>(facts.accessed_s), static_cast<long>(facts.accessed_ns)},
                               {static_cast<time_t>(facts.modified_s), static_cast<long>(facts.modified_ns)}};
    if (::futimens(fd, times) == 0) return true;
    error = system_reason();
    return false;
}

bool links_to_standard_output(const std::filesystem::path& path) {
    struct stat link {
    }, named{}, out{};
    if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return false;
    return ::stat(path.c_str(), &named) == 0 && ::fstat(STDOUT_FILENO, &out) == 0 && named.st_dev == out.st_dev &&
           named.st_ino == out.st_ino;
}

unsigned permission_bits(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0666;
    return static_cast<unsigned>(st.st_mode) & 0777U;
}

std::optional<std::uint64_t> remaining_file_size(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    const off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0 || at > st.st_size) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size - at);
}

int create_exclusive(const std::filesystem::path& path, unsigned mode, bool& exists, std::string& error) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
    exists = fd < 0 && errno == EEXIST;
    if (fd < 0) error = system_reason();
    return fd;
}

int open_existing_for_writing(const std::filesystem::path& path, std::string& error) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_NOCTTY);
    if (fd < 0) error = system_reason();
    return fd;
}

void start_write_back(int fd, std::uint64_t offset, std::uint64_t length) noexcept {
#if defined(__linux__)
    (void)::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)fd, (void)offset, (void)length;
#endif
}

bool flush_to_disk(int fd, std::string& error) {
    if (::fsync(fd) == 0) return true;
    error = system_reason();
    return false;
}

RenameResult rename_file(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                         std::string& error) {
    if (replace) {
        if (::rename(from.c_str(), to.c_str()) == 0) return RenameResult::Done;
        error = system_reason();
        return RenameResult::Failed;
    }
#if defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return RenameResult::Done;
    if (errno == EEXIST) return RenameResult::Exists;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        error = system_reason();
        return RenameResult::Failed;
    }
#endif
    // No no-replace rename here: a second hard link is as atomic, and the
    // temporary name then goes.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return RenameResult::Done;
    }
    if (errno == EEXIST) return RenameResult::Exists;
    if (errno != EPERM && errno != ENOTSUP && errno != EOPNOTSUPP && errno != EMLINK) {
        error = system_reason();
        return RenameResult::Failed;
    }
    // A file system without hard links either: check, then rename (a race
    // remains only there).
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return RenameResult::Exists;
    if (::rename(from.c_str(), to.c_str()) == 0) return RenameResult::Done;
    error = system_reason();
    return RenameResult::Failed;
}

void flush_folder_of(const std::filesystem::path& file) {
    const std::filesystem::path folder = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    const int fd = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;  // the file is complete either way; only its name may not survive a crash
    (void)::fsync(fd);
    ::close(fd);
}

int create_unnamed_temporary(std::string& error) {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
#if defined(O_TMPFILE)
    const int fd = open_retrying(folder.c_str(), O_RDWR | O_TMPFILE | O_EXCL, 0600);
    if (fd >= 0) return fd;
    // Only a file system without unnamed files is worth the second way.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        error = folder + ": " + system_reason();
        return -1;
    }
#endif
    std::string name = folder + "/.clscrypt.XXXXXX";
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named < 0) {
        error = folder + ": " + system_reason();
        return -1;
    }
    ::unlink(name.c_str());
    return named;
}

bool rewind_fd(int fd, std::string& error) {
    if (::lseek(fd, 0, SEEK_SET) == 0) return true;
    error = system_reason();
    return false;
}

void remove_file(const std::filesystem::path& path) noexcept {
    ::unlink(path.c_str());
}

std::string random_bytes(std::size_t count) {
    std::ifstream random("/dev/urandom", std::ios::binary);
    std::string out(count, '\0');
    if (!random.read(out.data(), static_cast<std::streamsize>(count))) {
        throw ToolError("cannot read /dev/urandom for a temporary name", kExitFailure);
    }
    return out;
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

int HeldFile::open_locked(const std::filesystem::path& path, bool& busy) {
    const int fd = open_retrying(path.c_str(), O_RDONLY | O_NOCTTY);
    if (fd < 0) return fd;
    int rc = 0;
    do {
        rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        busy = true;
        return -1;
    }
    return fd;
}

bool HeldFile::descriptor_is(const Stamp& now) const {
    // The name may have been moved away and another file put in its place.
    struct stat st {};
    return ::fstat(fd_, &st) == 0 && static_cast<std::uint64_t>(st.st_ino) == now.inode &&
           static_cast<std::uint64_t>(st.st_dev) == now.device;
}

}  // namespace clscrypt::tool
