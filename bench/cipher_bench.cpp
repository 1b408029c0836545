// The cipher against OpenSSL's Blowfish (BF_set_key, BF_cbc_encrypt) on the
// same buffers. The format differs from standard Blowfish only in the
// tables' contents, so the work per block is the same on both sides; our
// kernels, given the standard tables, must produce OpenSSL's bytes exactly,
// and that is checked for every kernel before anything is timed.
//
// Ours is measured through the public operations: EncryptByte and
// DecryptByte on an array whose capacity already fits the result (the
// array grows by 12 to 19 bytes; when it must reallocate, that copy is
// measured in a row of its own), with the key already set.

#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/blowfish.h>
#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cipher/blowfish.hpp"
#include "cipher/kernels/dispatch.hpp"
#include "cipher/parallel.hpp"
#include "clscrypt/cipher.hpp"
#include "suites.hpp"

namespace clscrypt::bench {

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::size_t kSingle = 16 * kMiB;  // the one-thread rows
constexpr std::size_t kLarge = 64 * kMiB;   // the two-thread row
constexpr std::size_t kSmall = 32;
constexpr char kKey[] = "benchmark key";
constexpr std::u16string_view kKey16 = u"benchmark key";
constexpr std::u16string_view kOtherKey16 = u"benchmark kez";

struct Data {
    std::vector<std::uint8_t> plain;     // kLarge random bytes
    std::vector<std::uint8_t> cipher16;  // our ciphertexts of exactly kSingle and kLarge bytes
    std::vector<std::uint8_t> cipher64;
    BF_KEY bf{};

    Data() : plain(kLarge) {
        std::mt19937_64 gen(20240611);
        for (std::size_t i = 0; i < kLarge; i += 8) {
            const std::uint64_t r = gen();
            std::memcpy(plain.data() + i, &r, 8);
        }
        BF_set_key(&bf, static_cast<int>(std::strlen(kKey)), reinterpret_cast<const unsigned char*>(kKey));
        clsToString c;
        c.Key(kKey16);
        // Messages 16 bytes short of the ciphertext lengths wanted.
        cipher16.assign(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(kSingle - 16));
        c.EncryptByte(cipher16);
        cipher64.assign(plain.begin(), plain.begin() + static_cast<std::ptrdiff_t>(kLarge - 16));
        c.EncryptByte(cipher64);
    }
};

const Data& data() {
    static const Data d;
    return d;
}

clsToString keyed() {
    clsToString c;
    c.Key(kKey16);
    return c;
}

// OpenSSL's CBC over a buffer in place; the initial value as a caller of
// the standard mode would keep it.
void openssl_cbc(std::uint8_t* buf, std::size_t n, int direction) {
    unsigned char iv[8] = {};
    BF_cbc_encrypt(buf, buf, static_cast<long>(n), &data().bf, iv, direction);
}

// Our kernels on the standard tables, against OpenSSL, in place, over the
// whole large buffer and across the thread split.
bool kernels_match_openssl() {
    const Data& d = data();
    detail::BlowfishTables t;
    detail::initial_tables(t, detail::SboxArrangement::Standard);
    detail::mix_key(t, std::span(reinterpret_cast<const std::uint8_t*>(kKey), std::strlen(kKey)),
                    detail::KeyPacking::Standard);
    auto planes = std::make_unique<detail::BytePlanes>();
    detail::build_planes(t, *planes);

    std::vector<std::uint8_t> expected = d.plain;
    openssl_cbc(expected.data(), expected.size(), BF_ENCRYPT);
    bool ok = true;
    for (const auto& backend : detail::cbc_backends()) {
        std::vector<std::uint8_t> buf = d.plain;
        detail::Chain chain;
        backend.encrypt(t, buf.data(), buf.size(), chain);
        ok = ok && buf == expected;
        for (const std::size_t threads : {1, 2}) {
            const detail::ScopedDecryptThreads limit(threads);
            std::vector<std::uint8_t> back = expected;
            detail::Chain start;
            detail::cbc_decrypt_run(backend, t, planes.get(), back.data(), back.size(), start);
            ok = ok && back == d.plain;
        }
        if (!ok) std::fprintf(stderr, "kernel %s differs from OpenSSL\n", std::string(backend.name).c_str());
    }
    return ok;
}

}  // namespace

bool cipher_outputs_agree() {
    const Data& d = data();
    bool ok = kernels_match_openssl();
    // The public operations round-trip on the benchmark buffers.
    clsToString c = keyed();
    std::vector<std::uint8_t> v = d.cipher16;
    c.DecryptByte(v);
    ok = ok && std::equal(v.begin(), v.end(), d.plain.begin()) && v.size() == kSingle - 16;
    v = d.cipher64;
    c.DecryptByte(v);
    ok = ok && std::equal(v.begin(), v.end(), d.plain.begin()) && v.size() == kLarge - 16;
    std::vector<std::uint8_t> small(d.plain.begin(), d.plain.begin() + kSmall);
    c.EncryptByte(small);
    c.DecryptByte(small);
    ok = ok && std::equal(small.begin(), small.end(), d.plain.begin()) && small.size() == kSmall;
    return ok;
}

void register_cipher_benchmarks() {
    const Data& d = data();
    auto openssl_in_place = [](std::size_t n, int direction) {
        auto buf = std::make_shared<std::vector<std::uint8_t>>(data().plain.begin(),
                                                               data().plain.begin() + static_cast<std::ptrdiff_t>(n));
        return Side{[buf, direction] { openssl_cbc(buf->data(), buf->size(), direction); }, {}};
    };

    // CBC encryption, one chain, 16 MiB of message; the last ciphertext
    // stands in for the next message.
    {
        auto c = std::make_shared<clsToString>(keyed());
        auto v = std::make_shared<std::vector<std::uint8_t>>();
        v->reserve(kSingle + 19);
        v->assign(d.plain.begin(), d.plain.begin() + kSingle);
        register_pair("EncryptByte", kSingle, 1, {[c, v] { c->EncryptByte(*v); }, [v] { v->resize(kSingle); }},
                      openssl_in_place(kSingle, BF_ENCRYPT));
    }
    {
        auto c = std::make_shared<clsToString>(keyed());
        auto v = std::make_shared<std::vector<std::uint8_t>>();
        register_pair("EncryptByte+realloc", kSingle, 1,
                      {[c, v] { c->EncryptByte(*v); },
                       [v] {
                           // No spare room: EncryptByte must reallocate.
                           *v = std::vector<std::uint8_t>(data().plain.begin(), data().plain.begin() + kSingle);
                       }},
                      openssl_in_place(kSingle, BF_ENCRYPT));
    }

    // CBC decryption: one thread on the preferred and on the portable
    // kernel, then two threads. The thread limit and the kernel in force
    // hold for the whole case; OpenSSL is unaffected by either.
    auto decrypt = [](const std::vector<std::uint8_t>& cipher, const detail::CbcBackend* backend, std::size_t threads) {
        auto c = std::make_shared<clsToString>(keyed());
        auto v = std::make_shared<std::vector<std::uint8_t>>();
        v->reserve(cipher.size());
        const std::vector<std::uint8_t>* source = &cipher;
        return Side{[c, v, backend, threads] {
                        const detail::ScopedDecryptThreads limit(threads);
                        std::optional<detail::ScopedCbcBackend> forced;
                        if (backend != nullptr) forced.emplace(*backend);
                        c->DecryptByte(*v);
                    },
                    [v, source] { v->assign(source->begin(), source->end()); }};
    };
    const auto backends = detail::cbc_backends();
    register_pair("DecryptByte", kSingle, 1, decrypt(d.cipher16, nullptr, 1), openssl_in_place(kSingle, BF_DECRYPT));
    register_pair("DecryptByte-portable", kSingle, 1, decrypt(d.cipher16, &backends.front(), 1),
                  openssl_in_place(kSingle, BF_DECRYPT));
    register_pair("DecryptByte-2threads", kLarge, 1, decrypt(d.cipher64, nullptr, 2),
                  openssl_in_place(kLarge, BF_DECRYPT));

    // Key set-up: ours alternates two keys, since setting the key in force
    // again does nothing.
    {
        constexpr int kBatch = 16;
        auto c = std::make_shared<clsToString>();
        auto other = std::make_shared<bool>(false);
        auto key = std::make_shared<BF_KEY>();
        register_pair("Key", kBatch, kBatch,
                      {[c, other] {
                           c->Key(*other ? kOtherKey16 : kKey16);
                           *other = !*other;
                       },
                       {}},
                      {[key] {
                           BF_set_key(key.get(), static_cast<int>(std::strlen(kKey)),
                                      reinterpret_cast<const unsigned char*>(kKey));
                           benchmark::DoNotOptimize(key->P[0]);
                       },
                       {}});
    }

    // A short message there and back. Ours draws its random first block;
    // OpenSSL's caller draws a random initial value and keeps a copy for
    // the decryption, since the call overwrites it.
    {
        constexpr int kBatch = 64;
        auto c = std::make_shared<clsToString>(keyed());
        auto v = std::make_shared<std::vector<std::uint8_t>>();
        v->reserve(64);
        auto scratch = std::make_shared<std::array<std::uint8_t, 2 * kSmall>>();
        register_pair("Small32", kBatch, kBatch,
                      {[c, v] {
                           const std::uint8_t* message = data().plain.data();
                           v->assign(message, message + kSmall);
                           c->EncryptByte(*v);
                           c->DecryptByte(*v);
                           benchmark::DoNotOptimize(v->data());
                       },
                       {}},
                      {[scratch] {
                           const std::uint8_t* message = data().plain.data();
                           unsigned char iv[8];
                           unsigned char iv_copy[8];
                           if (RAND_bytes(iv, sizeof iv) != 1) std::abort();
                           std::memcpy(iv_copy, iv, sizeof iv);
                           BF_cbc_encrypt(message, scratch->data(), kSmall, &data().bf, iv, BF_ENCRYPT);
                           BF_cbc_encrypt(scratch->data(), scratch->data() + kSmall, kSmall, &data().bf, iv_copy,
                                          BF_DECRYPT);
                           benchmark::DoNotOptimize(scratch->data());
                       },
                       {}});
    }
}

std::vector<Row> cipher_rows() {
    const std::string best(detail::cbc_backends().back().name);
    const auto mbs = Unit::MegabytesPerSecond;
    return {
        {"EncryptByte (CBC encryption, one chain)", "16 MiB", "EncryptByte", "OpenSSL", mbs, 1.05, 0},
        {"EncryptByte, array without spare capacity", "16 MiB", "EncryptByte+realloc", "OpenSSL", mbs, 0, 0},
        {"DecryptByte, one thread (" + best + ")", "16 MiB", "DecryptByte", "OpenSSL", mbs,
         best == "avx512-vbmi" ? 8.0 : 3.0, 0},
        {"DecryptByte, one thread (portable, forced)", "16 MiB", "DecryptByte-portable", "OpenSSL", mbs, 3.0, 0},
        {"DecryptByte, two threads (" + best + ")", "64 MiB", "DecryptByte-2threads", "OpenSSL", mbs, 12.0, 0},
        {"Key set-up", "one key", "Key", "OpenSSL BF_set_key", Unit::ThousandsPerSecond, 1.0, 0},
        {"EncryptByte + DecryptByte, key set", "32 B", "Small32", "OpenSSL CBC with IV", Unit::ThousandsPerSecond, 2.0,
         0},
    };
}

}  // namespace clscrypt::bench
