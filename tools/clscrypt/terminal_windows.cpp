// The tool's operating-system side on Windows.
//
// Text is UTF-8 inside the tool, as on other systems: the arguments come
// from the wide command line, environment variables from the wide
// environment, paths are built from UTF-8 as UTF-16 paths, and the console
// is switched to UTF-8 output. Standard input and output are in binary mode,
// so ciphertext and decrypted files pass through pipes byte for byte (text
// mode would turn "\n" into "\r\n" and stop reading at a 0x1A byte). File
// descriptors are the C runtime's.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <iostream>
#include <string>

#include "errors.hpp"
#include "terminal.hpp"

namespace clscrypt::tool {

namespace {

std::string to_utf8(const wchar_t* text, int length) {
    if (length == 0) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) ::WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

std::string to_utf8(const std::wstring& text) {
    return to_utf8(text.data(), static_cast<int>(text.size()));
}

std::wstring to_wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = static_cast<int>(utf8.size());
    const int size = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), n, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), n, out.data(), size);
    return out;
}

// What one _read or _write may move: its count is an unsigned int, and its
// result an int.
unsigned one_call(std::size_t size) {
    return size > (1U << 30) ? (1U << 30) : static_cast<unsigned>(size);
}

bool is_console(DWORD which) {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != 0;
}

// Restores the console's input mode however the prompt ends.
class EchoOff {
public:
    explicit EchoOff(HANDLE input) : input_(input) {
        if (::GetConsoleMode(input_, &saved_) != 0) {
            active_ = ::SetConsoleMode(input_, (saved_ & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                                                   ENABLE_PROCESSED_INPUT) != 0;
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    ~EchoOff() {
        if (active_) ::SetConsoleMode(input_, saved_);
    }

private:
    HANDLE input_;
    DWORD saved_ = 0;
    bool active_ = false;
};

void write_console(HANDLE output, const std::wstring& text) {
    DWORD written = 0;
    ::WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

std::vector<std::string> prepare_process(int argc, char** argv) {
    ::_setmode(_fileno(stdin), _O_BINARY);
    ::_setmode(_fileno(stdout), _O_BINARY);
    ::SetConsoleOutputCP(CP_UTF8);
    // The progress bar redraws itself with "\r\033[K".
    const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (::GetConsoleMode(err, &mode) != 0) ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);

    int count = 0;
    wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) return {argv, argv + argc};
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) arguments.push_back(to_utf8(wide[i], static_cast<int>(std::wcslen(wide[i]))));
    ::LocalFree(wide);
    return arguments;
}

bool stdout_is_terminal() {
    return is_console(STD_OUTPUT_HANDLE);
}
bool stderr_is_terminal() {
    return is_console(STD_ERROR_HANDLE);
}

int console_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) {
        return info.srWindow.Right - info.srWindow.Left + 1;
    }
    return 0;
}

std::optional<SecretText> ask_hidden(const std::string& prompt) {
    const HANDLE input = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       nullptr, OPEN_EXISTING, 0, nullptr);
    if (input == INVALID_HANDLE_VALUE) return std::nullopt;
    const HANDLE output = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        ::CloseHandle(input);
        return std::nullopt;
    }
    std::wstring line;
    wchar_t buf[256];
    {
        EchoOff quiet(input);
        write_console(output, to_wide(prompt));
        for (;;) {
            DWORD got = 0;
            if (::ReadConsoleW(input, buf, 256, &got, nullptr) == 0 || got == 0) break;
            line.append(buf, got);
            if (line.find(L'\n') != std::wstring::npos) break;
        }
        write_console(output, L"\r\n");  // the Enter key that echo did not show
    }
    ::CloseHandle(output);
    ::CloseHandle(input);
    std::size_t length = line.find_first_of(L"\r\n");
    if (length == std::wstring::npos) length = line.size();
    std::string utf8 = to_utf8(line.data(), static_cast<int>(length));
    SecretText secret;
    for (const char c : utf8) secret.push_back(c);
    clscrypt::Wipe(utf8.data(), utf8.size());
    clscrypt::Wipe(line.data(), line.size() * sizeof(wchar_t));
    clscrypt::Wipe(buf, sizeof buf);
    return secret;
}

std::filesystem::path path_from_utf8(const std::string& utf8) {
    return std::filesystem::path(to_wide(utf8));
}

std::string path_to_utf8(const std::filesystem::path& path) {
    return to_utf8(path.native());
}

std::optional<std::string> environment_variable(const std::string& name) {
    const wchar_t* value = ::_wgetenv(to_wide(name).c_str());
    if (value == nullptr) return std::nullopt;
    return to_utf8(value, static_cast<int>(std::wcslen(value)));
}

int open_for_reading(const std::filesystem::path& path, std::string& error) {
    const int fd = ::_wopen(path.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0) error = system_reason();
    return fd;
}

long long read_some(int fd, void* data, std::size_t size, std::string& error) {
    const int got = ::_read(fd, data, one_call(size));
    if (got < 0) error = system_reason();
    return got;
}

long long write_some(int fd, const void* data, std::size_t size, std::string& error) {
    const int put = ::_write(fd, data, one_call(size));
    if (put < 0) error = system_reason();
    return put;
}

int close_status(int fd) noexcept {
    return ::_close(fd) == 0 ? 0 : errno;
}

bool unread(int fd, std::size_t count) {
    struct _stat64 st {};
    if (::_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return false;
    return ::_lseeki64(fd, -static_cast<long long>(count), SEEK_CUR) >= 0;
}

bool same_open_file(int a, int b) {
    if (a == b) return true;
    // Files have an identity (volume and index); pipes and consoles do not,
    // and only the same number counts for them.
    const auto ha = reinterpret_cast<HANDLE>(::_get_osfhandle(a));
    const auto hb = reinterpret_cast<HANDLE>(::_get_osfhandle(b));
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    if (ha == INVALID_HANDLE_VALUE || hb == INVALID_HANDLE_VALUE || ::GetFileInformationByHandle(ha, &ia) == 0 ||
        ::GetFileInformationByHandle(hb, &ib) == 0) {
        return false;
    }
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
}

}  // namespace clscrypt::tool
