// File encryption and decryption beside the in-memory operations on the same
// data, with the peak resident memory of each, measured in a child process
// of its own so that one operation's memory does not hide another's.
//
// Usage: clscrypt_file_bench [MiB] [folder] [threads] [rounds] [decrypt]
//
// 256 MiB in the current folder, one thread (the library's default) and
// three rounds by default. `threads` goes to SetDecryptionThreads in every
// child, so the file operations and the in-memory ones run with the same
// setting. Each round times the in-memory operation and the file operation
// one after the other; the ratio of a round is file over memory, and the
// table gives the median rates, the median ratio and the rounds' range.
// With "decrypt" last, only decryption is timed (the ciphertext is made
// once, untimed), which saves most of a large file's time.
//
// With CLSCRYPT_TOOL naming the command-line tool, each round also times the
// tool's `decrypt` of the same file (a process of its own, with its own
// thread setting: as many threads as the processor has) against DecryptByte
// in memory with as many threads.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <clscrypt/clscrypt.hpp>

namespace {

namespace fs = std::filesystem;

struct Measure {
    double seconds;
    long peak_kib;
};

// Runs `work` in a child; returns its time (reported through a pipe) and the
// child's peak resident set.
Measure in_child(unsigned threads, const std::function<void()>& setup, const std::function<void()>& work) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        clscrypt::SetDecryptionThreads(threads);
        setup();
        const auto start = std::chrono::steady_clock::now();
        work();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (write(fds[1], &s, sizeof s) != sizeof s) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    double s = 0;
    if (read(fds[0], &s, sizeof s) != sizeof s) std::abort();
    close(fds[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::abort();
    return {s, usage.ru_maxrss};
}

// Runs the tool's command line, timed; its peak memory as wait4 tells it.
Measure run_tool(const std::vector<std::string>& args) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "clscrypt_file_bench: the tool failed (status %d)\n", status);
        std::exit(1);
    }
    return {s, usage.ru_maxrss};
}

std::vector<std::uint8_t> read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<std::uint8_t> v(fs::file_size(p));
    in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size()));
    return v;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// One pair of rows: the in-memory operation and the one it is set against.
struct Pair {
    const char* memory_name;
    const char* file_name;
    std::vector<double> memory_rate, file_rate, ratio;
    long memory_peak = 0, file_peak = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::stoul(argv[1]) : 256;
    const fs::path folder = argc > 2 ? fs::path(argv[2]) : fs::current_path();
    const unsigned threads = argc > 3 ? static_cast<unsigned>(std::stoul(argv[3])) : 1;
    const int rounds = argc > 4 ? std::stoi(argv[4]) : 3;
    const bool decrypt_only = argc > 5 && std::string(argv[5]) == "decrypt";
    const char* tool = std::getenv("CLSCRYPT_TOOL");
    const fs::path plain = folder / "clscrypt-bench.plain";
    const fs::path cipher = folder / "clscrypt-bench.cls";
    const fs::path back = folder / "clscrypt-bench.back";
    const fs::path tool_back = folder / "clscrypt-bench.tool";
    const std::size_t size = mib << 20;
    {
        std::vector<std::uint8_t> data(size);
        std::mt19937_64 gen(42);
        for (std::size_t i = 0; i + 8 <= size; i += 8) {
            const std::uint64_t r = gen();
            std::memcpy(data.data() + i, &r, 8);
        }
        std::ofstream(plain, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(size));
    }
    const std::u16string key = u"benchmark key";
    std::vector<std::uint8_t> buffer;
    clscrypt::clsToString c;
    c.Key(key);
    const unsigned all_threads = std::max(1u, std::thread::hardware_concurrency());

    Pair enc{"EncryptByte (in memory)", "EncryptFile", {}, {}, {}};
    Pair dec{"DecryptByte (in memory)", "DecryptFile", {}, {}, {}};
    Pair cli{"DecryptByte, all threads", "clscrypt decrypt (tool)", {}, {}, {}};
    auto rate = [&](const Measure& m) { return static_cast<double>(size) / m.seconds / (1 << 20); };
    auto add = [&](Pair& p, const Measure& memory, const Measure& file) {
        p.memory_rate.push_back(rate(memory));
        p.file_rate.push_back(rate(file));
        p.ratio.push_back(rate(file) / rate(memory));
        p.memory_peak = std::max(p.memory_peak, memory.peak_kib);
        p.file_peak = std::max(p.file_peak, file.peak_kib);
    };
    bool same = true;
    if (decrypt_only) c.EncryptFile(plain, cipher);
    // Each file operation writes a new file, as a user's would: the last
    // round's output is removed first, untimed. Left there, replacing it
    // would charge the operation with freeing the old file's pages (on
    // tmpfs, some 70 ms for 1 GiB), as the in-memory operations are not
    // charged with freeing their buffers.
    for (int r = 0; r < rounds; ++r) {
        if (!decrypt_only) {
            const Measure enc_mem =
                in_child(threads, [&] { buffer = read_all(plain); }, [&] { c.EncryptByte(buffer); });
            fs::remove(cipher);
            const Measure enc_file = in_child(threads, [] {}, [&] { c.EncryptFile(plain, cipher); });
            add(enc, enc_mem, enc_file);
        }
        const Measure dec_mem = in_child(threads, [&] { buffer = read_all(cipher); }, [&] { c.DecryptByte(buffer); });
        fs::remove(back);
        const Measure dec_file = in_child(threads, [] {}, [&] { c.DecryptFile(cipher, back); });
        add(dec, dec_mem, dec_file);
        same = same && read_all(plain) == read_all(back);
        if (tool != nullptr) {
            const Measure all_mem =
                in_child(all_threads, [&] { buffer = read_all(cipher); }, [&] { c.DecryptByte(buffer); });
            setenv("CLSCRYPT_BENCH_KEY", "benchmark key", 1);
            fs::remove(tool_back);
            const Measure tool_file = run_tool(
                {tool, "decrypt", "-q", "-f", "--pass", "env:CLSCRYPT_BENCH_KEY", "-o", tool_back.string(), cipher});
            add(cli, all_mem, tool_file);
            same = same && read_all(plain) == read_all(tool_back);
        }
    }

    std::printf("%zu MiB, folder %s, %u thread(s) allowed, %d rounds, round trip %s\n", mib, folder.c_str(), threads,
                rounds, same ? "verified" : "MISMATCH");
    std::printf("%-26s %10s %13s %10s %12s\n", "operation", "MiB/s", "peak RSS MiB", "ratio", "range");
    auto print = [](const Pair& p) {
        if (p.ratio.empty()) return;
        std::printf("%-26s %10.1f %13.1f\n", p.memory_name, median(p.memory_rate), p.memory_peak / 1024.0);
        std::printf("%-26s %10.1f %13.1f %9.2fx %6.2f..%.2f\n", p.file_name, median(p.file_rate),
                    p.file_peak / 1024.0, median(p.ratio), *std::min_element(p.ratio.begin(), p.ratio.end()),
                    *std::max_element(p.ratio.begin(), p.ratio.end()));
    };
    print(enc);
    print(dec);
    print(cli);
    fs::remove(plain);
    fs::remove(cipher);
    fs::remove(back);
    fs::remove(tool_back);
    return same ? 0 : 1;
}
