// The message layout: known answers, sizes, round trips, the descriptor test
// and the mends that keep the caller's data safe on failure.

#include <algorithm>

#include "cipher/blowfish.hpp"
#include "cipher/instance_access.hpp"
#include "cipher/layout.hpp"
#include "clscrypt/clscrypt.hpp"
#include "conformance.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

using detail::InstanceAccess;

// The unkeyed known answers of the shared cases; a missing file or an empty
// list fails, never passes.
std::vector<test::UnkeyedAnswer> known_answers() {
    auto all = test::unkeyed_known_answers();
    EXPECT_GE(all.size(), 3U) << "conformance.json lost its unkeyed known answers";
    return all;
}

TEST(KnownAnswers, DecryptOnAnUnkeyedInstance) {
    for (const auto& ka : known_answers()) {
        clsToString c;
        auto bytes = from_hex(ka.ciphertext);
        c.DecryptByte(bytes);
        EXPECT_EQ(bytes, from_hex(ka.message)) << ka.ciphertext;
    }
}

TEST(KnownAnswers, EncryptWithZeroRandomWords) {
    for (const auto& ka : known_answers()) {
        clsToString c;
        auto bytes = from_hex(ka.message);
        InstanceAccess::encrypt_with_words(c, bytes, 0, 0);
        EXPECT_EQ(bytes, from_hex(ka.ciphertext)) << ka.message;
    }
}

TEST(Layout, EncryptedSizes) {
    const std::pair<std::size_t, std::size_t> sizes[] = {{0, 16},  {1, 16},  {4, 16},  {5, 24},
                                                         {12, 24}, {13, 32}, {20, 32}, {21, 40}};
    for (const auto& [n, t] : sizes) {
        clsToString c;
        std::vector<std::uint8_t> bytes(n, 0x5A);
        c.EncryptByte(bytes);
        EXPECT_EQ(bytes.size(), t) << n << " bytes";
    }
}

TEST(Layout, HeaderAfterDecipheringHoldsRandomWordsAndLittleEndianSize) {
    clsToString c;
    c.Key(u"layout");
    std::vector<std::uint8_t> bytes = {1, 2, 3, 4, 5};
    c.EncryptByte(bytes);
    ASSERT_EQ(bytes.size(), 24U);
    // Undo only the block cipher and the chaining, keeping header and fill.
    const auto& t = InstanceAccess::tables(c);
    std::uint32_t prev_l = 0, prev_r = 0;
    std::vector<std::uint8_t> plain(24);
    for (std::size_t k = 0; k < 24; k += 8) {
        auto word = [&](std::size_t o) {
            return (std::uint32_t{bytes[o]} << 24) | (std::uint32_t{bytes[o + 1]} << 16) |
                   (std::uint32_t{bytes[o + 2]} << 8) | bytes[o + 3];
        };
        std::uint32_t l = word(k), r = word(k + 4);
        const std::uint32_t cl = l, cr = r;
        detail::decipher(t, l, r);
        l ^= prev_l;
        r ^= prev_r;
        prev_l = cl;
        prev_r = cr;
        for (int i = 0; i < 4; ++i) {
            plain[k + i] = static_cast<std::uint8_t>(l >> (24 - 8 * i));
            plain[k + 4 + i] = static_cast<std::uint8_t>(r >> (24 - 8 * i));
        }
    }
    // The random words are in 0..2147483647: their most significant byte
    // (stored last) has the top bit clear.
    EXPECT_LT(plain[3], 0x80);
    EXPECT_LT(plain[7], 0x80);
    EXPECT_EQ(std::vector<std::uint8_t>(plain.begin() + 8, plain.end()),
              (std::vector<std::uint8_t>{5, 0, 0, 0, 1, 2, 3, 4, 5, 0, 0, 0, 0, 0, 0, 0}));
}

TEST(Layout, RandomWordForm) {
    EXPECT_EQ(detail::random_word_from_bits(0), 0U);
    EXPECT_EQ(detail::random_word_from_bits(1), 128U);  // 2^-24 * 2147483647 = 127.99...
    EXPECT_EQ(detail::random_word_from_bits(0xFFFFFF), 2147483519U);
    EXPECT_EQ(detail::random_word_from_bits(0x800000), 1073741824U);  // 0.5 * (2^31 - 1) = ...823.5, to even
    for (int i = 0; i < 10000; ++i) {
        ASSERT_LE(detail::random_word_from_bits(static_cast<std::uint32_t>(rng()())), 2147483647U);
    }
    // Every 24-bit input against the definition: a single-precision value
    // in [0, 1), times 2^31 - 1 in double precision, to the nearest integer.
    for (std::uint32_t bits = 0; bits < (1U << 24); ++bits) {
        const float r = static_cast<float>(bits) * 0x1p-24F;
        const auto expected =
            static_cast<std::uint32_t>(detail::round_half_even(static_cast<double>(r) * 2147483647.0));
        ASSERT_EQ(detail::random_word_from_bits(bits), expected) << bits;
    }
}

TEST(Layout, SizeLimitOfTheDescriptor) {
    EXPECT_EQ(detail::encrypted_size(0), 16U);
    EXPECT_EQ(detail::encrypted_size(2147483628), 2147483640U);
    EXPECT_FALSE(detail::encrypted_size(2147483629).has_value());  // T would be 2^31
    EXPECT_FALSE(detail::encrypted_size(std::uint64_t{1} << 40).has_value());
}

TEST(Layout, DescriptorWindow) {
    struct Case {
        std::uint64_t m;
        std::int32_t s;
        bool ok;
    };
    const Case cases[] = {{16, 0, true},
                          {16, 4, true},
                          {16, 5, false},
                          {16, -1, false},
                          {16, -3, false},
                          {24, 5, true},
                          {24, 12, true},
                          {24, 4, false},
                          {24, 13, false},
                          {32, 13, true},
                          {32, 20, true},
                          {32, 21, false},
                          {2147483640, 2147483628, true},
                          {2147483640, 2147483621, true},
                          {2147483640, 2147483620, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(detail::descriptor_fits(c.m, c.s), c.ok) << c.m << " " << c.s;
    }
}

TEST(RoundTrip, EveryLengthUpTo300UnderOneKey) {
    clsToString c;
    c.Key(u"round trip");
    for (std::size_t n = 0; n <= 300; ++n) {
        const auto message = random_bytes(n);
        auto bytes = message;
        c.EncryptByte(bytes);
        ASSERT_EQ(bytes.size(), (n + 12 + 7) / 8 * 8);
        c.DecryptByte(bytes);
        ASSERT_EQ(bytes, message) << n << " bytes";
    }
}

TEST(RoundTrip, LargeMessagesWithListenersAndAcrossInstances) {
    for (const std::size_t n : {std::size_t{65536}, std::size_t{1000003}, std::size_t{4u << 20}}) {
        const auto message = random_bytes(n);
        auto bytes = message;
        clsToString writer, reader;
        int events = 0;
        reader.Progress.Subscribe([&](std::int32_t&) { ++events; });
        writer.EncryptByte(bytes, u"large");
        reader.DecryptByte(bytes, u"large");
        EXPECT_EQ(bytes, message) << n;
        EXPECT_EQ(events, 101);
    }
}

TEST(RoundTrip, SameMessageTwiceGivesDifferentCiphertexts) {
    clsToString c;
    std::vector<std::uint8_t> a = {'s', 'a', 'm', 'e'}, b = a;
    c.EncryptByte(a, u"k");
    c.EncryptByte(b);
    EXPECT_NE(std::vector<std::uint8_t>(a.begin(), a.begin() + 8), std::vector<std::uint8_t>(b.begin(), b.begin() + 8));
    EXPECT_NE(std::vector<std::uint8_t>(a.begin() + 8, a.end()), std::vector<std::uint8_t>(b.begin() + 8, b.end()));
    c.DecryptByte(a);
    c.DecryptByte(b);
    EXPECT_EQ(a, b);
}

TEST(RoundTrip, ReKeyedInstanceIsReadByTheSameKeyHistory) {
    clsToString writer, reader, wrong;
    writer.Key(u"first");
    auto bytes = random_bytes(77);
    const auto message = bytes;
    writer.EncryptByte(bytes, u"second");
    reader.Key(u"first");
    auto copy = bytes;
    reader.DecryptByte(bytes, u"second");
    EXPECT_EQ(bytes, message);
    // "second" alone on fresh tables is a different cipher.
    EXPECT_EQ(error_number([&] { wrong.DecryptByte(copy, u"second"); }), RuntimeError::ClassError);
}

// Mend: a failed decryption leaves the caller's array exactly as passed and
// raises no Progress event. The error numbers are those the old code raised.
TEST(DecryptFailures, LeaveTheArrayUntouched) {
    clsToString c;
    c.Key(u"owner");
    auto good = std::vector<std::uint8_t>{'m', 'e', 's', 's', 'a', 'g', 'e', '!', '!', '!', '!', '!', '!'};
    c.EncryptByte(good);
    ASSERT_EQ(good.size(), 32U);

    struct Case {
        const char* what;
        std::vector<std::uint8_t> input;
        std::u16string key;
        std::int32_t number;
    };
    std::vector<Case> cases = {
        {"empty", {}, u"", RuntimeError::SubscriptOutOfRange},
        {"one block", random_bytes(8), u"", RuntimeError::SubscriptOutOfRange},
        {"20 bytes", random_bytes(20), u"", RuntimeError::SubscriptOutOfRange},
        {"cut by a block", std::vector<std::uint8_t>(good.begin(), good.end() - 8), u"", RuntimeError::ClassError},
        {"cut to 16", std::vector<std::uint8_t>(good.begin(), good.begin() + 16), u"", RuntimeError::ClassError},
        {"extended by a block", good, u"", RuntimeError::ClassError},
        {"wrong key", good, u"intruder", RuntimeError::ClassError},
    };
    cases[5].input.insert(cases[5].input.end(), 8, 0);
    for (const auto& k : cases) {
        clsToString d;
        d.Key(u"owner");
        int events = 0;
        d.Progress.Subscribe([&](std::int32_t&) { ++events; });
        auto bytes = k.input;
        try {
            d.DecryptByte(bytes, k.key);
            ADD_FAILURE() << k.what << ": no error";
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Number(), k.number) << k.what;
            if (k.number == RuntimeError::ClassError) {
                EXPECT_EQ(e.Description(), "Incorrect size descriptor in Blowfish decryption");
            }
        }
        EXPECT_EQ(bytes, k.input) << k.what;
        EXPECT_EQ(events, 0) << k.what;
    }
}

TEST(DecryptFailures, KeyArgumentStaysInForceAfterAFailedCall) {
    clsToString c, reference;
    std::vector<std::uint8_t> junk(24, 0);
    EXPECT_THROW(c.DecryptByte(junk, u"kept"), RuntimeError);
    reference.Key(u"kept");
    auto message = random_bytes(10);
    auto bytes = message;
    reference.EncryptByte(bytes);
    c.DecryptByte(bytes);  // no key argument: "kept" is in force
    EXPECT_EQ(bytes, message);
}

TEST(Strings, EveryByteValueSurvivesAndEmptyStrings) {
    clsToString c;
    std::u16string all;
    for (int b = 0; b < 256; ++b) all.push_back(c.GetCodePage().ToChar(static_cast<std::uint8_t>(b)));
    const std::u16string cipher = c.EncryptString(all, u"strings");
    EXPECT_EQ(cipher.size(), 272U);
    EXPECT_EQ(c.DecryptString(cipher), all);

    const std::u16string empty_cipher = c.EncryptString(u"");
    EXPECT_EQ(empty_cipher.size(), 16U);
    EXPECT_EQ(c.DecryptString(empty_cipher), u"");
    EXPECT_EQ(error_number([&] { (void)c.DecryptString(u""); }), RuntimeError::SubscriptOutOfRange);
}

TEST(Strings, MatchTheByteOperationsThroughTheCodePage) {
    clsToString c;
    const std::u16string text = u"Gr\u00FC\u00DFe \u20AC 5";  // ü ß € in Windows-1252
    const std::u16string cipher = c.EncryptString(text, u"k");
    std::vector<std::uint8_t> bytes = c.GetCodePage().Encode(cipher);
    c.DecryptByte(bytes);
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{'G', 'r', 0xFC, 0xDF, 'e', ' ', 0x80, ' ', '5'}));
}

TEST(Errors, CarryNumberDescriptionAndContext) {
    clsToString c;
    std::vector<std::uint8_t> bytes(20);
    try {
        c.DecryptByte(bytes);
        FAIL();
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Number(), 9);
        EXPECT_EQ(e.Description(), "Subscript out of range");
        EXPECT_NE(std::string(e.what()).find("20"), std::string::npos) << e.what();
    }
    EXPECT_EQ(RuntimeError::ClassError, static_cast<std::int32_t>(0x80040000U));
    EXPECT_EQ(StandardDescription(6), "Overflow");
    EXPECT_EQ(StandardDescription(11), "Division by zero");
}

}  // namespace
}  // namespace clscrypt::test

namespace clscrypt::test {
namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define CLSCRYPT_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CLSCRYPT_TEST_SANITIZED 1
#endif

// Mend: a message whose ciphertext would not fit the format's signed 32-bit
// length is refused before the array is touched.
TEST(EncryptLimits, TooLongForTheDescriptorIsOverflowAndLeavesTheArray) {
#ifdef CLSCRYPT_TEST_SANITIZED
    GTEST_SKIP() << "a 2 GiB array is too heavy under the sanitizers; the size check itself is tested above";
#endif
    std::vector<std::uint8_t> bytes(2147483629);  // T would be 2^31
    bytes.back() = 0x5A;
    clsToString c;
    int events = 0;
    c.Progress.Subscribe([&](std::int32_t&) { ++events; });
    EXPECT_EQ(error_number([&] { c.EncryptByte(bytes, u"k"); }), RuntimeError::Overflow);
    EXPECT_EQ(bytes.size(), 2147483629U);
    EXPECT_EQ(bytes.back(), 0x5A);
    EXPECT_EQ(events, 0);
}

}  // namespace
}  // namespace clscrypt::test
