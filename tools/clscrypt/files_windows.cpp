// The system's side of the tool's outputs on Windows. Descriptors are the C
// runtime's, as in terminal_windows.cpp; the final step is MoveFileExW,
// which without MOVEFILE_REPLACE_EXISTING never replaces an existing name.

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <random>

#include "errors.hpp"
#include "files.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

namespace {

std::string reason_of(DWORD code) {
    char buf[512] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, buf,
                                     sizeof buf, nullptr);
    std::string text(buf, n);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) text.pop_back();
    return text.empty() ? "system error " + std::to_string(code) : text;
}

void delete_quietly(const wchar_t* path) noexcept {
    ::DeleteFileW(path);
}

void write_to_stderr(const char* data, std::size_t size) noexcept {
    (void)!::_write(2, data, static_cast<unsigned>(size));
}

void clean_up() {
    stop_creating_temporaries();
    remove_temporaries(delete_quietly);
    clear_progress_line(write_to_stderr);
}

// Ctrl+C, Ctrl+Break and the console closing run on a thread of their own.
BOOL WINAPI on_console_event(DWORD) {
    clean_up();
    return FALSE;  // the default handler ends the process
}

extern "C" void on_signal(int sig) {
    clean_up();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

}  // namespace

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
    return f;  // no device and inode here: names are compared instead
}

// Windows keeps owners and access lists of its own; the new file takes the
// folder's, as the system's own copy does. Its times are not yet carried over.
bool keep_owner_and_mode(int, const FileFacts&, std::string&) {
    return true;
}
bool keep_times(int, const FileFacts&, std::string&) {
    return true;
}

bool links_to_standard_output(const std::filesystem::path&) {
    return false;
}

CreationGuard::CreationGuard() {
    // The run is ending: this thread waits for the end.
    while (!enter_creation()) ::Sleep(INFINITE);
}

CreationGuard::~CreationGuard() {
    leave_creation();
}

void nap() noexcept {
    ::Sleep(1);
}

unsigned permission_bits(const std::filesystem::path& path) {
    std::error_code ec;
    const auto perms = std::filesystem::status(path, ec).permissions();
    return ec ? 0666U : static_cast<unsigned>(perms) & 0777U;
}

std::optional<std::uint64_t> remaining_file_size(int fd) {
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFREG) == 0) return std::nullopt;
    const long long at = ::_telli64(fd);
    if (at < 0 || at > st.st_size) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size - at);
}

int create_exclusive(const std::filesystem::path& path, unsigned mode, bool& exists, std::string& error) {
    // Shared for deletion, so that the console handler can remove it while
    // it is still open.
    const DWORD attributes = (mode & 0200U) != 0 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
    const HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                   CREATE_NEW, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = ::GetLastError();
        exists = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
        error = reason_of(code);
        return -1;
    }
    exists = false;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        ::DeleteFileW(path.c_str());
        error = "no file descriptor left";
    }
    return fd;
}

int open_existing_for_writing(const std::filesystem::path& path, std::string& error) {
    const int fd = ::_wopen(path.c_str(), _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) error = system_reason();
    return fd;
}

void start_write_back(int, std::uint64_t, std::uint64_t) noexcept {}

bool flush_to_disk(int fd, std::string& error) {
    if (::_commit(fd) == 0) return true;
    error = system_reason();
    return false;
}

RenameResult rename_file(const std::filesystem::path& from, const std::filesystem::path& to, bool replace,
                         std::string& error) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return RenameResult::Done;
    const DWORD code = ::GetLastError();
    if (!replace && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)) return RenameResult::Exists;
    error = reason_of(code);
    return RenameResult::Failed;
}

void flush_folder_of(const std::filesystem::path&) {
    // MOVEFILE_WRITE_THROUGH has already made the new name durable.
}

int create_unnamed_temporary(std::string& error) {
    // The folder TMP, TEMP or the profile names; the file goes with its last handle.
    wchar_t folder[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) {
        error = "the temporary folder: " + reason_of(::GetLastError());
        return -1;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::filesystem::path name =
            std::filesystem::path(folder) / path_from_utf8(".clscrypt." + random_letters(8) + ".tmp");
        const HANDLE h = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_FILE_EXISTS) continue;
            error = path_to_utf8(std::filesystem::path(folder)) + ": " + reason_of(code);
            return -1;
        }
        const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR | _O_BINARY);
        if (fd < 0) {
            ::CloseHandle(h);
            error = "cannot use a temporary file";
            return -1;
        }
        return fd;
    }
    error = path_to_utf8(std::filesystem::path(folder)) + ": no free temporary name";
    return -1;
}

bool rewind_fd(int fd, std::string& error) {
    if (::_lseeki64(fd, 0, SEEK_SET) == 0) return true;
    error = system_reason();
    return false;
}

void remove_file(const std::filesystem::path& path) noexcept {
    ::DeleteFileW(path.c_str());
}

std::string random_bytes(std::size_t count) {
    // Exclusive creation keeps another's file safe; the letters need only
    // make a clash unlikely.
    std::random_device random;
    std::string out(count, '\0');
    for (char& c : out) c = static_cast<char>(random());
    return out;
}

void install_signal_cleanup() {
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
}

std::optional<HeldFile::Stamp> HeldFile::stamp_of(const std::filesystem::path& path) {
    const HANDLE h =
        ::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::nullopt;
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL ok = ::GetFileInformationByHandle(h, &info);
    ::CloseHandle(h);
    if (!ok) return std::nullopt;
    return Stamp{info.dwVolumeSerialNumber,
                 (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
                 (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
                 static_cast<std::int64_t>((static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                           info.ftLastWriteTime.dwLowDateTime)};
}

int HeldFile::open_locked(const std::filesystem::path& path, bool& busy) {
    const int fd = ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) return fd;
    OVERLAPPED whole{};
    const auto h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
    if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
        ::_close(fd);
        busy = true;
        return -1;
    }
    return fd;
}

bool HeldFile::descriptor_is(const Stamp&) const {
    // Opened without delete sharing, the file can be neither renamed nor
    // replaced while it is held: its name still means it.
    return true;
}

}  // namespace clscrypt::tool
