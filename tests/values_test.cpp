// Single values under prepared key states, checked against the single-value
// operations they stand in for: every stored form, key candidates, per-value
// failures, and no allocation per value once the buffers have grown.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <set>

#include "clscrypt/clscrypt.hpp"
#include "common/base64.hpp"
#include "common/utf.hpp"
#include "test_util.hpp"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// Counts every allocation of this test program, for the steady-state test.
// The blocks come from malloc through functions the compiler does not see
// into, so it does not take the pairs for mismatched ones.
[[gnu::noinline]] void* counted_allocation(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void counted_release(void* p) noexcept {
    std::free(p);
}
void* operator new(std::size_t size) {
    return counted_allocation(size);
}
void operator delete(void* p) noexcept {
    counted_release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    counted_release(p);
}

namespace clscrypt::test {
namespace {

std::string as_string(const std::vector<std::uint8_t>& v) {
    return {v.begin(), v.end()};
}
std::vector<std::uint8_t> as_bytes(std::string_view s) {
    return {s.begin(), s.end()};
}

// A text of code-page characters for every byte value, in UTF-8.
std::string text_of(const std::vector<std::uint8_t>& bytes, const CodePage& page = {}) {
    return common::utf16_to_utf8(page.Decode(bytes));
}

clsToString keyed(const KeyHistory& keys) {
    clsToString c;
    for (const auto& k : keys) c.Key(k);
    return c;
}

TEST(Values, EveryStoredFormAgreesWithTheSingleValueOperations) {
    const KeyHistory keys = {u"first key", u"then this one"};
    ValueCipher values(keys);
    clsToString single = keyed(keys);
    std::string out;
    for (std::size_t n = 0; n <= 100; ++n) {
        auto message = random_bytes(n);
        for (std::size_t i = 0; i < n; ++i) message[i] = static_cast<std::uint8_t>((message[i] + 3 * n + i) & 0xFF);
        SCOPED_TRACE(n);
        // Raw bytes, both directions.
        auto cipher = message;
        single.EncryptByte(cipher);
        ASSERT_TRUE(values.Decrypt(as_string(cipher), StoredForm::Bytes, PlainForm::Bytes, out));
        EXPECT_EQ(out, as_string(message));
        ASSERT_TRUE(values.Encrypt(as_string(message), PlainForm::Bytes, StoredForm::Bytes, out));
        auto back = as_bytes(out);
        single.DecryptByte(back);
        EXPECT_EQ(back, message);

        // Hexadecimal text of EncryptString, as StrToHex writes it, and back.
        const std::u16string text = CodePage().Decode(message);
        const std::u16string hex = single.StrToHex(single.EncryptString(text));
        ASSERT_TRUE(values.Decrypt(common::utf16_to_utf8(hex), StoredForm::Hex, PlainForm::Text, out));
        EXPECT_EQ(out, text_of(message));
        ASSERT_TRUE(values.Encrypt(text_of(message), PlainForm::Text, StoredForm::Hex, out));
        std::u16string hex16;
        ASSERT_FALSE(common::decode_utf8(out, hex16));
        EXPECT_EQ(single.DecryptString(single.HexToStr(hex16)), text);

        // EncryptString's own text.
        const std::u16string encrypted = single.EncryptString(text);
        ASSERT_TRUE(values.Decrypt(common::utf16_to_utf8(encrypted), StoredForm::String, PlainForm::Text, out));
        EXPECT_EQ(out, text_of(message));
        ASSERT_TRUE(values.Encrypt(text_of(message), PlainForm::Text, StoredForm::String, out));
        std::u16string string16;
        ASSERT_FALSE(common::decode_utf8(out, string16));
        EXPECT_EQ(single.DecryptString(string16), text);

        // Base64, padded as written and unpadded.
        ASSERT_TRUE(values.Encrypt(as_string(message), PlainForm::Bytes, StoredForm::Base64, out));
        std::vector<std::uint8_t> decoded;
        ASSERT_FALSE(common::decode_base64(out, [&](std::uint8_t b) { decoded.push_back(b); }));
        single.DecryptByte(decoded);
        EXPECT_EQ(decoded, message);
        while (!out.empty() && out.back() == '=') out.pop_back();
        std::string plain;
        ASSERT_TRUE(values.Decrypt(out, StoredForm::Base64, PlainForm::Bytes, plain));
        EXPECT_EQ(plain, as_string(message));
    }
}

TEST(Values, HexReadsAnyCaseAndSeparatorAndWritesTheChosenOne) {
    ValueOptions options;
    options.hexSeparator = ":";
    ValueCipher values({u"k"}, options);
    std::string hex, plain;
    ASSERT_TRUE(values.Encrypt("abc", PlainForm::Text, StoredForm::Hex, hex));
    ASSERT_EQ(hex.size(), 16 * 3 - 1);
    for (std::size_t i = 2; i < hex.size(); i += 3) EXPECT_EQ(hex[i], ':');
    std::string lower;
    for (const char c : hex) lower += c == ':' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& form : {hex, lower, "  " + lower + "\r\n"}) {
        ASSERT_TRUE(values.Decrypt(form, StoredForm::Hex, PlainForm::Text, plain)) << form;
        EXPECT_EQ(plain, "abc");
    }
}

TEST(Values, EveryCharacterOfHexTextIsCheckedWhereverItStands) {
    // Digits are read in groups; a character that is not a digit at any
    // place of a group or of the rest fails the value, and either case reads
    // at every place.
    ValueCipher values({u"k"});
    const std::string message(37, 'q');
    std::string hex, plain;
    ASSERT_TRUE(values.Encrypt(message, PlainForm::Text, StoredForm::Hex, hex));  // 56 bytes, 112 digits
    for (std::size_t at = 0; at < hex.size(); ++at) {
        std::string mixed = hex;
        for (std::size_t i = at; i < mixed.size(); i += 3) {
            mixed[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(mixed[i])));
        }
        ASSERT_TRUE(values.Decrypt(mixed, StoredForm::Hex, PlainForm::Text, plain)) << at;
        ASSERT_EQ(plain, message);
        for (const char bad : {'g', 'G', '\0', '\x80', '\xB0', '\x7F', '/', ':', '@', '`'}) {
            std::string broken = hex;
            broken[at] = bad;
            const ValueOutcome got = values.Decrypt(broken, StoredForm::Hex, PlainForm::Text, plain);
            ASSERT_FALSE(got.ok) << at << " " << int{bad};
            ASSERT_EQ(got.error, ErrorKind::InvalidArgument);
        }
    }
}

TEST(Values, LongValuesAndBatchesOfManyChunksAgreeWithTheSingleValueOperations) {
    // Values long enough to be checked before the batch is deciphered, and
    // a batch larger than one working buffer, of both candidates, one
    // matching neither last.
    const KeyHistory a = {u"A"}, ab = {u"A", u"B"};
    clsToString single_a = keyed(a), single_ab = keyed(ab), other = keyed({u"C"});
    ValueCipher reader({a, ab}, {u"new"});
    clsToString target = keyed({u"new"});
    std::vector<std::string> column, plain;
    for (std::size_t i = 0; i < 60; ++i) {
        const std::size_t n = i % 5 == 4 ? 9000 + 8 * i : 5 * i;
        auto message = random_bytes(n);
        plain.push_back(as_string(message));
        (i == 59 ? other : i % 2 == 0 ? single_a : single_ab).EncryptByte(message);
        column.push_back(as_string(message));
    }
    const std::vector<std::string_view> views(column.begin(), column.end());
    std::vector<std::string> got, rekeyed;
    std::vector<ValueOutcome> outcomes, rekey_outcomes;
    reader.DecryptMany(views, StoredForm::Bytes, PlainForm::Bytes, got, outcomes);
    reader.RekeyMany(views, StoredForm::Bytes, StoredForm::Bytes, rekeyed, rekey_outcomes);
    for (std::size_t i = 0; i + 1 < column.size(); ++i) {
        ASSERT_TRUE(outcomes[i].ok) << i;
        EXPECT_EQ(outcomes[i].candidate, i % 2) << i;
        EXPECT_EQ(got[i], plain[i]) << i;
        ASSERT_TRUE(rekey_outcomes[i].ok) << i;
        EXPECT_EQ(rekey_outcomes[i].candidate, i % 2) << i;
        EXPECT_EQ(rekeyed[i].size(), column[i].size());
        auto back = as_bytes(rekeyed[i]);
        target.DecryptByte(back);
        EXPECT_EQ(as_string(back), plain[i]) << i;
    }
    EXPECT_FALSE(outcomes.back().ok);
    EXPECT_FALSE(rekey_outcomes.back().ok);
    EXPECT_EQ(reader.LastError().Number(), RuntimeError::ClassError);
}

TEST(Values, CandidatesAreTriedInOrderAndReportedPerValue) {
    const KeyHistory a = {u"A"}, ab = {u"A", u"B"}, other = {u"someone else"};
    ValueCipher writer_a(a), writer_ab(ab), writer_other(other);
    std::vector<std::string> column;
    std::vector<std::size_t> expected;
    std::string out;
    for (int i = 0; i < 30; ++i) {
        ValueCipher& w = i % 3 == 0 ? writer_a : i % 3 == 1 ? writer_ab : writer_other;
        ASSERT_TRUE(w.Encrypt("value " + std::to_string(i), PlainForm::Text, StoredForm::Hex, out));
        column.push_back(out);
        expected.push_back(static_cast<std::size_t>(i % 3));
    }
    ValueCipher reader({a, ab}, {u"new"});
    for (std::size_t i = 0; i < column.size(); ++i) {
        const ValueOutcome got = reader.Decrypt(column[i], StoredForm::Hex, PlainForm::Text, out);
        if (expected[i] == 2) {
            EXPECT_FALSE(got.ok);
            EXPECT_EQ(got.error, ErrorKind::WrongKeyOrDamaged);
            EXPECT_TRUE(out.empty());
            EXPECT_EQ(reader.LastError().Number(), RuntimeError::ClassError);
        } else {
            ASSERT_TRUE(got.ok) << i;
            EXPECT_EQ(got.candidate, expected[i]);
            EXPECT_EQ(out, "value " + std::to_string(i));
        }
    }
    // Re-keying moves the readable values to the target history.
    ValueCipher target({u"new"});
    std::string rekeyed;
    const ValueOutcome moved = reader.Rekey(column[1], StoredForm::Hex, StoredForm::Base64, rekeyed);
    ASSERT_TRUE(moved.ok);
    EXPECT_EQ(moved.candidate, 1U);
    EXPECT_EQ(target.DecryptOrThrow(rekeyed, StoredForm::Base64, PlainForm::Text), "value 1");
    EXPECT_FALSE(reader.Rekey(column[2], StoredForm::Hex, StoredForm::Hex, rekeyed));
    EXPECT_TRUE(rekeyed.empty());
}

TEST(Values, BatchesKeepOrderAndAgreeWithSingleValues) {
    // Batch sizes around the widths kernels run side by side, with failures
    // scattered through the batch.
    const KeyHistory a = {u"A"}, ab = {u"A", u"B"};
    ValueCipher writer_a(a), writer_ab(ab), reader({a, ab}, {u"new"});
    for (const std::size_t n : {0U, 1U, 7U, 64U, 65U, 200U}) {
        std::vector<std::string> plain(n), column(n);
        for (std::size_t i = 0; i < n; ++i) {
            plain[i] = std::string(i % 41, static_cast<char>('a' + i % 26));
            ValueCipher& w = i % 2 == 0 ? writer_a : writer_ab;
            column[i] =
                i % 5 == 4 ? std::string("not hex") : w.EncryptOrThrow(plain[i], PlainForm::Text, StoredForm::Hex);
        }
        const std::vector<std::string_view> views(column.begin(), column.end());
        std::vector<std::string> got, rekeyed, encrypted;
        std::vector<ValueOutcome> outcomes, rekey_outcomes, encrypt_outcomes;
        reader.DecryptMany(views, StoredForm::Hex, PlainForm::Text, got, outcomes);
        reader.RekeyMany(views, StoredForm::Hex, StoredForm::Base64, rekeyed, rekey_outcomes);
        const std::vector<std::string_view> plain_views(plain.begin(), plain.end());
        reader.EncryptMany(plain_views, PlainForm::Text, StoredForm::String, encrypted, encrypt_outcomes);
        ASSERT_EQ(got.size(), n);
        ASSERT_EQ(rekey_outcomes.size(), n);
        ASSERT_EQ(encrypted.size(), n);
        ValueCipher target({u"new"});
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_TRUE(encrypt_outcomes[i].ok);
            EXPECT_EQ(target.DecryptOrThrow(encrypted[i], StoredForm::String, PlainForm::Text), plain[i]);
            if (i % 5 == 4) {
                EXPECT_FALSE(outcomes[i].ok);
                EXPECT_EQ(outcomes[i].error, ErrorKind::InvalidArgument);
                EXPECT_TRUE(got[i].empty());
                EXPECT_FALSE(rekey_outcomes[i].ok);
                continue;
            }
            ASSERT_TRUE(outcomes[i].ok) << n << " " << i;
            EXPECT_EQ(outcomes[i].candidate, i % 2);
            EXPECT_EQ(got[i], plain[i]);
            ASSERT_TRUE(rekey_outcomes[i].ok);
            EXPECT_EQ(rekey_outcomes[i].candidate, i % 2);
            EXPECT_EQ(target.DecryptOrThrow(rekeyed[i], StoredForm::Base64, PlainForm::Text), plain[i]);
        }
    }
}

TEST(Values, EveryValueOfABatchGetsHeaderWordsOfItsOwn) {
    // The same message many times under one key: the first ciphertext block
    // enciphers the two random header words alone, so it repeats exactly
    // when a value's words do. Small batches are served from the per-thread
    // reserve, large ones by one request for the whole chunk.
    ValueCipher cipher({u"A"});
    const std::string stored = cipher.EncryptOrThrow("the same text", PlainForm::Text, StoredForm::Hex);
    for (const std::size_t n : {7U, 300U}) {
        const std::vector<std::string_view> plain(n, "the same text"), column(n, stored);
        std::vector<std::string> encrypted, rekeyed;
        std::vector<ValueOutcome> outcomes;
        cipher.EncryptMany(plain, PlainForm::Text, StoredForm::Hex, encrypted, outcomes);
        cipher.RekeyMany(column, StoredForm::Hex, StoredForm::Hex, rekeyed, outcomes);
        for (const auto* results : {&encrypted, &rekeyed}) {
            std::set<std::string> first_blocks{stored.substr(0, 16)};
            for (const auto& r : *results) {
                EXPECT_EQ(cipher.DecryptOrThrow(r, StoredForm::Hex, PlainForm::Text), "the same text");
                first_blocks.insert(r.substr(0, 16));
            }
            EXPECT_EQ(first_blocks.size(), n + 1) << n;
        }
    }
}

TEST(Values, FailuresAreReportedPerValueOrRaisedInStrictMode) {
    ValueCipher values({u"k"});
    std::string good;
    ASSERT_TRUE(values.Encrypt("x", PlainForm::Text, StoredForm::Hex, good));
    struct Case {
        std::string stored;
        StoredForm form;
        ErrorKind kind;
        std::int32_t number;
    };
    const Case cases[] = {
        {"zz" + good, StoredForm::Hex, ErrorKind::InvalidArgument, 5},
        {good.substr(1), StoredForm::Hex, ErrorKind::InvalidArgument, 5},        // odd digit count
        {good.substr(0, 16), StoredForm::Hex, ErrorKind::WrongKeyOrDamaged, 9},  // 8 bytes: too short
        {good + "00", StoredForm::Hex, ErrorKind::WrongKeyOrDamaged, 9},         // not whole blocks
        {"Zm9v!", StoredForm::Base64, ErrorKind::InvalidArgument, 5},
        {"\xD0\x9F", StoredForm::String, ErrorKind::InvalidArgument, 5},  // not in 1252
        {"\xFF", StoredForm::String, ErrorKind::InvalidArgument, 5},      // not UTF-8
    };
    std::string out = "stale";
    for (const auto& c : cases) {
        const ValueOutcome got = values.Decrypt(c.stored, c.form, PlainForm::Text, out);
        EXPECT_FALSE(got.ok) << c.stored;
        EXPECT_EQ(got.error, c.kind) << c.stored;
        EXPECT_TRUE(out.empty());
        try {
            (void)values.DecryptOrThrow(c.stored, c.form, PlainForm::Text);
            ADD_FAILURE() << "no error for " << c.stored;
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), c.kind);
            EXPECT_EQ(e.Number(), c.number) << c.stored;
        }
        // A failure leaves the instance ready for the next value.
        EXPECT_EQ(values.DecryptOrThrow(good, StoredForm::Hex, PlainForm::Text), "x");
    }
}

TEST(Values, TextTheCodePageLacksFailsUnlessTheLegacyReplacementIsAsked) {
    ValueCipher strict({u"k"});
    std::string out;
    const ValueOutcome refused = strict.Encrypt("\xD0\x9F\xD1\x80", PlainForm::Text, StoredForm::Hex, out);  // Пр
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, ErrorKind::Unmappable);

    ValueOptions legacy;
    legacy.replaceUnmappable = true;
    ValueCipher replacing({u"k"}, legacy);
    ASSERT_TRUE(replacing.Encrypt("\xD0\x9F\xD1\x80", PlainForm::Text, StoredForm::Hex, out));
    EXPECT_EQ(replacing.DecryptOrThrow(out, StoredForm::Hex, PlainForm::Text), "??");

    ValueOptions cyrillic;
    cyrillic.codePage = CodePage::FromNumber(1251);
    ValueCipher in_1251({u"k"}, cyrillic);
    ASSERT_TRUE(in_1251.Encrypt("\xD0\x9F\xD1\x80", PlainForm::Text, StoredForm::String, out));
    EXPECT_EQ(in_1251.DecryptOrThrow(out, StoredForm::String, PlainForm::Text), "\xD0\x9F\xD1\x80");
}

TEST(Values, KeyHistoriesFollowTheKeyProperty) {
    // The empty history reads data written without a key; an empty key after
    // a key cannot be applied, as with the property.
    ValueCipher no_key(KeyHistory{});
    std::vector<std::uint8_t> bytes = {1, 2, 3};
    clsToString().EncryptByte(bytes);
    EXPECT_EQ(no_key.DecryptOrThrow(as_string(bytes), StoredForm::Bytes, PlainForm::Bytes), "\x01\x02\x03");
    EXPECT_THROW(ValueCipher({u"a", u""}), RuntimeError);
    EXPECT_THROW(ValueCipher(std::vector<KeyHistory>{}, KeyHistory{}), RuntimeError);

    // Writing under no key is refused unless asked for: it is readable by all.
    std::string out;
    const ValueOutcome refused = no_key.Encrypt("x", PlainForm::Text, StoredForm::Hex, out);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, ErrorKind::InvalidArgument);
    EXPECT_TRUE(out.empty());
    ValueCipher rekey_to_nothing({KeyHistory{u"k"}}, KeyHistory{});
    EXPECT_FALSE(rekey_to_nothing.Rekey("00", StoredForm::Hex, StoredForm::Hex, out).ok);
    ValueOptions meant;
    meant.allowNoKey = true;
    ValueCipher open_writer(KeyHistory{}, meant);
    ASSERT_TRUE(open_writer.Encrypt("x", PlainForm::Text, StoredForm::Hex, out));
    EXPECT_EQ(no_key.DecryptOrThrow(out, StoredForm::Hex, PlainForm::Text), "x");
}

TEST(Values, NoAllocationPerValueOnceTheBuffersHaveGrown) {
    // The common case of a migration: the first candidate reads the value.
    ValueCipher values({{u"target"}, {u"old"}}, {u"target"});
    const std::string message(200, 'm');
    std::string stored, plain, rekeyed;
    ASSERT_TRUE(values.Encrypt(message, PlainForm::Text, StoredForm::Hex, stored));
    for (int warm = 0; warm < 2; ++warm) {
        ASSERT_TRUE(values.Decrypt(stored, StoredForm::Hex, PlainForm::Text, plain));
        ASSERT_TRUE(values.Rekey(stored, StoredForm::Hex, StoredForm::Hex, rekeyed));
        ASSERT_TRUE(values.Encrypt(message, PlainForm::Text, StoredForm::Hex, stored));
    }
    // Batches: the same column again and again, into reused vectors.
    const std::vector<std::string_view> column(100, stored);
    const std::vector<std::string_view> messages(100, message);
    std::vector<std::string> outputs;
    std::vector<ValueOutcome> outcomes;
    const auto batches = [&] {
        bool ok = true;
        values.DecryptMany(column, StoredForm::Hex, PlainForm::Text, outputs, outcomes);
        for (const auto& o : outcomes) ok &= o.ok;
        values.RekeyMany(column, StoredForm::Hex, StoredForm::Hex, outputs, outcomes);
        for (const auto& o : outcomes) ok &= o.ok;
        values.EncryptMany(messages, PlainForm::Text, StoredForm::Hex, outputs, outcomes);
        for (const auto& o : outcomes) ok &= o.ok;
        return ok;
    };
    for (int warm = 0; warm < 2; ++warm) ASSERT_TRUE(batches());
    const std::size_t before = allocations.load();
    bool all_ok = true;
    for (int i = 0; i < 1000; ++i) {
        all_ok &= values.Decrypt(stored, StoredForm::Hex, PlainForm::Text, plain).ok;
        all_ok &= values.Rekey(stored, StoredForm::Hex, StoredForm::Hex, rekeyed).ok;
        all_ok &= values.Encrypt(message, PlainForm::Text, StoredForm::Hex, stored).ok;
    }
    for (int i = 0; i < 10; ++i) all_ok &= batches();
    const std::size_t during = allocations.load() - before;
    EXPECT_TRUE(all_ok);
    EXPECT_EQ(during, 0U);
}

}  // namespace
}  // namespace clscrypt::test
