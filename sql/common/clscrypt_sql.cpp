// The SQL functions' work over the public library: ValueCipher for the
// cipher, clsToString for the legacy hexadecimal conversions, clsHsh for the
// digest. Nothing here throws past the C interface.

#include "clscrypt_sql.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "common/utf.hpp"

namespace {

using namespace clscrypt;

// Key states kept per session, least recently used first out. A statement
// under one key set uses one entry; one whose rows carry many different keys
// keeps up to kCacheEntries of them set up, and past that sets up again each
// key that was pushed out, so memory stays bounded whatever the data. An
// entry holds the keyed tables three times (the state the keys left, and the
// candidate and target of its ValueCipher: about 4.2 KiB each) and the
// ValueCipher's working buffers, which only ever see values up to
// kSmallValue bytes: about 20 KiB an entry at most, 10 MiB for a full cache.
constexpr std::size_t kCacheEntries = 512;

// Values longer than this are converted by a ValueCipher made for the call
// from the entry's keyed state and dropped (its buffers wiped and freed)
// when the call ends, so no buffer as large as the largest value stays with
// a cached key. Copying the tables costs a few microseconds, against at
// least tens for the block work of such a value.
constexpr std::size_t kSmallValue = 4096;

// The session's output keeps its room between calls only up to this size;
// a larger one is wiped and freed once the database has taken it.
constexpr std::size_t kKeptOutput = 64 * 1024;

template <typename String>
void wipe_string(String& s) noexcept {
    s.resize(s.capacity());
    Wipe(s.data(), s.size() * sizeof(typename String::value_type));
    s.clear();
}

// Wipes a string and gives its memory back.
void release_string(std::string& s) noexcept {
    wipe_string(s);
    std::string().swap(s);
}

// A UTF-16 text that wipes itself: keys and plaintexts pass through.
struct WipedText {
    std::u16string text;
    WipedText() = default;
    WipedText(const WipedText&) = delete;
    WipedText& operator=(const WipedText&) = delete;
    ~WipedText() { wipe_string(text); }
    void push_back(char16_t c) { text.push_back(c); }
};

using Digest = Sha256::Digest;

struct DigestHash {
    std::size_t operator()(const Digest& d) const noexcept {
        std::size_t h = 0;
        std::memcpy(&h, d.data(), sizeof h);  // a SHA-256: any of its words is a good hash
        return h;
    }
};

struct Entry {
    Digest digest{};
    std::uint64_t serial = 0;
    std::optional<clsToString> keyed;    // the state the keys left: a call's own ValueCipher starts from it
    std::unique_ptr<ValueCipher> cipher;  // small values, row after row
    Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;
    ~Entry() { Wipe(digest.data(), digest.size()); }
};

// Throws the library's error for a failure found here, the way its own
// operations describe theirs.
[[noreturn]] void raise(ErrorKind kind, std::int32_t number, const std::string& context) {
    throw RuntimeError::FromNumber(kind, number, context);
}

constexpr std::int32_t kInvalidArgument = 5;
constexpr std::int32_t kOverflow = 6;
constexpr std::int32_t kInternal = 51;

// A text argument that is not UTF-8: the value's fault, told apart from
// arguments the library refuses.
struct TextError : RuntimeError {
    using RuntimeError::RuntimeError;
};

void to_utf16(std::string_view utf8, WipedText& out, const char* what) {
    if (const auto bad = common::decode_utf8(utf8, out)) {
        throw TextError(ErrorKind::InvalidArgument, kInvalidArgument, StandardDescription(kInvalidArgument),
                        std::string(what) + " is not UTF-8 (byte offset " + std::to_string(*bad) + ")");
    }
}

}  // namespace

struct clscrypt_sql_session {
    // The cache: most recently used first, found by digest and by serial.
    std::list<Entry> entries;
    std::unordered_map<Digest, std::list<Entry>::iterator, DigestHash> by_digest;
    std::unordered_map<std::uint64_t, std::list<Entry>::iterator> by_serial;
    Entry* current = nullptr;
    std::uint64_t serials = 0;
    bool replace_unmappable = false;
    clscrypt_sql_cancel_fn cancel = nullptr;
    void* cancel_context = nullptr;
    std::string out;
    std::optional<clsToString> legacy;  // keyless, for StrToHex and HexToStr
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    std::int32_t error_number = 0;
    char error_message[512] = {};

    clscrypt_sql_session() = default;
    clscrypt_sql_session(const clscrypt_sql_session&) = delete;
    clscrypt_sql_session& operator=(const clscrypt_sql_session&) = delete;
    ~clscrypt_sql_session() { wipe_string(out); }

    // Wipes the output; a large one also gives its memory back.
    void drop_output() noexcept {
        if (out.capacity() > kKeptOutput) {
            release_string(out);
        } else {
            Wipe(out.data(), out.size());
            out.clear();
        }
    }

    // Records a failure without allocating: it may be running out of memory.
    clscrypt_sql_status fail(clscrypt_sql_status status, std::int32_t number, const char* message) noexcept {
        error_number = number;
        std::snprintf(error_message, sizeof error_message, "%s", message);
        drop_output();
        return status;
    }

    clscrypt_sql_status fail(const RuntimeError& e, clscrypt_sql_status invalid_argument) noexcept {
        clscrypt_sql_status status = CLSCRYPT_SQL_INTERNAL;
        switch (e.Kind()) {
            case ErrorKind::WrongKeyOrDamaged: status = CLSCRYPT_SQL_WRONG_KEY; break;
            case ErrorKind::InvalidArgument: status = invalid_argument; break;
            case ErrorKind::Unmappable: status = CLSCRYPT_SQL_UNMAPPABLE; break;
            case ErrorKind::Cancelled: status = CLSCRYPT_SQL_CANCELLED; break;
            case ErrorKind::SubscriptOutOfRange: status = CLSCRYPT_SQL_BAD_HEX; break;
            case ErrorKind::DivisionByZero: status = CLSCRYPT_SQL_DIVISION_BY_ZERO; break;
            case ErrorKind::Overflow: status = CLSCRYPT_SQL_OVERFLOW; break;
            case ErrorKind::OutOfMemory: status = CLSCRYPT_SQL_OUT_OF_MEMORY; break;
            default: break;
        }
        return fail(status, e.Number(), e.what());
    }

    clsToString& legacy_for(int codepage) {
        const CodePage page = CodePage::FromNumber(codepage);
        if (!legacy) legacy.emplace(page);
        legacy->SetCodePage(page);
        legacy->SetUnmappable(replace_unmappable ? Unmappable::Replace : Unmappable::Refuse);
        return *legacy;
    }
};

namespace {

// A result the database would refuse, found before it is made.
struct TooBig : RuntimeError {
    using RuntimeError::RuntimeError;
};

// Checks `pairs` pairs of digits with `separator_bytes` between neighbours
// against the limit.
void check_hex_size(const clscrypt_sql_session& s, std::size_t pairs, std::size_t separator_bytes) {
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    const bool fits = pairs <= kMax / 2 && (pairs < 2 || separator_bytes <= (kMax - 2 * pairs) / (pairs - 1));
    const std::size_t size = fits ? 2 * pairs + (pairs == 0 ? 0 : (pairs - 1) * separator_bytes) : kMax;
    if (!fits || size > s.limit) {
        throw TooBig(ErrorKind::Overflow, kOverflow, StandardDescription(kOverflow),
                     "a result of " + (fits ? std::to_string(size) : std::string("more than 2^64")) +
                         " bytes is longer than the database's largest value (" + std::to_string(s.limit) + ")");
    }
}

// Runs `f`, turning every exception into a status. `invalid_argument` is
// the status of the library's InvalidArgument kind for this operation.
// The database's cancel check, asked by the library between chunks of work
// on this thread while a call runs.
struct SessionCancel {
    clscrypt_sql_cancel_fn check;
    void* context;
};

bool ask_cancel(void* p) noexcept {
    const auto* c = static_cast<const SessionCancel*>(p);
    return c->check(c->context) != 0;
}

// Runs `f`, turning every exception into a status. `invalid_argument` is
// the status of the library's InvalidArgument kind for this operation.
template <typename F>
clscrypt_sql_status guarded(clscrypt_sql_session* s, clscrypt_sql_status invalid_argument, F&& f) noexcept {
    SessionCancel cancel{s->cancel, s->cancel_context};
    std::optional<CancelScope> scope;
    if (cancel.check != nullptr) scope.emplace(ask_cancel, &cancel);
    try {
        f();
        return CLSCRYPT_SQL_OK;
    } catch (const TooBig& e) {
        return s->fail(CLSCRYPT_SQL_TOO_BIG, e.Number(), e.what());
    } catch (const TextError& e) {
        return s->fail(e, CLSCRYPT_SQL_UNTRANSLATABLE);
    } catch (const RuntimeError& e) {
        return s->fail(e, invalid_argument);
    } catch (const std::bad_alloc&) {
        return s->fail(CLSCRYPT_SQL_OUT_OF_MEMORY, 7, "Out of memory");
    } catch (const std::exception& e) {
        return s->fail(CLSCRYPT_SQL_INTERNAL, kInternal, e.what());
    } catch (...) {
        return s->fail(CLSCRYPT_SQL_INTERNAL, kInternal, "unexpected failure");
    }
}

// The digest that finds a key set in the cache: the code page and every key
// with its length, so that ("ab", "c") and ("a", "bc") differ, and whether
// unmappable characters become "?".
Digest key_digest(int codepage, bool replace, const clscrypt_sql_slice* keys, std::size_t count) {
    Sha256 h;
    const auto feed_number = [&h](std::uint64_t n) {
        std::array<std::uint8_t, 8> b{};
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(n >> (8 * i));
        h.Update(b);
    };
    feed_number(static_cast<std::uint32_t>(codepage));
    feed_number(replace ? 1 : 0);
    feed_number(count);
    for (std::size_t i = 0; i < count; ++i) {
        feed_number(keys[i].size);
        h.Update(std::span(reinterpret_cast<const std::uint8_t*>(keys[i].data), keys[i].size));
    }
    return h.Final();
}

ValueOptions options_for(int codepage, bool replace) {
    ValueOptions options;
    options.codePage = CodePage::FromNumber(codepage);
    options.replaceUnmappable = replace;
    return options;
}

// A ValueCipher reading and writing under `keyed` alone.
std::unique_ptr<ValueCipher> cipher_of(const clsToString& keyed, const ValueOptions& options) {
    std::vector<clsToString> candidates;
    candidates.push_back(keyed);
    return std::make_unique<ValueCipher>(std::move(candidates), keyed, options);
}

// The keys applied in order to one instance, which then serves for reading
// and writing alike: the tables are set up once. A key with a character the
// code page lacks is refused (kind Unmappable, naming the key and the
// position) unless the session takes "?" for it as the legacy program did.
void apply_keys(clsToString& keyed, bool replace, const clscrypt_sql_slice* keys, std::size_t count) {
    keyed.SetUnmappable(replace ? Unmappable::Replace : Unmappable::Refuse);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string what = "key " + std::to_string(i + 1);
        WipedText key;
        to_utf16({keys[i].data, keys[i].size}, key, what.c_str());
        keyed.GetCodePage().CheckMappable(key.text, keyed.GetUnmappable(), what);
        keyed.Key(key.text);
    }
}

}  // namespace

extern "C" {

clscrypt_sql_session* clscrypt_sql_new(void) {
    try {
        return new clscrypt_sql_session();
    } catch (...) {
        return nullptr;
    }
}

void clscrypt_sql_free(clscrypt_sql_session* session) {
    delete session;
}

void clscrypt_sql_set_output_limit(clscrypt_sql_session* s, size_t limit) {
    s->limit = limit;
}

int clscrypt_sql_codepage_known(int codepage) {
    try {
        const auto all = CodePage::Available();
        return std::find(all.begin(), all.end(), codepage) != all.end() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

const char* clscrypt_sql_codepage_list(void) {
    try {
        static const std::string list = [] {
            std::string s;
            auto all = CodePage::Available();
            std::sort(all.begin(), all.end());
            for (const int n : all) s += (s.empty() ? "" : ", ") + std::to_string(n);
            return s;
        }();
        return list.c_str();
    } catch (...) {
        return "";
    }
}

void clscrypt_sql_set_replace_unmappable(clscrypt_sql_session* s, int replace) {
    s->replace_unmappable = replace != 0;
}

void clscrypt_sql_set_cancel_check(clscrypt_sql_session* s, clscrypt_sql_cancel_fn check, void* context) {
    s->cancel = check;
    s->cancel_context = context;
}

clscrypt_sql_status clscrypt_sql_select_keys(clscrypt_sql_session* s, int codepage, const clscrypt_sql_slice* keys,
                                             size_t key_count, uint64_t* serial) {
    return guarded(s, CLSCRYPT_SQL_INVALID_ARGUMENT, [&] {
        s->current = nullptr;
        const bool replace = s->replace_unmappable;
        const Digest digest = key_digest(codepage, replace, keys, key_count);
        auto found = s->by_digest.find(digest);
        if (found != s->by_digest.end()) {
            s->entries.splice(s->entries.begin(), s->entries, found->second);
        } else {
            // Set up before anything is evicted: a key the library refuses
            // leaves the cache as it was.
            clsToString keyed(CodePage::FromNumber(codepage));
            apply_keys(keyed, replace, keys, key_count);
            auto cipher = cipher_of(keyed, options_for(codepage, replace));
            if (s->entries.size() >= kCacheEntries) {
                Entry& last = s->entries.back();
                s->by_digest.erase(last.digest);
                s->by_serial.erase(last.serial);
                s->entries.pop_back();  // the evicted state wipes itself
            }
            Entry& e = s->entries.emplace_front();
            e.digest = digest;
            e.serial = ++s->serials;
            e.keyed.emplace(std::move(keyed));
            e.cipher = std::move(cipher);
            s->by_digest.emplace(digest, s->entries.begin());
            s->by_serial.emplace(e.serial, s->entries.begin());
        }
        s->current = &s->entries.front();
        if (serial != nullptr) *serial = s->current->serial;
    });
}

int clscrypt_sql_reselect(clscrypt_sql_session* s, uint64_t serial) {
    const auto found = s->by_serial.find(serial);
    if (found == s->by_serial.end()) return 0;
    s->entries.splice(s->entries.begin(), s->entries, found->second);
    s->current = &s->entries.front();
    return 1;
}

void clscrypt_sql_wipe(void* data, size_t size) {
    Wipe(data, size);
}

size_t clscrypt_sql_cache_capacity(void) {
    return kCacheEntries;
}

clscrypt_sql_status clscrypt_sql_crypt(clscrypt_sql_session* s, clscrypt_sql_op op, const char* in, size_t size) {
    // A text that cannot become bytes is the caller's value, not a key.
    const clscrypt_sql_status invalid =
        op == CLSCRYPT_SQL_ENCRYPT_TEXT ? CLSCRYPT_SQL_UNTRANSLATABLE : CLSCRYPT_SQL_INVALID_ARGUMENT;
    return guarded(s, invalid, [&] {
        if (s->current == nullptr) raise(ErrorKind::Other, kInternal, "no key selected");
        Entry& entry = *s->current;
        // A long value goes through a ValueCipher of its own, dropped with
        // its buffers when the call ends (the library asks the cancel check
        // inside the value).
        std::unique_ptr<ValueCipher> own;
        if (size > kSmallValue) own = cipher_of(*entry.keyed, entry.cipher->Options());
        ValueCipher& c = own ? *own : *entry.cipher;
        const std::string_view value(in, size);
        ValueOutcome outcome;
        switch (op) {
            case CLSCRYPT_SQL_ENCRYPT_BYTES:
                outcome = c.Encrypt(value, PlainForm::Bytes, StoredForm::Bytes, s->out);
                break;
            case CLSCRYPT_SQL_ENCRYPT_TEXT:
                outcome = c.Encrypt(value, PlainForm::Text, StoredForm::Bytes, s->out);
                break;
            case CLSCRYPT_SQL_DECRYPT_BYTES:
                outcome = c.Decrypt(value, StoredForm::Bytes, PlainForm::Bytes, s->out);
                break;
            case CLSCRYPT_SQL_DECRYPT_TEXT:
                outcome = c.Decrypt(value, StoredForm::Bytes, PlainForm::Text, s->out);
                break;
            default: raise(ErrorKind::InvalidArgument, kInvalidArgument, "unknown operation");
        }
        if (!outcome) throw c.LastError();
    });
}

clscrypt_sql_status clscrypt_sql_to_hex(clscrypt_sql_session* s, const char* in, size_t size, const char* separator,
                                        size_t separator_size) {
    return guarded(s, CLSCRYPT_SQL_INVALID_ARGUMENT, [&] {
        check_hex_size(*s, size, separator_size);
        release_string(s->out);
        s->out = WriteHex(std::span(reinterpret_cast<const std::uint8_t*>(in), size), {separator, separator_size});
    });
}

clscrypt_sql_status clscrypt_sql_from_hex(clscrypt_sql_session* s, const char* in, size_t size) {
    return guarded(s, CLSCRYPT_SQL_BAD_HEX, [&] {
        std::vector<std::uint8_t> bytes = ReadHex({in, size});
        s->drop_output();
        s->out.assign(bytes.begin(), bytes.end());
        Wipe(bytes.data(), bytes.size());
    });
}

clscrypt_sql_status clscrypt_sql_str_to_hex(clscrypt_sql_session* s, int codepage, const char* text, size_t size,
                                            const char* separator, size_t separator_size) {
    return guarded(s, CLSCRYPT_SQL_INVALID_ARGUMENT, [&] {
        clsToString& legacy = s->legacy_for(codepage);
        WipedText text16, separator16, hex16;
        to_utf16({text, size}, text16, "the text");
        to_utf16({separator, separator_size}, separator16, "the separator");
        // The separator's first character, as often as it has characters.
        std::size_t repeated = 0;
        if (!separator16.text.empty()) {
            std::string first;
            common::append_utf8(first, common::code_point_at(separator16.text, 0).first);
            repeated = separator16.text.size() * first.size();
        }
        check_hex_size(*s, text16.text.size(), repeated);
        hex16.text = legacy.StrToHex(text16.text, separator16.text);
        s->out = common::utf16_to_utf8(hex16.text);
    });
}

clscrypt_sql_status clscrypt_sql_hex_to_str(clscrypt_sql_session* s, int codepage, const char* hex, size_t size,
                                            int64_t separators) {
    return guarded(s, CLSCRYPT_SQL_INVALID_ARGUMENT, [&] {
        if (separators < std::numeric_limits<std::int32_t>::min() ||
            separators > std::numeric_limits<std::int32_t>::max()) {
            raise(ErrorKind::Overflow, kOverflow, "separator count " + std::to_string(separators) + " beyond 32 bits");
        }
        clsToString& legacy = s->legacy_for(codepage);
        WipedText hex16;
        to_utf16({hex, size}, hex16, "the hexadecimal text");
        WipedText plain;
        plain.text = legacy.HexToStr(hex16.text, static_cast<std::int32_t>(separators));
        s->out = common::utf16_to_utf8(plain.text);
    });
}

clscrypt_sql_status clscrypt_sql_sha256(clscrypt_sql_session* s, const char* text, size_t size) {
    return guarded(s, CLSCRYPT_SQL_INVALID_ARGUMENT, [&] {
        WipedText text16;
        to_utf16({text, size}, text16, "the text");
        s->out = clsHsh().SHA256(text16.text);
    });
}

const char* clscrypt_sql_output(const clscrypt_sql_session* s, size_t* size) {
    *size = s->out.size();
    return s->out.data();
}

void clscrypt_sql_take_output(clscrypt_sql_session* s, void* dest) {
    if (dest != nullptr && !s->out.empty()) std::memcpy(dest, s->out.data(), s->out.size());
    s->drop_output();
}

int32_t clscrypt_sql_error_number(const clscrypt_sql_session* s) {
    return s->error_number;
}

const char* clscrypt_sql_error_message(const clscrypt_sql_session* s) {
    return s->error_message;
}

}  // extern "C"
