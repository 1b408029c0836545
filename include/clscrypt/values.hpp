#pragma once

#include "clscrypt/language.hpp"

// Many short values under one key state: the shape most data of the format
// takes (passwords, account numbers and settings, one per database row or
// config line). A ValueCipher sets up the keyed tables of each key history
// once and then encrypts, decrypts or re-keys value after value, each with
// its own outcome, so one bad value does not stop the others.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "clscrypt/cipher.hpp"
#include "clscrypt/codepage.hpp"
#include "clscrypt/error.hpp"
#include "clscrypt/export.h"

namespace clscrypt {

namespace detail {
struct ValueAccess;
}  // namespace detail

/// How a ciphertext is stored.
enum class StoredForm : std::int32_t {
    /// The ciphertext bytes themselves, as EncryptByte leaves them.
    Bytes = 0,
    /// Two hexadecimal digits a byte. Written in upper case, with the
    /// chosen separator between pairs (none by default); read in either
    /// case, skipping white space and ASCII punctuation wherever it stands,
    /// so StrToHex's "1F 48 ..." and the tool's "1F48..." both read.
    Hex = 1,
    /// Base64 (RFC 4648, standard alphabet), written padded, read padded or
    /// not.
    Base64 = 2,
    /// EncryptString's text: each ciphertext byte one character through the
    /// code page, UTF-8 encoded.
    String = 3,
};

/// How the plaintext is given and returned.
enum class PlainForm : std::int32_t {
    /// UTF-8 text; it becomes bytes through the code page, as EncryptString
    /// and DecryptString convert theirs.
    Text = 0,
    /// The message bytes as they are.
    Bytes = 1,
};

/// One key history: keys applied in order, exactly as successive settings of
/// the `Key` property. The empty history is the tables as construction
/// leaves them (data written without a key).
using KeyHistory = std::vector<std::u16string>;

/// The outcome of one value.
struct ValueOutcome {
    /// Whether the value was converted; when not, `error` says why and the
    /// output holds nothing.
    bool ok = false;
    ErrorKind error = ErrorKind::Other;
    /// Decrypting and re-keying: the index of the candidate history whose
    /// keys read the value.
    std::size_t candidate = 0;
    explicit operator bool() const noexcept { return ok; }
};

struct ValueOptions {
    CodePage codePage;
    /// Characters of a key or text that the code page lacks become "?" (the
    /// legacy conversion) instead of failing: the constructor with kind
    /// Unmappable for a key, the value with kind Unmappable for a text.
    /// Needed only to read or write data the way a program did from such a
    /// key or text.
    bool replaceUnmappable = false;
    /// Written between hexadecimal pairs (StoredForm::Hex output).
    std::string hexSeparator;
    /// Encrypting and re-keying under an empty target history write data
    /// that anyone can read (the tables construction leaves): they fail each
    /// value with InvalidArgument unless this says that is meant. Reading
    /// data written without a key (an empty candidate history) needs nothing.
    bool allowNoKey = false;
};

/// Encrypts, decrypts and re-keys single values under prepared key states.
///
/// Decrypting tries the candidate histories in the order given until one's
/// size descriptor checks and reports which one matched. The check is the
/// format's only test of a key: a wrong key passes it with probability
/// 8 / 2^32 (about 1.9e-9), so with N candidates a value that matches none is
/// accepted by mistake with probability at most 8N / 2^32, and a value of the
/// last candidate is taken by an earlier, wrong one with probability at most
/// 8(N-1) / 2^32. Order candidates from the most to the least common.
///
/// Encrypting and re-keying write under the `target` history, with fresh
/// random words for each value.
///
/// The batch methods are the fast way to convert many values: the block
/// work of a whole batch runs in a few kernel calls, many values' CBC chains
/// side by side, where one value at a time leaves most of the processor
/// idle. A value of a later candidate costs one more decryption of its first
/// two blocks for each candidate before it (and, below 4 KiB, one of the
/// whole value under the first). Values raise no Progress events, whatever
/// listeners the instances given to the constructor have.
///
/// The methods reuse the caller's output string and the instance's working
/// buffers, so a loop over many values allocates nothing once they have
/// grown. One instance serves one call at a time; separate instances share
/// nothing. Key material and the plaintext passing through the working
/// buffers are wiped. A moved-from instance may be assigned to, destroyed,
/// or asked CandidateCount() (0) and Options() (the defaults); nothing else.
///
/// Errors. A value that fails does not raise: its outcome carries the kind,
/// and LastError() the RuntimeError. Encrypting: 5 InvalidArgument
/// (PlainForm::Text that is not UTF-8), 5 Unmappable (a text character the
/// code page lacks, unless replaceUnmappable), 6 Overflow (too long for the
/// format), 57 System (the random source). Decrypting: 5 InvalidArgument
/// (not in its stored form; a StoredForm::String value with a character the
/// code page lacks is not in its form), 9 or 6 WrongKeyOrDamaged (a length
/// no ciphertext has), class WrongKeyOrDamaged (no candidate reads it).
/// Re-keying: those of decrypting and 57 System. The conversion methods
/// themselves raise only 18 Cancelled (the calling thread's check, asked
/// before each chunk of about 64 KiB of values, the first included, and
/// inside a value longer than a mebibyte at least once a mebibyte) and
/// std::bad_alloc.
///
/// Aliasing. The single-value methods may convert in place: an input that
/// lies in the output string is copied aside first. The inputs of the batch
/// methods are read as they are converted: they must not lie in the output
/// vectors' strings, or a value of a later candidate is read from a cleared
/// output and fails.
///
/// Callbacks and threads: no Progress events and no other callbacks; the
/// cancellation check runs on the calling thread, as does all the work.
class CLSCRYPT_API ValueCipher {
public:
    /// Sets up the tables of every candidate and of the target.
    ///
    /// Errors: 5 InvalidArgument (no candidate); 9 InvalidArgument (the
    /// empty key after a non-empty one in a history); 5 Unmappable (a key
    /// character the code page lacks, unless `options.replaceUnmappable`);
    /// 18 Cancelled (keys of more than 2^19 characters).
    ValueCipher(const std::vector<KeyHistory>& candidates, const KeyHistory& target, ValueOptions options = {});
    /// Instances already keyed, for callers that hold keys in buffers of
    /// their own: each candidate's tables as they stand, and the target's.
    /// The instances' code pages apply to their keys only; texts go through
    /// `options.codePage`. Errors: 5 InvalidArgument (no candidate).
    ValueCipher(std::vector<clsToString> candidates, clsToString target, ValueOptions options = {});
    /// One history to read and write with. Errors: those of the first
    /// constructor but "no candidate".
    explicit ValueCipher(const KeyHistory& keys, ValueOptions options = {});
    ValueCipher(ValueCipher&&) noexcept;
    ValueCipher& operator=(ValueCipher&&) noexcept;
    ValueCipher(const ValueCipher&) = delete;
    ValueCipher& operator=(const ValueCipher&) = delete;
    ~ValueCipher();

    /// `plain` (in `plainForm`) to its ciphertext in `stored` (in `form`).
    ValueOutcome Encrypt(std::string_view plain, PlainForm plainForm, StoredForm form, std::string& stored);
    /// `stored` (in `form`) to its plaintext in `plain` (in `plainForm`).
    ValueOutcome Decrypt(std::string_view stored, StoredForm form, PlainForm plainForm, std::string& plain);
    /// `stored` read with the candidates and written under the target, from
    /// `inForm` to `outForm`; the plaintext stays in the instance's wiped
    /// working buffer.
    ValueOutcome Rekey(std::string_view stored, StoredForm inForm, StoredForm outForm, std::string& rekeyed);

    /// Many values in one call, the way a column or a file of lines is
    /// converted: outputs[i] and outcomes[i] belong to inputs[i]. Both
    /// vectors are resized to the number of inputs and their strings reused,
    /// so a caller converting batch after batch allocates nothing once they
    /// have grown. A value that fails leaves its output empty and does not
    /// stop the others; LastError() then describes the last failure.
    void EncryptMany(std::span<const std::string_view> plain, PlainForm plainForm, StoredForm form,
                     std::vector<std::string>& stored, std::vector<ValueOutcome>& outcomes);
    void DecryptMany(std::span<const std::string_view> stored, StoredForm form, PlainForm plainForm,
                     std::vector<std::string>& plain, std::vector<ValueOutcome>& outcomes);
    void RekeyMany(std::span<const std::string_view> stored, StoredForm inForm, StoredForm outForm,
                   std::vector<std::string>& rekeyed, std::vector<ValueOutcome>& outcomes);

    /// The same, raising the RuntimeError of a failing value (see Errors
    /// above: a wrong key is the class error "Incorrect size descriptor in
    /// Blowfish decryption", WrongKeyOrDamaged; a value that is not in its
    /// stored form error 5, InvalidArgument; a text the code page cannot
    /// carry error 5, Unmappable).
    std::string EncryptOrThrow(std::string_view plain, PlainForm plainForm, StoredForm form);
    std::string DecryptOrThrow(std::string_view stored, StoredForm form, PlainForm plainForm);
    std::string RekeyOrThrow(std::string_view stored, StoredForm inForm, StoredForm outForm);

    /// The error behind the last failed outcome, as the strict methods raise
    /// it (its description names the fault, never the value). Raises 5
    /// InvalidArgument when no value has failed yet.
    [[nodiscard]] const RuntimeError& LastError() const;

    [[nodiscard]] std::size_t CandidateCount() const noexcept;
    [[nodiscard]] const ValueOptions& Options() const noexcept;

private:
    friend struct detail::ValueAccess;
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace clscrypt
