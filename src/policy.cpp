#include "clscrypt/policy.hpp"

#include <algorithm>
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

std::size_t HexReader::Read(std::string_view piece, std::vector<std::uint8_t>& out) {
    if (fault_ != 0) {
        read_ += piece.size();
        return fault_;
    }
    const std::size_t before = out.size();
    out.reserve(before + piece.size() / 2);
    // Long pieces are read a mebibyte at a time, with a look at the
    // cancellation check between them; a pair may straddle two of them, or
    // two pieces.
    for (std::size_t from = 0; from < piece.size(); from += common::kCancelStride) {
        if (from != 0) common::check_cancelled();
        const std::size_t to = std::min(piece.size(), from + common::kCancelStride);
        for (std::size_t i = from; i < to; ++i) {
            const char c = piece[i];
            const std::uint64_t at = read_ + i;
            // One leading "\x" is passed over (the backslash, as punctuation,
            // is anyway).
            if (at == 0) backslash_first_ = c == '\\';
            if (at == 1 && backslash_first_ && (c == 'x' || c == 'X')) continue;
            const int v = common::hex_digit_value(c);
            if (v < 0) {
                if (common::is_ciphertext_hex_separator(c)) continue;
                Wipe(out.data() + before, out.size() - before);
                out.resize(before);
                fault_ = static_cast<std::size_t>(at + 1);
                read_ += piece.size();
                return fault_;
            }
            if (high_ < 0) {
                high_ = v;
            } else {
                out.push_back(static_cast<std::uint8_t>(high_ * 16 + v));
                high_ = -1;
            }
        }
    }
    read_ += piece.size();
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
