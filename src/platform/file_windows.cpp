// Files on Windows: wide-character paths throughout (std::filesystem::path
// holds UTF-16 there), HANDLEs, and a crash-safe replacement.
//
// Replacement. The new content goes to a file created exclusively beside the
// destination and flushed with FlushFileBuffers. An existing destination is
// then replaced with ReplaceFileW, which keeps its attributes, security
// descriptor and creation time, as the POSIX side keeps the permissions; a
// new destination is put in place with MoveFileExW(MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH), which returns only once the rename is on disk.
// Both rename within one folder, so the destination is at every moment the
// old file or the complete new one. NTFS journals the folder change itself:
// Windows has no separate folder flush.
//
// A destination that is a symbolic link (or another reparse point) is
// replaced at the file the system finds at the end of its chain; a link whose
// target does not exist is replaced itself. A character device (NUL, a
// console) or a named pipe is written into, as on POSIX.

#include <windows.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <utility>

#include "common/error_numbers.hpp"
#include "platform/file.hpp"

namespace clscrypt::platform {

namespace {

// The same numbers as file_posix.cpp maps to; the loops below follow its
// shape with this system's calls (what both share is in file_common.cpp).
using errnum::kDeviceIoError;
using errnum::kDiskFull;
using errnum::kFileNotFound;
using errnum::kPathFileAccessError;
using errnum::kPathNotFound;
using errnum::kPermissionDenied;

HANDLE as_handle(FileHandle h) noexcept {
    return static_cast<HANDLE>(h);
}

// CreateFileW's failure value is INVALID_HANDLE_VALUE; ours is kNoFile.
FileHandle checked(HANDLE h) noexcept {
    return h == INVALID_HANDLE_VALUE ? kNoFile : h;
}

int last_error() noexcept {
    return static_cast<int>(::GetLastError());
}

// The name GetFinalPathNameByHandleW gives, without the "\\?\" it puts in
// front: "\\?\C:\x" becomes "C:\x", "\\?\UNC\server\x" becomes
// "\\server\x".
std::filesystem::path without_long_prefix(std::wstring name) {
    if (name.rfind(L"\\\\?\\UNC\\", 0) == 0) return L"\\" + name.substr(7);
    if (name.rfind(L"\\\\?\\", 0) == 0 && name.size() > 6 && name[5] == L':') return name.substr(4);
    return name;
}

}  // namespace

std::int32_t file_error_number(int err, FileOp op) noexcept {
    switch (static_cast<DWORD>(err)) {
        case ERROR_FILE_NOT_FOUND: return op == FileOp::Open ? kFileNotFound : kPathNotFound;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH: return kPathNotFound;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_PRIVILEGE_NOT_HELD: return kPermissionDenied;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case ERROR_FILE_TOO_LARGE: return kDiskFull;
        case ERROR_DIRECTORY:  // what this file reports for a folder where a file belongs
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_INVALID_NAME:
        case ERROR_NOT_SAME_DEVICE:
        case ERROR_UNABLE_TO_REMOVE_REPLACED:
        case ERROR_UNABLE_TO_MOVE_REPLACEMENT:
        case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: return kPathFileAccessError;
        default: return kDeviceIoError;
    }
}

bool file_exists(const std::filesystem::path& path) noexcept {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

InputFile::InputFile(const std::filesystem::path& path) : path_(path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw_file_error(ERROR_DIRECTORY, FileOp::Open, path, "read (not a regular file)");
    }
    // Shared for writing and deletion: the source may be the destination
    // that the replacement takes over while it is still open here (and a
    // writer meanwhile is caught by the size checks).
    fd_ = checked(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (fd_ == kNoFile) {
        throw_file_error(last_error(), FileOp::Open, path, "open");
    }
    if (::GetFileType(as_handle(fd_)) != FILE_TYPE_DISK) {
        ::CloseHandle(as_handle(fd_));
        fd_ = kNoFile;
        throw_file_error(ERROR_DIRECTORY, FileOp::Open, path, "read (not a regular file)");
    }
    LARGE_INTEGER size{};
    if (::GetFileSizeEx(as_handle(fd_), &size) == 0) {
        const int err = last_error();
        ::CloseHandle(as_handle(fd_));
        fd_ = kNoFile;
        throw_file_error(err, FileOp::Open, path, "read the size of");
    }
    size_ = static_cast<std::uint64_t>(size.QuadPart);
}

InputFile::InputFile(InputFile&& other) noexcept
    : fd_(std::exchange(other.fd_, kNoFile)), size_(other.size_), path_(std::move(other.path_)) {}

InputFile& InputFile::operator=(InputFile&& other) noexcept {
    if (this != &other) {
        if (fd_ != kNoFile) ::CloseHandle(as_handle(fd_));
        fd_ = std::exchange(other.fd_, kNoFile);
        size_ = other.size_;
        path_ = std::move(other.path_);
    }
    return *this;
}

InputFile::~InputFile() {
    if (fd_ != kNoFile) ::CloseHandle(as_handle(fd_));
}

std::size_t InputFile::read(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 1U << 30));
        DWORD got = 0;
        if (::ReadFile(as_handle(fd_), out.data() + done, want, &got, nullptr) == 0) {
            throw_file_error(last_error(), FileOp::Read, path_, "read");
        }
        if (got == 0) break;
        done += got;
    }
    return done;
}

std::filesystem::path followed_links(const std::filesystem::path& dest) {
    const DWORD attributes = ::GetFileAttributesW(dest.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return dest;
    }
    // Opened without access rights, which follows the whole chain; the
    // system then names the file at its end. A link whose target does not
    // exist cannot be opened: it is left as it is and replaced itself.
    const HANDLE h = ::CreateFileW(dest.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return dest;
    std::wstring name(MAX_PATH, L'\0');
    constexpr DWORD kFlags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    DWORD n = ::GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), kFlags);
    if (n >= name.size()) {  // too short: n is the size needed
        name.resize(n);
        n = ::GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()), kFlags);
    }
    ::CloseHandle(h);
    if (n == 0 || n >= name.size()) return dest;
    name.resize(n);
    return without_long_prefix(std::move(name));
}

OutputFile::OutputFile(const std::filesystem::path& dest) : dest_(followed_links(dest)) {
    const DWORD attributes = ::GetFileAttributesW(dest_.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        throw_file_error(ERROR_DIRECTORY, FileOp::Create, dest_, "replace");
    }
    // The C runtime's view, as the tool takes it: NUL and the consoles are
    // character devices, named pipes FIFOs.
    std::error_code ec;
    const std::filesystem::file_type type = std::filesystem::status(dest_, ec).type();
    if (type == std::filesystem::file_type::character || type == std::filesystem::file_type::fifo) {
        open_stream();
        if (stream_) return;
    }
    create_temporary();
}

void OutputFile::open_stream() {
    // OPEN_EXISTING: a device or pipe is written into, never created or
    // truncated.
    fd_ = checked(::CreateFileW(dest_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (fd_ == kNoFile) {
        throw_file_error(last_error(), FileOp::Open, dest_, "open for writing");
    }
    if (::GetFileType(as_handle(fd_)) == FILE_TYPE_DISK) {
        // A file on disk after all: nothing was written through this handle,
        // and the file is replaced.
        ::CloseHandle(as_handle(std::exchange(fd_, kNoFile)));
        return;
    }
    stream_ = true;
}

void OutputFile::create_temporary() {
    const std::filesystem::path folder = dest_.has_parent_path() ? dest_.parent_path() : std::filesystem::path(".");
    for (int attempt = 0; attempt < 16; ++attempt) {
        temp_ = temporary_name_beside(folder, dest_.filename());
        // CREATE_NEW: never open a file someone else made.
        fd_ = checked(
            ::CreateFileW(temp_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (fd_ != kNoFile) return;
        const int err = last_error();
        if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) {
            temp_.clear();
            throw_file_error(err, FileOp::Create, folder / dest_.filename(), "create a file beside");
        }
    }
    temp_.clear();
    throw_file_error(ERROR_FILE_EXISTS, FileOp::Create, dest_, "find a free temporary name beside");
}

OutputFile::~OutputFile() {
    if (fd_ != kNoFile) ::CloseHandle(as_handle(fd_));
    if (!temp_.empty()) ::DeleteFileW(temp_.c_str());
}

void OutputFile::write(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1U << 30));
        DWORD put = 0;
        if (::WriteFile(as_handle(fd_), data.data() + done, want, &put, nullptr) == 0) {
            throw_file_error(last_error(), FileOp::Write, dest_, "write");
        }
        done += put;
    }
}

void OutputFile::commit() {
    if (stream_) {
        // Nothing to flush: FlushFileBuffers on a pipe would wait for the
        // reader to take every byte.
        if (::CloseHandle(as_handle(std::exchange(fd_, kNoFile))) == 0) {
            throw_file_error(last_error(), FileOp::Write, dest_, "close");
        }
        return;
    }
    if (::FlushFileBuffers(as_handle(fd_)) == 0) {
        throw_file_error(last_error(), FileOp::Write, dest_, "flush to disk");
    }
    const HANDLE h = as_handle(std::exchange(fd_, kNoFile));
    if (::CloseHandle(h) == 0) {
        throw_file_error(last_error(), FileOp::Write, dest_, "close");
    }
    // Full paths with the system's separators: ReplaceFileW works out the
    // folder of each name itself.
    std::error_code ec;
    std::filesystem::path dest = std::filesystem::absolute(dest_, ec);
    std::filesystem::path temp = std::filesystem::absolute(temp_, ec);
    dest.make_preferred();
    temp.make_preferred();
    bool replaced = false;
    if (::GetFileAttributesW(dest.c_str()) != INVALID_FILE_ATTRIBUTES) {
        if (::ReplaceFileW(dest.c_str(), temp.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) !=
            0) {
            replaced = true;
        } else {
            const int err = last_error();
            // The destination went away meanwhile: a plain rename serves.
            // On other failures ReplaceFileW has left the destination as it
            // was (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 cannot happen without a
            // backup name), and the temporary file goes with this object.
            if (err != ERROR_FILE_NOT_FOUND) {
                throw_file_error(err, FileOp::Replace, dest_, "replace");
            }
        }
    }
    if (!replaced &&
        ::MoveFileExW(temp.c_str(), dest.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        throw_file_error(last_error(), FileOp::Replace, dest_, "replace");
    }
    temp_.clear();
}

namespace {

std::error_code windows_error() noexcept {
    return {last_error(), std::system_category()};
}

}  // namespace

FileHandle create_new_file(const std::filesystem::path& path, unsigned mode, bool& exists, std::error_code& ec) {
    const DWORD attributes = (mode & 0200U) != 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    const FileHandle h = checked(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                               nullptr, CREATE_NEW, attributes, nullptr));
    exists = false;
    if (h == kNoFile) {
        const int err = last_error();
        exists = err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
        ec = {err, std::system_category()};
    }
    return h;
}

FileHandle open_for_reading(const std::filesystem::path& path, std::error_code& ec) {
    // Shared for reading and writing but not deletion: a file held open so
    // can be neither renamed nor replaced meanwhile.
    const FileHandle h = checked(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h == kNoFile) ec = windows_error();
    return h;
}

FileHandle open_for_writing(const std::filesystem::path& path, std::error_code& ec) {
    const FileHandle h = checked(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h == kNoFile) ec = windows_error();
    return h;
}

bool close_file(FileHandle handle, std::error_code& ec) {
    if (::CloseHandle(as_handle(handle)) != 0) return true;
    ec = windows_error();
    return false;
}

bool write_file(FileHandle handle, std::span<const std::uint8_t> data, std::error_code& ec) {
    std::size_t done = 0;
    while (done < data.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1U << 30));
        DWORD put = 0;
        if (::WriteFile(as_handle(handle), data.data() + done, want, &put, nullptr) == 0) {
            ec = windows_error();
            return false;
        }
        done += put;
    }
    return true;
}

void start_write_back(FileHandle, std::uint64_t, std::uint64_t) noexcept {}

bool flush_file(FileHandle handle, std::error_code& ec) {
    if (::FlushFileBuffers(as_handle(handle)) != 0) return true;
    ec = windows_error();
    return false;
}

RenameResult rename_file(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                         std::error_code& ec) {
    // Without MOVEFILE_REPLACE_EXISTING an existing name is never replaced;
    // MOVEFILE_WRITE_THROUGH returns once the rename is on disk.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return RenameResult::Done;
    const DWORD code = ::GetLastError();
    if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) return RenameResult::Exists;
    ec = {static_cast<int>(code), std::system_category()};
    return RenameResult::Failed;
}

bool flush_folder(const std::filesystem::path&, std::error_code&) {
    // MOVEFILE_WRITE_THROUGH has made the new name durable already.
    return true;
}

void remove_file(const std::filesystem::path& path) noexcept {
    ::DeleteFileW(path.c_str());
}

FileHandle create_unnamed_file(std::filesystem::path& folder, std::error_code& ec) {
    // The folder TMP, TEMP or the profile names; the file goes with its last handle.
    wchar_t buffer[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    if (length == 0 || length > MAX_PATH) {
        ec = windows_error();
        return kNoFile;
    }
    folder = buffer;
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::filesystem::path name = temporary_name_beside(folder, L"clscrypt");
        const FileHandle h = checked(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                                   FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (h != kNoFile) return h;
        if (::GetLastError() != ERROR_FILE_EXISTS) break;
    }
    ec = windows_error();
    return kNoFile;
}

bool read_file(FileHandle handle, std::span<std::uint8_t> out, std::size_t& got, std::error_code& ec) {
    got = 0;
    while (got < out.size()) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - got, 1U << 30));
        DWORD n = 0;
        if (::ReadFile(as_handle(handle), out.data() + got, want, &n, nullptr) == 0) {
            ec = windows_error();
            return false;
        }
        if (n == 0) break;
        got += n;
    }
    return true;
}

bool rewind_file(FileHandle handle, std::error_code& ec) {
    LARGE_INTEGER zero{};
    if (::SetFilePointerEx(as_handle(handle), zero, nullptr, FILE_BEGIN) != 0) return true;
    ec = windows_error();
    return false;
}

NodeKind node_kind(const std::filesystem::path& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    switch (status.type()) {
        case std::filesystem::file_type::not_found: return NodeKind::Missing;
        case std::filesystem::file_type::regular: return NodeKind::Regular;
        case std::filesystem::file_type::directory: return NodeKind::Folder;
        case std::filesystem::file_type::character:
        case std::filesystem::file_type::fifo: return NodeKind::Stream;
        default: return NodeKind::Other;
    }
}

std::optional<FileFacts> file_facts(const std::filesystem::path& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return std::nullopt;
    FileFacts f;
    f.links = static_cast<std::uint64_t>(std::filesystem::hard_link_count(path, ec));
    if (ec) f.links = 1;
    f.mode = static_cast<unsigned>(status.permissions()) & 0777U;
    // The times as the system keeps them (100 ns since 1601), in the
    // seconds and nanoseconds the facts hold; only keep_times reads them.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    f.has_times = false;
    if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) != 0) {
        const auto split = [](const FILETIME& t, std::int64_t& s, std::int64_t& ns) {
            const std::uint64_t ticks = (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
            s = static_cast<std::int64_t>(ticks / 10000000U);
            ns = static_cast<std::int64_t>(ticks % 10000000U) * 100;
        };
        split(data.ftLastAccessTime, f.accessed_s, f.accessed_ns);
        split(data.ftLastWriteTime, f.modified_s, f.modified_ns);
        f.has_times = true;
    }
    return f;  // no device and inode here: names are compared instead
}

// Windows keeps owners and access lists of its own; the new file takes the
// folder's, as the system's own copy does.
bool keep_owner_and_mode(FileHandle, const FileFacts&, std::error_code&) {
    return true;
}

bool keep_times(FileHandle file, const FileFacts& facts, std::error_code& ec) {
    if (!facts.has_times) return true;  // none were read: the new file keeps its own
    const auto join = [](std::int64_t s, std::int64_t ns) {
        const std::uint64_t ticks = static_cast<std::uint64_t>(s) * 10000000U + static_cast<std::uint64_t>(ns) / 100U;
        return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    };
    const FILETIME accessed = join(facts.accessed_s, facts.accessed_ns);
    const FILETIME modified = join(facts.modified_s, facts.modified_ns);
    if (::SetFileTime(file, nullptr, &accessed, &modified) != 0) return true;
    ec = windows_error();
    return false;
}

unsigned permission_bits(const std::filesystem::path& path) {
    std::error_code ec;
    const auto perms = std::filesystem::status(path, ec).permissions();
    return ec ? 0666U : static_cast<unsigned>(perms) & 0777U;
}

}  // namespace clscrypt::platform
