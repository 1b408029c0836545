#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "cipher/blowfish.hpp"
#include "cipher/busy.hpp"
#include "cipher/kernels/dispatch.hpp"
#include "cipher/kernels/portable.hpp"
#include "cipher/key_state.hpp"
#include "cipher/layout.hpp"
#include "cipher/message.hpp"
#include "cipher/parallel.hpp"
#include "clscrypt/cipher.hpp"
#include "clscrypt/digest.hpp"
#include "clscrypt/error.hpp"
#include "clscrypt/threads.hpp"
#include "common/cancel.hpp"
#include "common/error_numbers.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

clsToString::clsToString(CodePage codePage) : state_(std::make_unique<detail::KeyState>()), codePage_(codePage) {}

clsToString::clsToString(const clsToString& other)
    : Progress(other.Progress),
      state_(other.state_ ? std::make_unique<detail::KeyState>(*other.state_) : nullptr),
      codePage_(other.codePage_),
      unmappable_(other.unmappable_) {}

// The moved-from instance keeps no state: it is made afresh, as
// construction's, when next needed. A busy one is copied instead: the
// operation running on it keeps its tables and its listeners.
clsToString::clsToString(clsToString&& other) noexcept : codePage_(other.codePage_), unmappable_(other.unmappable_) {
    if (other.busy_ != 0) {
        Progress = other.Progress;
        if (other.state_) state_ = std::make_unique<detail::KeyState>(*other.state_);
        return;
    }
    Progress = std::move(other.Progress);
    state_ = std::move(other.state_);
    other.Progress = ProgressEvent();
}

clsToString& clsToString::operator=(const clsToString& other) {
    if (this != &other) {
        detail::Busy::refuse_if_busy(*this, "assigning to the instance");
        // What may fail comes first; then the state is overwritten in place
        // (every byte of the old key material with it) or replaced.
        ProgressEvent progress(other.Progress);
        std::unique_ptr<detail::KeyState> made;
        if (other.state_ && !state_) made = std::make_unique<detail::KeyState>(*other.state_);
        Progress = std::move(progress);
        if (!other.state_) {
            state_.reset();
        } else if (made) {
            state_ = std::move(made);
        } else {
            *state_ = *other.state_;
        }
        codePage_ = other.codePage_;
        unmappable_ = other.unmappable_;
    }
    return *this;
}

clsToString& clsToString::operator=(clsToString&& other) {
    if (this != &other) {
        detail::Busy::refuse_if_busy(*this, "assigning to the instance");
        detail::Busy::refuse_if_busy(other, "moving from the instance");
        Progress = std::move(other.Progress);
        state_ = std::move(other.state_);  // our old state is wiped as it goes
        codePage_ = other.codePage_;
        unmappable_ = other.unmappable_;
        other.Progress = ProgressEvent();
    }
    return *this;
}

clsToString::~clsToString() {
    // An operation or a stream still running on this instance would go on
    // in freed memory: stop here instead.
    if (busy_ != 0) std::terminate();
}

void clsToString::SetCodePage(CodePage codePage) {
    detail::Busy::refuse_if_busy(*this, "changing the code page");
    codePage_ = codePage;
}

void clsToString::SetUnmappable(Unmappable policy) {
    detail::Busy::refuse_if_busy(*this, "changing what becomes of unmappable characters");
    unmappable_ = policy;
}

detail::KeyState& clsToString::State() {
    if (!state_) state_ = std::make_unique<detail::KeyState>();
    return *state_;
}

void clsToString::Key(std::u16string_view New_Value) {
    detail::Busy::refuse_if_busy(*this, "setting the key");
    detail::apply_key(State(), codePage_, unmappable_, New_Value);
}

// Runs CBC over the next `len` bytes of a message in place, raising
// Progress after the blocks the schedule names. Between two events the
// blocks go through the kernel in one call, so progress costs nothing per
// block; a long decryption run is shared out between threads, and the
// events are raised here, on the caller's thread, once each run is done.
template <bool Encrypt>
void clsToString::RunCbc(detail::CbcRun& run, std::uint8_t* data, std::size_t len) {
    const detail::CbcBackend& backend = detail::cbc_backend();
    detail::KeyState& state = State();
    const detail::BytePlanes* planes = nullptr;
    if constexpr (!Encrypt) {
        if (backend.planes_from != 0 && len >= backend.planes_from) planes = &state.current_planes();
    }
    auto kernel = [&](std::size_t from, std::size_t to) {
        if constexpr (Encrypt) {
            backend.encrypt(state.tables, data + from, to - from, run.chain);
        } else {
            detail::cbc_decrypt_run(backend, state.tables, planes, data + from, to - from, run.chain, &run.overlap);
        }
    };
    // With a cancellation check installed, the kernel runs a stride at a
    // time and the check is asked between strides (decryption takes longer
    // strides, which it may share out between threads).
    const bool cancellable = common::cancel_hook().check != nullptr;
    const std::size_t stride = Encrypt ? common::kCancelStride : 4 * common::kCancelStride;
    auto checked_kernel = [&](std::size_t from, std::size_t to) {
        if (!cancellable) return kernel(from, to);
        while (from < to) {
            common::check_cancelled();
            const std::size_t upto = to - from > stride ? from + stride : to;
            kernel(from, upto);
            from = upto;
        }
    };
    const std::uint64_t end = run.offset + len;
    std::size_t done = 0;
    if (run.report) {
        // Each threshold lies past the block that reported last, so the
        // next event always falls at or after this piece's start. A file's
        // chunk, deciphered beside its reads and writes, is cut no shorter
        // than a run worth sharing out, and the events of blocks in a cut
        // are raised once it is done: cut at its event, the chunk would go
        // on one thread, its reads and writes after it. The file's buffer
        // is its own, so nobody sees blocks deciphered past an event.
        const std::size_t shortest =
            !Encrypt && run.overlap != nullptr ? detail::decryption_shared_run() / 8 * 8 : 0;
        for (std::uint64_t k = run.schedule.next_event_block(); k < end && k < run.total;
             k = run.schedule.next_event_block()) {
            const auto upto = std::min(len, std::max(static_cast<std::size_t>(k + 8 - run.offset), done + shortest));
            checked_kernel(done, upto);
            done = upto;
            for (; k < run.offset + upto && k < run.total; k = run.schedule.next_event_block()) {
                run.percent = run.schedule.advance(k);
                Progress.Raise(run.percent);
            }
        }
    }
    checked_kernel(done, len);
    run.offset = end;
    if (run.overlap != nullptr) {
        // Not shared out (one thread, a short piece, or the workers busy
        // with another run): the same work, after the piece.
        const detail::Overlap* const side = std::exchange(run.overlap, nullptr);
        side->call(side->context);
    }
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
    const detail::BusyScope busy(*this);
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
        detail::checked_descriptor(State().tables, std::span<const std::uint8_t, 16>(ByteArray.data(), 16), m);
    const detail::BusyScope busy(*this);
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
    codePage_.CheckMappable(Text, unmappable_, "the text");
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

void SetDecryptionThreads(unsigned threads) noexcept {
    detail::set_decryption_thread_limit(threads < 2 ? 1 : threads);
}

unsigned GetDecryptionThreads() noexcept {
    return static_cast<unsigned>(detail::decryption_thread_budget());
}

}  // namespace clscrypt
