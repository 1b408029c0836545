// The block core: initial tables, round function, encipherment, and the key
// schedule's departures from standard Blowfish, with standard Blowfish (the
// core switched to the standard arrangement and packing) checked against the
// published vectors and OpenSSL.

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cipher/blowfish.hpp"
#include "cipher/instance_access.hpp"
#include "clscrypt/clscrypt.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

using detail::BlowfishTables;
using detail::InstanceAccess;

BlowfishTables fresh(detail::SboxArrangement a = detail::SboxArrangement::Legacy) {
    BlowfishTables t;
    detail::initial_tables(t, a);
    return t;
}

bool same_tables(const BlowfishTables& a, const BlowfishTables& b) {
    return a.p == b.p && a.s == b.s;
}

const BlowfishTables& tables_of(const clsToString& c) {
    return InstanceAccess::tables(c);
}

TEST(InitialTables, TellingEntriesOfTheLegacyArrangement) {
    const BlowfishTables t = fresh();
    EXPECT_EQ(t.p[0], 0x243F6A88U);
    EXPECT_EQ(t.p[17], 0x8979FB1BU);
    struct Entry {
        int box, entry;
        std::uint32_t word;
    };
    for (const Entry e :
         {Entry{0, 0, 0xD1310BA6}, Entry{1, 0, 0x98DFB5AC}, Entry{2, 0, 0x2FFD72DB}, Entry{3, 0, 0xD01ADFB7},
          Entry{0, 1, 0xB8E1AFED}, Entry{3, 63, 0x6E85076A}, Entry{0, 64, 0x4B7A70E9}, Entry{0, 128, 0xE93D5A68},
          Entry{0, 192, 0x3A39CE37}, Entry{3, 255, 0x3AC372E6}}) {
        EXPECT_EQ(t.s[e.box][e.entry], e.word) << "box " << e.box << " entry " << e.entry;
    }
}

TEST(InitialTables, ArrangementsAgreeOnlyOnTheDiagonalOfFour) {
    const BlowfishTables legacy = fresh();
    const BlowfishTables standard = fresh(detail::SboxArrangement::Standard);
    int agreeing = 0;
    for (int box = 0; box < 4; ++box) {
        for (int e = 0; e < 256; ++e) {
            if (legacy.s[box][e] == standard.s[box][e]) {
                ++agreeing;
                EXPECT_EQ(e, 85 * box) << "box " << box;
            }
        }
    }
    EXPECT_EQ(agreeing, 4);
}

TEST(BlockCore, RoundFAndTheZeroBlockOnInitialTables) {
    const BlowfishTables t = fresh();
    EXPECT_EQ(detail::round_f(t, 0), 0x16089340U);
    std::uint32_t l = 0, r = 0;
    detail::encipher(t, l, r);
    EXPECT_EQ(l, 0xF155B7CFU);
    EXPECT_EQ(r, 0xC1E56C7BU);
    detail::decipher(t, l, r);
    EXPECT_EQ(l, 0U);
    EXPECT_EQ(r, 0U);
}

TEST(BlockCore, DecipherUndoesEncipherAfterAnyKeySequence) {
    BlowfishTables t = fresh();
    for (int key = 0; key < 8; ++key) {
        detail::mix_key(t, random_bytes(1 + rng()() % 80));
        for (int i = 0; i < 200; ++i) {
            const auto l0 = static_cast<std::uint32_t>(rng()());
            const auto r0 = static_cast<std::uint32_t>(rng()());
            std::uint32_t l = l0, r = r0;
            detail::encipher(t, l, r);
            detail::decipher(t, l, r);
            ASSERT_EQ(l, l0);
            ASSERT_EQ(r, r0);
        }
    }
}

// Switched to the standard arrangement and packing, on fresh tables, the
// core is standard Blowfish: this proves the rounds, the round function and
// the key schedule independently of the legacy departures.
std::uint64_t standard_encrypt(const std::vector<std::uint8_t>& key, std::uint64_t block) {
    BlowfishTables t = fresh(detail::SboxArrangement::Standard);
    detail::mix_key(t, key, detail::KeyPacking::Standard);
    auto l = static_cast<std::uint32_t>(block >> 32);
    auto r = static_cast<std::uint32_t>(block);
    detail::encipher(t, l, r);
    return (std::uint64_t{l} << 32) | r;
}

TEST(StandardBlowfish, PublishedEcbVectors) {
    struct Vector {
        const char* key;
        std::uint64_t plain, cipher;
    };
    const Vector vectors[] = {
        {"0000000000000000", 0x0000000000000000, 0x4EF997456198DD78},
        {"FFFFFFFFFFFFFFFF", 0xFFFFFFFFFFFFFFFF, 0x51866FD5B85ECB8A},
        {"3000000000000000", 0x1000000000000001, 0x7D856F9A613063F2},
        {"1111111111111111", 0x1111111111111111, 0x2466DD878B963C9D},
        {"0123456789ABCDEF", 0x1111111111111111, 0x61F9C3802281B096},
        {"1111111111111111", 0x0123456789ABCDEF, 0x7D0CC630AFDA1EC7},
        {"FEDCBA9876543210", 0x0123456789ABCDEF, 0x0ACEAB0FC6A0A28D},
        {"7CA110454A1A6E57", 0x01A1D6D039776742, 0x59C68245EB05282B},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(standard_encrypt(from_hex(v.key), v.plain), v.cipher) << "key " << v.key;
    }
}

TEST(StandardBlowfish, AgreesWithOpenSslOnRandomKeysAndBlocks) {
    for (int i = 0; i < 300; ++i) {
        const auto key = random_bytes(1 + rng()() % 72);
        const std::uint64_t block = rng()();
        BF_KEY ossl;
        BF_set_key(&ossl, static_cast<int>(key.size()), key.data());
        BF_LONG data[2] = {static_cast<BF_LONG>(block >> 32), static_cast<BF_LONG>(block)};
        BF_encrypt(data, &ossl);
        const std::uint64_t expected = (std::uint64_t{data[0]} << 32) | data[1];
        ASSERT_EQ(standard_encrypt(key, block), expected) << "key length " << key.size();
    }
}

TEST(KeyPacking, AccumulatesWithOrAndMatchesStandardOnlyForNestedBits) {
    std::uint32_t legacy[18], standard[18];
    struct Case {
        std::vector<std::uint8_t> key;
        std::uint32_t first_word;
        bool same_as_standard;
    };
    const Case cases[] = {
        // k0, k0|k1, k0|k1|k2, k0|k1|k2|k3 from the most significant byte down.
        {{0x01, 0x02, 0x04, 0x08}, 0x0103070F, false},
        {{0x80, 0x00, 0x00, 0x00}, 0x80808080, false},
        // Each byte holds the bits of the bytes before it: both packings agree.
        {{0x01, 0x03, 0x07, 0x0F}, 0x0103070F, true},
        {{0x00, 0x00, 0x00, 0x00}, 0x00000000, true},
        // A single character repeats its byte in all 72 positions.
        {{0x41}, 0x41414141, true},
    };
    for (const auto& c : cases) {
        detail::pack_key(c.key, detail::KeyPacking::AccumulatingOr, legacy);
        detail::pack_key(c.key, detail::KeyPacking::Standard, standard);
        EXPECT_EQ(legacy[0], c.first_word);
        EXPECT_EQ(std::memcmp(legacy, standard, sizeof legacy) == 0, c.same_as_standard)
            << "key starting " << int(c.key[0]);
    }
}

TEST(KeyPacking, CursorRunsOnAcrossWordsAndWraps) {
    // A 5-byte key: word 1 starts at the key's fifth byte and wraps.
    std::uint32_t w[18];
    detail::pack_key(std::vector<std::uint8_t>{0x10, 0x20, 0x40, 0x80, 0x01}, detail::KeyPacking::AccumulatingOr, w);
    EXPECT_EQ(w[0], 0x103070F0U);
    EXPECT_EQ(w[1], 0x01113171U);  // 01, 01|10, 01|10|20, 01|10|20|40
}

TEST(KeySchedule, FirstByteFFMakesAllFourByteKeysEqual) {
    clsToString a, b;
    a.Key(u"\u00FFabc");
    b.Key(u"\u00FF\u0001\u0002\u0003");
    EXPECT_TRUE(same_tables(tables_of(a), tables_of(b)));
}

TEST(KeySchedule, BytesAfterThe72ndNeverEnter) {
    std::u16string base(72, u'k');
    clsToString a, b, c;
    a.Key(base + u"tail one");
    b.Key(base + u"another tail");
    c.Key(base);
    EXPECT_TRUE(same_tables(tables_of(a), tables_of(b)));
    EXPECT_TRUE(same_tables(tables_of(a), tables_of(c)));
}

TEST(KeySchedule, KeysMixIntoTheTablesAsTheyStand) {
    clsToString a_only, b_only, a_then_b, a_b_a, twice;
    a_only.Key(u"alpha");
    b_only.Key(u"beta");
    a_then_b.Key(u"alpha");
    a_then_b.Key(u"beta");
    a_b_a.Key(u"alpha");
    a_b_a.Key(u"beta");
    a_b_a.Key(u"alpha");
    twice.Key(u"alpha");
    twice.Key(u"alpha");  // the key in force: nothing happens

    EXPECT_TRUE(same_tables(tables_of(twice), tables_of(a_only)));
    EXPECT_FALSE(same_tables(tables_of(a_then_b), tables_of(b_only)));
    EXPECT_FALSE(same_tables(tables_of(a_b_a), tables_of(a_only)));

    // A then B is B's set-up run on A's tables.
    BlowfishTables expected = fresh();
    detail::mix_key(expected, std::vector<std::uint8_t>{'a', 'l', 'p', 'h', 'a'});
    detail::mix_key(expected, std::vector<std::uint8_t>{'b', 'e', 't', 'a'});
    EXPECT_TRUE(same_tables(tables_of(a_then_b), expected));
}

TEST(KeySchedule, KeyComparisonIsExactOnCharacters) {
    clsToString lower, upper;
    lower.Key(u"key");
    upper.Key(u"key");
    upper.Key(u"KEY");
    EXPECT_FALSE(same_tables(tables_of(lower), tables_of(upper)));
}

// The key in force is told by its text, not by its code-page bytes: texts
// that encode alike, or that share the low bytes of their characters, are
// different keys, and the second is mixed in after the first.
TEST(KeySchedule, KeyComparisonIsOnTheTextNotItsBytes) {
    const std::pair<std::u16string, std::u16string> pairs[] = {
        {u"\u0080", u"\u0081"},              // both '?' in Windows-1252
        {u"A", u"\u0141"},                   // same low byte
        {u"a", std::u16string(u"a\0", 2)},   // one more character, a zero
        {u"\u20AC\u20AC", u"\u20AC\u20AC"},  // the same text: nothing happens
    };
    for (std::size_t i = 0; i < std::size(pairs); ++i) {
        const auto& [first, second] = pairs[i];
        clsToString once, both;
        once.Key(first);
        both.Key(first);
        both.Key(second);
        EXPECT_EQ(same_tables(tables_of(both), tables_of(once)), first == second) << "pair " << i;
    }
}

// A moved-from instance holds no key state until it needs one: it, a copy
// of it and an instance assigned from it all work as a new instance.
TEST(InstanceState, MovedFromInstanceWorksAsNew) {
    const std::vector<std::uint8_t> message{1, 2, 3, 4, 5};
    auto encrypt = [&](clsToString& c) {
        auto bytes = message;
        InstanceAccess::encrypt_with_words(c, bytes, 11, 22);
        return bytes;
    };
    clsToString fresh_instance;
    const auto expected = encrypt(fresh_instance);
    for (const bool by_assignment : {false, true}) {
        clsToString source;
        source.Key(u"key");
        clsToString target;
        if (by_assignment) {
            target = std::move(source);
        } else {
            clsToString constructed(std::move(source));
        }
        clsToString copy(source);  // NOLINT(bugprone-use-after-move)
        clsToString assigned;
        assigned.Key(u"other key");
        assigned = source;
        EXPECT_TRUE(same_tables(tables_of(assigned), fresh())) << by_assignment;
        EXPECT_EQ(encrypt(copy), expected) << by_assignment;
        EXPECT_EQ(encrypt(assigned), expected) << by_assignment;
        auto bytes = encrypt(source);
        EXPECT_EQ(bytes, expected) << by_assignment;
        source.DecryptByte(bytes);
        EXPECT_EQ(bytes, message) << by_assignment;
    }
}

TEST(KeySchedule, EmptyKey) {
    clsToString fresh_instance;
    fresh_instance.Key(u"");  // equals the initial empty key: nothing happens
    EXPECT_TRUE(same_tables(tables_of(fresh_instance), fresh()));

    clsToString keyed, reference;
    keyed.Key(u"secret");
    reference.Key(u"secret");
    EXPECT_EQ(error_number([&] { keyed.Key(u""); }), RuntimeError::SubscriptOutOfRange);
    // The tables keep the earlier key's state...
    EXPECT_TRUE(same_tables(tables_of(keyed), tables_of(reference)));
    // ...but the key in force is now empty, so the earlier key mixes in again.
    keyed.Key(u"secret");
    EXPECT_FALSE(same_tables(tables_of(keyed), tables_of(reference)));
    BlowfishTables expected = tables_of(reference);
    detail::mix_key(expected, std::vector<std::uint8_t>{'s', 'e', 'c', 'r', 'e', 't'});
    EXPECT_TRUE(same_tables(tables_of(keyed), expected));
}

TEST(KeySchedule, KeyTextGoesThroughTheCodePage) {
    // The euro sign is byte 0x80 in Windows-1252.
    clsToString euro, byte;
    euro.Key(u"\u20AC");
    byte.Key(u"\u0080");  // not in Windows-1252: becomes '?'
    BlowfishTables expected = fresh();
    detail::mix_key(expected, std::vector<std::uint8_t>{0x80});
    EXPECT_TRUE(same_tables(tables_of(euro), expected));
    BlowfishTables question = fresh();
    detail::mix_key(question, std::vector<std::uint8_t>{'?'});
    EXPECT_TRUE(same_tables(tables_of(byte), question));
}

}  // namespace
}  // namespace clscrypt::test
