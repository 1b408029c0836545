// The rules every surface inherits from the library, run on the shared cases
// of tests/data/conformance.json: known answers, keys the code page cannot
// carry, misaligned and damaged ciphertexts whose errors must not hold a
// byte deciphered from them, and the one reading rule for ciphertext hex.
// Then the instance that refuses changes while an operation runs on it, and
// cancellation between chunks.

#include <atomic>
#include <cctype>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "clscrypt/clscrypt.h"
#include "clscrypt/clscrypt.hpp"
#include "common/utf.hpp"
#include "conformance.hpp"
#include "test_util.hpp"

namespace clscrypt {
namespace {

using test::from_hex;

const nlohmann::json& cases() {
    return test::conformance_cases();
}

std::u16string u16(const std::string& utf8) {
    std::u16string out;
    EXPECT_FALSE(common::decode_utf8(utf8, out)) << "test data is not UTF-8";
    return out;
}

KeyHistory history(const nlohmann::json& keys) {
    KeyHistory h;
    for (const auto& k : keys) h.push_back(u16(k.get<std::string>()));
    return h;
}

clsToString keyed(const nlohmann::json& c, Unmappable policy = Unmappable::Replace) {
    clsToString cipher(CodePage::FromNumber(c["codepage"].get<int>()));
    cipher.SetUnmappable(policy);
    for (const auto& k : history(c["keys"])) cipher.Key(k);
    return cipher;
}

std::string as_string(const std::vector<std::uint8_t>& b) {
    return std::string(b.begin(), b.end());
}

TEST(Conformance, KnownAnswersReadThroughEveryEntryPoint) {
    for (const auto& c : cases()["known_answers"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const auto cipher = from_hex(c["cipher"].get<std::string>());
        const auto message = from_hex(c["message"].get<std::string>());

        clsToString one = keyed(c, Unmappable::Refuse);
        std::vector<std::uint8_t> bytes = cipher;
        one.DecryptByte(bytes);
        EXPECT_EQ(bytes, message);

        ValueOptions options;
        options.codePage = CodePage::FromNumber(c["codepage"].get<int>());
        ValueCipher values(history(c["keys"]), options);
        EXPECT_EQ(values.DecryptOrThrow(c["cipher"].get<std::string>(), StoredForm::Hex, PlainForm::Bytes),
                  as_string(message));
        // The values read ciphertext hex by the one rule: the bytea prefix,
        // lower case and separators too.
        std::string spelled = "\\x";
        for (const char ch : c["cipher"].get<std::string>()) {
            spelled += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (spelled.size() % 5 == 0) spelled += ' ';
        }
        EXPECT_EQ(values.DecryptOrThrow(spelled, StoredForm::Hex, PlainForm::Bytes), as_string(message)) << spelled;

        clsToString streamed = keyed(c);
        DecryptStream s(streamed);
        std::vector<std::uint8_t> out;
        for (std::size_t at = 0; at < cipher.size(); at += 7) {
            s.Update(std::span(cipher).subspan(at, std::min<std::size_t>(7, cipher.size() - at)), out);
        }
        s.Final();
        EXPECT_EQ(out, message);
    }
}

TEST(Conformance, KeysTheCodePageLacksAreRefusedUnlessReplacementIsAsked) {
    for (const auto& c : cases()["unmappable_keys"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        const std::u16string key = u16(c["key"].get<std::string>());
        const CodePage page = CodePage::FromNumber(c["codepage"].get<int>());
        ValueOptions strict;
        strict.codePage = page;
        try {
            ValueCipher refused({key}, strict);
            ADD_FAILURE() << "the key was taken";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::Unmappable);
            EXPECT_EQ(e.Number(), 5);
            const std::string what = e.what();
            EXPECT_NE(what.find("position " + std::to_string(c["position"].get<int>())), std::string::npos) << what;
            if (!c["holder"].is_null()) {
                EXPECT_NE(what.find("code page " + std::to_string(c["holder"].get<int>()) + " has it"),
                          std::string::npos)
                    << what;
            }
            // Neither the key's character nor its UTF-8 bytes.
            for (const char16_t ch : key) {
                if (ch >= 0x80) {
                    std::string utf8;
                    common::append_utf8(utf8, ch);
                    EXPECT_EQ(what.find(utf8), std::string::npos) << what;
                }
            }
        }

        clsToString legacy_class(page);  // the legacy class keeps "?"
        legacy_class.Key(key);
        std::vector<std::uint8_t> bytes = from_hex(c["cipher_with_replacement"].get<std::string>());
        legacy_class.DecryptByte(bytes);
        EXPECT_EQ(bytes, from_hex(c["message"].get<std::string>()));

        clsToString refusing(page);
        refusing.SetUnmappable(Unmappable::Refuse);
        try {
            refusing.Key(key);
            ADD_FAILURE() << "the key was taken";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::Unmappable);
        }
        // Nothing changed: the instance still reads data written without a key.
        const auto unkeyed_answers = test::unkeyed_known_answers();
        ASSERT_FALSE(unkeyed_answers.empty());
        for (const auto& ka : unkeyed_answers) {
            std::vector<std::uint8_t> unkeyed = from_hex(ka.ciphertext);
            refusing.DecryptByte(unkeyed);
            EXPECT_EQ(unkeyed, from_hex(ka.message)) << ka.name;
        }

        ValueOptions replacing = strict;
        replacing.replaceUnmappable = true;
        ValueCipher values({key}, replacing);
        EXPECT_EQ(values.DecryptOrThrow(c["cipher_with_replacement"].get<std::string>(), StoredForm::Hex,
                                        PlainForm::Bytes),
                  as_string(from_hex(c["message"].get<std::string>())));
    }
}

// Every slice of whole blocks at every offset of a ciphertext read with the
// right key: the failures name lengths only, never the descriptor those
// bytes decipher to, nor any piece of the plaintext.
TEST(Conformance, NoMessageHoldsADecipheredByte) {
    const auto& c = cases()["spliced"];
    const auto cipher = from_hex(c["cipher"].get<std::string>());
    std::vector<std::string> forbidden;
    for (const auto& f : c["forbidden"]) forbidden.push_back(f.get<std::string>());
    ValueCipher values(history(c["keys"]));
    clsToString one = keyed(c);
    clscrypt_tostring* handle = nullptr;
    ASSERT_EQ(clscrypt_tostring_new(1252, &handle), CLSCRYPT_OK);
    for (const auto& k : c["keys"]) {
        const std::string key = k.get<std::string>();
        ASSERT_EQ(clscrypt_tostring_set_key_utf8(handle, key.data(), key.size()), CLSCRYPT_OK);
    }
    std::size_t failures = 0;
    auto check = [&](const std::string& message, std::size_t at, std::size_t len) {
        for (const auto& f : forbidden) {
            EXPECT_EQ(message.find(f), std::string::npos) << "offset " << at << ", length " << len << ": " << message;
        }
    };
    for (std::size_t at = 0; at + 16 <= cipher.size(); ++at) {
        for (std::size_t len = 16; at + len <= cipher.size(); len += 8) {
            if (at == 0 && len == cipher.size()) continue;  // the ciphertext itself reads
            const std::vector<std::uint8_t> slice(cipher.begin() + static_cast<std::ptrdiff_t>(at),
                                                  cipher.begin() + static_cast<std::ptrdiff_t>(at + len));
            try {
                std::vector<std::uint8_t> bytes = slice;
                one.DecryptByte(bytes);
            } catch (const RuntimeError& e) {
                ++failures;
                EXPECT_EQ(e.Kind(), ErrorKind::WrongKeyOrDamaged);
                check(e.what(), at, len);
            }
            std::string plain;
            if (!values.Decrypt(std::string_view(reinterpret_cast<const char*>(slice.data()), slice.size()),
                                StoredForm::Bytes, PlainForm::Bytes, plain)) {
                check(values.LastError().what(), at, len);
            }
            try {
                DecryptStream s(one);
                std::vector<std::uint8_t> out;
                s.Update(slice, out);
                s.Final();
            } catch (const RuntimeError& e) {
                check(e.what(), at, len);
            }
            std::uint8_t out[64];
            std::size_t size = sizeof out;
            if (clscrypt_tostring_decrypt(handle, slice.data(), slice.size(), out, &size) != CLSCRYPT_OK) {
                check(clscrypt_error_message(), at, len);
            }
        }
    }
    clscrypt_tostring_free(handle);
    EXPECT_GT(failures, 10U);
}

TEST(Conformance, DamagedCiphertextsFailAsWrongKeyOrDamaged) {
    const auto& keys = cases()["spliced"]["keys"];
    for (const auto& c : cases()["damaged"]) {
        SCOPED_TRACE(c["name"].get<std::string>());
        ValueCipher values(history(keys));
        std::string plain;
        const ValueOutcome o = values.Decrypt(c["cipher"].get<std::string>(), StoredForm::Hex, PlainForm::Bytes, plain);
        EXPECT_FALSE(o.ok);
        EXPECT_STREQ(ErrorKindName(o.error), c["kind"].get<std::string>().c_str());
    }
}

TEST(Conformance, CiphertextHexReadsByOneRule) {
    for (const auto& c : cases()["hex"]) {
        const std::string text = c["text"].get<std::string>();
        SCOPED_TRACE(text);
        std::vector<std::uint8_t> out;
        const std::size_t bad = ReadHex(text, out);
        std::size_t size = 64;
        std::uint8_t c_out[64];
        const clscrypt_status c_status = clscrypt_read_hex(text.data(), text.size(), c_out, &size);
        // Read in two pieces split at every place, and a character at a
        // time, the text gives what it gives whole, faults at the same
        // positions.
        std::vector<std::vector<std::size_t>> splits;
        for (std::size_t at = 0; at <= text.size(); ++at) splits.push_back({at});
        splits.emplace_back();
        for (std::size_t at = 1; at < text.size(); ++at) splits.back().push_back(at);
        for (const auto& cuts : splits) {
            HexReader reader;
            std::vector<std::uint8_t> pieces_out;
            std::size_t from = 0;
            std::size_t first_fault = 0;
            for (std::size_t i = 0; i <= cuts.size(); ++i) {
                const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
                const std::size_t before = pieces_out.size();
                const std::size_t got = reader.Read(std::string_view(text).substr(from, to - from), pieces_out);
                if (got != 0 && first_fault == 0) {
                    first_fault = got;
                    EXPECT_EQ(pieces_out.size(), before);  // nothing of the faulty piece kept
                }
                if (first_fault != 0) {
                    EXPECT_EQ(got, first_fault);
                }
                from = to;
            }
            EXPECT_EQ(reader.Finish(), bad) << "pieces cut at " << ::testing::PrintToString(cuts);
            EXPECT_EQ(reader.Length(), text.size());
            if (bad == 0) {
                EXPECT_EQ(pieces_out, out);
            }
        }
        if (c.contains("bytes")) {
            EXPECT_EQ(bad, 0U);
            EXPECT_EQ(out, from_hex(c["bytes"].get<std::string>()));
            ASSERT_EQ(c_status, CLSCRYPT_OK);
            EXPECT_EQ(std::vector<std::uint8_t>(c_out, c_out + size), out);
            // The values read it the same way.
            EXPECT_EQ(WriteHex(ReadHex(text)), c["bytes"].get<std::string>());
        } else {
            const auto position = c["error_position"].get<std::size_t>();
            EXPECT_EQ(bad, position);
            EXPECT_TRUE(out.empty());
            EXPECT_EQ(c_status, CLSCRYPT_INVALID_ARGUMENT);
            EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_INVALID_ARGUMENT);
            try {
                (void)ReadHex(text);
                ADD_FAILURE() << "read";
            } catch (const RuntimeError& e) {
                EXPECT_EQ(e.Kind(), ErrorKind::InvalidArgument);
                if (position <= text.size()) {
                    EXPECT_NE(std::string(e.what()).find("position " + std::to_string(position)), std::string::npos);
                }
            }
        }
    }
}

// Long texts, read whole and in pieces, give what the rule read a character
// at a time gives: digits of either case make pairs, white space and ASCII
// punctuation are passed over, anything else stops the text at its position.
// The texts are mostly runs of digits (the quick path) broken by separators,
// some at odd offsets, some with a fault, some longer than a mebibyte.
TEST(Conformance, LongCiphertextHexReadsAsTheRuleSays) {
    std::mt19937 gen(7);
    const std::string digits = "0123456789abcdefABCDEF";
    const std::string skipped = " -:\n\t.,";
    const std::vector<std::size_t> sizes = {1, 2, 3, 31, 32, 33, 1000, (std::size_t{1} << 20) + 7};
    for (int round = 0; round < 40; ++round) {
        const std::size_t size = sizes[static_cast<std::size_t>(round) % sizes.size()];
        std::string text;
        while (text.size() < size) {
            const std::uint32_t r = gen();
            if (r % 97 == 0) {
                text += skipped[r % skipped.size()];
            } else {
                text += digits[r % digits.size()];
            }
        }
        if (round % 3 == 0) text[gen() % text.size()] = (round % 2 == 0) ? 'g' : '\x80';
        // The rule, a character at a time.
        std::vector<std::uint8_t> expected;
        std::size_t expected_bad = 0;
        int high = -1;
        for (std::size_t i = 0; i < text.size() && expected_bad == 0; ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (std::isxdigit(c)) {
                const int v = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
                if (high < 0) {
                    high = v;
                } else {
                    expected.push_back(static_cast<std::uint8_t>(high * 16 + v));
                    high = -1;
                }
            } else if (c >= 0x80 || !(std::isspace(c) || std::ispunct(c))) {
                expected_bad = i + 1;
            }
        }
        if (expected_bad == 0 && high >= 0) expected_bad = text.size() + 1;
        SCOPED_TRACE("round " + std::to_string(round) + ", " + std::to_string(text.size()) + " characters");

        std::vector<std::uint8_t> whole;
        EXPECT_EQ(ReadHex(text, whole), expected_bad);
        EXPECT_EQ(whole, expected_bad == 0 ? expected : std::vector<std::uint8_t>{});

        HexReader reader;
        std::vector<std::uint8_t> pieces;
        for (std::size_t from = 0; from < text.size();) {
            const std::size_t n = std::min<std::size_t>(text.size() - from, 1 + gen() % 5000);
            (void)reader.Read(std::string_view(text).substr(from, n), pieces);
            from += n;
        }
        EXPECT_EQ(reader.Finish(), expected_bad);
        if (expected_bad == 0) {
            EXPECT_EQ(pieces, expected);
        }
    }
}

// ---- An instance inside an operation --------------------------------------

std::vector<std::uint8_t> message_of(std::size_t n) {
    std::vector<std::uint8_t> m(n);
    for (std::size_t i = 0; i < n; ++i) m[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return m;
}

TEST(Busy, AListenerCannotChangeTheRunningInstance) {
    const std::vector<std::uint8_t> message = message_of(100000);
    struct Attempt {
        const char* name;
        void (*act)(clsToString& self);
    };
    const Attempt attempts[] = {
        {"Key", [](clsToString& self) { self.Key(u"another key"); }},
        {"EncryptByte with a key", [](clsToString& self) {
             std::vector<std::uint8_t> b(3);
             self.EncryptByte(b, u"another key");
         }},
        {"assigning a new instance", [](clsToString& self) { self = clsToString(); }},
        {"copy-assigning", [](clsToString& self) {
             const clsToString other;
             self = other;
         }},
    };
    for (const Attempt& a : attempts) {
        SCOPED_TRACE(a.name);
        for (const bool encrypt : {true, false}) {
            clsToString c;
            c.Key(u"the key");
            std::vector<std::uint8_t> bytes = message;
            if (!encrypt) c.EncryptByte(bytes);
            int refused = 0;
            bool busy_seen = false;
            c.Progress.Subscribe([&](std::int32_t& percent) {
                if (percent != 50) return;
                busy_seen = c.IsBusy();
                try {
                    a.act(c);
                } catch (const RuntimeError& e) {
                    EXPECT_EQ(e.Kind(), ErrorKind::Busy);
                    ++refused;
                }
            });
            if (encrypt) {
                c.EncryptByte(bytes);
            } else {
                c.DecryptByte(bytes);
            }
            EXPECT_TRUE(busy_seen);
            EXPECT_EQ(refused, 1);
            EXPECT_FALSE(c.IsBusy());
            // The operation finished under the key it started with.
            clsToString reader;
            reader.Key(u"the key");
            if (encrypt) reader.DecryptByte(bytes);
            EXPECT_EQ(bytes, message);
            c.Key(u"free again");  // no longer busy
        }
    }
}

TEST(Busy, AnOpenStreamHoldsItsInstanceUntilItEnds) {
    clsToString c;
    c.Key(u"k");
    {
        EncryptStream s(c, 3);
        EXPECT_TRUE(c.IsBusy());
        EXPECT_THROW(c.Key(u"other"), RuntimeError);
        std::vector<std::uint8_t> out;
        s.Update(std::vector<std::uint8_t>{1, 2, 3}, out);
        s.Final(out);
        EXPECT_FALSE(c.IsBusy());
        clsToString reader;
        reader.Key(u"k");
        reader.DecryptByte(out);
        EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 3}));
    }
    {
        DecryptStream s(c);
        std::vector<std::uint8_t> out;
        // Sixteen bytes of a longer ciphertext, then the end: the stream
        // fails, and a failed stream lets its instance go.
        const std::vector<std::uint8_t> head = message_of(16);
        EXPECT_THROW(
            {
                s.Update(head, out);
                s.Final();
            },
            RuntimeError);
        EXPECT_FALSE(c.IsBusy());
    }
    {
        auto s = std::make_unique<DecryptStream>(c);
        DecryptStream moved(std::move(*s));
        s.reset();
        EXPECT_TRUE(c.IsBusy());
    }
    EXPECT_FALSE(c.IsBusy());
    // A nested operation that only reads the tables is fine.
    std::vector<std::uint8_t> bytes = message_of(5000);
    std::vector<std::uint8_t> nested = message_of(10);
    c.Progress.Subscribe([&](std::int32_t& percent) {
        if (percent == 10) c.EncryptByte(nested);
    });
    c.EncryptByte(bytes);
    EXPECT_EQ(nested.size(), 24U);
}

extern "C" int set_key_from_callback(int32_t* percent, void* user) {
    auto* h = static_cast<clscrypt_tostring*>(user);
    if (*percent == 50) {
        const clscrypt_status s = clscrypt_tostring_set_key_utf8(h, "other", CLSCRYPT_NUL_TERMINATED);
        if (s != CLSCRYPT_ERROR || clscrypt_error_kind() != CLSCRYPT_KIND_BUSY) return 1;
    }
    return 0;
}

extern "C" int free_from_callback(int32_t* percent, void* user) {
    if (*percent == 50) clscrypt_tostring_free(static_cast<clscrypt_tostring*>(user));
    return 0;
}

TEST(Busy, TheCInterfaceRefusesAKeyAndDefersAFreeFromTheCallback) {
    const std::vector<std::uint8_t> message = message_of(4096);
    std::vector<std::uint8_t> out(message.size() + 16);
    clscrypt_tostring* h = nullptr;
    ASSERT_EQ(clscrypt_tostring_new(0, &h), CLSCRYPT_OK);
    ASSERT_EQ(clscrypt_tostring_set_key_utf8(h, "k", CLSCRYPT_NUL_TERMINATED), CLSCRYPT_OK);
    ASSERT_EQ(clscrypt_tostring_set_progress(h, set_key_from_callback, h), CLSCRYPT_OK);
    std::size_t size = out.size();
    ASSERT_EQ(clscrypt_tostring_encrypt(h, message.data(), message.size(), out.data(), &size), CLSCRYPT_OK);
    clsToString reader;
    reader.Key(u"k");
    std::vector<std::uint8_t> back(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(size));
    reader.DecryptByte(back);
    EXPECT_EQ(back, message);

    // Freed inside its own callback: the operation ends normally, then the
    // handle goes (AddressSanitizer and Valgrind see any use after that).
    ASSERT_EQ(clscrypt_tostring_set_progress(h, free_from_callback, h), CLSCRYPT_OK);
    size = out.size();
    EXPECT_EQ(clscrypt_tostring_encrypt(h, message.data(), message.size(), out.data(), &size), CLSCRYPT_OK);
}

// ---- Cancellation ---------------------------------------------------------

struct Countdown {
    std::atomic<int> left;
    int asked = 0;
};

bool count_down(void* context) noexcept {
    auto* c = static_cast<Countdown*>(context);
    ++c->asked;
    return c->left.fetch_sub(1) <= 0;
}

TEST(Cancel, LongOperationsStopBetweenChunks) {
    // Each run is a little over the stride between two looks at the check
    // (four strides for decryption, which shares out longer runs), and the
    // check says stop at its second look: the work stops between chunks,
    // not only before it starts.
    const std::size_t stride = std::size_t{1} << 20;
    struct Case {
        const char* name;
        std::size_t size;
        void (*run)(std::size_t size);
    };
    const Case runs[] = {
        {"EncryptByte", 2 * stride + 100, [](std::size_t n) {
             clsToString c;
             std::vector<std::uint8_t> b(n);
             c.EncryptByte(b, u"k");
         }},
        {"DecryptByte", 5 * stride, [](std::size_t n) {
             clsToString c;
             std::vector<std::uint8_t> b(n);
             {
                 const CancelScope none(nullptr, nullptr);
                 c.EncryptByte(b, u"k");
             }
             c.DecryptByte(b);
         }},
        {"StrToHex", 2 * stride + 100, [](std::size_t n) {
             clsToString c;
             (void)c.StrToHex(std::u16string(n, u'a'));
         }},
        {"HexToStr", 2 * stride + 100, [](std::size_t n) {
             clsToString c;
             (void)c.HexToStr(std::u16string(2 * n, u'4'));
         }},
        {"ReadHex", stride + 100, [](std::size_t n) { (void)ReadHex(std::string(2 * n, '4')); }},
        {"WriteHex", 2 * stride + 100, [](std::size_t n) { (void)WriteHex(std::vector<std::uint8_t>(n)); }},
        {"EncryptMany", 2 * stride, [](std::size_t n) {
             ValueCipher v({u"k"});
             const std::string value(100, 'x');
             const std::vector<std::string_view> in(n / 100, value);
             std::vector<std::string> out;
             std::vector<ValueOutcome> outcomes;
             v.EncryptMany(in, PlainForm::Bytes, StoredForm::Hex, out, outcomes);
         }},
        {"a long key", 2 * stride, [](std::size_t n) {
             clsToString c;
             c.Key(std::u16string(n, u'k'));
         }},
        // One value longer than a stride is asked about inside, not only
        // before its chunk.
        {"ValueCipher::Encrypt", 2 * stride + 100, [](std::size_t n) {
             ValueCipher v({u"k"});
             (void)v.EncryptOrThrow(std::string(n, 'x'), PlainForm::Bytes, StoredForm::Hex);
         }},
        {"ValueCipher::Decrypt", 2 * stride, [](std::size_t n) {
             ValueCipher v({u"k"});
             std::string stored;
             {
                 const CancelScope none(nullptr, nullptr);
                 stored = v.EncryptOrThrow(std::string(n, 'x'), PlainForm::Bytes, StoredForm::Bytes);
             }
             (void)v.DecryptOrThrow(stored, StoredForm::Bytes, PlainForm::Bytes);
         }},
        {"ValueCipher::Rekey", 2 * stride, [](std::size_t n) {
             ValueCipher v({{u"k"}}, {u"other"});
             std::vector<std::uint8_t> b(n);
             {
                 const CancelScope none(nullptr, nullptr);
                 clsToString c;
                 c.EncryptByte(b, u"k");
             }
             (void)v.RekeyOrThrow(std::string(b.begin(), b.end()), StoredForm::Bytes, StoredForm::Base64);
         }},
    };
    for (const Case& c : runs) {
        SCOPED_TRACE(c.name);
        Countdown countdown{1};
        const CancelScope scope(count_down, &countdown);
        try {
            c.run(c.size);
            ADD_FAILURE() << "not cancelled";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::Cancelled);
            EXPECT_EQ(e.Number(), 18);
        }
        EXPECT_EQ(countdown.asked, 2);
    }
    // With a check that never stops, the same work completes.
    Countdown never{1 << 30};
    const CancelScope scope(count_down, &never);
    clsToString c;
    std::vector<std::uint8_t> b(2 * stride + 8);
    c.EncryptByte(b, u"k");
    c.DecryptByte(b);
    EXPECT_EQ(b, std::vector<std::uint8_t>(2 * stride + 8));
    EXPECT_GE(never.asked, 4);

    // One long value through a ValueCipher, a stride at a time: what it
    // writes and reads is what the whole-message operations do.
    std::string message(3 * stride + 5, '\0');
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>(i * 131 + (i >> 9));
    const int before = never.asked;
    ValueCipher v({u"k"});
    const std::string stored = v.EncryptOrThrow(message, PlainForm::Bytes, StoredForm::Bytes);
    std::vector<std::uint8_t> bytes(stored.begin(), stored.end());
    {
        const CancelScope none(nullptr, nullptr);
        c.DecryptByte(bytes);
    }
    EXPECT_TRUE(bytes == std::vector<std::uint8_t>(message.begin(), message.end()));
    {
        const CancelScope none(nullptr, nullptr);
        c.EncryptByte(bytes);
    }
    EXPECT_TRUE(v.DecryptOrThrow(std::string(bytes.begin(), bytes.end()), StoredForm::Bytes, PlainForm::Bytes) ==
                message);
    // Each pass asks before its chunk and at least once a mebibyte of the
    // value's block work.
    EXPECT_GE(never.asked - before, 2 * (1 + 3));
}

extern "C" int c_stop_now(void* context) {
    ++*static_cast<int*>(context);
    return 1;
}

TEST(Cancel, TheCInterfaceInstallsAThreadsCheck) {
    int asked = 0;
    clscrypt_set_cancel_check(c_stop_now, &asked);
    const std::vector<std::uint8_t> message(std::size_t{4} << 20);
    std::vector<std::uint8_t> out(message.size() + 16);
    clscrypt_tostring* h = nullptr;
    ASSERT_EQ(clscrypt_tostring_new(0, &h), CLSCRYPT_OK);
    std::size_t size = out.size();
    EXPECT_EQ(clscrypt_tostring_encrypt(h, message.data(), message.size(), out.data(), &size), CLSCRYPT_CANCELLED);
    EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_CANCELLED);
    EXPECT_EQ(clscrypt_error_number(), 18);
    EXPECT_GE(asked, 1);
    clscrypt_set_cancel_check(nullptr, nullptr);
    size = out.size();
    EXPECT_EQ(clscrypt_tostring_encrypt(h, message.data(), message.size(), out.data(), &size), CLSCRYPT_OK);
    clscrypt_tostring_free(h);
}

}  // namespace
}  // namespace clscrypt
