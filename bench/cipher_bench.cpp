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
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "cipher/cbc_kernels.hpp"
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

std::string suffix(std::size_t n) {
    std::string s = "/";
    s += std::to_string(n);
    return s;
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
    // CBC encryption, one chain, 16 MiB of message.
    benchmark::RegisterBenchmark(("EncryptByte:ours" + suffix(kSingle)).c_str(), [](benchmark::State& state) {
        clsToString c = keyed();
        std::vector<std::uint8_t> v;
        v.reserve(kSingle + 19);
        v.assign(data().plain.begin(), data().plain.begin() + kSingle);
        for (auto _ : state) {
            v.resize(kSingle);  // the last ciphertext stands in for a message
            c.EncryptByte(v);
        }
    });
    benchmark::RegisterBenchmark(("EncryptByte+realloc:ours" + suffix(kSingle)).c_str(), [](benchmark::State& state) {
        clsToString c = keyed();
        for (auto _ : state) {
            state.PauseTiming();
            std::vector<std::uint8_t> v(data().plain.begin(), data().plain.begin() + kSingle);  // no spare room
            state.ResumeTiming();
            c.EncryptByte(v);
            state.PauseTiming();
            v = {};
            state.ResumeTiming();
        }
    });
    benchmark::RegisterBenchmark(("EncryptByte:openssl" + suffix(kSingle)).c_str(), [](benchmark::State& state) {
        std::vector<std::uint8_t> v(data().plain.begin(), data().plain.begin() + kSingle);
        for (auto _ : state) openssl_cbc(v.data(), v.size(), BF_ENCRYPT);
    });

    // CBC decryption: one thread on each kernel, then two threads.
    auto decrypt = [](const std::vector<std::uint8_t>& cipher, const detail::CbcBackend* backend,
                      std::size_t threads) {
        return [&cipher, backend, threads](benchmark::State& state) {
            const detail::ScopedDecryptThreads limit(threads);
            std::optional<detail::ScopedCbcBackend> forced;
            if (backend != nullptr) forced.emplace(*backend);
            clsToString c = keyed();
            std::vector<std::uint8_t> v;
            v.reserve(cipher.size());
            for (auto _ : state) {
                state.PauseTiming();
                v.assign(cipher.begin(), cipher.end());
                state.ResumeTiming();
                c.DecryptByte(v);
            }
        };
    };
    const Data& d = data();
    const auto backends = detail::cbc_backends();
    benchmark::RegisterBenchmark(("DecryptByte:ours" + suffix(kSingle)).c_str(), decrypt(d.cipher16, nullptr, 1));
    benchmark::RegisterBenchmark(("DecryptByte-portable:ours" + suffix(kSingle)).c_str(),
                                 decrypt(d.cipher16, &backends.front(), 1));
    benchmark::RegisterBenchmark(("DecryptByte-2threads:ours" + suffix(kLarge)).c_str(),
                                 decrypt(d.cipher64, nullptr, 2));
    for (const std::size_t n : {kSingle, kLarge}) {
        benchmark::RegisterBenchmark(("DecryptByte:openssl" + suffix(n)).c_str(), [n](benchmark::State& state) {
            std::vector<std::uint8_t> v(data().plain.begin(), data().plain.begin() + static_cast<std::ptrdiff_t>(n));
            for (auto _ : state) openssl_cbc(v.data(), v.size(), BF_DECRYPT);
        });
    }

    // Key set-up: ours alternates two keys, since setting the key in force
    // again does nothing.
    benchmark::RegisterBenchmark("Key:ours/1", [](benchmark::State& state) {
        clsToString c;
        bool other = false;
        for (auto _ : state) {
            c.Key(other ? kOtherKey16 : kKey16);
            other = !other;
        }
    });
    benchmark::RegisterBenchmark("Key:openssl/1", [](benchmark::State& state) {
        BF_KEY key;
        for (auto _ : state) {
            BF_set_key(&key, static_cast<int>(std::strlen(kKey)), reinterpret_cast<const unsigned char*>(kKey));
            benchmark::DoNotOptimize(key);
        }
    });

    // A short message there and back. Ours draws its random first block;
    // OpenSSL's caller draws a random initial value and keeps a copy for
    // the decryption, since the call overwrites it.
    benchmark::RegisterBenchmark("Small32:ours/1", [](benchmark::State& state) {
        clsToString c = keyed();
        std::vector<std::uint8_t> v;
        v.reserve(64);
        const std::uint8_t* message = data().plain.data();
        for (auto _ : state) {
            v.assign(message, message + kSmall);
            c.EncryptByte(v);
            c.DecryptByte(v);
            benchmark::DoNotOptimize(v.data());
        }
    });
    benchmark::RegisterBenchmark("Small32:openssl/1", [](benchmark::State& state) {
        const std::uint8_t* message = data().plain.data();
        std::uint8_t cipher[kSmall];
        std::uint8_t back[kSmall];
        for (auto _ : state) {
            unsigned char iv[8];
            unsigned char iv_copy[8];
            if (RAND_bytes(iv, sizeof iv) != 1) state.SkipWithError("RAND_bytes failed");
            std::memcpy(iv_copy, iv, sizeof iv);
            BF_cbc_encrypt(message, cipher, kSmall, &data().bf, iv, BF_ENCRYPT);
            BF_cbc_encrypt(cipher, back, kSmall, &data().bf, iv_copy, BF_DECRYPT);
            benchmark::DoNotOptimize(back);
        }
    });
}

std::vector<Row> cipher_rows() {
    const std::string single = suffix(kSingle);
    const std::string large = suffix(kLarge);
    const std::string best(detail::cbc_backends().back().name);
    const auto mbs = Unit::MegabytesPerSecond;
    return {
        {"EncryptByte (CBC encryption, one chain)", "16 MiB", "EncryptByte:ours" + single,
         "EncryptByte:openssl" + single, "OpenSSL", mbs, 1.05, 0},
        {"EncryptByte, array without spare capacity", "16 MiB", "EncryptByte+realloc:ours" + single,
         "EncryptByte:openssl" + single, "OpenSSL", mbs, 0, 0},
        {"DecryptByte, one thread (" + best + ")", "16 MiB", "DecryptByte:ours" + single,
         "DecryptByte:openssl" + single, "OpenSSL", mbs, best == "avx512-vbmi" ? 8.0 : 3.0, 0},
        {"DecryptByte, one thread (portable, forced)", "16 MiB", "DecryptByte-portable:ours" + single,
         "DecryptByte:openssl" + single, "OpenSSL", mbs, 3.0, 0},
        {"DecryptByte, two threads (" + best + ")", "64 MiB", "DecryptByte-2threads:ours" + large,
         "DecryptByte:openssl" + large, "OpenSSL", mbs, 12.0, 0},
        {"Key set-up", "one key", "Key:ours/1", "Key:openssl/1", "OpenSSL BF_set_key", Unit::ThousandsPerSecond, 1.0,
         0},
        {"EncryptByte + DecryptByte, key set", "32 B", "Small32:ours/1", "Small32:openssl/1",
         "OpenSSL CBC with IV", Unit::ThousandsPerSecond, 2.0, 0},
    };
}

}  // namespace clscrypt::bench
