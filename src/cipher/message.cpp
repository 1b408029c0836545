#include "cipher/message.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "cipher/kernels/portable.hpp"
#include "cipher/key_state.hpp"
#include "cipher/layout.hpp"
#include "clscrypt/cipher.hpp"
#include "clscrypt/error.hpp"
#include "common/byte_order.hpp"
#include "common/error_numbers.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"

namespace clscrypt::detail {

using common::store_le32;

RuntimeError encrypted_size_error(std::uint64_t n) {
    return RuntimeError::FromNumber(
        errnum::kOverflow, "a message of " + std::to_string(n) + " bytes is too long for the format's 32-bit size");
}

std::uint64_t checked_encrypted_size(std::uint64_t n) {
    const auto t = encrypted_size(n);
    if (!t) throw encrypted_size_error(n);
    return *t;
}

std::optional<RuntimeError> cipher_length_error(std::uint64_t m) {
    if (m > kMaxLength) {
        return RuntimeError::FromNumber(
            ErrorKind::WrongKeyOrDamaged, errnum::kOverflow,
            "ciphertext length " + std::to_string(m) + " is beyond the format's 32-bit size");
    }
    if (!valid_cipher_length(m)) {
        return RuntimeError::FromNumber(
            ErrorKind::WrongKeyOrDamaged, errnum::kSubscriptOutOfRange,
            "ciphertext length " + std::to_string(m) + " is not a whole number of 8-byte blocks of at least 16 bytes");
    }
    return std::nullopt;
}

void check_cipher_length(std::uint64_t m) {
    if (auto e = cipher_length_error(m)) throw std::move(*e);
}

// The message names the ciphertext's length and nothing deciphered: the
// descriptor is four bytes deciphered under the caller's key, and with the
// right key and a shifted ciphertext they are plaintext.
RuntimeError descriptor_error(std::uint64_t m) {
    return RuntimeError(ErrorKind::WrongKeyOrDamaged, errnum::kClassError,
                        "Incorrect size descriptor in Blowfish decryption",
                        "a ciphertext of " + std::to_string(m) + " bytes does not decrypt under this key (wrong key or damaged data)");
}

std::int32_t deciphered_descriptor(const BlowfishTables& t, std::span<const std::uint8_t, 16> head) {
    std::uint8_t plain[16];
    std::memcpy(plain, head.data(), sizeof plain);
    Chain chain;
    cbc_decrypt(t, plain, sizeof plain, chain);
    const std::int32_t s = descriptor_from_left_half(load_be32(plain + 8));
    platform::secure_wipe(plain, sizeof plain);
    return s;
}

void throw_descriptor_error(const std::string& context) {
    throw RuntimeError(ErrorKind::WrongKeyOrDamaged, errnum::kClassError,
                       "Incorrect size descriptor in Blowfish decryption", context + " (wrong key or damaged data)");
}

std::int32_t checked_descriptor(const BlowfishTables& t, std::span<const std::uint8_t, 16> head, std::uint64_t m) {
    const std::int32_t s = deciphered_descriptor(t, head);
    if (!descriptor_fits(m, s)) throw descriptor_error(m);
    return s;
}

std::int32_t checked_descriptor(const clsToString& c, std::span<const std::uint8_t, 16> head, std::uint64_t m) {
    return checked_descriptor(c.state_ ? c.state_->tables : KeyState::initial().tables, head, m);
}

void draw_random_words(std::uint32_t (&words)[2]) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Fixed in fuzzing builds so that a failing input reproduces; such
    // builds are never for production.
    words[0] = 0;
    words[1] = 0;
#else
    // From the per-thread reserve: a system call per message would cost more
    // than enciphering a short one.
    std::uint8_t bits[6];
    platform::system_random_buffered(bits);
    words[0] = random_word_from_bits(bits[0] | (std::uint32_t{bits[1]} << 8) | (std::uint32_t{bits[2]} << 16));
    words[1] = random_word_from_bits(bits[3] | (std::uint32_t{bits[4]} << 8) | (std::uint32_t{bits[5]} << 16));
    platform::secure_wipe(bits, sizeof bits);
#endif
}

void draw_random_words(std::uint32_t* words, std::size_t count) {
    if (count == 0) return;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    std::memset(words, 0, 2 * count * sizeof *words);
#else
    // Three random bytes make a word: they are drawn into the front of the
    // words' own storage and spread out from the last word back, so a word
    // is written only over bytes already read.
    auto* bits = reinterpret_cast<std::uint8_t*>(words);
    const std::span<std::uint8_t> drawn(bits, 6 * count);
    if (drawn.size() < 512) {
        platform::system_random_buffered(drawn);  // a few messages: the reserve serves them
    } else {
        platform::system_random(drawn);
    }
    for (std::size_t i = 2 * count; i-- > 0;) {
        const std::uint8_t* b = bits + 3 * i;
        const std::uint32_t v = b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16);
        words[i] = random_word_from_bits(v);
    }
#endif
}

void write_header(std::uint8_t* out, const std::uint32_t (&words)[2], std::uint32_t n) noexcept {
    store_le32(out, words[0]);
    store_le32(out + 4, words[1]);
    store_le32(out + 8, n);
}

}  // namespace clscrypt::detail

namespace clscrypt::detail {

// The public limits are the layout's own.
static_assert(EncryptedSize(0) == encrypted_size(0));
static_assert(EncryptedSize(MaxMessageLength) == encrypted_size(MaxMessageLength));
static_assert(!EncryptedSize(MaxMessageLength + 1) && !encrypted_size(MaxMessageLength + 1));
static_assert(*EncryptedSize(5) == 24 && *EncryptedSize(4) == 16);

}  // namespace clscrypt::detail
