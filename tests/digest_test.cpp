// SHA-256: known answers on every kernel the processor can run, and agreement
// with OpenSSL on random messages through the byte, streaming and text
// interfaces.

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <thread>

#include "clscrypt/clscrypt.hpp"
#include "digest/kernels/dispatch.hpp"
#include "platform/cpu_features.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

using detail::ScopedSha256Backend;
using detail::sha256_backends;

std::string openssl_hex(std::span<const std::uint8_t> bytes) {
    Sha256::Digest d;
    SHA256(bytes.data(), bytes.size(), d.data());
    return ToHex(d);
}

std::vector<std::uint8_t> low_bytes(std::u16string_view text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size());
    for (const char16_t c : text) out.push_back(static_cast<std::uint8_t>(c % 256));
    return out;
}

std::u16string random_text(std::size_t n) {
    std::u16string s(n, u'\0');
    for (auto& c : s) c = static_cast<char16_t>(rng()());
    return s;
}

// Runs `check` once with each kernel in force.
template <typename F>
void on_every_backend(F&& check) {
    for (const auto& backend : sha256_backends()) {
        SCOPED_TRACE(backend.name);
        const ScopedSha256Backend forced(backend);
        check();
    }
}

// The hash of `bytes` fed in pieces cut at random places (empty pieces
// included), alternating the two span types.
std::string streamed_hex(const std::vector<std::uint8_t>& bytes, Sha256& hash) {
    std::size_t at = 0;
    bool as_std_byte = false;
    while (at < bytes.size()) {
        const std::size_t piece = std::min<std::size_t>(bytes.size() - at, rng()() % 200);
        if (as_std_byte) {
            hash.Update(std::as_bytes(std::span(bytes).subspan(at, piece)));
        } else {
            hash.Update(std::span(bytes).subspan(at, piece));
        }
        as_std_byte = !as_std_byte;
        at += piece;
    }
    return ToHex(hash.Final());
}

TEST(Sha256Backends, PortableFirstAndTheHardwareKernelWhenPresent) {
    const auto backends = sha256_backends();
    ASSERT_FALSE(backends.empty());
    EXPECT_EQ(backends.front().name, "portable");
    std::string names;
    for (const auto& b : backends) names.append(" ").append(b.name);
    std::printf("[ SHA-256 kernels:%s ]\n", names.c_str());
#if CLSCRYPT_SHA256_X86
    const bool listed =
        std::any_of(backends.begin(), backends.end(), [](const auto& b) { return b.name == "x86-sha"; });
    EXPECT_EQ(listed, platform::cpu_features().x86_sha);
#endif
}

std::u16string alphabet_run(std::size_t n) {
    std::u16string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char16_t>(u'a' + i % 26);
    return s;
}

struct KnownAnswer {
    const char* what;
    std::u16string text;
    const char* digest;
};

const std::vector<KnownAnswer>& known_answers() {
    static const std::vector<KnownAnswer> answers = {
        {"empty", u"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", u"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"two-block 56 bytes", u"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"one million a", std::u16string(1000000, u'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        // Around the padding boundaries: 55 bytes leave room for the length,
        // 56 do not; 64 and 120 need an extra padding block, 119 does not.
        {"55", alphabet_run(55), "595615dbe4f0f407ae397d08b4c2cb870cb9b0e11937416f950c5160acf9c005"},
        {"56", alphabet_run(56), "784f623b787495078e93ff28a25b581df0584055a7e71d8cd90c454716b92f51"},
        {"63", alphabet_run(63), "5ca3e1ef5207490eac01a795e5cc94d59582a5118bf9534665c8668d87aa647c"},
        {"64", alphabet_run(64), "2fcd5a0d60e4c941381fcc4e00a4bf8be422c3ddfafb93c809e8d1e2bfffae8e"},
        {"119", alphabet_run(119), "faef67da856d6fd9c8d12f9ed0a4fefd3cf0ce085ab43e2907418d457e3c354b"},
        {"120", alphabet_run(120), "c9512b08619c19fbb503c7da6b46ef20301e5f7a7a5f43989182398536f5c5c8"},
        // Only the low byte of a character counts.
        {"U+20AC", u"\u20AC", "ee6bb86b44339392bae631c8f61dd8f009243c635adab33c0b20923a2794bf22"},
        {"U+0100", u"\u0100", "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
        {"mixed", u"a\u0100\u20AC\uFFFFb", "d47138a91cd3054af2f2a6ff7104fd5c899462539d49031bf5b5881fe92e4139"},
    };
    return answers;
}

TEST(Sha256KnownAnswers, TextBytesAndStreamOnEveryBackend) {
    on_every_backend([] {
        const clsHsh hsh;
        for (const auto& k : known_answers()) {
            SCOPED_TRACE(k.what);
            EXPECT_EQ(hsh.SHA256(k.text), k.digest);
            const auto bytes = low_bytes(k.text);
            EXPECT_EQ(ToHex(Sha256::Hash(bytes)), k.digest);
            Sha256 hash;
            EXPECT_EQ(streamed_hex(bytes, hash), k.digest);
        }
    });
}

TEST(Sha256KnownAnswers, HighBytesAreDroppedNotSaturatedInLongTexts) {
    // Long enough for the vectorised narrowing: each character above U+00FF
    // must hash like its low byte, never like 0xFF.
    std::u16string high;
    std::u16string low;
    for (int i = 0; i < 5000; ++i) {
        const auto c = static_cast<char16_t>(0x0100 * (1 + i % 255) + i % 256);
        high += c;
        low += static_cast<char16_t>(c % 256);
    }
    const clsHsh hsh;
    EXPECT_EQ(hsh.SHA256(high), hsh.SHA256(low));
    EXPECT_EQ(hsh.SHA256(high), openssl_hex(low_bytes(low)));
}

TEST(Sha256Differential, RandomMessagesAgreeWithOpenSsl) {
    on_every_backend([] {
        for (int i = 0; i < 300; ++i) {
            const std::size_t n = i % 10 == 0 ? rng()() % 100000 : rng()() % 1000;
            const auto bytes = random_bytes(n);
            const std::string expected = openssl_hex(bytes);
            ASSERT_EQ(ToHex(Sha256::Hash(bytes)), expected) << "length " << n;
            ASSERT_EQ(ToHex(Sha256::Hash(std::as_bytes(std::span(bytes)))), expected) << "length " << n;
        }
    });
}

TEST(Sha256Differential, RandomSplitsAgreeWithOpenSsl) {
    on_every_backend([] {
        Sha256 hash;  // reused: each Final starts the next message afresh
        for (int i = 0; i < 200; ++i) {
            const auto bytes = random_bytes(rng()() % 3000);
            ASSERT_EQ(streamed_hex(bytes, hash), openssl_hex(bytes)) << "length " << bytes.size();
        }
    });
}

TEST(Sha256Differential, RandomTextsAgreeWithOpenSslOnLowBytes) {
    on_every_backend([] {
        const clsHsh hsh;
        // Random lengths, and lengths at the edges of the narrowing chunks.
        std::vector<std::size_t> lengths;
        for (int i = 0; i < 150; ++i) lengths.push_back(rng()() % 5000);
        for (const std::size_t edge : {2048U, 4096U, 65536U}) {
            for (const std::size_t n : {edge - 65, edge - 1, edge, edge + 1, edge + 63, edge + 64})
                lengths.push_back(n);
        }
        for (const std::size_t n : lengths) {
            const std::u16string text = random_text(n);
            ASSERT_EQ(hsh.SHA256(text), openssl_hex(low_bytes(text))) << "length " << n;
        }
    });
}

// Random characters, one in four of them one whose low byte is 0x00, 0xFF
// or 0x80 under a high byte: narrowing that saturates, sign-extends or
// keeps the wrong half shows there first.
std::u16string text_with_high_bytes(std::size_t n) {
    static constexpr char16_t kEdges[] = {0x0100, 0x01FF, 0xFF00, 0xFFFF, 0x8080, 0x7F80, 0x00FF, 0x0080};
    std::u16string s = random_text(n);
    for (auto& c : s) {
        if (rng()() % 4 == 0) c = kEdges[rng()() % std::size(kEdges)];
    }
    return s;
}

TEST(Sha256Text, KernelsNarrowBlocksLikeTheByteKernels) {
    // Each backend's text kernel against its byte kernel on the narrowed
    // blocks, from a random chaining state, one to five blocks a call, the
    // text at every offset of a 16-byte line.
    for (const auto& backend : sha256_backends()) {
        SCOPED_TRACE(backend.name);
        [&backend] {
            for (int i = 0; i < 200; ++i) {
                const std::size_t blocks = 1 + i % 5;
                const std::size_t offset = i % 8;
                const std::u16string padded = text_with_high_bytes(offset + blocks * detail::kSha256TextBlock);
                const std::u16string_view text = std::u16string_view(padded).substr(offset);
                std::array<std::uint32_t, 8> start;
                for (auto& word : start) word = static_cast<std::uint32_t>(rng()());
                auto from_text = start;
                auto from_bytes = start;
                backend.compress_text(from_text.data(), text.data(), blocks);
                backend.compress(from_bytes.data(), low_bytes(text).data(), blocks);
                ASSERT_EQ(from_text, from_bytes) << blocks << " blocks at offset " << offset;
            }
        }();  // a failure ends this backend's cases, not the others'
    }
}

TEST(Sha256Text, DigestOfATextIsTheDigestOfItsLowBytes) {
    // Every length to 300 (the short layout, the fused whole blocks and their
    // partial last block) and a few long ones, on every backend, against
    // narrowing first and hashing the bytes.
    on_every_backend([] {
        const clsHsh hsh;
        std::vector<std::size_t> lengths;
        for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
        for (const std::size_t n : {4096U + 17U, 65536U + 63U, (1U << 20) + 1U}) lengths.push_back(n);
        for (const std::size_t n : lengths) {
            const std::u16string text = text_with_high_bytes(n);
            ASSERT_EQ(hsh.SHA256(text), ToHex(Sha256::Hash(low_bytes(text)))) << "length " << n;
        }
    });
}

TEST(Sha256Streaming, CopiesForkAndFinalStartsAfresh) {
    const auto head = random_bytes(100);
    const auto left = random_bytes(37);
    const auto right = random_bytes(300);
    auto joined = [](std::vector<std::uint8_t> a, const std::vector<std::uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };

    Sha256 first;
    first.Update(head);
    Sha256 second = first;
    first.Update(left);
    second.Update(right);
    EXPECT_EQ(first.Final(), Sha256::Hash(joined(head, left)));
    EXPECT_EQ(second.Final(), Sha256::Hash(joined(head, right)));
    // After Final (and after Reset) the hasher holds the empty message.
    EXPECT_EQ(first.Final(), Sha256::Hash(std::span<const std::uint8_t>{}));
    second.Update(head);
    second.Reset();
    second.Update(left);
    EXPECT_EQ(second.Final(), Sha256::Hash(left));
}

TEST(Sha256Streaming, LengthFieldCarriesPast32Bits) {
    // 2^29 + 5 bytes is more than 2^32 bits: the top half of the length field
    // must be set. Fed through a small buffer, on the preferred kernel only.
    std::vector<std::uint8_t> piece(1 << 20);
    for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = static_cast<std::uint8_t>(i * 131 + 7);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    ASSERT_NE(ctx, nullptr);
    ASSERT_EQ(EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr), 1);
    Sha256 hash;
    for (int i = 0; i < 512; ++i) {
        hash.Update(piece);
        EVP_DigestUpdate(ctx, piece.data(), piece.size());
    }
    hash.Update(std::span(piece).first(5));
    EVP_DigestUpdate(ctx, piece.data(), 5);
    Sha256::Digest expected;
    EVP_DigestFinal_ex(ctx, expected.data(), nullptr);
    EVP_MD_CTX_free(ctx);
    EXPECT_EQ(ToHex(hash.Final()), ToHex(expected));
}

TEST(Sha256Dispatch, ThreadsRacingOnFirstUseAllGetTheRightDigest) {
    // ctest runs each test in a process of its own, so there this is the
    // first use and the threads race to choose the kernel.
    const std::u16string text = random_text(10000);
    const std::string expected = openssl_hex(low_bytes(text));
    std::vector<std::string> results(8);
    std::vector<std::thread> threads;
    for (auto& r : results) {
        threads.emplace_back([&text, &r] { r = clsHsh().SHA256(text); });
    }
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
}

}  // namespace
}  // namespace clscrypt::test
