// The half of the file layer that is the same on every system: how a failure
// reads, and the temporary names beside a destination. Each system's file
// (file_posix.cpp, file_windows.cpp) maps its own error codes to numbers and
// does the system calls.

#include <string>
#include <system_error>

#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"
#include "platform/file.hpp"
#include "platform/random.hpp"

namespace clscrypt::platform {

namespace {

// The path in quotes, as UTF-8 (on POSIX the bytes as the system gave them).
std::string quoted(const std::filesystem::path& p) {
    const std::u8string utf8 = p.u8string();
    std::string s(1, '\'');
    s.append(utf8.begin(), utf8.end());
    s.push_back('\'');
    return s;
}

}  // namespace

void throw_file_error(int err, FileOp op, const std::filesystem::path& path, const char* doing) {
    const std::int32_t number = file_error_number(err, op);
    const std::error_code ec(err, std::system_category());
    const std::string description =
        StandardDescription(number) + ": cannot " + doing + " " + quoted(path) + " (" + ec.message() + ")";
    throw RuntimeError(number, description, {}, ec);
}

void InputFile::expect_end() {
    std::uint8_t probe = 0;
    if (read(std::span<std::uint8_t>(&probe, 1)) != 0) {
        throw RuntimeError(errnum::kDeviceIoError, StandardDescription(errnum::kDeviceIoError) + ": " + quoted(path_) +
                                                       " grew while it was read");
    }
}

std::filesystem::path temporary_name_beside(const std::filesystem::path& folder,
                                            const std::filesystem::path& filename) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uint8_t random[8];
    system_random(random);
    std::string letters;
    for (const std::uint8_t r : random) letters += kLetters[r % 36];
    std::filesystem::path name(".");
    name += filename.native();
    name += "." + letters + ".tmp";
    return folder / name;
}

}  // namespace clscrypt::platform
