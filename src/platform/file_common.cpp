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

namespace {

// The longest file name most file systems take: bytes on POSIX, UTF-16
// units on Windows.
constexpr std::size_t kNameMax = 255;
// "." NAME "." + 8 letters + ".tmp"
constexpr std::size_t kAdded = 1 + 1 + 8 + 4;

// A unit that continues a character: a UTF-8 continuation byte, or the
// second half of a UTF-16 surrogate pair.
template <typename Unit>
bool continues_a_character(Unit u) {
    if constexpr (sizeof(Unit) == 1) {
        return (static_cast<unsigned char>(u) & 0xC0) == 0x80;
    } else {
        return static_cast<std::uint32_t>(u) >= 0xDC00 && static_cast<std::uint32_t>(u) <= 0xDFFF;
    }
}

}  // namespace

std::filesystem::path temporary_name_beside(const std::filesystem::path& folder,
                                            const std::filesystem::path& filename) {
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::uint8_t random[8];
    system_random(random);
    std::string letters;
    for (const std::uint8_t r : random) letters += kLetters[r % 36];
    auto stem = filename.native();
    if (stem.size() + kAdded > kNameMax) {
        std::size_t cut = kNameMax - kAdded;
        while (cut > 0 && continues_a_character(stem[cut])) --cut;
        stem.resize(cut);
    }
    std::filesystem::path name(".");
    name += stem;
    name += "." + letters + ".tmp";
    return folder / name;
}

bool is_temporary_name(const std::filesystem::path& filename) {
    const auto& name = filename.native();     // compared unit by unit: the form is ASCII
    constexpr std::size_t kTail = 1 + 8 + 4;  // "." + 8 letters or digits + ".tmp"
    if (name.size() < 1 + 1 + kTail || name.front() != '.') return false;
    const std::size_t dot = name.size() - kTail;
    if (name[dot] != '.') return false;
    const char* const kEnd = ".tmp";
    for (std::size_t i = 0; i < 4; ++i) {
        if (name[name.size() - 4 + i] != kEnd[i]) return false;
    }
    for (std::size_t i = dot + 1; i < dot + 9; ++i) {
        const auto c = name[i];
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

}  // namespace clscrypt::platform
