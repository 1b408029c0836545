// The platform layer's Windows side: the system's random source, the default
// code page and the built-in tables against the system's own conversions,
// files under wide-character paths, crash-safe replacement and the error
// numbers, plus known answers of the cipher and the digest on this build.

#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "clscrypt/clscrypt.hpp"
#include "platform/file.hpp"
#include "platform/random.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

bool built_in(int number) {
    for (const int n : CodePage::Available()) {
        if (n == number) return true;
    }
    return false;
}

TEST(WindowsRandom, FillsFromTheSystem) {
    std::vector<std::uint8_t> a(4096), b(4096);
    platform::system_random(a);
    platform::system_random(b);
    EXPECT_NE(a, b);
    // 4096 random bytes without a single 0xFF has probability about 1e-7.
    EXPECT_NE(std::find(a.begin(), a.end(), 0xFF), a.end());
    std::vector<std::uint8_t> empty;
    platform::system_random(empty);
}

TEST(WindowsCodePage, DefaultFollowsTheAnsiCodePage) {
    const int acp = static_cast<int>(::GetACP());
    // CLSCRYPT_EXPECT_ACP lets CTest check that another system locale took effect.
    if (const char* expected = std::getenv("CLSCRYPT_EXPECT_ACP")) {
        ASSERT_EQ(acp, std::atoi(expected));
    }
    EXPECT_EQ(CodePage().Number(), built_in(acp) ? acp : 1252);
    EXPECT_EQ(clsToString().GetCodePage(), CodePage());
}

// The built-in tables must give what the system's conversions give: every
// byte to its character, and every character back to its byte or, without
// best-fit mappings, to "?".
TEST(WindowsCodePage, TablesAgreeWithTheSystem) {
    for (const int number : CodePage::Available()) {
        const auto n = static_cast<UINT>(number);
        if (::IsValidCodePage(n) == 0) {
            ADD_FAILURE() << "the system lacks code page " << number;
            continue;
        }
        const CodePage cp = CodePage::FromNumber(number);
        for (int b = 0; b < 256; ++b) {
            const char byte = static_cast<char>(b);
            wchar_t wc = 0;
            ASSERT_EQ(::MultiByteToWideChar(n, 0, &byte, 1, &wc, 1), 1) << number << " byte " << b;
            EXPECT_EQ(cp.ToChar(static_cast<std::uint8_t>(b)), static_cast<char16_t>(wc))
                << "code page " << number << " byte " << b;
        }
        int differences = 0;
        for (std::uint32_t c = 0; c < 0x10000 && differences < 5; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF) continue;
            const auto wc = static_cast<wchar_t>(c);
            char out[4] = {};
            BOOL used_default = FALSE;
            const int len = ::WideCharToMultiByte(n, WC_NO_BEST_FIT_CHARS, &wc, 1, out, sizeof out, "?", &used_default);
            const bool system_has = len == 1 && used_default == FALSE;
            const auto expected = static_cast<std::uint8_t>(system_has ? out[0] : '?');
            if (cp.Contains(static_cast<char16_t>(c)) != system_has ||
                cp.ToByte(static_cast<char16_t>(c)) != expected) {
                ++differences;
                ADD_FAILURE() << "code page " << number << " character U+" << std::hex << c << ": library "
                              << int(cp.ToByte(static_cast<char16_t>(c))) << ", system " << int(expected);
            }
        }
    }
}

class WindowsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        // Cyrillic, CJK and a character outside the BMP (a surrogate pair in UTF-16).
        dir_ = fs::temp_directory_path() / fs::path(u8"clscrypt Файлы 文件 \U0001F512");
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir_, ec)) {
            fs::permissions(entry.path(), fs::perms::owner_write, fs::perm_options::add, ec);
        }
        fs::remove_all(dir_, ec);
    }

    static void write(const fs::path& p, const std::string& content) { std::ofstream(p, std::ios::binary) << content; }
    static std::string read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

TEST_F(WindowsFiles, RoundTripUnderWidePaths) {
    const fs::path plain = dir_ / fs::path(u8"отчёт 報告.txt");
    const fs::path sealed = dir_ / fs::path(u8"отчёт 報告.txt.cls");
    const fs::path back = dir_ / fs::path(u8"\U0001F512.txt");
    const std::string content = "first line\r\nsecond line\n\x1A after a Ctrl-Z byte\n";
    write(plain, content);
    clsToString cipher;
    cipher.Key(u"ключ");
    cipher.EncryptFile(plain, sealed);  // a new destination: MoveFileExW
    EXPECT_EQ(fs::file_size(sealed), 8 * ((content.size() + 12 + 7) / 8));
    cipher.DecryptFile(sealed, back);
    EXPECT_EQ(read(back), content);
    EXPECT_EQ(entries(), 3U) << "a temporary file was left behind";
}

TEST_F(WindowsFiles, ReplacesAnExistingDestination) {
    const fs::path plain = dir_ / "plain.txt";
    const fs::path dest = dir_ / fs::path(u8"données.cls");
    write(plain, std::string(3 << 20, 'x'));  // several chunks
    write(dest, "old content");
    clsToString cipher;
    cipher.Key(u"k");
    cipher.EncryptFile(plain, dest);  // ReplaceFileW
    cipher.DecryptFile(dest, dest);   // in place
    EXPECT_EQ(read(dest), read(plain));
    EXPECT_EQ(entries(), 2U);
}

TEST_F(WindowsFiles, FailuresLeaveTheDestinationAlone) {
    const fs::path plain = dir_ / "plain.txt";
    const fs::path dest = dir_ / "locked.cls";
    write(plain, "data");
    write(dest, "keep me");
    fs::permissions(dest, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);  // FILE_ATTRIBUTE_READONLY
    clsToString cipher;
    EXPECT_EQ(error_number([&] { cipher.EncryptFile(plain, dest); }), 70);
    EXPECT_EQ(read(dest), "keep me");
    EXPECT_EQ(entries(), 2U) << "a temporary file was left behind";

    struct Case {
        fs::path source, dest;
        std::int32_t number;
    };
    const Case cases[] = {
        {dir_ / "absent.txt", dir_ / "out.cls", RuntimeError::ClassError},
        {plain, dir_ / "no such folder" / "out.cls", 76},
        {dir_, dir_ / "out.cls", 75},
        {plain, dir_, 75},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_number([&] { cipher.EncryptFile(c.source, c.dest); }), c.number)
            << c.source.u8string().size() << " " << c.dest.u8string().size();
    }
    EXPECT_EQ(entries(), 2U);
}

TEST(WindowsFileErrors, SystemErrorsBecomeRunTimeNumbers) {
    using platform::FileOp;
    struct Case {
        DWORD err;
        FileOp op;
        std::int32_t number;
    };
    for (const Case c : {Case{ERROR_FILE_NOT_FOUND, FileOp::Open, 53}, Case{ERROR_FILE_NOT_FOUND, FileOp::Create, 76},
                         Case{ERROR_PATH_NOT_FOUND, FileOp::Open, 76}, Case{ERROR_ACCESS_DENIED, FileOp::Replace, 70},
                         Case{ERROR_DISK_FULL, FileOp::Write, 61}, Case{ERROR_HANDLE_DISK_FULL, FileOp::Write, 61},
                         Case{ERROR_SHARING_VIOLATION, FileOp::Open, 75}, Case{ERROR_CRC, FileOp::Read, 57}}) {
        EXPECT_EQ(platform::file_error_number(static_cast<int>(c.err), c.op), c.number) << c.err;
    }
}

// The kernels on this build: known answers of the cipher (a new instance
// that never had a key, both random words 0) and of SHA-256.
TEST(WindowsKnownAnswers, CipherAndDigest) {
    std::vector<std::uint8_t> data = from_hex("F155B7CFC1E56C7B78E2F0DF084C4045");
    clsToString().DecryptByte(data);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(clsHsh().SHA256(u"abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::vector<std::uint8_t> million(1000000, 'a');
    EXPECT_EQ(ToHex(Sha256::Hash(million)), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace clscrypt::test
