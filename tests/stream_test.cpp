// The chunked streams against the one-shot operations: the same bytes, the
// same Progress values and the same errors, whatever the chunking.

#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cipher/instance_access.hpp"
#include "cipher/kernels/portable.hpp"
#include "clscrypt/clscrypt.h"
#include "clscrypt/clscrypt.hpp"
#include "common/byte_order.hpp"
#include "test_util.hpp"

namespace clscrypt {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Chunking = std::vector<std::size_t>;

// Every way of cutting `n` bytes into non-empty pieces, with an empty piece
// in front of the first (streams must take those anywhere).
std::vector<Chunking> all_chunkings(std::size_t n) {
    std::vector<Chunking> out;
    if (n == 0) return {{0}};
    for (std::uint32_t cuts = 0; cuts < (1U << (n - 1)); ++cuts) {
        Chunking c{0};
        std::size_t len = 1;
        for (std::size_t i = 0; i + 1 < n; ++i) {
            if ((cuts >> i) & 1U) {
                c.push_back(len);
                len = 0;
            }
            ++len;
        }
        c.push_back(len);
        out.push_back(c);
    }
    return out;
}

Chunking random_chunking(std::size_t n) {
    Chunking c;
    while (n > 0) {
        const std::size_t len = std::min<std::size_t>(n, test::rng()() % 23);
        c.push_back(len);
        n -= len;
    }
    return c;
}

template <typename Stream>
Bytes feed(Stream& s, const Bytes& in, const Chunking& chunking) {
    Bytes out;
    std::size_t at = 0;
    for (const std::size_t len : chunking) {
        s.Update(std::span<const std::uint8_t>(in.data() + at, len), out);
        at += len;
    }
    return out;
}

void record_progress(clsToString& c, std::vector<std::int32_t>& events) {
    c.Progress.Subscribe([&events](std::int32_t& p) { events.push_back(p); });
}

// The header words of a ciphertext, read back by deciphering its first block.
void header_words(const clsToString& c, const Bytes& cipher, std::uint32_t& w0, std::uint32_t& w1) {
    std::uint8_t first[8];
    std::memcpy(first, cipher.data(), 8);
    detail::Chain chain;
    detail::cbc_decrypt(detail::InstanceAccess::tables(c), first, 8, chain);
    w0 = common::load_le32(first);
    w1 = common::load_le32(first + 4);
}

struct Case {
    std::size_t length;
    bool every_chunking;
};

// Names a case in test listings by its fields: GoogleTest's fallback prints
// the raw bytes of the object, padding included, which are uninitialised.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.length << (c.every_chunking ? " bytes, every chunking" : " bytes, some chunkings");
}

class StreamRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(StreamRoundTrip, GivesTheOneShotBytesAndEventsForEveryChunking) {
    const Case k = GetParam();
    const Bytes message = test::random_bytes(k.length);
    std::vector<Chunking> chunkings;
    if (k.every_chunking) {
        chunkings = all_chunkings(k.length);
    } else {
        for (int i = 0; i < 40; ++i) chunkings.push_back(random_chunking(k.length));
    }
    for (const Chunking& chunking : chunkings) {
        SCOPED_TRACE(::testing::PrintToString(chunking));
        clsToString streaming;
        std::vector<std::int32_t> stream_events;
        record_progress(streaming, stream_events);
        EncryptStream enc(streaming, message.size(), u"stream key");
        Bytes cipher = feed(enc, message, chunking);
        enc.Final(cipher);
        ASSERT_EQ(cipher.size(), enc.CipherLength());

        // The one-shot encryption with the same header words.
        clsToString whole;
        std::vector<std::int32_t> whole_events;
        record_progress(whole, whole_events);
        whole.Key(u"stream key");
        std::uint32_t w0 = 0;
        std::uint32_t w1 = 0;
        header_words(whole, cipher, w0, w1);
        Bytes expected = message;
        detail::InstanceAccess::encrypt_with_words(whole, expected, w0, w1);
        ASSERT_EQ(cipher, expected);
        EXPECT_EQ(stream_events, whole_events);

        // Decryption, the length told and untold, against DecryptByte.
        whole_events.clear();
        Bytes plain = cipher;
        whole.DecryptByte(plain);
        ASSERT_EQ(plain, message);
        for (const std::uint64_t declared : {static_cast<std::uint64_t>(cipher.size()), DecryptStream::UnknownLength}) {
            stream_events.clear();
            // The ciphertext is longer than the message: cut it the same way
            // and give the rest as one last piece.
            Chunking cut = chunking;
            cut.push_back(cipher.size() - message.size());
            DecryptStream dec(streaming, {}, declared);
            const Bytes got = feed(dec, cipher, cut);
            dec.Final();
            EXPECT_EQ(got, message);
            EXPECT_EQ(dec.MessageLength(), static_cast<std::int64_t>(message.size()));
            EXPECT_EQ(stream_events, whole_events);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Lengths, StreamRoundTrip,
                         ::testing::Values(Case{0, true}, Case{1, true}, Case{4, true}, Case{5, true}, Case{11, true},
                                           Case{12, true}, Case{13, true}, Case{29, false}, Case{100, false},
                                           Case{1000, false}, Case{70000, false}));

// Runs a decryption stream over `cipher` in pieces of `piece` bytes; returns
// the error it raised (number and kind) and how much plaintext came before.
struct Failure {
    std::int32_t number = 0;
    ErrorKind kind = ErrorKind::Other;
    std::size_t output = 0;
    bool at_final = false;
};

Failure stream_failure(clsToString& c, const Bytes& cipher, std::size_t piece, std::uint64_t declared) {
    Failure f;
    Bytes out;
    try {
        DecryptStream dec(c, {}, declared);
        for (std::size_t at = 0; at < cipher.size(); at += piece) {
            dec.Update(std::span<const std::uint8_t>(cipher.data() + at, std::min(piece, cipher.size() - at)), out);
        }
        f.at_final = true;
        dec.Final();
    } catch (const RuntimeError& e) {
        f.number = e.Number();
        f.kind = e.Kind();
        f.output = out.size();
        return f;
    }
    ADD_FAILURE() << "no error";
    return f;
}

TEST(DecryptStream, FailsWhereDecryptByteFailsWithTheSameNumberAndKind) {
    clsToString c;
    c.Key(u"right");
    Bytes cipher = test::random_bytes(40);
    c.EncryptByte(cipher);  // 56 bytes
    clsToString wrong;
    wrong.Key(u"wrong");
    struct Damage {
        const char* name;
        Bytes bytes;
        clsToString* cipher;
    };
    const std::vector<Damage> damages = {
        {"wrong key", cipher, &wrong},
        {"cut by a block", Bytes(cipher.begin(), cipher.end() - 8), &c},
        {"cut to two blocks", Bytes(cipher.begin(), cipher.begin() + 16), &c},
        {"cut inside a block", Bytes(cipher.begin(), cipher.end() - 3), &c},
        {"cut to one block", Bytes(cipher.begin(), cipher.begin() + 8), &c},
        {"empty", Bytes{}, &c},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.name);
        Bytes whole = d.bytes;
        std::int32_t number = 0;
        ErrorKind kind = ErrorKind::Other;
        try {
            d.cipher->DecryptByte(whole);
            FAIL() << "DecryptByte accepted it";
        } catch (const RuntimeError& e) {
            number = e.Number();
            kind = e.Kind();
        }
        for (const std::size_t piece : {1U, 7U, 8U, 64U}) {
            for (const std::uint64_t declared :
                 {static_cast<std::uint64_t>(d.bytes.size()), DecryptStream::UnknownLength}) {
                const Failure f = stream_failure(*d.cipher, d.bytes, piece, declared);
                EXPECT_EQ(f.number, number) << piece;
                EXPECT_EQ(f.kind, kind) << piece;
                // Only a told length lets the descriptor be tested in full
                // at the second block; untold, a wrong key reads a random
                // one that is often possible.
                if (std::string(d.name) == "wrong key" && declared != DecryptStream::UnknownLength) {
                    EXPECT_EQ(f.output, 0U) << "plaintext came out under a wrong key";
                    EXPECT_FALSE(f.at_final) << "the descriptor was not checked at the second block";
                }
            }
        }
    }
}

TEST(DecryptStream, MoreThanTheDescriptorAnnouncesFailsAtOnce) {
    clsToString c;
    Bytes cipher = test::random_bytes(5);
    c.EncryptByte(cipher, u"k");  // 24 bytes
    Bytes extended = cipher;
    extended.resize(32, 0xAA);
    const Failure f = stream_failure(c, extended, 32, DecryptStream::UnknownLength);
    EXPECT_EQ(f.number, RuntimeError::ClassError);
    EXPECT_EQ(f.kind, ErrorKind::WrongKeyOrDamaged);
    EXPECT_FALSE(f.at_final);
}

TEST(Streams, MisuseRaisesError5AndLeavesTheStreamFailed) {
    clsToString c;
    Bytes out;
    const Bytes three{1, 2, 3};
    {
        EncryptStream enc(c, 2, u"k");
        EXPECT_EQ(test::error_number([&] { enc.Update(three, out); }), 5);
        EXPECT_EQ(test::error_number([&] { enc.Final(out); }), 5);  // failed for good
    }
    {
        EncryptStream enc(c, 4);
        enc.Update(three, out);
        EXPECT_EQ(test::error_number([&] { enc.Final(out); }), 5);
    }
    {
        EncryptStream enc(c, 3);
        std::uint8_t small[18];
        EXPECT_EQ(test::error_number([&] { (void)enc.Update(three, std::span<std::uint8_t>(small)); }), 5);
    }
    {
        DecryptStream dec(c, {}, 24);
        EXPECT_EQ(test::error_number([&] { dec.Update(Bytes(32), out); }), 5);
    }
    EXPECT_EQ(test::error_number([] {
                  clsToString x;
                  DecryptStream dec(x, {}, 20);
              }),
              9);
}

// A stream moved in mid-message carries on where it was, bytes held back
// included; the one it was moved from refuses to end, and its refusal adds
// nothing to the caller's output.
TEST(Streams, AMovedStreamCarriesOnAndItsSourceIsFinished) {
    clsToString c;
    c.Key(u"k");
    const Bytes message = test::random_bytes(37);
    EncryptStream first(c, message.size());
    Bytes cipher;
    first.Update(std::span<const std::uint8_t>(message.data(), 13), cipher);  // not a whole block
    EncryptStream second(std::move(first));
    EncryptStream third(c, 1);
    third = std::move(second);
    third.Update(std::span<const std::uint8_t>(message.data() + 13, message.size() - 13), cipher);
    third.Final(cipher);
    EXPECT_EQ(test::error_number([&] { first.Final(cipher); }), 5);   // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(test::error_number([&] { second.Final(cipher); }), 5);  // NOLINT(bugprone-use-after-move)
    Bytes whole = cipher;
    c.DecryptByte(whole);
    EXPECT_EQ(whole, message);

    DecryptStream dec(c);
    Bytes plain;
    dec.Update(std::span<const std::uint8_t>(cipher.data(), 21), plain);
    DecryptStream moved(c);
    moved = std::move(dec);
    moved.Update(std::span<const std::uint8_t>(cipher.data() + 21, cipher.size() - 21), plain);
    moved.Final();
    EXPECT_EQ(plain, message);
    EXPECT_EQ(test::error_number([&] { dec.Final(); }), 5);  // NOLINT(bugprone-use-after-move)
}

TEST(EncryptStream, AThrowingListenerStopsItAndLeavesItFailed) {
    clsToString c;
    c.Key(u"k");
    c.Progress.Subscribe([](std::int32_t& p) {
        if (p > 0) throw std::runtime_error("stop");
    });
    EncryptStream enc(c, 4000);
    Bytes out;
    EXPECT_THROW(enc.Update(Bytes(4000), out), std::runtime_error);
    EXPECT_EQ(test::error_number([&] { enc.Final(out); }), 5);
}

// The C interface over the same streams.
TEST(StreamCApi, RoundTripsInPiecesAndReportsAWrongKeyByKind) {
    clscrypt_tostring* h = nullptr;
    ASSERT_EQ(clscrypt_tostring_new(0, &h), CLSCRYPT_OK);
    ASSERT_EQ(clscrypt_tostring_set_key_utf8(h, "key", CLSCRYPT_NUL_TERMINATED), CLSCRYPT_OK);
    const Bytes message = test::random_bytes(1000);

    clscrypt_encrypt_stream* enc = nullptr;
    ASSERT_EQ(clscrypt_encrypt_stream_new(h, message.size(), &enc), CLSCRYPT_OK);
    Bytes cipher;
    std::uint8_t buf[CLSCRYPT_STREAM_OUTPUT_SIZE(100)];
    std::size_t size = sizeof buf;
    ASSERT_EQ(clscrypt_encrypt_stream_update(enc, nullptr, 0, buf, &size), CLSCRYPT_OK);  // an empty piece
    EXPECT_EQ(size, 0U);
    size = 10;
    EXPECT_EQ(clscrypt_encrypt_stream_update(enc, message.data(), 100, buf, &size), CLSCRYPT_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, sizeof buf);
    for (std::size_t at = 0; at < message.size(); at += 100) {
        size = sizeof buf;
        ASSERT_EQ(clscrypt_encrypt_stream_update(enc, message.data() + at, 100, buf, &size), CLSCRYPT_OK);
        cipher.insert(cipher.end(), buf, buf + size);
    }
    size = sizeof buf;
    ASSERT_EQ(clscrypt_encrypt_stream_final(enc, buf, &size), CLSCRYPT_OK);
    cipher.insert(cipher.end(), buf, buf + size);
    clscrypt_encrypt_stream_free(enc);
    ASSERT_EQ(cipher.size(), clscrypt_encrypted_size(message.size()));

    clscrypt_decrypt_stream* dec = nullptr;
    ASSERT_EQ(clscrypt_decrypt_stream_new(h, CLSCRYPT_UNKNOWN_LENGTH, &dec), CLSCRYPT_OK);
    EXPECT_EQ(clscrypt_decrypt_stream_message_length(dec), -1);
    Bytes plain;
    for (std::size_t at = 0; at < cipher.size(); at += 100) {
        size = sizeof buf;
        const std::size_t len = std::min<std::size_t>(100, cipher.size() - at);
        ASSERT_EQ(clscrypt_decrypt_stream_update(dec, cipher.data() + at, len, buf, &size), CLSCRYPT_OK);
        plain.insert(plain.end(), buf, buf + size);
    }
    ASSERT_EQ(clscrypt_decrypt_stream_final(dec), CLSCRYPT_OK);
    EXPECT_EQ(clscrypt_decrypt_stream_message_length(dec), 1000);
    clscrypt_decrypt_stream_free(dec);
    EXPECT_EQ(plain, message);

    clscrypt_tostring* other = nullptr;
    ASSERT_EQ(clscrypt_tostring_new(0, &other), CLSCRYPT_OK);
    ASSERT_EQ(clscrypt_tostring_set_key_utf8(other, "not the key", CLSCRYPT_NUL_TERMINATED), CLSCRYPT_OK);
    ASSERT_EQ(clscrypt_decrypt_stream_new(other, cipher.size(), &dec), CLSCRYPT_OK);
    size = sizeof buf;
    EXPECT_EQ(clscrypt_decrypt_stream_update(dec, cipher.data(), 100, buf, &size), CLSCRYPT_ERROR);
    EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_WRONG_KEY_OR_DAMAGED);
    EXPECT_EQ(clscrypt_error_number(), CLSCRYPT_ERR_CLASS_ERROR);
    EXPECT_STREQ(clscrypt_error_description(), "Incorrect size descriptor in Blowfish decryption");
    size = sizeof buf;
    EXPECT_EQ(clscrypt_decrypt_stream_update(dec, cipher.data() + 100, 100, buf, &size), CLSCRYPT_INVALID_ARGUMENT);
    EXPECT_EQ(clscrypt_error_number(), CLSCRYPT_ERR_INVALID_ARGUMENT);
    clscrypt_decrypt_stream_free(dec);
    clscrypt_tostring_free(other);
    clscrypt_tostring_free(h);
}

// In place: each piece converted into the buffer it came from, as the
// C and C++ stream calls allow (output starting exactly at the input). The
// result is the ciphertext of the whole message, and decrypting it in place
// in pieces gives the message back, for piece sizes on both sides of a block.
TEST(Streams, ConvertPiecesInPlace) {
    Bytes message(1000);
    for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<std::uint8_t>(i * 7 + 1);
    for (const std::size_t piece : {1U, 5U, 8U, 13U, 64U, 100U, 999U}) {
        SCOPED_TRACE(piece);
        clsToString c;
        c.Key(u"in place");
        Bytes cipher;
        {
            EncryptStream es(c, message.size());
            Bytes buf(piece + 16);
            for (std::size_t at = 0; at < message.size(); at += piece) {
                const std::size_t n = std::min(piece, message.size() - at);
                std::memcpy(buf.data(), message.data() + at, n);
                const std::size_t got = es.Update(std::span<const std::uint8_t>(buf.data(), n), std::span<std::uint8_t>(buf));
                cipher.insert(cipher.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
            }
            const std::size_t got = es.Final(std::span<std::uint8_t>(buf));
            cipher.insert(cipher.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(got));
        }
        Bytes plain = cipher;
        c.DecryptByte(plain);
        EXPECT_EQ(plain, message);

        // Through C, decrypting in place.
        clscrypt_tostring* h = nullptr;
        ASSERT_EQ(clscrypt_tostring_new(0, &h), CLSCRYPT_OK);
        ASSERT_EQ(clscrypt_tostring_set_key_utf8(h, "in place", CLSCRYPT_NUL_TERMINATED), CLSCRYPT_OK);
        clscrypt_decrypt_stream* ds = nullptr;
        ASSERT_EQ(clscrypt_decrypt_stream_new(h, CLSCRYPT_UNKNOWN_LENGTH, &ds), CLSCRYPT_OK);
        Bytes back;
        Bytes buf(piece + 16);
        for (std::size_t at = 0; at < cipher.size(); at += piece) {
            const std::size_t n = std::min(piece, cipher.size() - at);
            std::memcpy(buf.data(), cipher.data() + at, n);
            std::size_t size = buf.size();
            ASSERT_EQ(clscrypt_decrypt_stream_update(ds, buf.data(), n, buf.data(), &size), CLSCRYPT_OK);
            back.insert(back.end(), buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(size));
        }
        EXPECT_EQ(clscrypt_decrypt_stream_final(ds), CLSCRYPT_OK);
        EXPECT_EQ(back, message);
        clscrypt_decrypt_stream_free(ds);
        clscrypt_tostring_free(h);

        // The vector form with a piece taken from the vector it appends to.
        EncryptStream again(c, message.size());
        Bytes grown = message;
        for (std::size_t at = 0; at < message.size(); at += piece) {
            const std::size_t n = std::min(piece, message.size() - at);
            again.Update(std::span<const std::uint8_t>(grown.data() + at, n), grown);
        }
        again.Final(grown);
        Bytes tail(grown.begin() + static_cast<std::ptrdiff_t>(message.size()), grown.end());
        c.DecryptByte(tail);
        EXPECT_EQ(tail, message);
    }
}

TEST(Streams, AnOutputOverlappingTheInputElsewhereIsRefused) {
    clsToString c;
    c.Key(u"k");
    Bytes buf(200);
    EncryptStream es(c, 64);
    try {
        es.Update(std::span<const std::uint8_t>(buf.data() + 8, 64), std::span<std::uint8_t>(buf.data(), 100));
        ADD_FAILURE() << "taken";
    } catch (const RuntimeError& e) {
        EXPECT_EQ(e.Kind(), ErrorKind::InvalidArgument);
    }
    clscrypt_tostring* h = nullptr;
    ASSERT_EQ(clscrypt_tostring_new(0, &h), CLSCRYPT_OK);
    ASSERT_EQ(clscrypt_tostring_set_key_utf8(h, "k", CLSCRYPT_NUL_TERMINATED), CLSCRYPT_OK);
    clscrypt_encrypt_stream* s = nullptr;
    ASSERT_EQ(clscrypt_encrypt_stream_new(h, 64, &s), CLSCRYPT_OK);
    std::size_t size = 100;
    EXPECT_EQ(clscrypt_encrypt_stream_update(s, buf.data(), 64, buf.data() + 4, &size), CLSCRYPT_INVALID_ARGUMENT);
    EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_INVALID_ARGUMENT);
    clscrypt_encrypt_stream_free(s);
    clscrypt_tostring_free(h);
}

// Unkeyed tables are construction's, so what a stream writes with them
// anyone can read: the stream asks for that to be chosen. Whether an
// instance is keyed is about its tables, not the key text in force: a
// refused empty key after a real one leaves the tables keyed.
TEST(Streams, AnInstanceThatNeverHadAKeyIsRefusedUnlessAllowed) {
    const Bytes message{1, 2, 3};
    auto refused = [&](clsToString& c) {
        try {
            EncryptStream s(c, message.size());
            return false;
        } catch (const RuntimeError& e) {
            EXPECT_EQ(e.Kind(), ErrorKind::InvalidArgument);
            EXPECT_EQ(e.Number(), 5);
            EXPECT_FALSE(c.IsBusy());
            return true;
        }
    };
    clsToString fresh;
    EXPECT_TRUE(refused(fresh));
    clsToString moved;
    moved.Key(u"k");
    clsToString taker(std::move(moved));
    EXPECT_TRUE(refused(moved));  // NOLINT(bugprone-use-after-move): queried after the move on purpose
    EXPECT_FALSE(refused(taker));
    clsToString copied(taker);
    EXPECT_FALSE(refused(copied));
    clsToString emptied;
    emptied.Key(u"k");
    EXPECT_EQ(test::error_number([&] { emptied.Key(u""); }), 9);
    EXPECT_FALSE(refused(emptied));

    // Allowed, it writes what EncryptByte writes unkeyed; a key given to
    // the stream counts as one.
    for (const bool with_key : {false, true}) {
        clsToString c;
        Bytes cipher;
        {
            EncryptStream s = with_key ? EncryptStream(c, message.size(), u"given")
                                       : EncryptStream(c, message.size(), {}, NoKey::Allow);
            s.Update(message, cipher);
            s.Final(cipher);
        }
        clsToString reader;
        if (with_key) reader.Key(u"given");
        reader.DecryptByte(cipher);
        EXPECT_EQ(cipher, message);
    }

    clscrypt_tostring* h = nullptr;
    ASSERT_EQ(clscrypt_tostring_new(0, &h), CLSCRYPT_OK);
    clscrypt_encrypt_stream* s = nullptr;
    EXPECT_EQ(clscrypt_encrypt_stream_new(h, 3, &s), CLSCRYPT_INVALID_ARGUMENT);
    EXPECT_EQ(clscrypt_error_kind(), CLSCRYPT_KIND_INVALID_ARGUMENT);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(clscrypt_encrypt_stream_new_ex(h, 3, 2U, &s), CLSCRYPT_INVALID_ARGUMENT);
    ASSERT_EQ(clscrypt_encrypt_stream_new_ex(h, 3, CLSCRYPT_STREAM_ALLOW_NO_KEY, &s), CLSCRYPT_OK);
    clscrypt_encrypt_stream_free(s);
    ASSERT_EQ(clscrypt_tostring_set_key_utf8(h, "k", CLSCRYPT_NUL_TERMINATED), CLSCRYPT_OK);
    ASSERT_EQ(clscrypt_encrypt_stream_new(h, 3, &s), CLSCRYPT_OK);
    clscrypt_encrypt_stream_free(s);
    clscrypt_tostring_free(h);
}

}  // namespace
}  // namespace clscrypt
