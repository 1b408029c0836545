// Crash-safe replacement under injected faults.
//
// For each file operation (EncryptFile to a new and to an existing
// destination, in place, DecryptFile, RekeyFile in place) a dry run under
// strace lists the operation's system calls. Then, for every call of the
// kinds that can fail (openat, read, write, fchmod, fsync, close, rename, the
// stat calls, getrandom) and every fault that suits it (ENOSPC, EIO, EACCES,
// EXDEV, EEXIST, ... or SIGKILL on entry), the operation runs again with
// exactly that one call failed (strace -e inject=CALL:...:when=N), and
// afterwards:
//
//   - the destination is byte for byte the old file, or the complete new
//     one (for a ciphertext: it has the right length and decrypts to the
//     source; an existing destination's permissions are kept);
//   - a call that reported success did write the complete new file;
//   - the source is intact (unless it is the destination);
//   - when the process survived, no temporary file is left.
//
// Then the same operations with every read and write cut short and every
// third one interrupted (an LD_PRELOAD shim), and 20 processes encrypting
// different sources to one destination at once, which must leave exactly one
// of the 20 complete outputs.
//
// Usage: fault_injection [--shim PATH] [--quick]. Exit status 0 when every
// check held, 1 otherwise, 77 when strace is missing (the other parts still
// run).

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "clscrypt/clscrypt.hpp"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using clscrypt::clsToString;

namespace {

constexpr char16_t kKey[] = u"fault key";
constexpr char16_t kNewKey[] = u"the new key";

enum class Op { EncryptNew, EncryptExisting, EncryptInPlace, Decrypt, RekeyInPlace };

struct OpInfo {
    Op op;
    const char* name;
};
constexpr OpInfo kOps[] = {
    {Op::EncryptNew, "encrypt-new"}, {Op::EncryptExisting, "encrypt"},     {Op::EncryptInPlace, "encrypt-in-place"},
    {Op::Decrypt, "decrypt"},        {Op::RekeyInPlace, "rekey-in-place"},
};

struct Fault {
    const char* call;
    const char* action;  // strace's inject action
};
// Errors a real system gives for each call, and SIGKILL on entry to each.
constexpr Fault kFaults[] = {
    {"openat", "error=EACCES"},  {"openat", "error=ENOSPC"},     {"openat", "error=EEXIST"}, {"openat", "signal=KILL"},
    {"newfstatat", "error=EIO"}, {"newfstatat", "error=EACCES"}, {"fstat", "error=EIO"},     {"read", "error=EIO"},
    {"read", "signal=KILL"},     {"write", "error=ENOSPC"},      {"write", "error=EIO"},     {"write", "error=EDQUOT"},
    {"write", "signal=KILL"},    {"fchmod", "error=EPERM"},      {"fsync", "error=EIO"},     {"fsync", "error=ENOSPC"},
    {"fsync", "signal=KILL"},    {"close", "error=EIO"},         {"close", "signal=KILL"},   {"rename", "error=EXDEV"},
    {"rename", "error=EACCES"},  {"rename", "error=ENOSPC"},     {"rename", "signal=KILL"},  {"getrandom", "error=EIO"},
    {"unlink", "error=EIO"},
};

Bytes read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& p, const Bytes& b) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes random_bytes(std::size_t n, std::mt19937_64& gen) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    return b;
}

// The data every run starts from, made once.
struct Material {
    Bytes plain;     // the source message
    Bytes old_dest;  // what an existing destination holds
    Bytes cipher;    // plain encrypted under kKey
    mode_t old_mode = 0640;
};

bool decrypts_to(const Bytes& cipher, const char16_t* key, const Bytes& plain) {
    Bytes b = cipher;
    clsToString c;
    try {
        c.DecryptByte(b, key);
    } catch (const clscrypt::RuntimeError&) {
        return false;
    }
    return b == plain;
}

// The names each operation uses in the work folder.
fs::path source_of(Op op, const fs::path& dir) {
    switch (op) {
        case Op::Decrypt:
        case Op::RekeyInPlace: return dir / "cipher";
        default: return dir / "plain";
    }
}
fs::path dest_of(Op op, const fs::path& dir) {
    switch (op) {
        case Op::EncryptInPlace: return dir / "plain";
        case Op::RekeyInPlace: return dir / "cipher";
        default: return dir / "dest";
    }
}

void prepare(Op op, const fs::path& dir, const Material& m) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    write_file(dir / "plain", m.plain);
    write_file(dir / "cipher", m.cipher);
    if (op == Op::EncryptExisting || op == Op::Decrypt) {
        write_file(dir / "dest", m.old_dest);
        ::chmod((dir / "dest").c_str(), m.old_mode);
    }
}

// Markers around the operation in the child, so the dry run can tell its
// calls from the start-up's.
void marker() {
    ::syscall(SYS_getppid);
}

int child(Op op, const fs::path& dir) {
    clsToString c;
    clsToString from;
    from.Key(kKey);
    c.Key(op == Op::RekeyInPlace ? kNewKey : kKey);
    marker();
    int status = 0;
    try {
        switch (op) {
            case Op::EncryptNew:
            case Op::EncryptExisting:
            case Op::EncryptInPlace: c.EncryptFile(source_of(op, dir), dest_of(op, dir)); break;
            case Op::Decrypt: c.DecryptFile(source_of(op, dir), dest_of(op, dir)); break;
            case Op::RekeyInPlace: c.RekeyFile(from, source_of(op, dir), dest_of(op, dir)); break;
        }
    } catch (const clscrypt::RuntimeError& e) {
        status = 1;
    } catch (...) {
        status = 2;
    }
    marker();
    if (status == 0 && std::getenv("CLSCRYPT_EXPECT_SHIM") != nullptr) {
        // The shim must really have been in the way.
        using Count = unsigned (*)();
        const auto count = reinterpret_cast<Count>(::dlsym(RTLD_DEFAULT, "clscrypt_fault_shim_calls"));
        if (count == nullptr || count() == 0) status = 4;
    }
    return status;
}

struct Run {
    bool exited = false;
    int code = -1;  // exit status, or the signal
};

Run run_command(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    Run r;
    r.exited = WIFEXITED(status);
    r.code = r.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    return r;
}

std::string self_path() {
    return fs::read_symlink("/proc/self/exe").string();
}

std::vector<std::string> child_args(Op op, const fs::path& dir) {
    return {self_path(), "--child", std::to_string(static_cast<int>(op)), dir.string()};
}

// The dry run: for each call kind, the ordinals (as strace's when= counts
// them) of the calls the operation itself makes.
std::map<std::string, std::vector<int>> calls_of(Op op, const fs::path& dir, const Material& m) {
    std::set<std::string> kinds{"getppid"};
    for (const auto& f : kFaults) kinds.insert(f.call);
    std::string list;
    for (const auto& k : kinds) list += (list.empty() ? "" : ",") + k;
    prepare(op, dir, m);
    const fs::path log = dir.parent_path() / "dry-run.log";
    std::vector<std::string> args = {"strace", "-f", "-qq", "-o", log.string(), "-e", "trace=" + list};
    const auto child = child_args(op, dir);
    args.insert(args.end(), child.begin(), child.end());
    const Run r = run_command(args, {"ASAN_OPTIONS=detect_leaks=0"});
    if (!r.exited || r.code != 0) {
        std::fprintf(stderr, "dry run of operation %d failed\n", static_cast<int>(op));
        std::exit(1);
    }
    std::map<std::string, int> seen;
    std::map<std::string, std::vector<int>> inside;
    int markers = 0;
    std::ifstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        std::size_t at = line.find_first_not_of("0123456789 ");
        if (at == std::string::npos || line.compare(at, 3, "+++") == 0 || line.compare(at, 3, "---") == 0) continue;
        const std::string name = line.substr(at, line.find('(', at) - at);
        if (name == "getppid") {
            ++markers;
            continue;
        }
        const int n = ++seen[name];
        if (markers == 1) inside[name].push_back(n);
    }
    return inside;
}

struct Tally {
    int injected = 0;
    int intact = 0;
    int source_intact = 0;
    int survived_error = 0;  // the call raised an error
    int survived_ok = 0;     // the call succeeded (the fault was retried or did not matter)
    int killed = 0;
    int temp_after_kill = 0;  // killed runs that left their temporary file
    int temp_after_survived = 0;
    int error_after_replace = 0;
    std::vector<std::string> failures;
};

// Checks the folder after one run; records the outcome.
void check(Op op, const fs::path& dir, const Material& m, const Run& run, const std::string& what, Tally& t) {
    ++t.injected;
    const fs::path dest = dest_of(op, dir);
    const bool exists = fs::exists(dest);
    const Bytes now = exists ? read_file(dest) : Bytes();
    const bool killed = !run.exited;
    const bool succeeded = run.exited && run.code == 0;

    // The old state and the complete new one.
    bool is_old = false;
    bool is_new = false;
    switch (op) {
        case Op::EncryptNew:
            is_old = !exists;
            is_new = exists && decrypts_to(now, kKey, m.plain) && now.size() == m.cipher.size();
            break;
        case Op::EncryptExisting:
            is_old = exists && now == m.old_dest;
            is_new = exists && decrypts_to(now, kKey, m.plain) && now.size() == m.cipher.size();
            break;
        case Op::EncryptInPlace:
            is_old = exists && now == m.plain;
            is_new = exists && decrypts_to(now, kKey, m.plain) && now.size() == m.cipher.size();
            break;
        case Op::Decrypt:
            is_old = exists && now == m.old_dest;
            is_new = exists && now == m.plain;
            break;
        case Op::RekeyInPlace:
            is_old = exists && now == m.cipher;
            is_new = exists && decrypts_to(now, kNewKey, m.plain) && now.size() == m.cipher.size();
            break;
    }
    bool mode_kept = true;
    if (is_new && (op == Op::EncryptExisting || op == Op::Decrypt)) {
        struct stat st {};
        mode_kept = ::stat(dest.c_str(), &st) == 0 && (st.st_mode & 07777) == m.old_mode;
    }
    // The source, when it is not the destination.
    bool source_ok = true;
    if (op == Op::EncryptNew || op == Op::EncryptExisting) source_ok = read_file(dir / "plain") == m.plain;
    if (op == Op::Decrypt) source_ok = read_file(dir / "cipher") == m.cipher;
    // Anything but the files the run started with is a temporary file.
    int temps = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name != "plain" && name != "cipher" && name != "dest") ++temps;
    }

    const bool intact = (is_old || is_new) && mode_kept && (!succeeded || is_new);
    if (intact) ++t.intact;
    if (source_ok) ++t.source_intact;
    if (killed) {
        ++t.killed;
        if (temps > 0) ++t.temp_after_kill;
    } else if (succeeded) {
        ++t.survived_ok;
    } else {
        ++t.survived_error;
        if (is_new) ++t.error_after_replace;
    }
    std::string problem;
    if (!intact) problem += " destination neither old nor complete new" + std::string(mode_kept ? "" : " (mode lost)");
    if (succeeded && !is_new) problem += " success reported without the new file";
    if (!source_ok) problem += " source damaged";
    if (!killed && temps > 0) {
        ++t.temp_after_survived;
        problem += " temporary file left";
    }
    if (run.exited && run.code != 0 && run.code != 1) problem += " exit status " + std::to_string(run.code);
    if (!problem.empty()) t.failures.push_back(what + ":" + problem);
}

bool contains(const fs::path& file, const std::string& text) {
    std::ifstream in(file);
    const std::string all{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    return all.find(text) != std::string::npos;
}

bool have_strace() {
    return std::system("strace -V >/dev/null 2>&1") == 0;
}

void inject_everything(const fs::path& work, const Material& m, Tally& t, bool quick) {
    for (const auto& info : kOps) {
        const fs::path dir = work / info.name;
        const auto calls = calls_of(info.op, dir, m);
        for (const auto& fault : kFaults) {
            const auto it = calls.find(fault.call);
            if (it == calls.end()) continue;
            std::vector<int> ordinals = it->second;
            if (quick && ordinals.size() > 2) ordinals = {ordinals.front(), ordinals.back()};
            for (const int n : ordinals) {
                prepare(info.op, dir, m);
                const std::string inject =
                    std::string("inject=") + fault.call + ":" + fault.action + ":when=" + std::to_string(n);
                const fs::path log = work / "run.log";
                std::vector<std::string> args = {
                    "strace", "-f", "-qq", "-o", log.string(), "-e", std::string("trace=") + fault.call, "-e", inject};
                const auto child = child_args(info.op, dir);
                args.insert(args.end(), child.begin(), child.end());
                // LeakSanitizer cannot work under a tracer.
                const Run r = run_command(args, {"ASAN_OPTIONS=detect_leaks=0"});
                const std::string what =
                    std::string(info.name) + " " + fault.call + " #" + std::to_string(n) + " " + fault.action;
                // Make sure the fault happened: strace marks an injected error,
                // and SIGKILL ends the process.
                const bool kill = std::strncmp(fault.action, "signal=", 7) == 0;
                const bool happened = kill ? !r.exited : contains(log, "(INJECTED)");
                if (!happened) t.failures.push_back(what + ": the fault was not injected");
                check(info.op, dir, m, r, what, t);
            }
        }
    }
}

// Returns how many operations succeeded and wrote the right files.
int short_transfers(const fs::path& work, const Material& m, const std::string& shim, Tally& t) {
    int correct = 0;
    for (const auto& info : kOps) {
        const fs::path dir = work / info.name;
        prepare(info.op, dir, m);
        // A sanitizer runtime must come first among the libraries; the shim
        // has no instrumentation, so the order does not matter to it.
        const Run r = run_command(child_args(info.op, dir), {"LD_PRELOAD=" + shim, "CLSCRYPT_EXPECT_SHIM=1",
                                                             "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0"});
        const std::string what = std::string(info.name) + " with short and interrupted reads and writes";
        const std::size_t failures = t.failures.size();
        check(info.op, dir, m, r, what, t);
        if (!(r.exited && r.code == 0)) t.failures.push_back(what + ": did not succeed");
        if (t.failures.size() == failures) ++correct;
    }
    return correct;
}

// 20 processes, 20 sources, one destination, started together.
bool race(const fs::path& work, std::mt19937_64& gen, int rounds) {
    constexpr int kWriters = 20;
    const fs::path dir = work / "race";
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        fs::remove_all(dir);
        fs::create_directories(dir);
        std::vector<Bytes> sources;
        for (int i = 0; i < kWriters; ++i) {
            sources.push_back(random_bytes(100000 + 37 * static_cast<std::size_t>(i), gen));
            write_file(dir / ("source" + std::to_string(i)), sources.back());
        }
        write_file(dir / "dest", {1, 2, 3});
        int gate[2];
        if (::pipe(gate) != 0) return false;
        std::vector<pid_t> pids;
        for (int i = 0; i < kWriters; ++i) {
            const pid_t pid = ::fork();
            if (pid == 0) {
                ::close(gate[1]);
                char c;
                (void)!::read(gate[0], &c, 1);  // all start when the gate closes
                try {
                    clsToString cipher;
                    cipher.EncryptFile(dir / ("source" + std::to_string(i)), dir / "dest", kKey);
                } catch (...) {
                    ::_exit(1);
                }
                ::_exit(0);
            }
            pids.push_back(pid);
        }
        ::close(gate[0]);
        ::close(gate[1]);
        int succeeded = 0;
        for (const pid_t pid : pids) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++succeeded;
        }
        const Bytes dest = read_file(dir / "dest");
        int matches = 0;
        for (const auto& s : sources) {
            if (dest.size() == (s.size() + 12 + 7) / 8 * 8 && decrypts_to(dest, kKey, s)) ++matches;
        }
        const auto entries = std::distance(fs::directory_iterator(dir), fs::directory_iterator());
        const bool round_ok = succeeded == kWriters && matches == 1 && entries == kWriters + 1;
        std::printf("race round %d: %d of %d writers succeeded, destination is %s, %s\n", round + 1, succeeded,
                    kWriters, matches == 1 ? "exactly one complete output" : "NOT one complete output",
                    entries == kWriters + 1 ? "no temporary file left" : "TEMPORARY FILES LEFT");
        ok = ok && round_ok;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        return child(static_cast<Op>(std::atoi(argv[2])), argv[3]);
    }
    std::string shim;
    bool quick = false;
    for (int a = 1; a < argc; ++a) {
        if (std::strcmp(argv[a], "--shim") == 0 && a + 1 < argc) {
            shim = argv[++a];
        } else if (std::strcmp(argv[a], "--quick") == 0) {
            quick = true;
        } else {
            std::fprintf(stderr, "usage: %s [--shim PATH] [--quick]\n", argv[0]);
            return 2;
        }
    }
    ::umask(022);
    // In memory where the system allows: the faults are injected, not
    // real, and a disk's flushes would only make each run slower.
    std::string templ = (fs::is_directory("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/clscrypt-faults-XXXXXX");
    if (::mkdtemp(templ.data()) == nullptr) return 1;
    const fs::path work = templ;

    std::mt19937_64 gen(20240601);
    Material m;
    // A little over one 1 MiB chunk, so reads and writes repeat.
    m.plain = random_bytes((std::size_t{1} << 20) + 4321, gen);
    m.old_dest = random_bytes(5000, gen);
    m.cipher = m.plain;
    clsToString c;
    c.EncryptByte(m.cipher, kKey);

    bool ok = true;
    const bool strace = have_strace();
    Tally t;
    if (strace) {
        inject_everything(work, m, t, quick);
        std::printf("injected faults: %d (%d survived with an error, %d succeeded anyway, %d killed)\n", t.injected,
                    t.survived_error, t.survived_ok, t.killed);
        std::printf("destination intact in %d of %d injected faults\n", t.intact, t.injected);
        std::printf("source intact in %d of %d\n", t.source_intact, t.injected);
        std::printf("temporary file left after %d of %d runs the process survived, after %d of %d kills\n",
                    t.temp_after_survived, t.survived_error + t.survived_ok, t.temp_after_kill, t.killed);
        std::printf("errors reported after the new file was in place (the folder flush failed): %d\n",
                    t.error_after_replace);
    } else {
        std::printf("strace is not installed: the injected faults are skipped\n");
    }
    if (!shim.empty()) {
        Tally s;
        const int correct = short_transfers(work, m, shim, s);
        std::printf("short and interrupted reads and writes: %d of %d operations succeeded with the right files\n",
                    correct, s.injected);
        t.failures.insert(t.failures.end(), s.failures.begin(), s.failures.end());
    }
    ok = race(work, gen, quick ? 1 : 3) && ok;
    for (const auto& f : t.failures) std::printf("FAILED %s\n", f.c_str());
    ok = ok && t.failures.empty() && t.intact == t.injected && t.source_intact == t.injected;
    std::error_code ec;
    fs::remove_all(work, ec);
    if (!ok) return 1;
    return strace ? 0 : 77;
}
