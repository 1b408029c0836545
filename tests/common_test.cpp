// The shared text utilities: hexadecimal, Base64 and UTF-8/UTF-16, which
// every surface (library, C interface, tool, bindings) reads and writes with.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "common/base64.hpp"
#include "common/byte_order.hpp"
#include "common/hex.hpp"
#include "common/utf.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

using common::HexProblem;

static_assert(common::load_be32(std::array<std::uint8_t, 4>{1, 2, 3, 4}.data()) == 0x01020304U);
static_assert(common::load_le32(std::array<std::uint8_t, 4>{1, 2, 3, 4}.data()) == 0x04030201U);

std::optional<HexProblem> read_hex(std::string_view text, std::string& bytes) {
    bytes.clear();
    return common::decode_hex(text, common::is_hex_white_space,
                              [&](std::uint8_t b) { bytes.push_back(static_cast<char>(b)); });
}

TEST(CommonHex, EveryByteRoundTripsInBothCases) {
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    for (const auto letters : {common::HexCase::Upper, common::HexCase::Lower}) {
        std::string text(512, '?');
        common::encode_hex(all.data(), all.size(), text.data(), letters);
        EXPECT_EQ(text.substr(0x4A * 2, 4), letters == common::HexCase::Upper ? "4A4B" : "4a4b");
        std::string back;
        ASSERT_FALSE(read_hex(text, back));
        EXPECT_EQ(back, std::string(all.begin(), all.end()));
    }
}

TEST(CommonHex, LenientReadingAndItsProblems) {
    struct Case {
        std::string_view text;
        std::optional<std::string_view> bytes;  // nothing: refused
        HexProblem::What what = HexProblem::What::InvalidCharacter;
        std::size_t offset = 0;
    };
    const Case cases[] = {
        {"", ""},
        {"4a4B", "JK"},
        {"1F 48\r\n", "\x1F\x48"},
        {" 4\n1 ", "A"},  // wrapped inside a pair still reads
        {"4G", std::nullopt, HexProblem::What::InvalidCharacter, 1},
        {"41-42", std::nullopt, HexProblem::What::InvalidCharacter, 2},
        {"414", std::nullopt, HexProblem::What::OddDigits, 3},
    };
    for (const auto& c : cases) {
        std::string bytes;
        const auto problem = read_hex(c.text, bytes);
        if (c.bytes) {
            EXPECT_FALSE(problem) << c.text;
            EXPECT_EQ(bytes, *c.bytes) << c.text;
        } else {
            ASSERT_TRUE(problem) << c.text;
            EXPECT_EQ(problem->what, c.what) << c.text;
            EXPECT_EQ(problem->offset, c.offset) << c.text;
        }
    }
}

std::optional<std::string> read_base64(std::string_view text) {
    std::string out;
    if (common::decode_base64(text, [&](std::uint8_t b) { out.push_back(static_cast<char>(b)); })) return std::nullopt;
    return out;
}

TEST(CommonBase64, RfcVectorsPaddedAndNot) {
    const std::pair<std::string_view, std::string_view> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        std::string text(common::base64_length(plain.size()), '?');
        common::encode_base64(reinterpret_cast<const std::uint8_t*>(plain.data()), plain.size(), text.data());
        EXPECT_EQ(text, encoded);
        EXPECT_EQ(read_base64(encoded), plain);
        std::string_view unpadded = encoded;
        while (!unpadded.empty() && unpadded.back() == '=') unpadded.remove_suffix(1);
        EXPECT_EQ(read_base64(unpadded), plain) << unpadded;
    }
}

TEST(CommonBase64, RefusesWhatNoEncoderWrites) {
    for (const std::string_view bad :
         {"Z", "Zg=", "Zh==", "Zm9=", "Zg==Zg==", "Zm 9v", "Zm9v\n", "=", "====", "Zm9v-_"}) {
        EXPECT_FALSE(read_base64(bad)) << bad;
    }
}

TEST(CommonBase64, AgreesWithOpenSslOnRandomData) {
    for (std::size_t n = 0; n < 200; n += 7) {
        const auto bytes = random_bytes(n);
        std::string ours(common::base64_length(n), '?');
        common::encode_base64(bytes.data(), n, ours.data());
        std::vector<unsigned char> theirs(common::base64_length(n) + 1);
        EVP_EncodeBlock(theirs.data(), bytes.data(), static_cast<int>(n));
        EXPECT_EQ(ours, std::string(reinterpret_cast<const char*>(theirs.data())));
        EXPECT_EQ(read_base64(ours), std::string(bytes.begin(), bytes.end()));
    }
}

TEST(CommonUtf, StrictUtf8AndTheOffsetOfTheFault) {
    const std::pair<std::string_view, std::optional<std::size_t>> cases[] = {
        {"plain", std::nullopt},
        {"\xD0\x9F\xD1\x80", std::nullopt},  // Пр
        {"\xF0\x9F\x98\x80", std::nullopt},  // U+1F600, a surrogate pair
        {"ab\xC0\xAF", 2},                   // overlong '/'
        {"a\xED\xA0\x80", 1},                // a surrogate written as UTF-8
        {"\xF4\x90\x80\x80", 0},             // past U+10FFFF
        {"ok\xE2\x82", 2},                   // cut short
        {"\x80", 0},                         // a lone continuation byte
    };
    for (const auto& [text, fault] : cases) {
        std::u16string out;
        EXPECT_EQ(common::decode_utf8(text, out), fault) << text;
        if (!fault) {
            EXPECT_EQ(common::utf16_to_utf8(out), text);
        }
    }
}

TEST(CommonUtf, LoneSurrogatesBecomeTheReplacementCharacter) {
    EXPECT_EQ(common::utf16_to_utf8(u"a\xD800z"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(common::utf16_to_utf8(std::u16string(1, char16_t{0xDC00})), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace clscrypt::test
