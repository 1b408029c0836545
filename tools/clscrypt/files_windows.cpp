// The tool's own side of its outputs on Windows: the clean-up on the
// console's events, what an in-place rewrite keeps, and the held file. The
// file steps themselves are the platform layer's (src/platform).

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <csignal>
#include <utility>

#include "errors.hpp"
#include "files.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

namespace {

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

std::optional<std::uint64_t> remaining_file_size(int fd) {
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFREG) == 0) return std::nullopt;
    const long long at = ::_telli64(fd);
    if (at < 0 || at > st.st_size) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size - at);
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

platform::FileHandle HeldFile::open_locked(const std::filesystem::path& path, bool& busy) {
    std::error_code ec;
    const platform::FileHandle h = platform::open_for_reading(path, ec);
    if (h == platform::kNoFile) return h;
    OVERLAPPED whole{};
    if (!::LockFileEx(static_cast<HANDLE>(h), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                      MAXDWORD, &whole)) {
        platform::close_file(h, ec);
        busy = true;
        return platform::kNoFile;
    }
    return h;
}

void HeldFile::release_for_replacement() {
    // Held without delete sharing, the file cannot be replaced, by this run
    // either: its name has just been checked, and the replacement follows.
    std::error_code ignored;  // only read: nothing to lose
    if (fd_ != platform::kNoFile) platform::close_file(std::exchange(fd_, platform::kNoFile), ignored);
}

bool HeldFile::descriptor_is(const Stamp&) const {
    // Opened without delete sharing, the file can be neither renamed nor
    // replaced while it is held: its name still means it.
    return true;
}

}  // namespace clscrypt::tool
