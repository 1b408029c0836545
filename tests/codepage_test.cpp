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

TEST(CodePage, FirstUnmappableFindsWhatEncodeWouldLose) {
    struct Case {
        int codepage;
        std::u16string text;
        std::optional<std::size_t> expected;
    };
    const std::vector<Case> cases = {
        {1252, u"", std::nullopt},
        {1252, u"plain ?\u20AC\u00FF\u0081", std::nullopt},  // '?' itself and an unassigned byte's C1 control
        {1252, u"\u043F\u0430\u0440\u043E\u043B\u044C", 0},
        {1251, u"\u043F\u0430\u0440\u043E\u043B\u044C", std::nullopt},
        {1251, u"ab\u00E9", 2},
        {1252, u"a\U0001F600", 1},  // a surrogate pair: its first unit
        {1252,
         u"a\xD800"
         u"b",
         1},  // a lone surrogate
        {1253, u"\u03A9\u0080", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CodePage::FromNumber(c.codepage).FirstUnmappable(c.text), c.expected) << c.codepage;
    }
    // Exactly the characters that survive Encode and Decode, in every code page.
    for (const int number : CodePage::Available()) {
        const CodePage cp = CodePage::FromNumber(number);
        for (std::uint32_t u = 0; u <= 0xFFFF; ++u) {
            const std::u16string one(1, static_cast<char16_t>(u));
            ASSERT_EQ(cp.FirstUnmappable(one).has_value(), cp.Decode(cp.Encode(one)) != one) << number << " " << u;
        }
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
