// The chunked streams: the message layout of EncryptByte and DecryptByte,
// fed piece by piece. Pieces arrive at any length; whole blocks go through
// the CBC pass as soon as they are complete and the few bytes short of a
// block wait for the next piece. The pass carries its chaining value and its
// progress schedule from piece to piece (detail::CbcRun), so the bytes and
// the events are those of the one-shot operations.

#include "clscrypt/stream.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "cipher/busy.hpp"
#include "cipher/key_state.hpp"
#include "cipher/layout.hpp"
#include "cipher/message.hpp"
#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace {

[[noreturn]] void throw_misuse(const std::string& context) {
    throw RuntimeError::FromNumber(ErrorKind::InvalidArgument, errnum::kInvalidArgument, context);
}

void check_room(std::size_t chunk, std::size_t out) {
    if (out < EncryptStream::MaxOutput(chunk)) {
        throw_misuse("an output of " + std::to_string(out) + " bytes is too small for a piece of " +
                     std::to_string(chunk) + " (it needs 16 more)");
    }
}

// A stream holds its instance busy from construction until it is finished,
// fails or goes: the instance's key must not change under it.
void hold(clsToString*& held, clsToString& c) noexcept {
    held = &c;
    detail::Busy::enter(c);
}

void release(clsToString*& held) noexcept {
    if (held != nullptr) detail::Busy::leave(*held);
    held = nullptr;
}

// Runs `body`; if it throws, marks the stream failed first.
template <typename Body>
auto failing_stops(bool& done, clsToString*& held, Body body) {
    if (done) throw_misuse("the stream is finished or has failed");
    try {
        return body();
    } catch (...) {
        done = true;
        release(held);
        throw;
    }
}

// Pieces may be converted in place: `Out` may start where `Chunk` does. Any
// other overlap is refused, as the rules for the caller's buffers say.
void check_aliasing(std::span<const std::uint8_t> chunk, std::span<std::uint8_t> out) {
    if (chunk.empty() || out.empty() || static_cast<const void*>(out.data()) == chunk.data()) return;
    const std::less<const std::uint8_t*> before;
    if (before(chunk.data(), out.data() + out.size()) && before(out.data(), chunk.data() + chunk.size())) {
        throw_misuse("the output overlaps the input without starting where it does");
    }
}

// Lays the held-back bytes and the largest whole-block prefix of `chunk`
// that `limit` allows side by side in `out`; keeps the rest of `chunk`
// (fewer than 8 bytes, or all of it when `limit` is reached) held back.
// Returns how many bytes `out` holds now. `out` may overlap `chunk`: every
// byte of `chunk` is read (the new held-back bytes first) before the bytes
// that may cover it are written.
std::size_t gather_blocks(std::array<std::uint8_t, 16>& pending, std::size_t& pending_len,
                          std::span<const std::uint8_t> chunk, std::uint8_t* out, std::uint64_t limit) {
    const std::uint64_t avail = pending_len + chunk.size();
    const auto blocks = static_cast<std::size_t>(std::min<std::uint64_t>(avail / 8 * 8, limit));
    if (blocks < pending_len) {
        // Not even the held-back bytes fill a block: hold the piece too.
        if (!chunk.empty()) std::memcpy(pending.data() + pending_len, chunk.data(), chunk.size());
        pending_len += chunk.size();
        return 0;
    }
    const std::size_t from_chunk = blocks - pending_len;
    const std::size_t rest = chunk.size() - from_chunk;
    std::array<std::uint8_t, 16> tail{};
    if (rest > 0) std::memcpy(tail.data(), chunk.data() + from_chunk, rest);
    if (from_chunk > 0) std::memmove(out + pending_len, chunk.data(), from_chunk);
    if (pending_len > 0) std::memcpy(out, pending.data(), pending_len);
    pending = tail;
    platform::secure_wipe(tail.data(), tail.size());
    pending_len = rest;
    return blocks;
}

template <typename Stream>
void append(Stream& s, std::span<const std::uint8_t> chunk, std::vector<std::uint8_t>& out) {
    // A piece taken from the output vector itself would move when the
    // vector grows: work from a copy of it then.
    const std::less<const std::uint8_t*> before;
    if (!chunk.empty() && out.capacity() != 0 && before(chunk.data(), out.data() + out.capacity()) &&
        before(out.data(), chunk.data() + chunk.size())) {
        std::vector<std::uint8_t> copy(chunk.begin(), chunk.end());
        try {
            append(s, std::span<const std::uint8_t>(copy), out);
        } catch (...) {
            platform::secure_wipe(copy.data(), copy.size());
            throw;
        }
        platform::secure_wipe(copy.data(), copy.size());
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + Stream::MaxOutput(chunk.size()));
    std::size_t n = 0;
    try {
        n = s.Update(chunk, std::span<std::uint8_t>(out.data() + at, out.size() - at));
    } catch (...) {
        // A failed piece adds nothing (a throwing listener may leave part
        // of it deciphered there).
        platform::secure_wipe(out.data() + at, out.size() - at);
        out.resize(at);
        throw;
    }
    out.resize(at + n);
}

}  // namespace

// ---- Encryption -----------------------------------------------------------

EncryptStream::EncryptStream(clsToString& Cipher, std::uint64_t Length, std::u16string_view Key, NoKey IfNoKey)
    : cipher_(&Cipher), length_(Length), cipher_length_(0) {
    if (!Key.empty()) {
        Cipher.Key(Key);
    }
    cipher_length_ = detail::checked_encrypted_size(Length);
    if (IfNoKey != NoKey::Allow && !Cipher.State().keyed) {
        throw_misuse("no key to encrypt under: the instance never had one (NoKey::Allow writes data anyone can read)");
    }
    std::uint32_t words[2];
    detail::draw_random_words(words);
    detail::write_header(pending_.data(), words, static_cast<std::uint32_t>(Length));
    pending_len_ = detail::kHeaderSize;
    run_ = std::make_unique<detail::CbcRun>(cipher_length_, Cipher.Progress.HasListeners());
    hold(held_, Cipher);
}

// A moved-from stream is finished, and the bytes it held back are wiped.
EncryptStream::EncryptStream(EncryptStream&& other) noexcept : cipher_(nullptr), length_(0), cipher_length_(0) {
    *this = std::move(other);
}

EncryptStream& EncryptStream::operator=(EncryptStream&& other) noexcept {
    if (this != &other) {
        cipher_ = other.cipher_;
        run_ = std::move(other.run_);
        length_ = other.length_;
        cipher_length_ = other.cipher_length_;
        received_ = other.received_;
        pending_ = other.pending_;
        pending_len_ = other.pending_len_;
        done_ = other.done_;
        release(held_);
        held_ = other.held_;
        other.held_ = nullptr;
        platform::secure_wipe(other.pending_.data(), other.pending_.size());
        other.done_ = true;
    }
    return *this;
}

EncryptStream::~EncryptStream() {
    release(held_);
    platform::secure_wipe(pending_.data(), pending_.size());
}

std::size_t EncryptStream::Update(std::span<const std::uint8_t> Chunk, std::span<std::uint8_t> Out) {
    // Too small an output is the caller's to retry with a larger one: it
    // leaves the stream as it was.
    if (!done_) check_room(Chunk.size(), Out.size());
    return failing_stops(done_, held_, [&] {
        check_aliasing(Chunk, Out);
        if (Chunk.size() > length_ - received_) {
            throw_misuse("more than the " + std::to_string(length_) + " message bytes announced");
        }
        received_ += Chunk.size();
        const std::size_t n = gather_blocks(pending_, pending_len_, Chunk, Out.data(), cipher_length_ - run_->offset);
        cipher_->RunCbc<true>(*run_, Out.data(), n);
        return n;
    });
}

void EncryptStream::Update(std::span<const std::uint8_t> Chunk, std::vector<std::uint8_t>& Out) {
    append(*this, Chunk, Out);
}

std::size_t EncryptStream::Final(std::span<std::uint8_t> Out) {
    if (!done_) check_room(0, Out.size());
    return failing_stops(done_, held_, [&] {
        if (received_ != length_) {
            throw_misuse("the stream ended after " + std::to_string(received_) + " of the " + std::to_string(length_) +
                         " message bytes announced");
        }
        // The held-back bytes and the zero fill make the last block or two.
        const auto n = static_cast<std::size_t>(cipher_length_ - run_->offset);
        std::memcpy(Out.data(), pending_.data(), pending_len_);
        std::memset(Out.data() + pending_len_, 0, n - pending_len_);
        platform::secure_wipe(pending_.data(), pending_.size());
        pending_len_ = 0;
        cipher_->RunCbc<true>(*run_, Out.data(), n);
        done_ = true;
        cipher_->CloseProgress(*run_);
        release(held_);
        return n;
    });
}

void EncryptStream::Final(std::vector<std::uint8_t>& Out) {
    const std::size_t at = Out.size();
    Out.resize(at + MaxOutput(0));
    std::size_t n = 0;
    try {
        n = Final(std::span<std::uint8_t>(Out.data() + at, MaxOutput(0)));
    } catch (...) {
        // A refused end adds nothing to what the caller has.
        Out.resize(at);
        throw;
    }
    Out.resize(at + n);
}

// ---- Decryption -----------------------------------------------------------

DecryptStream::DecryptStream(clsToString& Cipher, std::u16string_view Key, std::uint64_t Length)
    : cipher_(&Cipher), declared_(Length) {
    if (!Key.empty()) {
        Cipher.Key(Key);
    }
    if (Length != UnknownLength) {
        detail::check_cipher_length(Length);
    }
    hold(held_, Cipher);
}

DecryptStream::DecryptStream(DecryptStream&& other) noexcept : cipher_(nullptr), declared_(0) {
    *this = std::move(other);
}

// Member by member, as EncryptStream's: the two share no base class, which
// would put the common state in the public header.
DecryptStream& DecryptStream::operator=(DecryptStream&& other) noexcept {
    if (this != &other) {
        cipher_ = other.cipher_;
        run_ = std::move(other.run_);
        declared_ = other.declared_;
        received_ = other.received_;
        message_length_ = other.message_length_;
        pending_ = other.pending_;
        pending_len_ = other.pending_len_;
        done_ = other.done_;
        release(held_);
        held_ = other.held_;
        other.held_ = nullptr;
        platform::secure_wipe(other.pending_.data(), other.pending_.size());
        other.done_ = true;
    }
    return *this;
}

DecryptStream::~DecryptStream() {
    release(held_);
    platform::secure_wipe(pending_.data(), pending_.size());
}

std::size_t DecryptStream::Update(std::span<const std::uint8_t> Chunk, std::span<std::uint8_t> Out) {
    // Too small an output is the caller's to retry with a larger one: it
    // leaves the stream as it was.
    if (!done_) check_room(Chunk.size(), Out.size());
    return failing_stops(done_, held_, [&] {
        check_aliasing(Chunk, Out);
        if (declared_ != UnknownLength && Chunk.size() > declared_ - received_) {
            throw_misuse("more than the " + std::to_string(declared_) + " ciphertext bytes announced");
        }
        if (!run_) {
            // The first two blocks are collected and the descriptor tested
            // on a copy before any plaintext is written.
            const std::size_t take = std::min(Chunk.size(), 16 - pending_len_);
            if (take > 0) std::memcpy(pending_.data() + pending_len_, Chunk.data(), take);
            pending_len_ += take;
            received_ += take;
            Chunk = Chunk.subspan(take);
            if (pending_len_ < 16) return std::size_t{0};
            const std::span<const std::uint8_t, 16> head(pending_.data(), 16);
            std::uint64_t m = declared_;
            std::int32_t s = 0;
            if (m != UnknownLength) {
                s = detail::checked_descriptor(cipher_->State().tables, head, m);
            } else {
                s = detail::deciphered_descriptor(cipher_->State().tables, head);
                const auto t = s < 0 ? std::nullopt : detail::encrypted_size(static_cast<std::uint64_t>(s));
                if (!t) {
                    detail::throw_descriptor_error("the stream's first 16 bytes do not decrypt under this key");
                }
                m = *t;
            }
            message_length_ = s;
            run_ = std::make_unique<detail::CbcRun>(m, cipher_->Progress.HasListeners());
        }
        const std::uint64_t m = run_->total;
        if (Chunk.size() > m - received_) {
            detail::throw_descriptor_error("the ciphertext goes on past the end its first blocks give");
        }
        received_ += Chunk.size();
        const std::uint64_t at = run_->offset;
        const std::size_t n = gather_blocks(pending_, pending_len_, Chunk, Out.data(), m - at);
        cipher_->RunCbc<false>(*run_, Out.data(), n);
        // Keep only the message: the header and the zero fill are dropped.
        const std::uint64_t message_end = detail::kHeaderSize + static_cast<std::uint64_t>(message_length_);
        const std::uint64_t from = std::max(at, detail::kHeaderSize);
        const std::uint64_t to = std::min(at + n, message_end);
        std::size_t kept = 0;
        if (from < to) {
            kept = static_cast<std::size_t>(to - from);
            std::memmove(Out.data(), Out.data() + (from - at), kept);
        }
        // What lies past the message in `Out` is plaintext too: clear it.
        platform::secure_wipe(Out.data() + kept, n - kept);
        return kept;
    });
}

void DecryptStream::Update(std::span<const std::uint8_t> Chunk, std::vector<std::uint8_t>& Out) {
    append(*this, Chunk, Out);
}

void DecryptStream::Final() {
    failing_stops(done_, held_, [&] {
        if (declared_ != UnknownLength && received_ != declared_) {
            throw_misuse("the stream ended after " + std::to_string(received_) + " of the " +
                         std::to_string(declared_) + " ciphertext bytes announced");
        }
        // A ciphertext cut short fails as DecryptByte would fail on it: its
        // length first, then its descriptor.
        detail::check_cipher_length(received_);
        if (!run_ || received_ != run_->total) {
            detail::throw_descriptor_error("a ciphertext of " + std::to_string(received_) +
                                           " bytes does not decrypt under this key");
        }
        done_ = true;
        cipher_->CloseProgress(*run_);
        release(held_);
    });
}

}  // namespace clscrypt
