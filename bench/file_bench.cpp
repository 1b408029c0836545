// File encryption and decryption beside the in-memory operations on the same
// data, with the peak resident memory of each, measured in a child process
// of its own so that one operation's memory does not hide another's.
//
// Usage: clscrypt_file_bench [MiB] [folder]   (256 MiB in the current folder by default)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
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
Measure in_child(const std::function<void()>& setup, const std::function<void()>& work) {
    int fds[2];
    if (pipe(fds) != 0) std::abort();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
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

std::vector<std::uint8_t> read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::vector<std::uint8_t> v(fs::file_size(p));
    in.read(reinterpret_cast<char*>(v.data()), static_cast<std::streamsize>(v.size()));
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::stoul(argv[1]) : 256;
    const fs::path folder = argc > 2 ? fs::path(argv[2]) : fs::current_path();
    const fs::path plain = folder / "clscrypt-bench.plain";
    const fs::path cipher = folder / "clscrypt-bench.cls";
    const fs::path back = folder / "clscrypt-bench.back";
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

    const Measure enc_mem = in_child([&] { buffer = read_all(plain); }, [&] { c.EncryptByte(buffer); });
    const Measure enc_file = in_child([] {}, [&] { c.EncryptFile(plain, cipher); });
    const Measure dec_mem = in_child([&] { buffer = read_all(cipher); }, [&] { c.DecryptByte(buffer); });
    const Measure dec_file = in_child([] {}, [&] { c.DecryptFile(cipher, back); });
    const bool same = read_all(plain) == read_all(back);

    auto rate = [&](const Measure& m) { return static_cast<double>(size) / m.seconds / (1 << 20); };
    std::printf("%zu MiB, folder %s, round trip %s\n", mib, folder.c_str(), same ? "verified" : "MISMATCH");
    std::printf("%-26s %12s %14s\n", "operation", "MiB/s", "peak RSS MiB");
    std::printf("%-26s %12.1f %14.1f\n", "EncryptByte (in memory)", rate(enc_mem), enc_mem.peak_kib / 1024.0);
    std::printf("%-26s %12.1f %14.1f   %.2fx of in-memory\n", "EncryptFile", rate(enc_file), enc_file.peak_kib / 1024.0,
                rate(enc_file) / rate(enc_mem));
    std::printf("%-26s %12.1f %14.1f\n", "DecryptByte (in memory)", rate(dec_mem), dec_mem.peak_kib / 1024.0);
    std::printf("%-26s %12.1f %14.1f   %.2fx of in-memory\n", "DecryptFile", rate(dec_file), dec_file.peak_kib / 1024.0,
                rate(dec_file) / rate(dec_mem));
    fs::remove(plain);
    fs::remove(cipher);
    fs::remove(back);
    return same ? 0 : 1;
}
