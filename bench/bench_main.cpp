// clscrypt against OpenSSL, every path in one run, ending with the table of
// ratios (Markdown) that docs/BENCHMARKS.md shows.
//
//   clscrypt_bench [--bench_folder=DIR] [--bench_tmpfs=DIR|none] [--bench_system=0]
//                  [--bench_file_mib=N] [Google Benchmark flags]
//
// The file and tool rows run first, in child processes, while this process
// is still small; then every output is checked against its reference, and
// then the Google Benchmark cases run: each case alternates ours and the
// reference call by call, 7 repetitions each, the cases interleaved at
// random. Google Benchmark's flags override these defaults
// (--benchmark_filter=Decrypt, --benchmark_repetitions=3, ...).

#include <benchmark/benchmark.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "suites.hpp"

namespace {

namespace fs = std::filesystem;
using namespace clscrypt::bench;

// The processor's name with its family and model, which tell the
// generation when a virtual machine shows only a brand.
std::string cpu_name() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    std::string name = "unknown processor";
    std::string family;
    std::string model;
    while (std::getline(in, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos || colon + 2 > line.size()) continue;
        const std::string value = line.substr(colon + 2);
        if (line.rfind("model name", 0) == 0) {
            name = value;
        } else if (line.rfind("cpu family", 0) == 0) {
            family = value;
        } else if (line.rfind("model", 0) == 0 && model.empty()) {
            model = value;
        }
        if (line.empty() || (!family.empty() && !model.empty() && name != "unknown processor")) break;
    }
    if (!family.empty()) name += " (family " + family + ", model " + model + ")";
    return name;
}

// The 1-minute load average: on a shared machine, what the threaded rows
// had to compete with.
std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one;
    in >> one;
    return one.empty() ? "?" : one;
}

bool take_flag(std::string_view arg, std::string_view name, std::string& value) {
    if (arg.rfind(name, 0) != 0 || arg.size() <= name.size() || arg[name.size()] != '=') return false;
    value = std::string(arg.substr(name.size() + 1));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder = ".";
    std::string tmpfs = "/dev/shm";
    std::string system = "1";
    std::string file_mib = "256";
    std::vector<char*> args{argv[0]};
    std::string repetitions = "--benchmark_repetitions=7";
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.push_back(repetitions.data());
    args.push_back(interleave.data());
    std::string command = "clscrypt_bench";
    for (int i = 1; i < argc; ++i) {
        command += std::string(" ") + argv[i];
        std::string v;
        if (take_flag(argv[i], "--bench_folder", folder) || take_flag(argv[i], "--bench_tmpfs", tmpfs) ||
            take_flag(argv[i], "--bench_system", system) || take_flag(argv[i], "--bench_file_mib", file_mib)) {
            continue;
        }
        args.push_back(argv[i]);  // the caller's flags win
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

    const std::string load_before = load_average();
    Results results;
    SystemOptions options;
    options.file_mib = std::stoul(file_mib);
#ifdef CLSCRYPT_TOOL_PATH
    options.tool_path = CLSCRYPT_TOOL_PATH;
#endif
    std::vector<std::string> labels;
    if (system != "0") {
        std::vector<std::pair<std::string, fs::path>> places = {{"disk", folder}};
        std::error_code ec;
        if (tmpfs != "none" && fs::is_directory(tmpfs, ec)) places.emplace_back("tmpfs", tmpfs);
        for (const auto& [label, path] : places) {
            std::printf("Files and the tool in %s (%s)...\n", path.c_str(), label.c_str());
            std::fflush(stdout);
            measure_files(path, label, options, results);
            measure_tool(path, label, options, results);
            labels.push_back(label);
        }
    }

    if (!clscrypt::bench::cipher_outputs_agree() || !clscrypt::bench::sha256_outputs_agree() ||
        !clscrypt::bench::values_outputs_agree()) {
        std::fprintf(stderr, "an output differs from its reference: nothing timed\n");
        return 1;
    }
    register_cipher_benchmarks();
    register_sha256_benchmarks();
    register_values_benchmarks();
    Reporter reporter(results);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::vector<Row> rows = cipher_rows();
    for (auto& r : sha256_rows()) rows.push_back(std::move(r));
    for (auto& r : values_rows()) rows.push_back(std::move(r));
    for (auto& r : system_rows(labels, options)) rows.push_back(std::move(r));

    utsname host{};
    uname(&host);
    char date[32];
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d", std::gmtime(&now));
    std::printf("\n%s, %u threads, %s %s, %s, load average %s at the start and %s at the end; `%s`\n",
                cpu_name().c_str(), std::thread::hardware_concurrency(), host.sysname, host.release, date,
                load_before.c_str(), load_average().c_str(), command.c_str());
    std::printf(
        "Each repetition times ours and the reference alternately; ours and the reference: median rates; "
        "ratio: median of the repetitions' ratios; range: their lowest and highest.\n\n");
    print_table(stdout, rows, results);
    return 0;
}
