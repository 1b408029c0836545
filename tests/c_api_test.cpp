// The C interface under hostile callers: sizes beyond the format refused
// before anything is copied, arguments out of range refused without
// undefined behaviour, buffers checked before any work, and status and kind
// that agree.

#include <cstdint>
#include <cstring>
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
