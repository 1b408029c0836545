// The C interface under hostile callers: sizes beyond the format refused
// before anything is copied, arguments out of range refused without
// undefined behaviour, buffers checked before any work, and status and kind
// that agree.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clscrypt/clscrypt.h"
#include "clscrypt/clscrypt.hpp"

namespace {

struct Handle {
    clscrypt_tostring* h = nullptr;
    Handle() { EXPECT_EQ(clscrypt_tostring_new(0, &h), CLSCRYPT_OK); }
    ~Handle() { clscrypt_tostring_free(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
};

extern "C" int count_events(int32_t*, void* user) {
    ++*static_cast<int*>(user);
    return 0;
}

// A buffer of 64 bytes said to be far longer: the call must refuse on the
// size alone, never reading (AddressSanitizer sees any read past 64 bytes)
// nor forming a pointer past the buffer.
TEST(CApi, SizesBeyondTheFormatAreRefusedBeforeAnyCopy) {
    Handle one;
    std::vector<std::uint8_t> small(64), out(64);
    const std::size_t sizes[] = {std::size_t{0x7FFFFFFF} - 18, std::size_t{0x7FFFFFFF} + 1, SIZE_MAX,
                                 std::size_t{1} << 62};
    for (const std::size_t n : sizes) {
        SCOPED_TRACE(n);
        std::size_t size = out.size();
        EXPECT_EQ(clscrypt_tostring_encrypt(one.h, small.data(), n, out.data(), &size), CLSCRYPT_ERROR);
        EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_OVERFLOW);
        EXPECT_EQ(clscrypt_error_number(), 6);
        uint8_t* made = nullptr;
        EXPECT_EQ(clscrypt_tostring_encrypt_alloc(one.h, small.data(), n, &made, &size), CLSCRYPT_ERROR);
        EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_OVERFLOW);
        EXPECT_EQ(made, nullptr);
        size = out.size();
        EXPECT_NE(clscrypt_tostring_decrypt(one.h, small.data(), n, out.data(), &size), CLSCRYPT_OK);
        EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED);
    }
}

TEST(CApi, ArgumentsOutOfRangeAreRefused) {
    const char* keys[] = {"k"};
    const clscrypt_key_history history{keys, nullptr, 1};
    clscrypt_values* v = nullptr;
    EXPECT_EQ(clscrypt_values_new(&history, 1, nullptr, 0, nullptr, 1u << 7, &v), CLSCRYPT_INVALID_ARGUMENT);
    EXPECT_EQ(v, nullptr);
    ASSERT_EQ(clscrypt_values_new(&history, 1, nullptr, 0, nullptr, 0, &v), CLSCRYPT_OK);
    // Enumerated arguments out of range are tested from C (capi_test.c):
    // making such a value in C++ is undefined behaviour on the caller's side.
    clscrypt_values_free(v);

    EXPECT_EQ(CLSCRYPT_STREAM_OUTPUT_SIZE(SIZE_MAX - 8), SIZE_MAX);
    EXPECT_EQ(CLSCRYPT_STREAM_OUTPUT_SIZE(SIZE_MAX - 16), SIZE_MAX);
    EXPECT_EQ(CLSCRYPT_STREAM_OUTPUT_SIZE(std::size_t{100}), 116U);

    Handle one;
    EXPECT_EQ(clscrypt_tostring_set_key_utf8(one.h, nullptr, CLSCRYPT_NUL_TERMINATED), CLSCRYPT_INVALID_ARGUMENT);
    EXPECT_EQ(clscrypt_tostring_set_key_utf16(one.h, nullptr, CLSCRYPT_NUL_TERMINATED), CLSCRYPT_INVALID_ARGUMENT);
    EXPECT_EQ(clscrypt_tostring_set_key_utf8(one.h, nullptr, 0), CLSCRYPT_OK);  // the empty key
}

// Where the output's size follows from the input, a buffer too small or
// missing is told before any work: no progress event, nothing drawn.
TEST(CApi, BuffersAreCheckedBeforeAnyWork) {
    Handle one;
    ASSERT_EQ(clscrypt_tostring_set_key_utf8(one.h, "k", CLSCRYPT_NUL_TERMINATED), CLSCRYPT_OK);
    int events = 0;
    ASSERT_EQ(clscrypt_tostring_set_progress(one.h, count_events, &events), CLSCRYPT_OK);
    const std::vector<std::uint8_t> message(1000, 7);
    std::vector<std::uint8_t> cipher(1016);
    std::size_t size = 10;
    EXPECT_EQ(clscrypt_tostring_encrypt(one.h, message.data(), message.size(), cipher.data(), &size),
              CLSCRYPT_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 1016U);
    size = cipher.size();
    EXPECT_EQ(clscrypt_tostring_encrypt(one.h, message.data(), message.size(), nullptr, &size),
              CLSCRYPT_INVALID_ARGUMENT);
    EXPECT_EQ(events, 0);
    size = cipher.size();
    ASSERT_EQ(clscrypt_tostring_encrypt(one.h, message.data(), message.size(), cipher.data(), &size), CLSCRYPT_OK);
    events = 0;
    std::vector<std::uint8_t> plain(1000);
    size = 999;
    EXPECT_EQ(clscrypt_tostring_decrypt(one.h, cipher.data(), cipher.size(), plain.data(), &size),
              CLSCRYPT_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 1000U);
    size = plain.size();
    EXPECT_EQ(clscrypt_tostring_decrypt(one.h, cipher.data(), cipher.size(), nullptr, &size),
              CLSCRYPT_INVALID_ARGUMENT);
    EXPECT_EQ(events, 0);
    size = plain.size();
    ASSERT_EQ(clscrypt_tostring_decrypt(one.h, cipher.data(), cipher.size(), plain.data(), &size), CLSCRYPT_OK);
    EXPECT_EQ(plain, message);
    EXPECT_GT(events, 0);
}

TEST(CppApi, AMovedFromValueCipherAnswersAndAShortOutputLeavesAStreamUsable) {
    clscrypt::ValueCipher from({u"k"});
    clscrypt::ValueCipher to(std::move(from));
    EXPECT_EQ(from.CandidateCount(), 0U);  // NOLINT: queried after the move on purpose
    EXPECT_FALSE(from.Options().replaceUnmappable);
    EXPECT_EQ(to.CandidateCount(), 1U);

    clscrypt::clsToString c;
    c.Key(u"k");
    clscrypt::EncryptStream s(c, 3);
    std::uint8_t none[1];
    EXPECT_THROW((void)s.Update(std::span<const std::uint8_t>(), std::span<std::uint8_t>(none, 0)),
                 clscrypt::RuntimeError);
    std::vector<std::uint8_t> out;
    s.Update(std::vector<std::uint8_t>{1, 2, 3}, out);  // still usable
    s.Final(out);
    c.DecryptByte(out);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{1, 2, 3}));
}

}  // namespace

namespace {

// A single value converted into the string it is read from: a value of the
// second candidate is read again after the output was cleared.
TEST(CppApi, ASingleValueConvertsInPlace) {
    using namespace clscrypt;
    ValueCipher second({KeyHistory{u"b"}}, KeyHistory{u"b"});
    ValueCipher both({KeyHistory{u"a"}, KeyHistory{u"b"}}, KeyHistory{u"a"});
    std::string s = second.EncryptOrThrow(std::string(5000, 'x'), PlainForm::Text, StoredForm::Hex);
    const ValueOutcome read = both.Decrypt(s, StoredForm::Hex, PlainForm::Text, s);
    ASSERT_TRUE(read.ok) << both.LastError().what();
    EXPECT_EQ(read.candidate, 1U);
    EXPECT_EQ(s, std::string(5000, 'x'));
    ASSERT_TRUE(both.Encrypt(s, PlainForm::Text, StoredForm::Hex, s));
    ASSERT_TRUE(both.Rekey(s, StoredForm::Hex, StoredForm::Base64, s));
    EXPECT_EQ(both.DecryptOrThrow(s, StoredForm::Base64, PlainForm::Text), std::string(5000, 'x'));
}

TEST(CppApi, TheCodePageCannotChangeUnderARunningOperation) {
    using namespace clscrypt;
    clsToString c;
    int refused = 0;
    c.Progress.Subscribe([&](std::int32_t& percent) {
        if (percent != 0) return;
        try {
            c.SetCodePage(CodePage::FromNumber(1251));
        } catch (const RuntimeError& e) {
            refused += e.Kind() == ErrorKind::Busy;
        }
        try {
            c.SetUnmappable(Unmappable::Refuse);
        } catch (const RuntimeError& e) {
            refused += e.Kind() == ErrorKind::Busy;
        }
    });
    const std::u16string text(200, u'\u00e9');
    const std::u16string cipher = c.EncryptString(text, u"k");
    EXPECT_EQ(refused, 2);
    EXPECT_EQ(c.GetCodePage().Number(), 1252);
    EXPECT_EQ(c.DecryptString(cipher), text);
}

}  // namespace

namespace {

// The C value interface refuses a key its code page lacks, as every surface
// does, unless the legacy "?" is asked for.
TEST(CApi, ValuesRefuseAKeyTheCodePageLacks) {
    const char* keys[] = {"\xD0\xBA\xD0\xBB\xD1\x8E\xD1\x87"};  // a Cyrillic key
    const clscrypt_key_history history{keys, nullptr, 1};
    clscrypt_values* v = nullptr;
    EXPECT_EQ(clscrypt_values_new(&history, 1, nullptr, 1252, nullptr, 0, &v), CLSCRYPT_ERROR);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_UNMAPPABLE);
    EXPECT_EQ(clscrypt_error_number(), 5);
    const std::string message = clscrypt_error_message();
    EXPECT_NE(message.find("position 1"), std::string::npos) << message;
    EXPECT_NE(message.find("code page 1251 has it"), std::string::npos) << message;
    EXPECT_EQ(message.find("\xD0\xBA"), std::string::npos) << message;
    ASSERT_EQ(clscrypt_values_new(&history, 1, nullptr, 1252, nullptr, CLSCRYPT_VALUES_REPLACE_UNMAPPABLE, &v),
              CLSCRYPT_OK);
    clscrypt_values_free(v);
}

}  // namespace

namespace {

// A text converted in pieces gives the bytes and characters of the whole
// conversion, and a refusal in a later piece names the character's place in
// the whole text, as the whole-text call names it. Positions count
// characters: a pair of surrogates in an earlier piece counts once.
TEST(CApi, TextConvertsInPiecesAsAWhole) {
    struct Case {
        const char* name;
        std::u16string text;
        std::vector<std::size_t> cuts;  // where pieces end, before text.size()
        bool refuse;
        std::size_t characters;  // after the last piece, when none is refused
    };
    const std::u16string pairs = u"ab\u20AC\U0001F600c\u00E9\U0001F601de\u0436f";
    const std::u16string plain = u"ab\u20ACc\u00E9de\u0436f";
    const Case cases[] = {
        {"whole, replacing", pairs, {}, false, 11},
        {"a unit or a pair a piece, replacing", pairs, {1, 2, 3, 5, 6, 7, 9, 10, 11, 12}, false, 11},
        {"whole, refusing", plain, {}, true, 0},
        {"refused in the last piece", plain, {3, 5}, true, 0},
        {"refused at a piece's start", plain, {2, 7}, true, 0},
        {"refused at a piece's end", plain, {4, 8}, true, 0},
    };
    const auto page = clscrypt::CodePage::FromNumber(1252);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Handle one;
        ASSERT_EQ(clscrypt_tostring_set_refuse_unmappable(one.h, c.refuse ? 1 : 0), CLSCRYPT_OK);
        const auto* units = reinterpret_cast<const uint16_t*>(c.text.data());
        // What the whole-text call says about it.
        uint16_t* whole = nullptr;
        std::size_t whole_length = 0;
        const clscrypt_status whole_status =
            clscrypt_tostring_str_to_hex_utf16(one.h, units, c.text.size(), nullptr, 0, &whole, &whole_length);
        const std::string whole_message = whole_status == CLSCRYPT_OK ? "" : clscrypt_error_message();
        clscrypt_free(whole);
        EXPECT_EQ(whole_status == CLSCRYPT_OK, !c.refuse);

        std::vector<std::uint8_t> bytes(c.text.size(), 0xEE);
        std::size_t position = 0;
        std::size_t from = 0;
        std::string message;
        std::vector<std::size_t> ends = c.cuts;
        ends.push_back(c.text.size());
        for (const std::size_t end : ends) {
            const std::size_t before = position;
            if (clscrypt_tostring_text_to_bytes_utf16(one.h, units + from, end - from, 1, &position,
                                                      bytes.data() + from) != CLSCRYPT_OK) {
                EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_UNMAPPABLE);
                message = clscrypt_error_message();
                EXPECT_EQ(position, before);
                EXPECT_TRUE(std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                                        [](std::uint8_t b) { return b == 0xEE; }));
                break;
            }
            from = end;
        }
        EXPECT_EQ(message, whole_message);
        if (c.refuse) continue;
        EXPECT_EQ(bytes, page.Encode(c.text));
        EXPECT_EQ(position, c.characters);
        std::u16string back(bytes.size(), u'\0');
        ASSERT_EQ(clscrypt_tostring_bytes_to_text_utf16(one.h, bytes.data(), bytes.size(),
                                                        reinterpret_cast<uint16_t*>(back.data())),
                  CLSCRYPT_OK);
        EXPECT_EQ(back, page.Decode(bytes));
    }
    // check = 0 reads as DecryptString does: "?" for what is missing, never
    // a refusal.
    Handle refusing;
    ASSERT_EQ(clscrypt_tostring_set_refuse_unmappable(refusing.h, 1), CLSCRYPT_OK);
    std::uint8_t out[2] = {};
    std::size_t position = 0;
    const uint16_t missing[] = {0x0436, 0x41};
    ASSERT_EQ(clscrypt_tostring_text_to_bytes_utf16(refusing.h, missing, 2, 0, &position, out), CLSCRYPT_OK);
    EXPECT_EQ(out[0], '?');
    EXPECT_EQ(out[1], 'A');
}

}  // namespace

namespace {

// One value through the single-value C call: its status, result, candidate
// and (on failure) kind.
struct Single {
    clscrypt_status status;
    std::string result;
    std::size_t candidate;
    int kind;
};

template <typename Call>
Single single(Call call) {
    Single s{CLSCRYPT_OK, std::string(4096, '\0'), 0, CLSCRYPT_KIND_NONE};
    std::size_t size = s.result.size();
    s.status = call(s.result.data(), &size, &s.candidate);
    s.result.resize(s.status == CLSCRYPT_OK ? size : 0);
    if (s.status != CLSCRYPT_OK) s.kind = clscrypt_error_kind();
    return s;
}

// A first batch on a fresh handle, spanning several chunks and larger than
// any buffer the library starts with, values of the second candidate and
// values that fail among the rest: each result packed where its offsets
// say, with the outcome the single-value call gives; and an output buffer
// one byte short left as it was, the total needed told.
TEST(CApi, PackedBatchesAgreeWithSingleValuesAndWriteNothingWhenShort) {
    const char* keys[] = {"new", "old"};
    const clscrypt_key_history histories[] = {{&keys[0], nullptr, 1}, {&keys[1], nullptr, 1}};
    clscrypt_values* old_writer = nullptr;
    clscrypt_values* v = nullptr;
    ASSERT_EQ(clscrypt_values_new(&histories[1], 1, nullptr, 1252, nullptr, 0, &old_writer), CLSCRYPT_OK);
    ASSERT_EQ(clscrypt_values_new(histories, 2, nullptr, 1252, nullptr, 0, &v), CLSCRYPT_OK);

    constexpr std::size_t kCount = 3001;
    std::vector<std::string> plain(kCount), stored(kCount);
    for (std::size_t i = 0; i < kCount; ++i) {
        plain[i] = std::string(i % 131, static_cast<char>('a' + i % 26));
        if (i % 5 == 2) plain[i] += "\xC3\xA9\xE2\x82\xAC";  // two bytes in code page 1252, five in UTF-8
        if (i % 61 == 7) {
            stored[i] = i % 2 == 0 ? "not hex" : "0011";  // not in its form; not a ciphertext length
            continue;
        }
        Single s = single([&](char* out, std::size_t* size, std::size_t*) {
            return clscrypt_values_encrypt(i % 3 == 0 ? old_writer : v, plain[i].data(), plain[i].size(),
                                           CLSCRYPT_PLAIN_TEXT, CLSCRYPT_STORED_HEX, out, size);
        });
        ASSERT_EQ(s.status, CLSCRYPT_OK);
        stored[i] = s.result;
    }
    std::string in;
    std::vector<std::size_t> in_offsets{0};
    for (const auto& s : stored) {
        in += s;
        in_offsets.push_back(in.size());
    }

    struct Job {
        const char* name;
        std::function<clscrypt_status(clscrypt_values*, char*, std::size_t*, std::size_t*, clscrypt_value_outcome*)>
            many;
        std::function<clscrypt_status(const std::string&, char*, std::size_t*, std::size_t*)> one;
    };
    const std::vector<Job> jobs = {
        {"decrypt",
         [&](clscrypt_values* h, char* out, std::size_t* size, std::size_t* offsets, clscrypt_value_outcome* o) {
             return clscrypt_values_decrypt_many(h, in.data(), in_offsets.data(), kCount, CLSCRYPT_STORED_HEX,
                                                 CLSCRYPT_PLAIN_TEXT, out, size, offsets, o);
         },
         [&](const std::string& s, char* out, std::size_t* size, std::size_t* candidate) {
             return clscrypt_values_decrypt(v, s.data(), s.size(), CLSCRYPT_STORED_HEX, CLSCRYPT_PLAIN_TEXT, out, size,
                                            candidate);
         }},
        // Base64 out, of other lengths than the input's; re-keying draws new
        // words, so each result is checked by reading it back.
        {"rekey",
         [&](clscrypt_values* h, char* out, std::size_t* size, std::size_t* offsets, clscrypt_value_outcome* o) {
             return clscrypt_values_rekey_many(h, in.data(), in_offsets.data(), kCount, CLSCRYPT_STORED_HEX,
                                               CLSCRYPT_STORED_BASE64, out, size, offsets, o);
         },
         nullptr},
    };
    for (const Job& job : jobs) {
        SCOPED_TRACE(job.name);
        // The total the batch needs, from a call with no room at all.
        std::size_t size = 0;
        std::vector<std::size_t> offsets(kCount + 1, 77);
        std::vector<clscrypt_value_outcome> outcomes(kCount);
        std::string out;
        ASSERT_EQ(job.many(v, out.data(), &size, offsets.data(), outcomes.data()), CLSCRYPT_BUFFER_TOO_SMALL);
        const std::size_t total = size;
        ASSERT_GT(total, std::size_t{64} << 10);
        out.assign(total - 1, '\x5A');
        size = out.size();
        ASSERT_EQ(job.many(v, out.data(), &size, offsets.data(), outcomes.data()), CLSCRYPT_BUFFER_TOO_SMALL);
        EXPECT_EQ(size, total);
        EXPECT_EQ(out, std::string(total - 1, '\x5A'));
        EXPECT_TRUE(std::all_of(offsets.begin(), offsets.end(), [](std::size_t o) { return o == 77; }));

        // A fresh handle: nothing grown yet.
        clscrypt_values* fresh = nullptr;
        ASSERT_EQ(clscrypt_values_new(histories, 2, nullptr, 1252, nullptr, 0, &fresh), CLSCRYPT_OK);
        out.assign(total + 100, '\0');
        size = out.size();
        ASSERT_EQ(job.many(fresh, out.data(), &size, offsets.data(), outcomes.data()), CLSCRYPT_OK);
        clscrypt_values_free(fresh);
        ASSERT_EQ(size, total);
        ASSERT_EQ(offsets[0], 0U);
        for (std::size_t i = 0; i < kCount; ++i) {
            ASSERT_LE(offsets[i], offsets[i + 1]) << i;
            const std::string got = out.substr(offsets[i], offsets[i + 1] - offsets[i]);
            const bool fails = i % 61 == 7;
            ASSERT_EQ(outcomes[i].kind == CLSCRYPT_KIND_NONE, !fails) << i;
            if (fails) {
                EXPECT_TRUE(got.empty()) << i;
                const Single s = single([&](char* o, std::size_t* n, std::size_t* c) {
                    return clscrypt_values_decrypt(v, stored[i].data(), stored[i].size(), CLSCRYPT_STORED_HEX,
                                                   CLSCRYPT_PLAIN_TEXT, o, n, c);
                });
                EXPECT_EQ(outcomes[i].kind, s.kind) << i;
                continue;
            }
            ASSERT_EQ(outcomes[i].candidate, i % 3 == 0 ? 1U : 0U) << i;
            if (job.one) {
                const Single s =
                    single([&](char* o, std::size_t* n, std::size_t* c) { return job.one(stored[i], o, n, c); });
                ASSERT_EQ(got, s.result) << i;
                ASSERT_EQ(outcomes[i].candidate, s.candidate) << i;
            } else {
                // Re-keyed under the target: reads back with the first candidate.
                const Single s = single([&](char* o, std::size_t* n, std::size_t* c) {
                    return clscrypt_values_decrypt(v, got.data(), got.size(), CLSCRYPT_STORED_BASE64,
                                                   CLSCRYPT_PLAIN_TEXT, o, n, c);
                });
                ASSERT_EQ(s.status, CLSCRYPT_OK) << i;
                ASSERT_EQ(s.candidate, 0U) << i;
                ASSERT_EQ(s.result, plain[i]) << i;
            }
        }
    }
    clscrypt_values_free(v);
    clscrypt_values_free(old_writer);
}

}  // namespace
