// Hexadecimal text: two upper-case digits per code-page byte, with a fixed
// number of separator characters between pairs.
//
// Both directions go through two small tables: the digit pair of every byte
// value, and the byte value of every pair of characters "0".."F" (codes 48
// to 70). The reading table also spans the seven codes between "9" and "A";
// pairs using them read as 0, which old data may rely on. The tables are
// constant and built at compile time, which gives the same results as
// building them on an instance's first call.

#include <array>
#include <cstdint>
#include <limits>
#include <string>

#include "clscrypt/cipher.hpp"
#include "clscrypt/error.hpp"
#include "common/cancel.hpp"
#include "common/hex.hpp"

namespace clscrypt {

namespace {

constexpr std::uint8_t kFirstCode = 48;  // "0"
constexpr std::uint8_t kLastCode = 70;   // "F"
constexpr std::size_t kCodes = kLastCode - kFirstCode + 1;

// The digits come from the shared encoder, run once per byte value at
// compile time; the conversion itself stays a single table look-up a byte.
constexpr std::array<std::array<std::uint8_t, 2>, 256> kDigitPairs = [] {
    std::array<std::array<std::uint8_t, 2>, 256> t{};
    for (std::size_t b = 0; b < 256; ++b) {
        const auto byte = static_cast<std::uint8_t>(b);
        char pair[2] = {};
        common::encode_hex(&byte, 1, pair, common::HexCase::Upper);
        t[b] = {static_cast<std::uint8_t>(pair[0]), static_cast<std::uint8_t>(pair[1])};
    }
    return t;
}();

constexpr std::array<std::array<std::uint8_t, kCodes>, kCodes> kPairValues = [] {
    std::array<std::array<std::uint8_t, kCodes>, kCodes> t{};
    for (std::size_t b = 0; b < 256; ++b) {
        t[kDigitPairs[b][0] - kFirstCode][kDigitPairs[b][1] - kFirstCode] = static_cast<std::uint8_t>(b);
    }
    return t;
}();

static_assert(kPairValues['A' - kFirstCode]['B' - kFirstCode] == 0xAB);
static_assert(kPairValues['4' - kFirstCode][':' - kFirstCode] == 0);

constexpr std::int64_t kMaxLength = std::numeric_limits<std::int32_t>::max();

[[noreturn]] void raise(std::int32_t number, const std::string& context) {
    throw RuntimeError::FromNumber(number, context);
}

}  // namespace

std::u16string clsToString::StrToHex(std::u16string_view Text, std::u16string_view Separator) {
    const auto t = static_cast<std::int64_t>(Text.size());
    const auto l = static_cast<std::int64_t>(Separator.size());
    if (t == 0) {
        return {};
    }
    codePage_.CheckMappable(Text, unmappable_, "the text");
    // The old lengths were checked signed 32-bit values.
    const std::int64_t n = 2 * t + l * (t - 1);
    if (t > kMaxLength || l > kMaxLength || n > kMaxLength) {
        raise(RuntimeError::Overflow, "hexadecimal text of " + std::to_string(t) + " characters with a " +
                                          std::to_string(l) + "-character separator is too long");
    }
    // Every gap holds L copies of the separator's first character.
    const char16_t fill = Separator.empty() ? u' ' : codePage_.ToChar(codePage_.ToByte(Separator.front()));
    std::u16string out(static_cast<std::size_t>(n), fill);
    std::size_t p = 0;
    const auto step = static_cast<std::size_t>(l + 2);
    for (std::size_t i = 0; i < Text.size(); ++i) {
        if (i % common::kCancelStride == common::kCancelStride - 1) common::check_cancelled();
        const auto& pair = kDigitPairs[codePage_.ToByte(Text[i])];
        out[p] = pair[0];
        out[p + 1] = pair[1];
        p += step;
    }
    return out;
}

std::u16string clsToString::HexToStr(std::u16string_view HexText, std::int32_t Separators) {
    const auto len = static_cast<std::int64_t>(HexText.size());
    const std::int64_t s = Separators;
    if (len > kMaxLength) {
        raise(RuntimeError::Overflow, "hexadecimal text of " + std::to_string(len) + " characters is too long");
    }
    if (len == 0 && s >= 0) {
        return {};
    }
    // How many pairs to read. Two characters are always one pair. The old
    // count used checked 32-bit arithmetic; a sum past that range is an
    // overflow, never a wrapped count.
    std::int64_t n = 0;
    if (len == 2) {
        n = 1;
    } else if (s == 0) {
        n = (len + 1) / 2;
    } else if (s > 0) {
        if (len + s > kMaxLength || s + 2 > kMaxLength) {
            raise(RuntimeError::Overflow, "text length " + std::to_string(len) + " plus " + std::to_string(s) +
                                              " separators is beyond 32 bits");
        }
        n = (len + s) / (s + 2);
    } else {
        if (s == -2) {
            raise(RuntimeError::DivisionByZero, "separator count -2");
        }
        n = (len + 1) / (s + 2);  // truncating, like the old integer division
    }
    if (n <= 0) {
        raise(RuntimeError::SubscriptOutOfRange,
              "separator count " + std::to_string(s) + " leaves no pair in " + std::to_string(len) + " characters");
    }
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    std::int64_t p = 0;
    for (std::int64_t i = 0; i < n; ++i, p += s + 2) {
        if (i % static_cast<std::int64_t>(common::kCancelStride) == 0 && i != 0) common::check_cancelled();
        if (p < 0 || p + 1 >= len) {
            raise(RuntimeError::SubscriptOutOfRange,
                  "pair " + std::to_string(i + 1) + " at position " + std::to_string(p) + " lies past the end");
        }
        const std::uint8_t h = codePage_.ToByte(HexText[static_cast<std::size_t>(p)]);
        const std::uint8_t lo = codePage_.ToByte(HexText[static_cast<std::size_t>(p + 1)]);
        if (h < kFirstCode || h > kLastCode || lo < kFirstCode || lo > kLastCode) {
            raise(RuntimeError::SubscriptOutOfRange, "character at position " +
                                                         std::to_string(h < kFirstCode || h > kLastCode ? p : p + 1) +
                                                         " is not a hexadecimal digit");
        }
        out[static_cast<std::size_t>(i)] = codePage_.ToChar(kPairValues[h - kFirstCode][lo - kFirstCode]);
    }
    return out;
}

}  // namespace clscrypt
