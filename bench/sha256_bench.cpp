// SHA-256 throughput: ours on each kernel the processor can run, against
// OpenSSL (EVP_Digest with a fetched EVP_MD, and the one-shot SHA256()), on
// the same buffers; and clsHsh::SHA256 on a text against OpenSSL on the same
// number of bytes, long and short. Every digest is checked against
// OpenSSL's before anything is timed.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "clscrypt/digest.hpp"
#include "digest/sha256_kernels.hpp"
#include "suites.hpp"

namespace clscrypt::bench {

namespace {

using clscrypt::Sha256;

constexpr std::size_t kLargest = std::size_t{16} << 20;
constexpr std::size_t kSizes[] = {64, 1024, 64 * 1024, kLargest};
// Short texts, the legacy hash's usual diet (a password, a name): up to 55
// characters take one block with the padding, 56 to 64 two.
constexpr std::size_t kShortTexts[] = {16, 55, 64};

// The bytes every byte benchmark hashes (a prefix of), and a text of as many
// characters whose low bytes are those bytes and whose high bytes are noise.
struct Buffers {
    std::vector<std::uint8_t> bytes;
    std::u16string text;

    Buffers() : bytes(kLargest), text(kLargest, u'\0') {
        std::mt19937_64 gen(20240601);
        for (std::size_t i = 0; i < kLargest; ++i) {
            const auto r = gen();
            bytes[i] = static_cast<std::uint8_t>(r);
            text[i] = static_cast<char16_t>((r >> 8 & 0xFF00U) | bytes[i]);
        }
    }
};

const Buffers& buffers() {
    static const Buffers b;
    return b;
}

// The fetched digest, as a long-running program would hold it.
EVP_MD* sha256_md() {
    static EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

Sha256::Digest openssl_evp(const std::uint8_t* data, std::size_t n) {
    Sha256::Digest d;
    EVP_Digest(data, n, d.data(), nullptr, sha256_md(), nullptr);
    return d;
}

Sha256::Digest openssl_one_shot(const std::uint8_t* data, std::size_t n) {
    Sha256::Digest d;
    SHA256(data, n, d.data());
    return d;
}

// "/n", the suffix Google Benchmark gives an argument. (Built by appending:
// GCC 12 warns falsely on "literal" + std::string temporaries at -O3.)
std::string size_suffix(std::size_t n) {
    std::string s = "/";
    s += std::to_string(n);
    return s;
}

std::string size_label(std::size_t n) {
    if (n >= (std::size_t{1} << 20)) return std::to_string(n >> 20) + " MiB";
    if (n >= 1024) return std::to_string(n >> 10) + " KiB";
    return std::to_string(n) + " B";
}

}  // namespace

// Nothing is timed unless every path gives OpenSSL's digest.
bool sha256_outputs_agree() {
    const Buffers& b = buffers();
    bool ok = sha256_md() != nullptr;
    for (const std::size_t n : kSizes) {
        const auto expected = openssl_evp(b.bytes.data(), n);
        ok = ok && openssl_one_shot(b.bytes.data(), n) == expected;
        for (const auto& backend : clscrypt::detail::sha256_backends()) {
            const clscrypt::detail::ScopedSha256Backend forced(backend);
            ok = ok && Sha256::Hash(std::span(b.bytes).first(n)) == expected;
        }
    }
    ok = ok && clscrypt::clsHsh().SHA256(b.text) == clscrypt::ToHex(openssl_evp(b.bytes.data(), kLargest));
    for (const std::size_t n : kShortTexts) {
        const std::u16string_view text(b.text.data(), n);
        ok = ok && clscrypt::clsHsh().SHA256(text) == clscrypt::ToHex(openssl_one_shot(b.bytes.data(), n));
    }
    return ok;
}

void register_sha256_benchmarks() {
    for (const std::size_t n : kSizes) {
        const std::string size = size_suffix(n);
        for (const auto& backend : clscrypt::detail::sha256_backends()) {
            const std::string name = "ours:" + std::string(backend.name) + size;
            benchmark::RegisterBenchmark(name.c_str(), [n, backend](benchmark::State& state) {
                const clscrypt::detail::ScopedSha256Backend forced(backend);
                const auto data = std::span(buffers().bytes).first(n);
                for (auto _ : state) {
                    auto digest = Sha256::Hash(data);
                    benchmark::DoNotOptimize(digest);
                }
                state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
            });
        }
        benchmark::RegisterBenchmark(("openssl:EVP_Digest" + size).c_str(), [n](benchmark::State& state) {
            const std::uint8_t* data = buffers().bytes.data();
            for (auto _ : state) {
                auto digest = openssl_evp(data, n);
                benchmark::DoNotOptimize(digest);
            }
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
        });
        benchmark::RegisterBenchmark(("openssl:SHA256" + size).c_str(), [n](benchmark::State& state) {
            const std::uint8_t* data = buffers().bytes.data();
            for (auto _ : state) {
                auto digest = openssl_one_shot(data, n);
                benchmark::DoNotOptimize(digest);
            }
            state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
        });
    }
    // Bytes processed counts characters: one hashed byte each.
    benchmark::RegisterBenchmark(("clsHsh:SHA256" + size_suffix(kLargest)).c_str(), [](benchmark::State& state) {
        const clscrypt::clsHsh hsh;
        for (auto _ : state) {
            auto hex = hsh.SHA256(buffers().text);
            benchmark::DoNotOptimize(hex);
        }
        state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kLargest));
    });
    // Short texts against the one-shot function on as many bytes, in
    // operations per second (the names end in "/1").
    for (const std::size_t n : kShortTexts) {
        const std::string name = "-short" + std::to_string(n) + "/1";
        benchmark::RegisterBenchmark(("clsHsh:SHA256" + name).c_str(), [n](benchmark::State& state) {
            const clscrypt::clsHsh hsh;
            const std::u16string_view text(buffers().text.data(), n);
            for (auto _ : state) {
                auto hex = hsh.SHA256(text);
                benchmark::DoNotOptimize(hex);
            }
        });
        benchmark::RegisterBenchmark(("openssl:SHA256" + name).c_str(), [n](benchmark::State& state) {
            const std::uint8_t* data = buffers().bytes.data();
            for (auto _ : state) {
                auto digest = openssl_one_shot(data, n);
                benchmark::DoNotOptimize(digest);
            }
        });
    }
}

std::vector<Row> sha256_rows() {
    std::vector<Row> rows;
    const std::string best(clscrypt::detail::sha256_backends().back().name);
    for (const std::size_t n : {std::size_t{64} * 1024, kLargest}) {
        const std::string size = size_suffix(n);
        rows.push_back({"SHA-256 bulk (" + best + ") vs EVP_Digest", size_label(n), "ours:" + best + size,
                        "openssl:EVP_Digest" + size, "OpenSSL", Unit::MegabytesPerSecond, 0.95, 0});
        rows.push_back({"SHA-256 bulk (" + best + ") vs SHA256()", size_label(n), "ours:" + best + size,
                        "openssl:SHA256" + size, "OpenSSL", Unit::MegabytesPerSecond, 0.95, 0});
    }
    const std::string largest = size_suffix(kLargest);
    rows.push_back({"clsHsh::SHA256 of a text vs EVP_Digest on bytes", "16 Mi chars", "clsHsh:SHA256" + largest,
                    "openssl:EVP_Digest" + largest, "OpenSSL", Unit::MegabytesPerSecond, 0.9, 0});
    rows.push_back({"clsHsh::SHA256 of a text vs SHA256() on bytes", "16 Mi chars", "clsHsh:SHA256" + largest,
                    "openssl:SHA256" + largest, "OpenSSL", Unit::MegabytesPerSecond, 0.9, 0});
    for (const std::size_t n : kShortTexts) {
        const std::string name = "-short" + std::to_string(n) + "/1";
        rows.push_back({"clsHsh::SHA256 of a short text vs SHA256()", std::to_string(n) + " chars",
                        "clsHsh:SHA256" + name, "openssl:SHA256" + name, "OpenSSL", Unit::ThousandsPerSecond, 4.0, 0});
    }
    return rows;
}

}  // namespace clscrypt::bench
