// Hexadecimal text in both directions, the separator rules, and the errors
// old callers tested for.

#include "clscrypt/clscrypt.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

TEST(StrToHex, SeparatorsAndDigits) {
    struct Case {
        std::u16string text;
        std::u16string separator;
        std::u16string hex;
    };
    const Case cases[] = {
        {u"AB", u" ", u"41 42"},
        {u"AB", u"-", u"41-42"},
        {u"AB", u"", u"4142"},
        {u"AB", u"-+", u"41--42"},  // the first character, as often as the separator is long
        {u"ABC", u", ", u"41,,42,,43"},
        {u"A", u" ", u"41"},
        {u"A", u"", u"41"},
        {u"A", u"long separator", u"41"},
        {std::u16string{u'\0', u'\n', u'\u00FF'}, u" ", u"00 0A FF"},
        {u"\u20AC\u00FC", u":", u"80:FC"},  // code-page bytes, not character codes
        {u"\u4E2D", u" ", u"3F"},           // a character the code page lacks is "?"
    };
    clsToString c;
    for (const auto& k : cases) {
        EXPECT_EQ(c.StrToHex(k.text, k.separator), k.hex);
    }
    EXPECT_EQ(c.StrToHex(u"AB"), u"41 42");  // default separator: one space
}

TEST(HexToStr, CountsAndPositions) {
    struct Case {
        std::u16string hex;
        std::int32_t separators;
        std::u16string text;
    };
    const Case cases[] = {
        {u"4142", 0, u"AB"},
        {u"41 42", 1, u"AB"},
        {u"41 42 ", 1, u"AB"},
        {u"41--42", 2, u"AB"},
        {u"41xy42zz", 2, u"AB"},  // separators are never looked at
        {u"41", 0, u"A"},
        {u"41", 7, u"A"},
        {u"41", -1, u"A"},  // two characters are always one pair
        {u"41", -2, u"A"},
        {u"4:", 0, std::u16string(1, u'\0')},  // codes between "9" and "A" read as 0
        {u"@0", 0, std::u16string(1, u'\0')},
        {u"80FC", 0, u"\u20AC\u00FC"},
        {u"", 0, u""},
        {u"", 5, u""},
    };
    clsToString c;
    for (const auto& k : cases) {
        EXPECT_EQ(c.HexToStr(k.hex, k.separators), k.text) << std::string(k.hex.begin(), k.hex.end());
    }
}

TEST(HexToStr, Errors) {
    struct Case {
        std::u16string hex;
        std::int32_t separators;
        std::int32_t number;
    };
    const Case cases[] = {
        {u"41 42", 0, RuntimeError::SubscriptOutOfRange},  // the blank stands at a digit position
        {u"4a", 0, RuntimeError::SubscriptOutOfRange},     // lower case is no digit
        {u"4G", 0, RuntimeError::SubscriptOutOfRange},
        {u"/0", 0, RuntimeError::SubscriptOutOfRange},   // just below "0"
        {u"414", 0, RuntimeError::SubscriptOutOfRange},  // a final half pair
        {u"4", 0, RuntimeError::SubscriptOutOfRange},
        {u"4", 1, RuntimeError::SubscriptOutOfRange},  // no complete pair
        {u"4142", -2, RuntimeError::DivisionByZero},
        {u"", -2, RuntimeError::DivisionByZero},
        {u"4142", -1, RuntimeError::SubscriptOutOfRange},  // pairs overlap and run past the end
        {u"4142", -3, RuntimeError::SubscriptOutOfRange},
        {u"", -1, RuntimeError::SubscriptOutOfRange},
        {u"4142", 2147483647, RuntimeError::Overflow},  // 4 + count leaves 32 bits
        {u"4", 2147483646, RuntimeError::Overflow},
    };
    clsToString c;
    for (const auto& k : cases) {
        EXPECT_EQ(error_number([&] { (void)c.HexToStr(k.hex, k.separators); }), k.number)
            << std::string(k.hex.begin(), k.hex.end()) << " / " << k.separators;
    }
    // A large count that still fits reads the first pair only.
    EXPECT_EQ(c.HexToStr(u"4142", 2147483643), u"A");
}

TEST(HexRoundTrip, EveryByteValueWithSeparatorsOfEveryLength) {
    clsToString c;
    std::u16string all;
    for (int b = 0; b < 256; ++b) all.push_back(c.GetCodePage().ToChar(static_cast<std::uint8_t>(b)));
    for (const std::u16string separator : {u"", u" ", u"-+", u"\r\n", u"   |   "}) {
        const std::u16string hex = c.StrToHex(all, separator);
        ASSERT_EQ(hex.size(), 512 + separator.size() * 255);
        EXPECT_EQ(c.HexToStr(hex, static_cast<std::int32_t>(separator.size())), all);
    }
    EXPECT_EQ(c.StrToHex(u""), u"");
}

TEST(HexRoundTrip, RandomTextsUnderOtherCodePages) {
    for (const int number : {1251, 1253, 874}) {
        clsToString c(CodePage::FromNumber(number));
        for (int i = 0; i < 50; ++i) {
            const auto bytes = random_bytes(1 + rng()() % 100);
            const std::u16string text = c.GetCodePage().Decode(bytes);
            EXPECT_EQ(c.HexToStr(c.StrToHex(text, u" "), 1), text) << number;
        }
    }
}

}  // namespace
}  // namespace clscrypt::test
