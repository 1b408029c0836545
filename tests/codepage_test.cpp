#include "clscrypt/clscrypt.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

TEST(CodePage, DefaultIsWindows1252) {
    const CodePage cp;
    EXPECT_EQ(cp.Number(), 1252);
    struct Pair {
        std::uint8_t byte;
        char16_t ch;
    };
    for (const Pair p : {Pair{0x41, u'A'}, Pair{0x00, u'\0'}, Pair{0x80, u'\u20AC'}, Pair{0x9F, u'\u0178'},
                         Pair{0x8E, u'\u017D'}, Pair{0xFC, u'\u00FC'}, Pair{0xA0, u'\u00A0'},
                         // Unassigned bytes: the C1 control of the same value.
                         Pair{0x81, u'\u0081'}, Pair{0x8D, u'\u008D'}, Pair{0x8F, u'\u008F'}, Pair{0x90, u'\u0090'},
                         Pair{0x9D, u'\u009D'}}) {
        EXPECT_EQ(cp.ToChar(p.byte), p.ch) << int(p.byte);
        EXPECT_EQ(cp.ToByte(p.ch), p.byte) << int(p.byte);
    }
}

TEST(CodePage, MissingCharactersBecomeQuestionMarks) {
    const CodePage cp;
    for (const char16_t c : {u'\u0080', u'\u0100', u'\u20AD', u'\uFFFF', u'\u4E2D'}) {
        EXPECT_FALSE(cp.Contains(c));
        EXPECT_EQ(cp.ToByte(c), '?');
    }
    EXPECT_EQ(cp.Encode(u"a\u4E2Db"), (std::vector<std::uint8_t>{'a', '?', 'b'}));
}

TEST(CodePage, EveryByteSurvivesARoundTripInEveryCodePage) {
    for (const int number : CodePage::Available()) {
        const CodePage cp = CodePage::FromNumber(number);
        std::vector<std::uint8_t> all(256);
        for (int b = 0; b < 256; ++b) all[b] = static_cast<std::uint8_t>(b);
        const std::u16string text = cp.Decode(all);
        for (int b = 0; b < 128; ++b) ASSERT_EQ(text[b], char16_t(b)) << number;
        EXPECT_EQ(cp.Encode(text), all) << "code page " << number;
    }
}

TEST(CodePage, ChoosingOne) {
    EXPECT_EQ(CodePage::FromNumber(1251).ToChar(0xC0), u'\u0410');  // Cyrillic A
    EXPECT_EQ(CodePage::FromNumber(1253).ToByte(u'\u03A9'), 0xD9);  // Greek Omega
    EXPECT_EQ(error_number([] { (void)CodePage::FromNumber(65001); }), 5);
    EXPECT_EQ(CodePage::FromNumber(1252), CodePage{});

    // An instance converts keys and text through its own code page.
    clsToString cyrillic(CodePage::FromNumber(1251));
    const std::u16string text = u"\u041F\u0440\u0438\u0432\u0435\u0442";
    EXPECT_EQ(cyrillic.DecryptString(cyrillic.EncryptString(text, u"\u043A\u043B\u044E\u0447")), text);
}

}  // namespace
}  // namespace clscrypt::test
