#include "clscrypt/policy.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "clscrypt/error.hpp"
#include "common/cancel.hpp"
#include "common/error_numbers.hpp"
#include "common/hex.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

void Wipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0) platform::secure_wipe(data, size);
}

namespace common {

CancelHook& cancel_hook() noexcept {
    thread_local CancelHook hook;
    return hook;
}

void throw_cancelled() {
    throw RuntimeError(ErrorKind::Cancelled, errnum::kUserInterrupt, "User interrupt occurred",
                       "the operation was cancelled");
}

}  // namespace common

CancelScope::CancelScope(CancelCheck check, void* context) noexcept {
    common::CancelHook& hook = common::cancel_hook();
    previous_check_ = hook.check;
    previous_context_ = hook.context;
    hook.check = check;
    hook.context = context;
}

CancelScope::~CancelScope() {
    common::CancelHook& hook = common::cancel_hook();
    hook.check = previous_check_;
    hook.context = previous_context_;
}

void ThrowIfCancelled() {
    common::check_cancelled();
}

namespace {

// What each character is to ciphertext hex: a digit's value, or one of two
// marks.
constexpr std::uint8_t kSkipped = 16;  // white space or punctuation
constexpr std::uint8_t kNotHex = 17;
constexpr std::array<std::uint8_t, 256> kHexClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (std::size_t c = 0; c < t.size(); ++c) {
        const auto ch = static_cast<char>(static_cast<unsigned char>(c));
        const int v = common::hex_digit_value(ch);
        t[c] = v >= 0 ? static_cast<std::uint8_t>(v) : common::is_ciphertext_hex_separator(ch) ? kSkipped : kNotHex;
    }
    return t;
}();

}  // namespace

std::size_t HexReader::Read(std::string_view piece, std::vector<std::uint8_t>& out) {
    const std::size_t n = piece.size();
    if (fault_ != 0) {
        read_ += n;
        return fault_;
    }
    const std::size_t before = out.size();
    // Every byte a pair completes fits: the pairs of the piece, and one
    // more when a half pair waits from the piece before.
    out.resize(before + n / 2 + 1);
    std::uint8_t* const start = out.data() + before;
    std::uint8_t* o = start;
    const auto* p = reinterpret_cast<const unsigned char*>(piece.data());
    int high = high_;
    std::size_t i = 0;
    try {
        // A mebibyte at a time, with a look at the cancellation check
        // between them.
        for (std::size_t stop = 0; i < n;) {
            if (i == stop) {
                if (i != 0) common::check_cancelled();
                stop = std::min(n, i + common::kCancelStride);
            }
            // Most text is pairs of digits back to back: two look-ups a byte.
            if (high < 0 && read_ + i >= 2) {
                for (; i + 1 < stop; i += 2) {
                    const unsigned a = kHexClass[p[i]];
                    const unsigned b = kHexClass[p[i + 1]];
                    if ((a | b) > 15) break;
                    *o++ = static_cast<std::uint8_t>(a << 4 | b);
                }
                if (i == stop) continue;
            }
            // Anything else a character at a time.
            const unsigned char c = p[i];
            const std::uint64_t at = read_ + i;
            ++i;
            // One leading "\x" is passed over (the backslash, as
            // punctuation, is anyway).
            if (at == 0) backslash_first_ = c == '\\';
            if (at == 1 && backslash_first_ && (c == 'x' || c == 'X')) continue;
            const unsigned v = kHexClass[c];
            if (v == kSkipped) continue;
            if (v == kNotHex) {
                Wipe(start, out.size() - before);
                out.resize(before);
                fault_ = static_cast<std::size_t>(at + 1);
                read_ += n;
                return fault_;
            }
            if (high < 0) {
                high = static_cast<int>(v);
            } else {
                *o++ = static_cast<std::uint8_t>(static_cast<unsigned>(high) << 4 | v);
                high = -1;
            }
        }
    } catch (...) {
        Wipe(start, out.size() - before);
        out.resize(before);
        throw;
    }
    out.resize(before + static_cast<std::size_t>(o - start));
    high_ = high;
    read_ += n;
    return 0;
}

std::size_t HexReader::Finish() const noexcept {
    if (fault_ != 0) return fault_;
    return high_ >= 0 ? static_cast<std::size_t>(read_ + 1) : 0;
}

std::size_t ReadHex(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    HexReader reader;
    std::size_t bad = reader.Read(text, out);
    if (bad == 0) bad = reader.Finish();
    if (bad != 0) {
        Wipe(out.data(), out.size());
        out.clear();
    }
    return bad;
}

std::vector<std::uint8_t> ReadHex(std::string_view text) {
    std::vector<std::uint8_t> out;
    const std::size_t bad = ReadHex(text, out);
    if (bad == text.size() + 1) {
        throw RuntimeError(ErrorKind::InvalidArgument, errnum::kInvalidArgument,
                           StandardDescription(errnum::kInvalidArgument),
                           "hexadecimal text of " + std::to_string(text.size()) +
                               " characters ends in half a pair of digits");
    }
    if (bad != 0) {
        throw RuntimeError(ErrorKind::InvalidArgument, errnum::kInvalidArgument,
                           StandardDescription(errnum::kInvalidArgument),
                           "hexadecimal text has a character that is not a digit at position " + std::to_string(bad));
    }
    return out;
}

std::string WriteHex(std::span<const std::uint8_t> bytes, std::string_view separator) {
    std::string out;
    if (bytes.empty()) return out;
    out.reserve(bytes.size() * 2 + (bytes.size() - 1) * separator.size());
    for (std::size_t from = 0; from < bytes.size(); from += common::kCancelStride) {
        if (from != 0) common::check_cancelled();
        const std::size_t to = std::min(bytes.size(), from + common::kCancelStride);
        for (std::size_t i = from; i < to; ++i) {
            if (i != 0) out.append(separator);
            char pair[2];
            common::encode_hex(&bytes[i], 1, pair);
            out.append(pair, 2);
        }
    }
    return out;
}

}  // namespace clscrypt
