// The SQL functions' work over the public library: ValueCipher for the
// cipher, clsToString for the legacy hexadecimal conversions, clsHsh for the
// digest. Nothing here throws past the C interface.

#include "clscrypt_sql.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "common/hex.hpp"
#include "common/utf.hpp"

namespace {

using namespace clscrypt;

// Key states kept per session. A statement under one key set uses one entry;
// a statement whose rows carry many different keys replaces entries in turn,
// so memory stays bounded whatever the data.
constexpr std::size_t kCacheEntries = 16;

void wipe(void* p, std::size_t n) noexcept {
    auto* v = static_cast<volatile unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) v[i] = 0;
}

template <typename String>
void wipe_string(String& s) noexcept {
    s.resize(s.capacity());
    wipe(s.data(), s.size() * sizeof(typename String::value_type));
    s.clear();
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

struct Entry {
    Digest digest{};
    std::unique_ptr<ValueCipher> cipher;
    std::uint64_t used = 0;
    std::uint64_t serial = 0;
    Entry() = default;
    Entry(Entry&&) noexcept = default;
    Entry& operator=(Entry&&) noexcept = default;
    ~Entry() { wipe(digest.data(), digest.size()); }
};

// Throws the library's error for a failure found here, the way its own
// operations describe theirs.
[[noreturn]] void raise(ErrorKind kind, std::int32_t number, const std::string& context) {
    throw RuntimeError::FromNumber(kind, number, context);
}

constexpr std::int32_t kInvalidArgument = 5;
constexpr std::int32_t kOverflow = 6;
constexpr std::int32_t kInternal = 51;

// Separators a reader of hexadecimal text meets between pairs: white space
// and ASCII punctuation ("1F 48", "1f:48", "1F-48").
constexpr bool is_hex_separator(char c) noexcept {
    if (c == ' ' || (c >= '\t' && c <= '\r')) return true;
    return (c >= '!' && c <= '/') || (c >= ':' && c <= '@') || (c >= '[' && c <= '`') || (c >= '{' && c <= '~');
}

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
    std::vector<Entry> entries;
    ValueCipher* current = nullptr;
    std::uint64_t clock = 0;
    std::uint64_t serials = 0;
    std::string out;
    std::optional<clsToString> legacy;  // keyless, for StrToHex and HexToStr
    std::size_t limit = std::numeric_limits<std::size_t>::max();
    std::int32_t error_number = 0;
    char error_message[512] = {};

    clscrypt_sql_session() { entries.reserve(kCacheEntries); }
    clscrypt_sql_session(const clscrypt_sql_session&) = delete;
    clscrypt_sql_session& operator=(const clscrypt_sql_session&) = delete;
    ~clscrypt_sql_session() { wipe_string(out); }

    // Records a failure without allocating: it may be running out of memory.
    clscrypt_sql_status fail(clscrypt_sql_status status, std::int32_t number, const char* message) noexcept {
        error_number = number;
        std::snprintf(error_message, sizeof error_message, "%s", message);
        wipe(out.data(), out.size());
        out.clear();
        return status;
    }

    clscrypt_sql_status fail(const RuntimeError& e, clscrypt_sql_status invalid_argument) noexcept {
        clscrypt_sql_status status = CLSCRYPT_SQL_INTERNAL;
        switch (e.Kind()) {
            case ErrorKind::WrongKeyOrDamaged: status = CLSCRYPT_SQL_WRONG_KEY; break;
            case ErrorKind::InvalidArgument: status = invalid_argument; break;
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
template <typename F>
clscrypt_sql_status guarded(clscrypt_sql_session* s, clscrypt_sql_status invalid_argument, F&& f) noexcept {
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
// with its length, so that ("ab", "c") and ("a", "bc") differ.
Digest key_digest(int codepage, const clscrypt_sql_slice* keys, std::size_t count) {
    Sha256 h;
    const auto feed_number = [&h](std::uint64_t n) {
        std::array<std::uint8_t, 8> b{};
        for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(n >> (8 * i));
        h.Update(b);
    };
    feed_number(static_cast<std::uint32_t>(codepage));
    feed_number(count);
    for (std::size_t i = 0; i < count; ++i) {
        feed_number(keys[i].size);
        h.Update(std::span(reinterpret_cast<const std::uint8_t*>(keys[i].data), keys[i].size));
    }
    return h.Final();
}

std::unique_ptr<ValueCipher> make_cipher(int codepage, const clscrypt_sql_slice* keys, std::size_t count) {
    ValueOptions options;
    options.codePage = CodePage::FromNumber(codepage);
    // The keys are applied to one instance, which then serves for reading
    // and writing alike: the tables are set up once.
    clsToString keyed(options.codePage);
    for (std::size_t i = 0; i < count; ++i) {
        WipedText key;
        to_utf16({keys[i].data, keys[i].size}, key, ("key " + std::to_string(i + 1)).c_str());
        keyed.Key(key.text);
    }
    std::vector<clsToString> candidates;
    candidates.push_back(keyed);
    return std::make_unique<ValueCipher>(std::move(candidates), std::move(keyed), std::move(options));
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

clscrypt_sql_status clscrypt_sql_select_keys(clscrypt_sql_session* s, int codepage, const clscrypt_sql_slice* keys,
                                             size_t key_count, uint64_t* serial) {
    return guarded(s, CLSCRYPT_SQL_INVALID_ARGUMENT, [&] {
        s->current = nullptr;
        const Digest digest = key_digest(codepage, keys, key_count);
        Entry* slot = nullptr;
        for (Entry& e : s->entries) {
            if (e.digest == digest) slot = &e;
        }
        if (slot == nullptr) {
            auto cipher = make_cipher(codepage, keys, key_count);
            if (s->entries.size() < kCacheEntries) {
                slot = &s->entries.emplace_back();
            } else {
                slot = &*std::min_element(s->entries.begin(), s->entries.end(),
                                          [](const Entry& a, const Entry& b) { return a.used < b.used; });
            }
            slot->digest = digest;
            slot->cipher = std::move(cipher);  // the evicted state wipes itself
            slot->serial = ++s->serials;
        }
        slot->used = ++s->clock;
        s->current = slot->cipher.get();
        if (serial != nullptr) *serial = slot->serial;
    });
}

int clscrypt_sql_reselect(clscrypt_sql_session* s, uint64_t serial) {
    for (Entry& e : s->entries) {
        if (e.serial == serial) {
            e.used = ++s->clock;
            s->current = e.cipher.get();
            return 1;
        }
    }
    return 0;
}

clscrypt_sql_status clscrypt_sql_crypt(clscrypt_sql_session* s, clscrypt_sql_op op, const char* in, size_t size) {
    // A text that cannot become bytes is the caller's value, not a key.
    const clscrypt_sql_status invalid =
        op == CLSCRYPT_SQL_ENCRYPT_TEXT ? CLSCRYPT_SQL_UNTRANSLATABLE : CLSCRYPT_SQL_INVALID_ARGUMENT;
    return guarded(s, invalid, [&] {
        if (s->current == nullptr) raise(ErrorKind::Other, kInternal, "no key selected");
        ValueCipher& c = *s->current;
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
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(in);
        check_hex_size(*s, size, separator_size);
        s->out.clear();
        if (separator_size == 0) {
            s->out.resize(2 * size);
            common::encode_hex(bytes, size, s->out.data());
            return;
        }
        s->out.reserve(2 * size + (size == 0 ? 0 : (size - 1) * separator_size));
        char pair[2];
        for (std::size_t i = 0; i < size; ++i) {
            if (i != 0) s->out.append(separator, separator_size);
            common::encode_hex(bytes + i, 1, pair);
            s->out.append(pair, 2);
        }
    });
}

clscrypt_sql_status clscrypt_sql_from_hex(clscrypt_sql_session* s, const char* in, size_t size) {
    return guarded(s, CLSCRYPT_SQL_BAD_HEX, [&] {
        s->out.clear();
        s->out.reserve(size / 2);
        const auto problem = common::decode_hex({in, size}, is_hex_separator,
                                                [s](std::uint8_t b) { s->out.push_back(static_cast<char>(b)); });
        if (!problem) return;
        if (problem->what == common::HexProblem::What::OddDigits) {
            raise(ErrorKind::InvalidArgument, kInvalidArgument, "hexadecimal text with an odd number of digits");
        }
        raise(ErrorKind::InvalidArgument, kInvalidArgument,
              "not a hexadecimal digit or separator at byte offset " + std::to_string(problem->offset));
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
    wipe(s->out.data(), s->out.size());
    s->out.clear();
}

int32_t clscrypt_sql_error_number(const clscrypt_sql_session* s) {
    return s->error_number;
}

const char* clscrypt_sql_error_message(const clscrypt_sql_session* s) {
    return s->error_message;
}

}  // extern "C"
