#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>

#include "common/error_numbers.hpp"
#include "platform/file.hpp"

namespace clscrypt::platform {

namespace {

// The same numbers as file_windows.cpp maps to; the loops below follow its
// shape with this system's calls (what both share is in file_common.cpp).
using errnum::kDeviceIoError;
using errnum::kDiskFull;
using errnum::kFileNotFound;
using errnum::kPathFileAccessError;
using errnum::kPathNotFound;
using errnum::kPermissionDenied;

int open_retrying(const char* path, int flags, mode_t mode = 0) {
    int fd = -1;
    do {
        fd = ::open(path, flags | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// As many symbolic links as Linux follows in one lookup (MAXSYMLINKS).
constexpr int kMaxLinks = 40;

std::error_code last_error() noexcept {
    return {errno, std::system_category()};
}

void sync_folder(const std::filesystem::path& folder) {
    std::error_code ec;
    if (!flush_folder(folder, ec)) throw_file_error(ec.value(), FileOp::Replace, folder, "flush the folder");
}

}  // namespace

std::int32_t file_error_number(int err, FileOp op) noexcept {
    switch (err) {
        case ENOENT: return op == FileOp::Open ? kFileNotFound : kPathNotFound;
        case ENOTDIR: return kPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS: return kPermissionDenied;
        case ENOSPC:
        case EDQUOT:
        case EFBIG: return kDiskFull;
        case EISDIR:
        case ELOOP:
        case ENAMETOOLONG:
        case EBUSY:
        case ETXTBSY:
        case EXDEV:
        case EEXIST: return kPathFileAccessError;
        default: return kDeviceIoError;
    }
}

bool file_exists(const std::filesystem::path& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

InputFile::InputFile(const std::filesystem::path& path) : path_(path) {
    fd_ = open_retrying(path.c_str(), O_RDONLY);
    if (fd_ < 0) {
        throw_file_error(errno, FileOp::Open, path, "open");
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int err = errno;
        ::close(fd_);
        throw_file_error(err, FileOp::Open, path, "read the size of");
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd_);
        throw_file_error(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, FileOp::Open, path, "read (not a regular file)");
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), size_(other.size_), path_(std::move(other.path_)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
        path_ = std::move(other.path_);
    }
    return *this;
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t InputFile::read(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got = ::read(fd_, out.data() + done, out.size() - done);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw_file_error(errno, FileOp::Read, path_, "read");
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    return done;
}

std::filesystem::path followed_links(const std::filesystem::path& dest) {
    std::filesystem::path at = dest;
    for (int links = 0;; ++links) {
        struct stat st {};
        // A name that cannot be looked up is left as it is: creating the file
        // beside it then reports the system's reason.
        if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        if (links == kMaxLinks) {
            throw_file_error(ELOOP, FileOp::Create, dest, "follow the symbolic links of");
        }
        std::string to(256, '\0');
        for (;;) {
            const ssize_t n = ::readlink(at.c_str(), to.data(), to.size());
            if (n < 0) {
                throw_file_error(errno, FileOp::Create, at, "read the symbolic link");
            }
            if (static_cast<std::size_t>(n) < to.size()) {
                to.resize(static_cast<std::size_t>(n));
                break;
            }
            to.resize(to.size() * 2);  // it may have been cut short
        }
        // A relative link means a name in the link's own folder.
        const std::filesystem::path next(to);
        at = next.is_absolute() ? next : at.parent_path() / next;
    }
}

OutputFile::OutputFile(const std::filesystem::path& dest) : dest_(followed_links(dest)) {
    struct stat st {};
    if (::stat(dest_.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            throw_file_error(EISDIR, FileOp::Create, dest_, "replace");
        }
        if (!S_ISREG(st.st_mode)) {
            open_stream();
            if (stream_) return;
        }
    }
    create_temporary();
}

void OutputFile::open_stream() {
    // Not truncated: a device takes the bytes where it stands, and a FIFO has
    // nothing to truncate. Opening a FIFO waits for its reader.
    fd_ = open_retrying(dest_.c_str(), O_WRONLY | O_NOCTTY);
    if (fd_ < 0) {
        throw_file_error(errno, FileOp::Open, dest_, "open for writing");
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const int err = errno;
        ::close(std::exchange(fd_, -1));
        throw_file_error(err, FileOp::Open, dest_, "open for writing");
    }
    if (S_ISREG(st.st_mode)) {
        // A regular file took the name since it was looked at: nothing was
        // written through this descriptor, and the file is replaced after all.
        ::close(std::exchange(fd_, -1));
        return;
    }
    stream_ = true;
}

void OutputFile::create_temporary() {
    const std::filesystem::path folder = dest_.has_parent_path() ? dest_.parent_path() : std::filesystem::path(".");
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp_ = temporary_name_beside(folder, dest_.filename());
        // Exclusive creation: never open a file someone else made.
        std::error_code ec;
        bool exists = false;
        fd_ = create_new_file(temp_, 0666, exists, ec);
        if (fd_ >= 0) return;
        if (!exists) {
            temp_.clear();
            throw_file_error(ec.value(), FileOp::Create, folder / dest_.filename(), "create a file beside");
        }
    }
    temp_.clear();
    throw_file_error(EEXIST, FileOp::Create, dest_, "find a free temporary name beside");
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

void OutputFile::write(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(fd_, data.data() + done, data.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            throw_file_error(errno, FileOp::Write, dest_, "write");
        }
        done += static_cast<std::size_t>(put);
    }
    written_ += data.size();
    // Start writing what we have to disk now, a megabyte at a time,
    // without waiting for it: the disk then works while the next chunks are
    // enciphered, and the flush in commit() finds little left to do. Left
    // alone, the system would hold everything back until that flush and the
    // whole file would wait for the disk at the end.
    constexpr std::uint64_t kWriteBack = std::uint64_t{1} << 20;
    if (!stream_ && written_ - started_ >= kWriteBack) {
        start_write_back(fd_, started_, written_ - started_);
        started_ = written_;
    }
}

void OutputFile::commit() {
    if (stream_) {
        // A block device holds its bytes in the system's cache until
        // flushed; FIFOs and character devices have nothing to flush.
        if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
            throw_file_error(errno, FileOp::Write, dest_, "flush to disk");
        }
        if (::close(std::exchange(fd_, -1)) != 0) {
            throw_file_error(errno, FileOp::Write, dest_, "close");
        }
        return;
    }
    // Keep the permissions of the file being replaced. Only a missing
    // destination has none to keep: any other failure to read them stops
    // the replacement rather than change them.
    struct stat st {};
    if (::stat(dest_.c_str(), &st) == 0) {
        if (::fchmod(fd_, st.st_mode & 07777) != 0) {
            throw_file_error(errno, FileOp::Write, dest_, "copy the permissions of");
        }
    } else if (errno != ENOENT) {
        throw_file_error(errno, FileOp::Replace, dest_, "read the permissions of");
    }
    if (::fsync(fd_) != 0) {
        throw_file_error(errno, FileOp::Write, dest_, "flush to disk");
    }
    const int fd = std::exchange(fd_, -1);
    if (::close(fd) != 0) {
        throw_file_error(errno, FileOp::Write, dest_, "close");
    }
    std::error_code ec;
    if (rename_file(temp_, dest_, true, ec) != RenameResult::Done) {
        throw_file_error(ec.value(), FileOp::Replace, dest_, "replace");
    }
    temp_.clear();
    sync_folder(dest_.has_parent_path() ? dest_.parent_path() : std::filesystem::path("."));
}

FileHandle create_new_file(const std::filesystem::path& path, unsigned mode, bool& exists, std::error_code& ec) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, static_cast<mode_t>(mode));
    exists = fd < 0 && errno == EEXIST;
    if (fd < 0) ec = last_error();
    return fd;
}

FileHandle open_for_reading(const std::filesystem::path& path, std::error_code& ec) {
    const int fd = open_retrying(path.c_str(), O_RDONLY | O_NOCTTY);
    if (fd < 0) ec = last_error();
    return fd;
}

FileHandle open_for_writing(const std::filesystem::path& path, std::error_code& ec) {
    const int fd = open_retrying(path.c_str(), O_WRONLY | O_NOCTTY);
    if (fd < 0) ec = last_error();
    return fd;
}

bool close_file(FileHandle handle, std::error_code& ec) {
    // Not retried on EINTR: the descriptor is released whatever close says.
    if (::close(handle) == 0) return true;
    ec = last_error();
    return false;
}

bool write_file(FileHandle handle, std::span<const std::uint8_t> data, std::error_code& ec) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t put = ::write(handle, data.data() + done, data.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            ec = last_error();
            return false;
        }
        done += static_cast<std::size_t>(put);
    }
    return true;
}

void start_write_back(FileHandle handle, std::uint64_t offset, std::uint64_t length) noexcept {
#if defined(__linux__)
    (void)::sync_file_range(handle, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
#else
    (void)handle, (void)offset, (void)length;
#endif
}

bool flush_file(FileHandle handle, std::error_code& ec) {
    if (::fsync(handle) == 0) return true;
    ec = last_error();
    return false;
}

RenameResult rename_file(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                         std::error_code& ec) {
    if (replace) {
        if (::rename(from.c_str(), to.c_str()) == 0) return RenameResult::Done;
        ec = last_error();
        return RenameResult::Failed;
    }
#if defined(RENAME_NOREPLACE)
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return RenameResult::Done;
    if (errno == EEXIST) return RenameResult::Exists;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
        ec = last_error();
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
        ec = last_error();
        return RenameResult::Failed;
    }
    // A file system without hard links either: check, then rename (a race
    // remains only there).
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) return RenameResult::Exists;
    if (::rename(from.c_str(), to.c_str()) == 0) return RenameResult::Done;
    ec = last_error();
    return RenameResult::Failed;
}

bool flush_folder(const std::filesystem::path& folder, std::error_code& ec) {
    const int fd = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        ec = last_error();
        return false;
    }
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    // Some file systems cannot flush a folder; that is no failure.
    if (rc != 0 && err != EINVAL && err != EROFS) {
        ec = {err, std::system_category()};
        return false;
    }
    return true;
}

void remove_file(const std::filesystem::path& path) noexcept {
    ::unlink(path.c_str());
}

FileHandle create_unnamed_file(std::filesystem::path& folder, std::error_code& ec) {
    const char* tmpdir = std::getenv("TMPDIR");
    folder = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
#if defined(O_TMPFILE)
    const int fd = open_retrying(folder.c_str(), O_RDWR | O_TMPFILE | O_EXCL, 0600);
    if (fd >= 0) return fd;
    // Only a file system without unnamed files is worth the second way.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        ec = last_error();
        return -1;
    }
#endif
    std::string name = (folder / ".clscrypt.XXXXXX").string();
    const int named = ::mkostemp(name.data(), O_CLOEXEC);
    if (named < 0) {
        ec = last_error();
        return -1;
    }
    ::unlink(name.c_str());
    return named;
}

bool read_file(FileHandle handle, std::span<std::uint8_t> out, std::size_t& got, std::error_code& ec) {
    got = 0;
    while (got < out.size()) {
        const ssize_t n = ::read(handle, out.data() + got, out.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            ec = last_error();
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

bool rewind_file(FileHandle handle, std::error_code& ec) {
    if (::lseek(handle, 0, SEEK_SET) == 0) return true;
    ec = last_error();
    return false;
}

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

bool keep_owner_and_mode(FileHandle fd, const FileFacts& facts, std::error_code& ec) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ec = last_error();
        return false;
    }
    // Asked only when it differs: a user rewriting a file of their own
    // needs no right to give files away.
    const auto owner = static_cast<uid_t>(facts.owner);
    const auto group = static_cast<gid_t>(facts.group);
    if ((st.st_uid != owner || st.st_gid != group) && ::fchown(fd, owner, group) != 0) {
        ec = last_error();
        return false;
    }
    // After the owner: a change of owner clears the set-ID bits.
    if (::fchmod(fd, static_cast<mode_t>(facts.mode)) != 0) {
        ec = last_error();
        return false;
    }
    return true;
}

bool keep_times(FileHandle fd, const FileFacts& facts, std::error_code& ec) {
    const timespec times[2] = {{static_cast<time_t>(facts.accessed_s), static_cast<long>(facts.accessed_ns)},
                               {static_cast<time_t>(facts.modified_s), static_cast<long>(facts.modified_ns)}};
    if (::futimens(fd, times) == 0) return true;
    ec = last_error();
    return false;
}

unsigned permission_bits(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return 0666;
    return static_cast<unsigned>(st.st_mode) & 0777U;
}

}  // namespace clscrypt::platform
