#include <cstring>
#include <string>

#include "cipher/blowfish.hpp"
#include "cipher/cbc.hpp"
#include "cipher/layout.hpp"
#include "clscrypt/cipher.hpp"
#include "clscrypt/error.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace {

constexpr const char* kDescriptorError = "Incorrect size descriptor in Blowfish decryption";

void store_le32(std::uint8_t* p, std::uint32_t v) noexcept {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The two header words. In fuzzing builds they are fixed so that a failing
// input reproduces; such builds are never for production.
void draw_random_words(std::uint32_t (&words)[2]) {
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    words[0] = 0;
    words[1] = 0;
#else
    std::uint8_t bits[6];
    platform::system_random(bits);
    words[0] = detail::random_word_from_bits(bits[0] | (std::uint32_t{bits[1]} << 8) | (std::uint32_t{bits[2]} << 16));
    words[1] = detail::random_word_from_bits(bits[3] | (std::uint32_t{bits[4]} << 8) | (std::uint32_t{bits[5]} << 16));
#endif
}

}  // namespace

clsToString::clsToString(CodePage codePage) : codePage_(codePage) { detail::initial_tables(tables_); }

clsToString::~clsToString() {
    platform::secure_wipe(&tables_, sizeof tables_);
    platform::secure_wipe(currentKey_.data(), currentKey_.size() * sizeof(char16_t));
}

void clsToString::Key(std::u16string_view New_Value) {
    if (New_Value == currentKey_) {
        return;
    }
    platform::secure_wipe(currentKey_.data(), currentKey_.size() * sizeof(char16_t));
    currentKey_.assign(New_Value);
    if (New_Value.empty()) {
        // The legacy set-up indexed the first key byte of an empty key and
        // failed there, before any table word changed. Callers rely on the
        // error, and on the tables staying as they were.
        throw RuntimeError::FromNumber(RuntimeError::SubscriptOutOfRange, "empty key after a non-empty key");
    }
    std::vector<std::uint8_t> bytes = codePage_.Encode(New_Value);
    detail::mix_key(tables_, bytes);
    platform::secure_wipe(bytes.data(), bytes.size());
}

// Runs CBC over `total` bytes in place, raising Progress after the blocks the
// schedule names, and returns the running percentage as the listeners left
// it. Between two events the blocks go through the kernel in one call, so
// progress costs nothing per block.
template <bool Encrypt>
std::int32_t clsToString::RunCbc(std::uint8_t* data, std::size_t total) {
    detail::Chain chain;
    auto run = [&](std::size_t from, std::size_t to) {
        if constexpr (Encrypt) {
            detail::cbc_encrypt(tables_, data + from, to - from, chain);
        } else {
            detail::cbc_decrypt(tables_, data + from, to - from, chain);
        }
    };
    if (!Progress.HasListeners()) {
        run(0, total);
        return 0;
    }
    detail::ProgressSchedule schedule(total);
    std::int32_t percent = 0;
    std::size_t done = 0;
    while (done < total) {
        const std::uint64_t k = schedule.next_event_block();
        if (k >= total) {
            run(done, total);
            done = total;
            break;
        }
        run(done, static_cast<std::size_t>(k) + 8);
        done = static_cast<std::size_t>(k) + 8;
        percent = schedule.advance(k);
        Progress.Raise(percent);
    }
    return percent;
}

// The closing event carries a 100 of its own; a listener that wrote 100 into
// the running percentage has suppressed it.
void clsToString::CloseProgress(std::int32_t percent) {
    if (percent != 100 && Progress.HasListeners()) {
        std::int32_t hundred = 100;
        Progress.Raise(hundred);
    }
}

void clsToString::EncryptByte(std::vector<std::uint8_t>& ByteArray, std::u16string_view Key) {
    if (!Key.empty()) {
        this->Key(Key);
    }
    const std::size_t n = ByteArray.size();
    const auto t = detail::encrypted_size(n);
    if (!t) {
        throw RuntimeError::FromNumber(RuntimeError::Overflow,
                                       "a message of " + std::to_string(n) + " bytes is too long to encrypt");
    }
    std::uint32_t words[2];
    draw_random_words(words);
    EncryptLaidOut(ByteArray, words[0], words[1]);
}

void clsToString::EncryptLaidOut(std::vector<std::uint8_t>& ByteArray, std::uint32_t word0, std::uint32_t word1) {
    const std::size_t n = ByteArray.size();
    const auto t = detail::encrypted_size(n);
    // Layout: random word, random word, N (all least significant byte
    // first), the message, zero fill to a whole block.
    ByteArray.resize(static_cast<std::size_t>(t.value()));
    std::uint8_t* a = ByteArray.data();
    std::memmove(a + detail::kHeaderSize, a, n);
    store_le32(a, word0);
    store_le32(a + 4, word1);
    store_le32(a + 8, static_cast<std::uint32_t>(n));
    CloseProgress(RunCbc<true>(a, ByteArray.size()));
}

void clsToString::DecryptByte(std::vector<std::uint8_t>& ByteArray, std::u16string_view Key) {
    if (!Key.empty()) {
        this->Key(Key);
    }
    const std::size_t m = ByteArray.size();
    if (!detail::valid_cipher_length(m)) {
        throw RuntimeError::FromNumber(RuntimeError::SubscriptOutOfRange,
                                       "ciphertext length " + std::to_string(m) +
                                           " is not a whole number of 8-byte blocks of at least 16 bytes");
    }
    // Decipher the first two blocks aside and test the descriptor before
    // anything is written: a wrong key or damaged data leaves the caller's
    // array as it was.
    std::uint8_t head[16];
    std::memcpy(head, ByteArray.data(), sizeof head);
    detail::Chain chain;
    detail::cbc_decrypt(tables_, head, sizeof head, chain);
    const std::int32_t s = detail::descriptor_from_left_half(detail::load_be32(head + 8));
    platform::secure_wipe(head, sizeof head);
    if (!detail::descriptor_fits(m, s)) {
        throw RuntimeError(RuntimeError::ClassError, kDescriptorError,
                           "descriptor " + std::to_string(s) + " does not fit a ciphertext of " + std::to_string(m) +
                               " bytes (wrong key or damaged data)");
    }
    const std::int32_t percent = RunCbc<false>(ByteArray.data(), m);
    std::memmove(ByteArray.data(), ByteArray.data() + detail::kHeaderSize, static_cast<std::size_t>(s));
    ByteArray.resize(static_cast<std::size_t>(s));
    CloseProgress(percent);
}

std::u16string clsToString::EncryptString(std::u16string_view Text, std::u16string_view Key) {
    std::vector<std::uint8_t> bytes = codePage_.Encode(Text);
    EncryptByte(bytes, Key);
    return codePage_.Decode(bytes);
}

std::u16string clsToString::DecryptString(std::u16string_view Text, std::u16string_view Key) {
    std::vector<std::uint8_t> bytes = codePage_.Encode(Text);
    DecryptByte(bytes, Key);
    std::u16string text = codePage_.Decode(bytes);
    platform::secure_wipe(bytes.data(), bytes.size());
    return text;
}

}  // namespace clscrypt
