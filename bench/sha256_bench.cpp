// SHA-256 throughput: ours on each kernel the processor can run, against
// OpenSSL (EVP_Digest with a fetched EVP_MD, and the one-shot SHA256()), on
// the same buffers; and clsHsh::SHA256 on a text against OpenSSL on the same
// number of bytes. Every digest is checked against OpenSSL's before anything
// is timed. After the usual report comes a table of throughputs and ratios.
//
// By default each benchmark runs 7 times, interleaved at random with the
// others so that drifts in machine load spread over all of them; the table
// gives the median of the repetitions, and the ratio of the fastest ones,
// which other work on the machine can only slow down. Google Benchmark's own
// flags override these defaults.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "clscrypt/digest.hpp"
#include "digest/sha256_kernels.hpp"

namespace {

using clscrypt::Sha256;

constexpr std::size_t kLargest = std::size_t{16} << 20;
constexpr std::size_t kSizes[] = {64, 1024, 64 * 1024, kLargest};

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

// Nothing is timed unless every path gives OpenSSL's digest.
bool digests_agree() {
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
    return ok;
}

void register_benchmarks() {
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
}

// Wall-clock throughput of every repetition, kept for the table; the console
// shows the usual report (only the aggregates when there are repetitions).
// Every benchmark's name ends in "/<bytes hashed per iteration>".
class TableReporter : public benchmark::ConsoleReporter {
public:
    TableReporter() : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& reports) override {
        std::vector<Run> shown;
        for (const Run& run : reports) {
            if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1) shown.push_back(run);
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const std::string& name = run.run_name.function_name;
            const double bytes = std::stod(name.substr(name.rfind('/') + 1));
            const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
            if (seconds > 0) rates_[name].push_back(bytes / seconds);
        }
        if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
    }

    struct Rates {
        double median = 0;
        double best = 0;
    };

    // Bytes per second over the repetitions; zeros when the benchmark did
    // not run.
    [[nodiscard]] Rates rates(const std::string& name) const {
        const auto it = rates_.find(name);
        if (it == rates_.end() || it->second.empty()) return {};
        std::vector<double> r = it->second;
        std::sort(r.begin(), r.end());
        const std::size_t mid = r.size() / 2;
        return {r.size() % 2 == 1 ? r[mid] : (r[mid - 1] + r[mid]) / 2, r.back()};
    }

private:
    std::map<std::string, std::vector<double>> rates_;
};

void print_row(const std::string& what, TableReporter::Rates ours, TableReporter::Rates theirs) {
    if (ours.median <= 0 || theirs.median <= 0) return;
    std::printf("%-44s %8.0f %8.0f %7.3f %11.3f\n", what.c_str(), ours.median / 1e6, theirs.median / 1e6,
                ours.median / theirs.median, ours.best / theirs.best);
}

void print_table(const TableReporter& r) {
    std::printf(
        "\nThroughput in MB/s (10^6 bytes hashed per second of wall-clock time), median of the repetitions;\n"
        "the last column compares each side's fastest repetition.\n");
    std::printf("%-44s %8s %8s %7s %11s\n", "", "ours", "OpenSSL", "ratio", "best ratio");
    for (const std::size_t n : kSizes) {
        const std::string size = size_suffix(n);
        for (const auto& backend : clscrypt::detail::sha256_backends()) {
            const auto ours = r.rates("ours:" + std::string(backend.name) + size);
            const std::string what = size_label(n) + ", " + std::string(backend.name);
            print_row(what + " vs EVP_Digest", ours, r.rates("openssl:EVP_Digest" + size));
            print_row(what + " vs SHA256()", ours, r.rates("openssl:SHA256" + size));
        }
    }
    const std::string largest = size_suffix(kLargest);
    print_row("clsHsh::SHA256, 16 Mi chars vs EVP_Digest", r.rates("clsHsh:SHA256" + largest),
              r.rates("openssl:EVP_Digest" + largest));
    print_row("clsHsh::SHA256, 16 Mi chars vs SHA256()", r.rates("clsHsh:SHA256" + largest),
              r.rates("openssl:SHA256" + largest));
}

}  // namespace

int main(int argc, char** argv) {
    if (!digests_agree()) {
        std::fprintf(stderr, "a digest differs from OpenSSL's: nothing timed\n");
        return 1;
    }
    std::vector<char*> args{argv[0]};
    std::string repetitions = "--benchmark_repetitions=7";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.push_back(repetitions.data());
    args.push_back(interleave.data());
    args.insert(args.end(), argv + 1, argv + argc);  // the caller's flags win
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    register_benchmarks();
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    print_table(reporter);
    benchmark::Shutdown();
    return 0;
}
