#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

void sync_folder(const std::filesystem::path& folder) {
    const int fd = open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        throw_file_error(errno, FileOp::Replace, folder, "open the folder to flush it");
    }
    const int rc = ::fsync(fd);
    const int err = errno;
    ::close(fd);
    // Some file systems cannot flush a folder; that is no failure of ours.
    if (rc != 0 && err != EINVAL && err != EROFS) {
        throw_file_error(err, FileOp::Replace, folder, "flush the folder");
    }
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
        fd_ = open_retrying(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd_ >= 0) return;
        if (errno != EEXIST) {
            const int err = errno;
            temp_.clear();
            throw_file_error(err, FileOp::Create, folder / dest_.filename(), "create a file beside");
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
#if defined(__linux__)
    // Start writing what we have to disk now, a megabyte at a time,
    // without waiting for it: the disk then works while the next chunks are
    // enciphered, and the flush in commit() finds little left to do. Left
    // alone, the system would hold everything back until that flush and the
    // whole file would wait for the disk at the end. A failure here changes
    // nothing: commit() still flushes and reports.
    constexpr std::uint64_t kWriteBack = std::uint64_t{1} << 20;
    if (!stream_ && written_ - started_ >= kWriteBack) {
        (void)::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(written_ - started_),
                                SYNC_FILE_RANGE_WRITE);
        started_ = written_;
    }
#endif
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
    if (::rename(temp_.c_str(), dest_.c_str()) != 0) {
        throw_file_error(errno, FileOp::Replace, dest_, "replace");
    }
    temp_.clear();
    sync_folder(dest_.has_parent_path() ? dest_.parent_path() : std::filesystem::path("."));
}

}  // namespace clscrypt::platform
