// StrToHex then HexToStr: any text comes back as its code-page form when the
// separator count equals the separator's length, and the hexadecimal text
// has the documented shape (upper-case pairs, gaps of the separator's first
// character).
//
// Input: code page, separator, text.

#define CLSCRYPT_FUZZ_MAX_INPUT 4096
#include "harness.hpp"

#include "clscrypt/clscrypt.hpp"

using clscrypt::fuzz::Bytes;

void fuzz_one(clscrypt::fuzz::Input& in) {
    const auto pages = clscrypt::CodePage::Available();
    const auto cp = clscrypt::CodePage::FromNumber(pages[in.byte() % pages.size()]);
    const std::u16string separator = in.text(12);
    const std::u16string text = in.text(255);

    clscrypt::clsToString c(cp);
    const std::u16string hex = c.StrToHex(text, separator);
    const std::size_t l = separator.size();
    FUZZ_CHECK(hex.size() == (text.empty() ? 0 : 2 * text.size() + l * (text.size() - 1)));
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::uint8_t b = cp.ToByte(text[i]);
        const std::size_t p = i * (l + 2);
        FUZZ_CHECK(hex[p] == kDigits[b >> 4] && hex[p + 1] == kDigits[b & 15]);
        for (std::size_t k = 0; k < l && i + 1 < text.size(); ++k) {
            FUZZ_CHECK(hex[p + 2 + k] == cp.ToChar(cp.ToByte(separator[0])));
        }
    }
    FUZZ_CHECK(c.HexToStr(hex, static_cast<std::int32_t>(l)) == cp.Decode(cp.Encode(text)));
}

std::vector<Bytes> fuzz_seeds() {
    using clscrypt::fuzz::put_text;
    std::vector<Bytes> seeds;
    const std::u16string separators[] = {u" ", u"", u"-", u"-+", u", ", u"\u20AC\u20AC\u20AC"};
    const std::u16string texts[] = {u"AB", u"A", u"", u"\u00FF\u0000\n", u"text \u20AC \u4E2D \u0E01"};
    for (std::uint8_t page = 0; page < 3; ++page) {
        for (const auto& sep : separators) {
            for (const auto& text : texts) {
                Bytes b{page};
                put_text(b, sep);
                put_text(b, text);
                seeds.push_back(b);
            }
        }
    }
    return seeds;
}
