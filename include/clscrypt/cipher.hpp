#pragma once

#include "clscrypt/language.hpp"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "clscrypt/codepage.hpp"
#include "clscrypt/export.h"
#include "clscrypt/progress.hpp"

// <windows.h> defines EncryptFile and DecryptFile as macros for its own
// functions (EncryptFileW and so on). They are lifted here so the methods keep
// their names, and the class offers the macros' targets as aliases, so calls
// in code that included <windows.h> still reach the methods.
#if defined(_WIN32)
#pragma push_macro("EncryptFile")
#pragma push_macro("DecryptFile")
#undef EncryptFile
#undef DecryptFile
#endif

namespace clscrypt {

class clsToString;

namespace detail {
struct KeyState;
struct InstanceAccess;
struct CbcRun;
struct FileOutput;
struct Busy;
std::unique_ptr<KeyState> take_key_state(clsToString&& c);
std::int32_t checked_descriptor(const clsToString& c, std::span<const std::uint8_t, 16> head, std::uint64_t m);
}  // namespace detail

class EncryptStream;
class DecryptStream;

/// The format's limits. A message of n bytes becomes a ciphertext of
/// 8 * ceil((n + 12) / 8) bytes, and every length is a signed 32-bit value:
/// EncryptedSize gives that length, or nothing past MaxMessageLength.
inline constexpr std::uint64_t MaxCiphertextLength = 0x7FFFFFF8;
inline constexpr std::uint64_t MaxMessageLength = MaxCiphertextLength - 12;
[[nodiscard]] constexpr std::optional<std::uint64_t> EncryptedSize(std::uint64_t n) noexcept {
    if (n > MaxMessageLength) return std::nullopt;
    return (n + 12 + 7) / 8 * 8;
}

/// The legacy cipher: Blowfish-based encryption of byte arrays and strings in
/// a fixed message layout.
///
/// Message layout. A message of N bytes becomes T = 8 * ceil((N + 12) / 8)
/// bytes: two random words, the size N (both least significant byte first),
/// the message, and zero fill, all enciphered in CBC mode with a zero
/// initial value. The random first block therefore acts as an initial value
/// that travels inside the ciphertext.
///
/// Keys. A key is mixed into the tables as they stand, so an instance's
/// tables depend on the whole sequence of distinct keys it was given since
/// construction. Setting the key already in force does nothing. Operations
/// given a non-empty `Key` argument set it first (and it stays in force even
/// when the operation then fails); an empty argument keeps the key in force.
///
/// An instance serves one call at a time; separate instances share nothing.
/// While an operation runs on an instance (its Progress listeners are called
/// from inside it) or a stream on it is open, the instance is busy: a call
/// that would change its key or tables (Key, an operation given a non-empty
/// key, assigning to it) raises RuntimeError kind Busy and the running
/// operation goes on unharmed. A nested operation that only reads the
/// tables, or any call on another instance, is fine. Destroying a busy
/// instance ends the program (std::terminate): the operation would
/// otherwise go on in freed memory.
///
/// Key material (the tables, and the digest of the key text that tells the
/// key in force) is wiped when an instance is destroyed, assigned to or
/// moved from. A moved-from instance is as new: construction's tables, no
/// key, no listeners. Decryption runs on the calling thread only, unless the
/// program asks for more with SetDecryptionThreads (clscrypt/threads.hpp).
///
/// Errors. The methods raise RuntimeError (clscrypt/error.hpp); each one's
/// "Errors:" line gives the number and ErrorKind of each, "class" standing
/// for the class error RuntimeError::ClassError. Memory running out raises
/// std::bad_alloc instead of error 7. An exception thrown by a Progress
/// listener (or a ByteSink) passes through unchanged. Where the line says
/// "cancellable", the calling thread's cancellation check (CancelScope in
/// clscrypt/policy.hpp) may stop the operation with 18 Cancelled. A
/// non-empty `Key` argument adds the errors of Key(), raised before the
/// operation starts.
///
/// Aliasing. Text and path arguments are read (or copied) before anything
/// is written, and results are new strings: an argument may view any text,
/// the caller's own results included. EncryptByte and DecryptByte work in
/// place on the vector they are given.
///
/// Callbacks. Progress listeners (clscrypt/progress.hpp) run synchronously
/// on the thread that called the operation, between blocks, never on a
/// decryption worker; see the busy rule above for what they may call. A
/// longjmp out of a listener, a sink or a cancellation check is not
/// supported: it skips the clean-up (plaintext copies stay unwiped, the
/// instance stays busy for good).
class CLSCRYPT_API clsToString {
public:
    explicit clsToString(CodePage codePage = {});
    /// The copy has the listeners, key state, code page and unmappable
    /// choice of `other`, and is not busy (a busy instance may be copied).
    clsToString(const clsToString& other);
    /// Moving from a busy instance copies it instead, so the running
    /// operation keeps its tables (memory running out for that copy ends the
    /// program: this constructor is noexcept).
    clsToString(clsToString&& other) noexcept;
    /// Assigning to a busy instance, or moving from one, raises 5 Busy and
    /// changes neither.
    clsToString& operator=(const clsToString& other);
    clsToString& operator=(clsToString&& other);
    /// Ends the program (std::terminate) when the instance is busy.
    ~clsToString();

    /// Encrypts `ByteArray` in place: it becomes the T-byte ciphertext of its
    /// former content. Raises error 6 before touching the array when T would
    /// not fit a signed 32-bit length. If a Progress listener throws, the
    /// exception passes through unchanged and the array is left at length T,
    /// holding the laid-out message with the blocks up to that event
    /// enciphered: its former content is lost.
    ///
    /// Errors: 6 Overflow; 57 System (the random source); cancellable (the
    /// array is then left as after a throwing listener).
    void EncryptByte(std::vector<std::uint8_t>& ByteArray, std::u16string_view Key = {});

    /// Encrypts the code-page bytes of `Text` and returns the ciphertext as
    /// text, one character per byte.
    ///
    /// Errors: 5 Unmappable (under Unmappable::Refuse, before the key is
    /// set); those of EncryptByte.
    std::u16string EncryptString(std::u16string_view Text, std::u16string_view Key = {});

    /// Reverses EncryptString.
    ///
    /// Errors: those of DecryptByte.
    std::u16string DecryptString(std::u16string_view Text, std::u16string_view Key = {});

    /// Encrypts the file `SourceFile` into `DestFile`: the destination holds
    /// exactly the bytes EncryptByte would make of the whole source, and
    /// listeners see the same Progress values. The source is streamed in
    /// chunks (memory stays small whatever its size) into a new file beside
    /// the destination, which replaces the destination only once complete
    /// and flushed to disk; on any failure the destination and the source
    /// are as they were. `SourceFile` may equal `DestFile`, also through
    /// symbolic links (the source is read to its end before the destination
    /// is replaced). An existing destination's permissions are kept.
    ///
    /// A symbolic link at the destination is followed to the end of its chain
    /// and the file there is replaced (the new file is made beside it); the
    /// links stay as they are, and a link whose target does not exist yet
    /// has its target created. The new file is renamed over that name, so a
    /// destination with other hard links gets a new inode (the other names
    /// keep the old content). A destination that is not a regular file (a
    /// FIFO, a character or block device), directly or at the end of a link,
    /// is opened and written into instead, never replaced nor truncated:
    /// opening a FIFO waits for its reader, and a failure part way leaves
    /// there what was written so far. A socket cannot be opened as a file and
    /// raises error 57, left as it is. A link as the source is read through.
    ///
    /// Errors: a missing source raises the class error "Error in Skipjack
    /// EncryptFile procedure (Source file does not exist)." (kind
    /// SourceMissing); a source whose ciphertext would not fit the format's
    /// 32-bit length raises 6 Overflow; file system failures raise 53, 57,
    /// 61, 70, 75 or 76 (kind FileSystem) with the path and the system's
    /// reason, 57 also for a source that changed size while it was read; the
    /// random source (header words, the temporary file's name) 57 System;
    /// cancellable. A non-empty `Key` is set once the source is open. The
    /// closing Progress event (100) comes after the destination has been
    /// replaced.
    void EncryptFile(const std::filesystem::path& SourceFile, const std::filesystem::path& DestFile,
                     std::u16string_view Key = {});

    /// Decrypts the file `SourceFile` into `DestFile`, as DecryptByte would
    /// the whole source, with the same guarantees as EncryptFile. The length
    /// and the size descriptor are checked before anything is created: a
    /// wrong key or a damaged file leaves no trace on disk.
    ///
    /// Errors: class SourceMissing; 9 WrongKeyOrDamaged (an empty source, or
    /// a length that is not whole 8-byte blocks of at least 16), 6
    /// WrongKeyOrDamaged (beyond 2^31 - 1 bytes), class WrongKeyOrDamaged (a
    /// wrong key or damaged data); the file and random source errors of
    /// EncryptFile; cancellable.
    void DecryptFile(const std::filesystem::path& SourceFile, const std::filesystem::path& DestFile,
                     std::u16string_view Key = {});

    /// Decrypts `ByteArray` in place: it becomes the message the ciphertext
    /// was made from. The length (at least 16, a multiple of 8; else error
    /// 9) and the size descriptor (else the class error "Incorrect size
    /// descriptor in Blowfish decryption") are checked before anything is
    /// written, so on those failures the array is exactly as passed and no
    /// Progress event is raised. If a Progress listener throws, the exception
    /// passes through unchanged and the array keeps its length, its blocks up
    /// to that event deciphered and the rest still enciphered.
    ///
    /// Errors: 9 WrongKeyOrDamaged (the length), 6 WrongKeyOrDamaged (beyond
    /// 2^31 - 1 bytes), class WrongKeyOrDamaged (the descriptor);
    /// cancellable (the array is then left as after a throwing listener).
    void DecryptByte(std::vector<std::uint8_t>& ByteArray, std::u16string_view Key = {});

    /// The write-only `Key` property: mixes a new key into the tables.
    /// Setting the empty text after a non-empty key raises error 9 and leaves
    /// the tables as they were (the key in force is then empty, so setting
    /// the earlier key again mixes it in a second time). Only the first 72
    /// characters count.
    ///
    /// Errors: 9 InvalidArgument (the empty key after a non-empty one); 5
    /// Unmappable (under Unmappable::Refuse); 5 Busy (while the instance is
    /// busy); cancellable (keys of more than 2^19 characters). The tables
    /// stay as they were on each.
    void Key(std::u16string_view New_Value);

    /// Re-encrypts a file: decrypts `SourceFile` with the key state of
    /// `From` and writes it to `DestFile` encrypted under this instance's key
    /// state, with new random words. It streams like the file operations,
    /// never puts the plaintext on disk, and replaces `DestFile` only once
    /// complete (`SourceFile` may equal `DestFile`). The checks and errors are
    /// those of DecryptFile; Progress is raised by this instance. `From` may
    /// be this instance; both are busy meanwhile.
    void RekeyFile(clsToString& From, const std::filesystem::path& SourceFile, const std::filesystem::path& DestFile);

    /// Receives the output of EncryptFileTo, DecryptFileTo and RekeyFileTo:
    /// every byte, in order, in pieces of at most one mebibyte.
    using ByteSink = std::function<void(std::span<const std::uint8_t> Bytes)>;

    /// EncryptFile, DecryptFile and RekeyFile with the output handed to
    /// `Sink` instead of written to a file: the same bytes, checks, errors
    /// and Progress events, streamed with the same bounded memory. Nothing
    /// reaches `Sink` before the checks that precede the destination's
    /// creation have passed (so a wrong key or a damaged file gives it
    /// nothing), and the closing Progress event comes after its last piece.
    /// An exception thrown by `Sink` ends the operation and passes through
    /// unchanged. Where the bytes go (a file of the caller's own, a pipe, a
    /// device) and how they are made final is the caller's: a failure part
    /// way leaves what `Sink` was given so far. `Sink` runs on the calling
    /// thread while the instance is busy (the busy rule applies to it as to
    /// a listener); the bytes it is given are valid only during the call.
    /// Errors: those of the file operation, less those of the destination.
    void EncryptFileTo(const std::filesystem::path& SourceFile, const ByteSink& Sink, std::u16string_view Key = {});
    void DecryptFileTo(const std::filesystem::path& SourceFile, const ByteSink& Sink, std::u16string_view Key = {});
    void RekeyFileTo(clsToString& From, const std::filesystem::path& SourceFile, const ByteSink& Sink);

#if defined(_WIN32)
    void EncryptFileA(const std::filesystem::path& s, const std::filesystem::path& d, std::u16string_view k = {}) {
        EncryptFile(s, d, k);
    }
    void EncryptFileW(const std::filesystem::path& s, const std::filesystem::path& d, std::u16string_view k = {}) {
        EncryptFile(s, d, k);
    }
    void DecryptFileA(const std::filesystem::path& s, const std::filesystem::path& d, std::u16string_view k = {}) {
        DecryptFile(s, d, k);
    }
    void DecryptFileW(const std::filesystem::path& s, const std::filesystem::path& d, std::u16string_view k = {}) {
        DecryptFile(s, d, k);
    }
#endif

    /// Reads hexadecimal text back into text: pairs of digits "0".."9",
    /// "A".."F" (upper case), each pair starting `Separators` characters
    /// after the end of the previous one; the characters between are not
    /// looked at. Raises error 9 for a character outside "0".."F" at a digit
    /// position (the seven codes between "9" and "A" read as the digit 0) or
    /// a digit position past the end, error 11 for `Separators` = -2, error 9
    /// for other negative counts that reach past the text, and error 6 when
    /// the length plus `Separators` leaves the signed 32-bit range. The
    /// empty text gives the empty text for `Separators` of 0 or more. No
    /// Progress events.
    ///
    /// Errors: 9 SubscriptOutOfRange, 11 DivisionByZero, 6 Overflow, as
    /// above; cancellable (more than 2^20 pairs).
    std::u16string HexToStr(std::u16string_view HexText, std::int32_t Separators = 0);

    /// Writes each character's code-page byte as two upper-case hexadecimal
    /// digits, with as many copies of the first character of `Separator`
    /// between neighbouring pairs as `Separator` has characters ("41--42"
    /// for "AB" with "-+"). The empty text gives the empty text. No Progress
    /// events.
    ///
    /// Errors: 6 Overflow (a result longer than a signed 32-bit length); 5
    /// Unmappable (a character of `Text` the code page lacks, under
    /// Unmappable::Refuse); cancellable (texts of 2^20 characters or more).
    std::u16string StrToHex(std::u16string_view Text, std::u16string_view Separator = u" ");

    /// The code page for keys and text. SetCodePage and SetUnmappable raise
    /// kind Busy (error 5) while the instance is busy: a running operation
    /// still has text to convert (the string EncryptString returns, for
    /// one), which must go through the setting it started with.
    [[nodiscard]] CodePage GetCodePage() const noexcept {
        return codePage_;
    }
    void SetCodePage(CodePage codePage);

    /// What keys and texts do with a character the code page lacks:
    /// Unmappable::Replace (the default here, the legacy class's "?") or
    /// Unmappable::Refuse (Key, the string operations and StrToHex then
    /// raise kind Unmappable before anything changes). The bindings for
    /// other languages refuse unless their caller opts in.
    [[nodiscard]] Unmappable GetUnmappable() const noexcept {
        return unmappable_;
    }
    void SetUnmappable(Unmappable policy);

    /// Whether an operation runs on this instance or a stream on it is open.
    [[nodiscard]] bool IsBusy() const noexcept {
        return busy_ != 0;
    }

    /// The `Progress` event, raised by EncryptByte and DecryptByte (and so by
    /// everything built on them) after blocks and once with 100 at the end.
    ProgressEvent Progress;

private:
    friend struct detail::InstanceAccess;
    friend struct detail::Busy;
    // Instances keyed by their callers hand their key state to a ValueCipher.
    friend std::unique_ptr<detail::KeyState> detail::take_key_state(clsToString&& c);
    // The C interface reads a ciphertext's message length aside, to size its
    // caller's buffer before any work.
    friend std::int32_t detail::checked_descriptor(const clsToString& c, std::span<const std::uint8_t, 16> head,
                                                   std::uint64_t m);
    // The chunked streams (clscrypt/stream.hpp) run the same CBC passes.
    friend class EncryptStream;
    friend class DecryptStream;

    CLSCRYPT_LOCAL void EncryptLaidOut(std::vector<std::uint8_t>& ByteArray, std::uint32_t word0, std::uint32_t word1);
    template <bool Encrypt>
    CLSCRYPT_LOCAL void RunCbc(detail::CbcRun& run, std::uint8_t* data, std::size_t len);
    CLSCRYPT_LOCAL void CloseProgress(const detail::CbcRun& run);
    CLSCRYPT_LOCAL void EncryptFileInto(const std::filesystem::path& SourceFile, detail::FileOutput& out,
                                        std::u16string_view Key);
    CLSCRYPT_LOCAL void DecryptFileInto(const std::filesystem::path& SourceFile, detail::FileOutput& out,
                                        std::u16string_view Key);
    CLSCRYPT_LOCAL void RekeyFileInto(clsToString& From, const std::filesystem::path& SourceFile,
                                      detail::FileOutput& out);
    /// The key-dependent state, made afresh if this instance was moved from.
    CLSCRYPT_LOCAL detail::KeyState& State();

    // The tables and what notices the key in force, on the heap: their
    // layout is no part of this class's.
    std::unique_ptr<detail::KeyState> state_;
    CodePage codePage_;
    Unmappable unmappable_ = Unmappable::Replace;
    // Operations running and streams open on this instance.
    std::uint32_t busy_ = 0;
};

}  // namespace clscrypt

#if defined(_WIN32)
#pragma pop_macro("DecryptFile")
#pragma pop_macro("EncryptFile")
#endif
