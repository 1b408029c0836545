#pragma once

#include "clscrypt/language.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "clscrypt/cipher.hpp"
#include "clscrypt/export.h"

namespace clscrypt {

namespace detail {
struct CbcRun;
}

/// What EncryptStream does when no key was ever set on its instance (nor
/// given to it): the tables are then construction's, and what it writes
/// anyone can read. `Refuse` raises 5 InvalidArgument; `Allow` writes it,
/// for readers that expect data written without a key, as the legacy class
/// did (its EncryptByte still does, unasked).
enum class NoKey : std::uint8_t { Refuse, Allow };

/// Encryption of a message handed over in pieces, for data that is never
/// whole in memory (a file read in chunks, a network body, a browser's File).
/// The message's length must be known up front: the layout stores it in the
/// second block, ahead of the message. The ciphertext comes out as the
/// pieces go in and, joined, is exactly what EncryptByte makes of the whole
/// message with the same header words; listeners of the cipher's Progress
/// see the same values, in the same order, the closing 100 from Final.
///
/// The stream works on the tables of `Cipher`, which must outlive it and must
/// not be given a key or used otherwise until the stream is finished or
/// destroyed: the stream holds `Cipher` busy from its start until Final
/// succeeds, an error fails it, or it goes (Key on `Cipher` raises 5 Busy
/// meanwhile, destroying `Cipher` ends the program). A stream and its
/// instance serve one call at a time, on one thread at a time. Whether
/// Progress is raised is decided when the stream starts; listeners run
/// inside Update and Final, on the calling thread, under the rules of
/// clscrypt/progress.hpp.
///
/// Errors are RuntimeError (number and ErrorKind below; std::bad_alloc when
/// memory runs out); a listener's exception passes through. An output too
/// small leaves the stream as it was, to call again; any other error leaves
/// it failed: later calls raise 5 InvalidArgument.
///
/// Aliasing: the span forms convert in place when `Out` starts where
/// `Chunk` does; any other overlap of `Chunk` with `Out` raises 5
/// InvalidArgument. The vector forms take a `Chunk` anywhere, even inside
/// `Out`.
class CLSCRYPT_API EncryptStream {
public:
    /// Starts the ciphertext of a `Length`-byte message: sets a non-empty
    /// `Key` on `Cipher` first (as EncryptByte does), raises error 6 when the
    /// ciphertext would not fit the format's 32-bit length, refuses an
    /// instance that never had a key unless `IfNoKey` is NoKey::Allow, draws
    /// the header words.
    ///
    /// Errors: those of clsToString::Key for a non-empty `Key`; 6 Overflow;
    /// 5 InvalidArgument (no key, refused); 57 System (the random source).
    EncryptStream(clsToString& Cipher, std::uint64_t Length, std::u16string_view Key = {},
                  NoKey IfNoKey = NoKey::Refuse);
    /// A moved-from stream is finished: its calls raise 5 InvalidArgument.
    EncryptStream(EncryptStream&&) noexcept;
    EncryptStream& operator=(EncryptStream&&) noexcept;
    EncryptStream(const EncryptStream&) = delete;
    EncryptStream& operator=(const EncryptStream&) = delete;
    /// Wipes the message bytes held back for the next block.
    ~EncryptStream();

    /// The most bytes Update or Final writes for a piece of `n` bytes.
    static constexpr std::size_t MaxOutput(std::size_t n) noexcept {
        return n <= std::numeric_limits<std::size_t>::max() - 16 ? n + 16 : std::numeric_limits<std::size_t>::max();
    }

    /// Takes the next piece of the message and writes the ciphertext blocks
    /// it completes to `Out` (at least MaxOutput(Chunk.size()) bytes, else
    /// error 5); returns how many. Bytes past the announced length raise
    /// error 5.
    ///
    /// Errors: 5 InvalidArgument (`Out` too small, a partial overlap, bytes
    /// past the announced length, a stream finished or failed); 18 Cancelled
    /// (the cancellation check).
    std::size_t Update(std::span<const std::uint8_t> Chunk, std::span<std::uint8_t> Out);
    /// The same, appending to `Out`.
    void Update(std::span<const std::uint8_t> Chunk, std::vector<std::uint8_t>& Out);

    /// Writes the last block or two (the message's end and the zero fill)
    /// and raises the closing Progress event. `Out` needs MaxOutput(0)
    /// bytes.
    ///
    /// Errors: 5 InvalidArgument (`Out` too small, fewer bytes came than
    /// were announced, a stream finished or failed); 18 Cancelled.
    std::size_t Final(std::span<std::uint8_t> Out);
    void Final(std::vector<std::uint8_t>& Out);

    /// The ciphertext's whole length, known from the start.
    [[nodiscard]] std::uint64_t CipherLength() const noexcept { return cipher_length_; }

private:
    clsToString* cipher_;
    std::unique_ptr<detail::CbcRun> run_;
    std::uint64_t length_;
    std::uint64_t cipher_length_;
    std::uint64_t received_ = 0;
    std::array<std::uint8_t, 16> pending_{};  // header and message bytes short of a block
    std::size_t pending_len_ = 0;
    bool done_ = false;
    // The instance this stream holds busy until it is finished or fails.
    clsToString* held_ = nullptr;
};

/// Decryption of a ciphertext handed over in pieces. The message's length
/// is read from the first two blocks and the size descriptor is checked as
/// soon as they are in, before any plaintext comes out; the message comes
/// out as the pieces go in and, joined, is exactly what DecryptByte makes
/// of the whole ciphertext, with the same errors (numbers and kinds) and
/// Progress values. As with EncryptStream, `Cipher` must outlive the stream
/// and not be used otherwise meanwhile (it is held busy), an output too
/// small leaves the stream as it was and any other error leaves it failed,
/// and the same aliasing and threading rules hold.
class CLSCRYPT_API DecryptStream {
public:
    /// The ciphertext's length is not known up front.
    static constexpr std::uint64_t UnknownLength = std::numeric_limits<std::uint64_t>::max();

    /// Sets a non-empty `Key` on `Cipher` first. With `Length` given (a
    /// file's size), the length is checked at once, as DecryptByte checks
    /// it, and the descriptor against it. Without, the descriptor tells the
    /// length: more bytes than it announces raise its error at once (a
    /// whole ciphertext extended at its end fails the same way), and Final
    /// raises DecryptByte's error for a ciphertext cut short. Pass the
    /// length when it is known: under a wrong key the descriptor read is
    /// random, and only with the length can it be rejected at the second
    /// block every time; without it, about half of the wrong keys read a
    /// possible length, and their error comes later (when more bytes come
    /// than it announces, or at Final), after some meaningless output.
    ///
    /// Errors: those of clsToString::Key for a non-empty `Key`; 9 or 6
    /// WrongKeyOrDamaged (a `Length` no ciphertext has).
    explicit DecryptStream(clsToString& Cipher, std::u16string_view Key = {}, std::uint64_t Length = UnknownLength);
    /// A moved-from stream is finished: its calls raise 5 InvalidArgument.
    DecryptStream(DecryptStream&&) noexcept;
    DecryptStream& operator=(DecryptStream&&) noexcept;
    DecryptStream(const DecryptStream&) = delete;
    DecryptStream& operator=(const DecryptStream&) = delete;
    /// Wipes the bytes held back.
    ~DecryptStream();

    static constexpr std::size_t MaxOutput(std::size_t n) noexcept { return EncryptStream::MaxOutput(n); }

    /// Takes the next piece of ciphertext and writes the message bytes it
    /// completes to `Out` (at least MaxOutput(Chunk.size()) bytes, else error
    /// 5); returns how many.
    ///
    /// Errors: 5 InvalidArgument (`Out` too small, a partial overlap, bytes
    /// past the `Length` given, a stream finished or failed); class
    /// WrongKeyOrDamaged (the descriptor does not fit, or bytes past the end
    /// it gives); 18 Cancelled.
    std::size_t Update(std::span<const std::uint8_t> Chunk, std::span<std::uint8_t> Out);
    void Update(std::span<const std::uint8_t> Chunk, std::vector<std::uint8_t>& Out);

    /// Checks that the whole ciphertext came and raises the closing Progress
    /// event. The message is complete already: nothing more comes out.
    ///
    /// Errors: 5 InvalidArgument (fewer bytes than the `Length` given, a
    /// stream finished or failed); 9, 6 or class WrongKeyOrDamaged (a
    /// ciphertext cut short). The cancellation check is not asked here.
    void Final();

    /// The message's length, once the first two blocks are in (else -1).
    [[nodiscard]] std::int64_t MessageLength() const noexcept { return message_length_; }

private:
    clsToString* cipher_;
    std::unique_ptr<detail::CbcRun> run_;
    std::uint64_t declared_;
    std::uint64_t received_ = 0;
    std::int64_t message_length_ = -1;
    std::array<std::uint8_t, 16> pending_{};  // the first two blocks, then a block's start
    std::size_t pending_len_ = 0;
    bool done_ = false;
    // The instance this stream holds busy until it is finished or fails.
    clsToString* held_ = nullptr;
};

}  // namespace clscrypt
