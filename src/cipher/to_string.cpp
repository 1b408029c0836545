#include <algorithm>
#include <cstring>
#include <string>

#include "cipher/blowfish.hpp"
#include "cipher/cbc.hpp"
#include "cipher/cbc_kernels.hpp"
#include "cipher/layout.hpp"
#include "cipher/message.hpp"
#include "cipher/parallel.hpp"
#include "clscrypt/cipher.hpp"
#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace {

// Zeroes the whole buffer of a key text and empties it. The spare capacity
// counts: a shorter key written over a longer one leaves the longer one's
// tail there, and a moved-from string's own storage may still hold a copy.
void wipe_text(std::u16string& s) noexcept {
    s.resize(s.capacity());  // within capacity: no allocation
    platform::secure_wipe(s.data(), s.size() * sizeof(char16_t));
    s.clear();
}

}  // namespace

clsToString::clsToString(CodePage codePage) : codePage_(codePage) {
    detail::initial_tables(tables_);
}

clsToString::clsToString(clsToString&& other) noexcept
    : Progress(std::move(other.Progress)),
      tables_(other.tables_),
      planes_(other.planes_),
      planesCurrent_(other.planesCurrent_),
      currentKey_(std::move(other.currentKey_)),
      codePage_(other.codePage_) {
    other.Forget();
}

clsToString& clsToString::operator=(const clsToString& other) {
    if (this != &other) {
        // Copies that may fail come first; then our key text is wiped before
        // its buffer goes (the swap hands it to `key`).
        ProgressEvent progress(other.Progress);
        std::u16string key(other.currentKey_);
        wipe_text(currentKey_);
        currentKey_.swap(key);
        Progress = std::move(progress);
        tables_ = other.tables_;
        planes_ = other.planes_;
        planesCurrent_ = other.planesCurrent_;
        codePage_ = other.codePage_;
    }
    return *this;
}

clsToString& clsToString::operator=(clsToString&& other) noexcept {
    if (this != &other) {
        wipe_text(currentKey_);
        Progress = std::move(other.Progress);
        tables_ = other.tables_;
        planes_ = other.planes_;
        planesCurrent_ = other.planesCurrent_;
        currentKey_ = std::move(other.currentKey_);
        codePage_ = other.codePage_;
        other.Forget();
    }
    return *this;
}

clsToString::~clsToString() {
    platform::secure_wipe(&tables_, sizeof tables_);
    platform::secure_wipe(&planes_, sizeof planes_);
    wipe_text(currentKey_);
}

// Back to construction's state, without the key.
void clsToString::Forget() noexcept {
    wipe_text(currentKey_);
    detail::initial_tables(tables_);
    platform::secure_wipe(&planes_, sizeof planes_);
    planesCurrent_ = false;
    Progress = ProgressEvent();
}

void clsToString::Key(std::u16string_view New_Value) {
    // Comparing, copying and encoding the key pass it through the vector
    // registers; clear them on the way out, however it is taken.
    struct ClearRegisters {
        ClearRegisters() = default;
        ClearRegisters(const ClearRegisters&) = delete;
        ClearRegisters& operator=(const ClearRegisters&) = delete;
        ~ClearRegisters() { platform::clear_vector_registers(); }
    } clear_registers;
    if (New_Value == currentKey_) {
        return;
    }
    wipe_text(currentKey_);
    currentKey_.assign(New_Value);
    if (New_Value.empty()) {
        // The legacy set-up indexed the first key byte of an empty key and
        // failed there, before any table word changed. Callers rely on the
        // error, and on the tables staying as they were.
        throw RuntimeError::FromNumber(ErrorKind::InvalidArgument, errnum::kSubscriptOutOfRange,
                                       "empty key after a non-empty key");
    }
    std::vector<std::uint8_t> bytes = codePage_.Encode(New_Value);
    planesCurrent_ = false;
    detail::mix_key(tables_, bytes);
    platform::secure_wipe(bytes.data(), bytes.size());
}

const detail::BytePlanes& clsToString::Planes() noexcept {
    if (!planesCurrent_) {
        detail::build_planes(tables_, planes_);
        planesCurrent_ = true;
    }
    return planes_;
}

// Runs CBC over the next `len` bytes of a message in place, raising
// Progress after the blocks the schedule names. Between two events the
// blocks go through the kernel in one call, so progress costs nothing per
// block; a long decryption run is shared out between threads, and the
// events are raised here, on the caller's thread, once each run is done.
template <bool Encrypt>
void clsToString::RunCbc(detail::CbcRun& run, std::uint8_t* data, std::size_t len) {
    const detail::CbcBackend& backend = detail::cbc_backend();
    const detail::BytePlanes* planes = nullptr;
    if constexpr (!Encrypt) {
        if (backend.planes_from != 0 && len >= backend.planes_from) planes = &Planes();
    }
    auto kernel = [&](std::size_t from, std::size_t to) {
        if constexpr (Encrypt) {
            backend.encrypt(tables_, data + from, to - from, run.chain);
        } else {
            detail::cbc_decrypt_run(backend, tables_, planes, data + from, to - from, run.chain);
        }
    };
    const std::uint64_t end = run.offset + len;
    std::size_t done = 0;
    if (run.report) {
        // Each threshold lies past the block that reported last, so the
        // next event always falls at or after this piece's start.
        for (std::uint64_t k = run.schedule.next_event_block(); k < end && k < run.total;
             k = run.schedule.next_event_block()) {
            const auto upto = static_cast<std::size_t>(k + 8 - run.offset);
            kernel(done, upto);
            done = upto;
            run.percent = run.schedule.advance(k);
            Progress.Raise(run.percent);
        }
    }
    kernel(done, len);
    run.offset = end;
}

// The file operations run the same passes chunk by chunk.
template void clsToString::RunCbc<true>(detail::CbcRun&, std::uint8_t*, std::size_t);
template void clsToString::RunCbc<false>(detail::CbcRun&, std::uint8_t*, std::size_t);

// The closing event carries a 100 of its own; a listener that wrote 100 into
// the running percentage has suppressed it.
void clsToString::CloseProgress(const detail::CbcRun& run) {
    if (run.report && run.percent != 100) {
        std::int32_t hundred = 100;
        Progress.Raise(hundred);
    }
}

void clsToString::EncryptByte(std::vector<std::uint8_t>& ByteArray, std::u16string_view Key) {
    if (!Key.empty()) {
        this->Key(Key);
    }
    (void)detail::checked_encrypted_size(ByteArray.size());
    std::uint32_t words[2];
    detail::draw_random_words(words);
    EncryptLaidOut(ByteArray, words[0], words[1]);
}

void clsToString::EncryptLaidOut(std::vector<std::uint8_t>& ByteArray, std::uint32_t word0, std::uint32_t word1) {
    const std::size_t n = ByteArray.size();
    const auto t = static_cast<std::size_t>(detail::checked_encrypted_size(n));
    if (ByteArray.capacity() < t) {
        // Growing in place would free the plaintext's buffer as it stands:
        // move it to a buffer of the final size ourselves and wipe the old one.
        std::vector<std::uint8_t> grown;
        grown.reserve(t);
        grown.assign(ByteArray.begin(), ByteArray.end());
        platform::secure_wipe(ByteArray.data(), n);
        ByteArray.swap(grown);
    }
    // Layout: random word, random word, N (all least significant byte
    // first), the message, zero fill to a whole block.
    ByteArray.resize(t);
    std::uint8_t* a = ByteArray.data();
    std::memmove(a + detail::kHeaderSize, a, n);
    const std::uint32_t words[2] = {word0, word1};
    detail::write_header(a, words, static_cast<std::uint32_t>(n));
    detail::CbcRun run(t, Progress.HasListeners());
    RunCbc<true>(run, a, t);
    CloseProgress(run);
}

void clsToString::DecryptByte(std::vector<std::uint8_t>& ByteArray, std::u16string_view Key) {
    if (!Key.empty()) {
        this->Key(Key);
    }
    const std::size_t m = ByteArray.size();
    detail::check_cipher_length(m);
    // The first two blocks are deciphered aside and the descriptor tested
    // before anything is written: a wrong key or damaged data leaves the
    // caller's array as it was.
    const std::int32_t s =
        detail::checked_descriptor(tables_, std::span<const std::uint8_t, 16>(ByteArray.data(), 16), m);
    detail::CbcRun run(m, Progress.HasListeners());
    RunCbc<false>(run, ByteArray.data(), m);
    std::memmove(ByteArray.data(), ByteArray.data() + detail::kHeaderSize, static_cast<std::size_t>(s));
    // The bytes past the message (the tail of a copy of it, the zero fill)
    // stay in the array's spare capacity: clear them.
    platform::secure_wipe(ByteArray.data() + static_cast<std::size_t>(s), m - static_cast<std::size_t>(s));
    ByteArray.resize(static_cast<std::size_t>(s));
    CloseProgress(run);
}

std::u16string clsToString::EncryptString(std::u16string_view Text, std::u16string_view Key) {
    // The code-page bytes go into a buffer of the ciphertext's size, so the
    // plaintext is never left behind in a freed one.
    std::vector<std::uint8_t> bytes;
    if (const auto t = detail::encrypted_size(Text.size())) bytes.reserve(*t);
    bytes.resize(Text.size());
    std::transform(Text.begin(), Text.end(), bytes.begin(), [this](char16_t c) { return codePage_.ToByte(c); });
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
