// The rows that involve the file system: EncryptFile/DecryptFile beside the
// in-memory operations on the same data, and the tool encrypting many files
// with one job and with two. Each operation runs in a child process of its
// own, so that its peak resident memory is its own and one operation's
// memory does not hide another's; the parent stays small while it forks.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "suites.hpp"

extern char** environ;

namespace clscrypt::bench {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMiB = std::size_t{1} << 20;
constexpr std::u16string_view kKey = u"benchmark key";

struct Measure {
    double seconds = 0;
    double peak_mib = 0;
};

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "benchmark: %s\n", what.c_str());
    std::exit(1);
}

// Runs `work` in a child after `setup`; returns its time (reported through
// a pipe) and the child's peak resident set.
Measure in_child(const std::function<void()>& setup, const std::function<void()>& work) {
    int fds[2];
    if (pipe(fds) != 0) fail("pipe failed");
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) fail("fork failed");
    if (pid == 0) {
        close(fds[0]);
        try {
            setup();
            const auto start = std::chrono::steady_clock::now();
            work();
            const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (write(fds[1], &s, sizeof s) != sizeof s) _exit(2);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "benchmark child: %s\n", e.what());
            _exit(3);
        }
        _exit(0);
    }
    close(fds[1]);
    double s = 0;
    const bool got = read(fds[0], &s, sizeof s) == sizeof s;
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a measured operation failed");
    return {s, static_cast<double>(usage.ru_maxrss) / 1024.0};
}

// Runs a program and returns its wall-clock time.
double timed_run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) fail("cannot start " + args[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail(args[0] + " failed");
    return s;
}

// A file of random bytes, written a MiB at a time so the parent never holds
// it whole.
void write_random_file(const fs::path& path, std::size_t mib, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::vector<std::uint8_t> chunk(kMiB);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (std::size_t m = 0; m < mib; ++m) {
        for (std::size_t i = 0; i < kMiB; i += 8) {
            const std::uint64_t r = gen();
            std::memcpy(chunk.data() + i, &r, 8);
        }
        out.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    }
    if (!out) fail("cannot write " + path.string());
}

// The whole file in an array with room for the ciphertext's growth.
std::vector<std::uint8_t> read_all(const fs::path& p) {
    const auto size = static_cast<std::size_t>(fs::file_size(p));
    std::vector<std::uint8_t> v;
    v.reserve(size + 19);
    v.resize(size);
    std::ifstream in(p, std::ios::binary);
    in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(size));
    if (!in) fail("cannot read " + p.string());
    return v;
}

bool same_content(const fs::path& a, const fs::path& b) {
    std::ifstream fa(a, std::ios::binary);
    std::ifstream fb(b, std::ios::binary);
    std::vector<char> ba(kMiB);
    std::vector<char> bb(kMiB);
    for (;;) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount()) return false;
        if (fa.gcount() == 0) return true;
        if (std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(fa.gcount())) != 0) return false;
    }
}

}  // namespace

void measure_files(const fs::path& folder, const std::string& label, const SystemOptions& options, Results& results) {
    const fs::path plain = folder / "clscrypt-bench.plain";
    const fs::path cipher = folder / "clscrypt-bench.cls";
    const fs::path cipher2 = folder / "clscrypt-bench.2.cls";
    const fs::path back = folder / "clscrypt-bench.back";
    write_random_file(plain, options.file_mib, 42);
    const double bytes = static_cast<double>(options.file_mib * kMiB);
    clsToString c;
    c.Key(kKey);
    c.EncryptFile(plain, cipher);

    // Each repetition measures the file operation right after the
    // in-memory one it is compared with.
    auto record = [&](const std::string& name, const Measure& file, const Measure& memory) {
        results.add_pair(name, bytes / file.seconds, bytes / memory.seconds);
        results.add_peak(name, file.peak_mib);
    };
    std::vector<std::uint8_t> buffer;
    for (int rep = 0; rep < options.repetitions; ++rep) {
        const Measure enc_mem = in_child([&] { buffer = read_all(plain); }, [&] { c.EncryptByte(buffer); });
        const Measure enc_file = in_child([] {}, [&] { c.EncryptFile(plain, cipher2); });
        record("file-encrypt-" + label, enc_file, enc_mem);
        const Measure dec_mem = in_child([&] { buffer = read_all(cipher); }, [&] { c.DecryptByte(buffer); });
        const Measure dec_file = in_child([] {}, [&] { c.DecryptFile(cipher, back); });
        record("file-decrypt-" + label, dec_file, dec_mem);
    }
    c.DecryptFile(cipher2, back);  // the file the children encrypted, back again
    const bool same = same_content(plain, back);
    for (const auto& p : {plain, cipher, cipher2, back}) fs::remove(p);
    if (!same) fail("a file did not survive the round trip in " + folder.string());
}

void measure_tool(const fs::path& folder, const std::string& label, const SystemOptions& options, Results& results) {
    if (options.tool_path.empty()) return;
    const fs::path dir = folder / "clscrypt-bench-tool";
    fs::create_directories(dir);
    std::vector<std::string> files;
    for (std::size_t i = 0; i < options.tool_files; ++i) {
        const fs::path p = dir / ("file" + std::to_string(i));
        write_random_file(p, options.tool_file_mib, 1000 + i);
        files.push_back(p.string());
    }
    setenv("CLSCRYPT_BENCH_KEY", "benchmark key", 1);
    const double bytes = static_cast<double>(options.tool_files * options.tool_file_mib * kMiB);
    auto run_tool = [&](int jobs) {
        std::vector<std::string> args = {
            options.tool_path, "encrypt",           "--pass", "env:CLSCRYPT_BENCH_KEY", "-q", "-f",
            "--jobs",          std::to_string(jobs)};
        args.insert(args.end(), files.begin(), files.end());
        return bytes / timed_run(args);
    };
    for (int rep = 0; rep < options.repetitions; ++rep) {
        const double one = run_tool(1);
        const double two = run_tool(2);
        results.add_pair("tool-" + label, two, one);
    }
    // The outputs decrypt to the inputs.
    clsToString c;
    c.Key(kKey);
    bool same = true;
    for (const auto& f : files) {
        c.DecryptFile(f + ".cls", f + ".back");
        same = same && same_content(f, f + ".back");
    }
    fs::remove_all(dir);
    if (!same) fail("the tool's output did not decrypt to its input in " + folder.string());
}

std::vector<Row> system_rows(const std::vector<std::string>& labels, const SystemOptions& options) {
    std::vector<Row> rows;
    const std::string size = std::to_string(options.file_mib) + " MiB";
    const std::string many =
        std::to_string(options.tool_files) + " x " + std::to_string(options.tool_file_mib) + " MiB";
    const auto mbs = Unit::MegabytesPerSecond;
    for (const auto& label : labels) {
        rows.push_back(
            {"EncryptFile vs EncryptByte (" + label + ")", size, "file-encrypt-" + label, "in memory", mbs, 0.9, 64});
        rows.push_back(
            {"DecryptFile vs DecryptByte (" + label + ")", size, "file-decrypt-" + label, "in memory", mbs, 0.7, 64});
    }
    if (!options.tool_path.empty()) {
        for (const auto& label : labels) {
            rows.push_back(
                {"clscrypt encrypt, 2 jobs vs 1 (" + label + ")", many, "tool-" + label, "one at a time", mbs, 1.7, 0});
        }
    }
    return rows;
}

}  // namespace clscrypt::bench
