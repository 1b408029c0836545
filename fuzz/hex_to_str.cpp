// HexToStr on arbitrary text and separator counts against a reference
// written the slow, obvious way: count the pairs, then walk them, looking
// each digit up in the string of the 23 codes "0" to "F".
//
// Input: code page, separator count (one signed byte, or 0x7F and four
// bytes for any 32-bit value), text.

#define CLSCRYPT_FUZZ_MAX_INPUT 4096
#include "harness.hpp"

#include <climits>
#include <optional>
#include <variant>

#include "clscrypt/clscrypt.hpp"

using clscrypt::RuntimeError;
using clscrypt::fuzz::Bytes;

namespace {

using Result = std::variant<std::u16string, std::int32_t>;  // the text, or the error number

Result reference(const clscrypt::CodePage& cp, std::u16string_view hex, std::int32_t separators) {
    const std::int64_t len = static_cast<std::int64_t>(hex.size());
    const std::int64_t s = separators;
    if (len == 0 && s >= 0) return std::u16string();
    // How many pairs, in the old 32-bit arithmetic: sums past INT32_MAX
    // overflow (error 6), a zero divisor is error 11.
    std::int64_t n = 0;
    if (len == 2) {
        n = 1;
    } else if (s == 0) {
        n = (len + 1) / 2;
    } else if (s > 0) {
        if (len + s > INT32_MAX || s + 2 > INT32_MAX) return RuntimeError::Overflow;
        n = (len + s) / (s + 2);
    } else {
        if (s + 2 == 0) return RuntimeError::DivisionByZero;
        n = (len + 1) / (s + 2);
    }
    if (n <= 0) return RuntimeError::SubscriptOutOfRange;
    static constexpr std::u16string_view kCodes = u"0123456789:;<=>?@ABCDEF";
    std::u16string out;
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t p = i * (s + 2);
        if (p < 0 || p + 1 >= len) return RuntimeError::SubscriptOutOfRange;
        const auto hi = kCodes.find(static_cast<char16_t>(cp.ToByte(hex[static_cast<std::size_t>(p)])));
        const auto lo = kCodes.find(static_cast<char16_t>(cp.ToByte(hex[static_cast<std::size_t>(p + 1)])));
        if (hi == std::u16string_view::npos || lo == std::u16string_view::npos) {
            return RuntimeError::SubscriptOutOfRange;
        }
        // A pair with one of the seven codes between "9" and "A" reads as 0.
        const bool digits = (hi < 10 || hi > 16) && (lo < 10 || lo > 16);
        const auto value = [](std::size_t k) { return k < 10 ? k : k - 7; };
        out.push_back(cp.ToChar(digits ? static_cast<std::uint8_t>(value(hi) * 16 + value(lo)) : 0));
    }
    return out;
}

}  // namespace

void fuzz_one(clscrypt::fuzz::Input& in) {
    const auto pages = clscrypt::CodePage::Available();
    const auto cp = clscrypt::CodePage::FromNumber(pages[in.byte() % pages.size()]);
    const std::uint8_t sb = in.byte();
    const std::int32_t separators =
        sb == 0x7F ? static_cast<std::int32_t>(in.u32()) : static_cast<std::int32_t>(static_cast<std::int8_t>(sb));
    std::u16string hex;
    while (!in.empty()) {
        const std::uint8_t b = in.byte();
        hex.push_back(b < 0xF0 ? char16_t{b} : static_cast<char16_t>(in.u16()));
    }

    clscrypt::clsToString c(cp);
    Result got;
    try {
        got = c.HexToStr(hex, separators);
    } catch (const RuntimeError& e) {
        got = e.Number();
    }
    FUZZ_CHECK(got == reference(cp, hex, separators));
}

std::vector<Bytes> fuzz_seeds() {
    auto seed = [](std::uint8_t sep, const std::string& text) {
        Bytes b{0, sep};
        b.insert(b.end(), text.begin(), text.end());
        return b;
    };
    return {seed(0, "4142"),       seed(1, "41 42"),
            seed(1, "41 42 "),     seed(2, "41--42"),
            seed(0, "41 42"),      seed(0, "4a"),
            seed(0, "4:"),         seed(0xFE, "41"),
            seed(0xFE, "414243"),  seed(0xFD, "4142"),
            seed(5, "00"),         seed(0, "FF00A0"),
            seed(0, ""),           seed(0xFF, ""),
            seed(3, "DEADBEEF  "), Bytes{0, 0x7F, 0xFF, 0xFF, 0xFF, 0x7F, '4', '1', '4'}};
}
