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

std::size_t ReadHex(std::string_view text, std::vector<std::uint8_t>& out) {
    out.clear();
    const std::size_t skip = common::ciphertext_hex_prefix(text);
    out.reserve((text.size() - skip) / 2);
    const std::string_view body = text.substr(skip);
    // Long texts are read a mebibyte at a time, with a look at the
    // cancellation check between pieces; a pair may straddle two pieces.
    int high = -1;
    for (std::size_t from = 0; from < body.size(); from += common::kCancelStride) {
        if (from != 0) common::check_cancelled();
        const std::size_t to = std::min(body.size(), from + common::kCancelStride);
        for (std::size_t i = from; i < to; ++i) {
            const int v = common::hex_digit_value(body[i]);
            if (v < 0) {
                if (common::is_ciphertext_hex_separator(body[i])) continue;
                Wipe(out.data(), out.size());
                out.clear();
                return skip + i + 1;
            }
            if (high < 0) {
                high = v;
            } else {
                out.push_back(static_cast<std::uint8_t>(high * 16 + v));
                high = -1;
            }
        }
    }
    if (high >= 0) {
        Wipe(out.data(), out.size());
        out.clear();
        return text.size() + 1;
    }
    return 0;
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
