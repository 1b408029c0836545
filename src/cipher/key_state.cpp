// The key-dependent state of an instance, and the one way a key enters it.

#include "cipher/key_state.hpp"

#include <algorithm>
#include <vector>

#include "cipher/blowfish.hpp"
#include "cipher/kernels/dispatch.hpp"
#include "clscrypt/cipher.hpp"
#include "clscrypt/digest.hpp"
#include "clscrypt/error.hpp"
#include "common/cancel.hpp"
#include "common/error_numbers.hpp"
#include "platform/wipe.hpp"

namespace clscrypt::detail {

KeyState::KeyState() noexcept {
    initial_tables(tables);
}

KeyState::~KeyState() {
    platform::secure_wipe(&tables, sizeof tables);
    platform::secure_wipe(&planes, sizeof planes);
    platform::secure_wipe(key_digest_.data(), key_digest_.size());
}

const KeyState& KeyState::initial() noexcept {
    static const KeyState fresh;
    return fresh;
}

namespace {

// A key as long as a file is hashed a piece at a time, with a look at the
// cancellation check between mebibytes.
Sha256::Digest digest_of(std::u16string_view key) {
    Sha256 h;
    std::uint8_t units[2048];
    std::size_t since_check = 0;
    for (std::size_t at = 0; at < key.size();) {
        const std::size_t n = std::min(key.size() - at, sizeof units / 2);
        for (std::size_t i = 0; i < n; ++i) {
            units[2 * i] = static_cast<std::uint8_t>(key[at + i]);
            units[2 * i + 1] = static_cast<std::uint8_t>(key[at + i] >> 8);
        }
        h.Update(std::span<const std::uint8_t>(units, 2 * n));
        at += n;
        since_check += 2 * n;
        if (since_check >= common::kCancelStride && at < key.size()) {
            since_check = 0;
            if (common::cancel_requested()) {
                platform::secure_wipe(units, sizeof units);
                common::throw_cancelled();
            }
        }
    }
    platform::secure_wipe(units, sizeof units);
    return h.Final();
}

// Hashing passes the key text through the compression function's stack
// frame (an unoptimized build keeps each 16-byte load of the block there,
// about 5 KiB below the caller); zeroes the stack below the caller, where
// the hashing ran, once it has returned.
[[gnu::noinline]] void wipe_stack_of_hashing() noexcept {
    unsigned char area[8192];
    platform::secure_wipe(area, sizeof area);
}

}  // namespace

bool KeyState::replace_key(std::u16string_view key) {
    if (key.empty()) {
        const bool was_empty = key_empty_;
        key_empty_ = true;
        platform::secure_wipe(key_digest_.data(), key_digest_.size());
        return !was_empty;
    }
    Sha256::Digest d = digest_of(key);
    wipe_stack_of_hashing();
    const bool same = !key_empty_ && d == key_digest_;
    key_digest_ = d;
    key_empty_ = false;
    platform::secure_wipe(d.data(), d.size());
    return !same;
}

const BytePlanes& KeyState::current_planes() noexcept {
    if (!planes_current) {
        build_planes(tables, planes);
        planes_current = true;
    }
    return planes;
}

void apply_key(KeyState& state, const CodePage& page, Unmappable policy, std::u16string_view key) {
    // Comparing, hashing and encoding the key pass it through the vector
    // registers; clear them on the way out, however it is taken.
    struct ClearRegisters {
        ClearRegisters() = default;
        ClearRegisters(const ClearRegisters&) = delete;
        ClearRegisters& operator=(const ClearRegisters&) = delete;
        ~ClearRegisters() { platform::clear_vector_registers(); }
    } clear_registers;
    page.CheckMappable(key, policy, "the key");
    if (!state.replace_key(key)) {
        return;
    }
    if (key.empty()) {
        // The legacy set-up indexed the first key byte of an empty key and
        // failed there, before any table word changed. Callers rely on the
        // error, and on the tables staying as they were.
        throw RuntimeError::FromNumber(ErrorKind::InvalidArgument, errnum::kSubscriptOutOfRange,
                                       "empty key after a non-empty key");
    }
    // Only the first 72 key bytes enter the set-up (the cursor runs through
    // 72 positions and wraps before that only for shorter keys), so the
    // conversion stops there however long the key is.
    std::vector<std::uint8_t> bytes = page.Encode(key.substr(0, kKeyBytesUsed));
    state.planes_current = false;
    mix_key(state.tables, bytes);
    state.keyed = true;
    platform::secure_wipe(bytes.data(), bytes.size());
}

std::unique_ptr<KeyState> take_key_state(clsToString&& c) {
    if (c.busy_ != 0) return std::make_unique<KeyState>(c.State());
    if (!c.state_) return std::make_unique<KeyState>();
    return std::move(c.state_);
}

}  // namespace clscrypt::detail
