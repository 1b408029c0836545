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
#include "digest/kernels/dispatch.hpp"
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

// Calls per timed stretch: short inputs are batched so that reading the
// clock does not count.
int batch_for(std::size_t n) {
    return n >= 65536 ? 1 : static_cast<int>(65536 / n / 4);
}

void register_sha256_benchmarks() {
    // The preferred kernel (as the dispatch picks it) against OpenSSL's two
    // entry points, on the same bytes.
    for (const std::size_t n : kSizes) {
        const auto data = std::span(buffers().bytes).first(n);
        const Side ours{[data] {
                            auto digest = Sha256::Hash(data);
                            benchmark::DoNotOptimize(digest);
                        },
                        {}};
        const int batch = batch_for(n);
        const auto units = static_cast<double>(n) * batch;
        register_pair("sha256-vs-evp" + size_suffix(n), units, batch, ours,
                      {[data] {
                           auto digest = openssl_evp(data.data(), data.size());
                           benchmark::DoNotOptimize(digest);
                       },
                       {}});
        register_pair("sha256-vs-oneshot" + size_suffix(n), units, batch, ours,
                      {[data] {
                           auto digest = openssl_one_shot(data.data(), data.size());
                           benchmark::DoNotOptimize(digest);
                       },
                       {}});
    }
    // The portable kernel, for information.
    {
        const auto data = std::span(buffers().bytes).first(64 * 1024);
        const auto& portable = clscrypt::detail::sha256_backends().front();
        register_pair("sha256-portable-vs-evp/65536", 65536, 1,
                      {[data, &portable] {
                           const clscrypt::detail::ScopedSha256Backend forced(portable);
                           auto digest = Sha256::Hash(data);
                           benchmark::DoNotOptimize(digest);
                       },
                       {}},
                      {[data] {
                           auto digest = openssl_evp(data.data(), data.size());
                           benchmark::DoNotOptimize(digest);
                       },
                       {}});
    }
    // A text of 16 Mi characters against OpenSSL on as many bytes (its low
    // bytes).
    const Side text{[] {
                        auto hex = clscrypt::clsHsh().SHA256(buffers().text);
                        benchmark::DoNotOptimize(hex);
                    },
                    {}};
    register_pair("clsHsh-vs-evp" + size_suffix(kLargest), kLargest, 1, text,
                  {[] {
                       auto digest = openssl_evp(buffers().bytes.data(), kLargest);
                       benchmark::DoNotOptimize(digest);
                   },
                   {}});
    register_pair("clsHsh-vs-oneshot" + size_suffix(kLargest), kLargest, 1, text,
                  {[] {
                       auto digest = openssl_one_shot(buffers().bytes.data(), kLargest);
                       benchmark::DoNotOptimize(digest);
                   },
                   {}});
    // Short texts against the one-shot function on as many bytes, in
    // operations per second.
    for (const std::size_t n : kShortTexts) {
        constexpr int kBatch = 256;
        register_pair("clsHsh-short" + std::to_string(n), kBatch, kBatch,
                      {[n] {
                           auto hex = clscrypt::clsHsh().SHA256(std::u16string_view(buffers().text.data(), n));
                           benchmark::DoNotOptimize(hex);
                       },
                       {}},
                      {[n] {
                           auto digest = openssl_one_shot(buffers().bytes.data(), n);
                           benchmark::DoNotOptimize(digest);
                       },
                       {}});
    }
}

std::vector<Row> sha256_rows() {
    std::vector<Row> rows;
    const std::string best(clscrypt::detail::sha256_backends().back().name);
    const auto mbs = Unit::MegabytesPerSecond;
    for (const std::size_t n : {std::size_t{64} * 1024, kLargest}) {
        const std::string size = size_suffix(n);
        rows.push_back({"SHA-256 bulk (" + best + ") vs EVP_Digest", size_label(n), "sha256-vs-evp" + size, "OpenSSL",
                        mbs, 0.95, 0});
        rows.push_back({"SHA-256 bulk (" + best + ") vs SHA256()", size_label(n), "sha256-vs-oneshot" + size, "OpenSSL",
                        mbs, 0.95, 0});
    }
    rows.push_back({"SHA-256 bulk (portable, forced) vs EVP_Digest", "64 KiB", "sha256-portable-vs-evp/65536",
                    "OpenSSL", mbs, 0, 0});
    const std::string largest = size_suffix(kLargest);
    rows.push_back({"clsHsh::SHA256 of a text vs EVP_Digest on bytes", "16 Mi chars", "clsHsh-vs-evp" + largest,
                    "OpenSSL", mbs, 0.9, 0});
    rows.push_back({"clsHsh::SHA256 of a text vs SHA256() on bytes", "16 Mi chars", "clsHsh-vs-oneshot" + largest,
                    "OpenSSL", mbs, 0.9, 0});
    for (const std::size_t n : kShortTexts) {
        rows.push_back({"clsHsh::SHA256 of a short text vs SHA256()", std::to_string(n) + " chars",
                        "clsHsh-short" + std::to_string(n), "OpenSSL", Unit::ThousandsPerSecond, 4.0, 0});
    }
    return rows;
}

}  // namespace clscrypt::bench
