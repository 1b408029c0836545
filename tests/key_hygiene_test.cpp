// Key hygiene: after an instance is done with a key, no copy of it is left in
// the process. A child process uses a random canary key through every
// operation that takes one (key changes over longer and shorter keys,
// copies, moves, the string, byte and file operations), destroys its
// instances, and has its memory dumped with gcore; the dump must hold no
// copy of the canary, in its code-page or UTF-16 form, nor the P-array or an
// S-box of tables keyed with it. The command-line tool gets the same check,
// dumped by gdb as it exits, with keys read from files.
//
// The canary exists unmasked only in the child (and, after the dump, in the
// parent that searches for it): the parent keeps it masked until then,
// because a child starts as a copy of its parent's memory.

#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "cipher/blowfish.hpp"
#include "cipher/instance_access.hpp"
#include "clscrypt/clscrypt.h"
#include "clscrypt/clscrypt.hpp"
#include "platform/wipe.hpp"
#include "test_util.hpp"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CLSCRYPT_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define CLSCRYPT_UNDER_SANITIZER 1
#endif
#endif

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kMask = 0x5A;

// A random key of `n` letters and digits, masked.
std::string masked_canary(std::size_t n) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device source;
    std::string out(n, '\0');
    for (auto& c : out) c = static_cast<char>(kAlphabet[source() % 62] ^ kMask);
    return out;
}

std::string unmask(const std::string& masked) {
    std::string s = masked;
    for (auto& c : s) c = static_cast<char>(c ^ kMask);
    return s;
}

bool have(const char* program) {
    const std::string command = std::string("command -v ") + program + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

std::vector<std::uint8_t> read_all(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Where `needle` or any `window`-byte piece of it appears in `hay`: the set
// of places where the whole needle would start. A freed heap block loses its
// first bytes to the allocator's bookkeeping, so pieces count, and a run of
// matching pieces at one place counts once.
std::size_t count(const std::vector<std::uint8_t>& hay, const std::vector<std::uint8_t>& needle, std::size_t window) {
    window = std::min(window, needle.size());
    std::vector<std::ptrdiff_t> starts;
    for (std::size_t from = 0; from + window <= needle.size(); ++from) {
        const std::uint8_t* at = hay.data();
        const std::uint8_t* const end = hay.data() + hay.size();
        while (const void* found = ::memmem(at, static_cast<std::size_t>(end - at), needle.data() + from, window)) {
            const auto* hit = static_cast<const std::uint8_t*>(found);
            starts.push_back((hit - hay.data()) - static_cast<std::ptrdiff_t>(from));
            at = hit + 1;
        }
    }
    std::sort(starts.begin(), starts.end());
    return static_cast<std::size_t>(std::unique(starts.begin(), starts.end()) - starts.begin());
}

// What a dump must not hold for the key `canary`: the key as code-page bytes
// and as UTF-16, and the P-array and first S-box of fresh tables keyed with
// it (each with a label for the report).
std::vector<std::pair<std::string, std::vector<std::uint8_t>>> traces_of(const std::string& canary, bool tables) {
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> out;
    out.emplace_back("code-page bytes", std::vector<std::uint8_t>(canary.begin(), canary.end()));
    std::vector<std::uint8_t> utf16;
    for (const char c : canary) {
        utf16.push_back(static_cast<std::uint8_t>(c));
        utf16.push_back(0);
    }
    out.emplace_back("UTF-16", utf16);
    if (tables) {
        detail::BlowfishTables t;
        detail::initial_tables(t);
        detail::mix_key(t, std::vector<std::uint8_t>(canary.begin(), canary.end()));
        const auto* p = reinterpret_cast<const std::uint8_t*>(t.p.data());
        out.emplace_back("P-array", std::vector<std::uint8_t>(p, p + sizeof t.p));
        const auto* s = reinterpret_cast<const std::uint8_t*>(t.s[0].data());
        out.emplace_back("S-box", std::vector<std::uint8_t>(s, s + 256));
        platform::secure_wipe(&t, sizeof t);
    }
    return out;
}

// Counts every trace of each canary in `core`, printing the non-zero ones.
std::size_t hits_in(const fs::path& core, const std::vector<std::string>& masked, bool tables) {
    const auto image = read_all(core);
    EXPECT_GT(image.size(), 4096U) << "the dump is missing or empty";
    std::size_t total = 0;
    for (const auto& m : masked) {
        for (const auto& [what, bytes] : traces_of(unmask(m), tables)) {
            // Eight characters of a random key, or 16 bytes of the tables,
            // cannot turn up by chance.
            const std::size_t n = count(image, bytes, what == "code-page bytes" ? 8 : 16);
            if (n != 0) std::printf("[ %zu hits of the canary's %s ]\n", n, what.c_str());
            total += n;
        }
    }
    return total;
}

// Runs a shell command; true on exit status 0.
bool run(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

bool same_tables(const clsToString& a, const clsToString& b) {
    const auto& x = detail::InstanceAccess::tables(a);
    const auto& y = detail::InstanceAccess::tables(b);
    return x.p == y.p && x.s == y.s;
}

// Moving wipes the source: it is left as a new instance, so its old key no
// longer counts as the key in force.
TEST(InstanceState, MovedFromInstanceIsAsNew) {
    const std::u16string key = u"a key long enough to live on the heap";
    for (const bool by_assignment : {false, true}) {
        clsToString source, reference, fresh;
        source.Key(key);
        reference.Key(key);
        int events = 0;
        source.Progress.Subscribe([&](std::int32_t&) { ++events; });
        clsToString target;
        target.Key(u"the target's own key");
        if (by_assignment) {
            target = std::move(source);
        } else {
            clsToString constructed(std::move(source));
            target = constructed;
        }
        EXPECT_TRUE(same_tables(target, reference)) << by_assignment;
        EXPECT_TRUE(same_tables(source, fresh)) << by_assignment;  // NOLINT(bugprone-use-after-move)
        EXPECT_FALSE(source.Progress.HasListeners()) << by_assignment;
        source.Key(key);  // mixed in again, on fresh tables
        EXPECT_TRUE(same_tables(source, reference)) << by_assignment;
        std::vector<std::uint8_t> bytes{1, 2, 3};
        target.EncryptByte(bytes);  // the listener moved with the key
        EXPECT_GT(events, 0) << by_assignment;
        target.Key(key);  // the key in force: nothing happens
        EXPECT_TRUE(same_tables(target, reference)) << by_assignment;
    }
}

TEST(InstanceState, CopyAssignmentTakesTablesKeyAndListeners) {
    clsToString source, target;
    source.Key(u"short");
    target.Key(u"a different and much longer key than the source's");
    int events = 0;
    source.Progress.Subscribe([&](std::int32_t&) { ++events; });
    target = source;
    EXPECT_TRUE(same_tables(target, source));
    target.Key(u"short");  // the key in force
    EXPECT_TRUE(same_tables(target, source));
    std::vector<std::uint8_t> bytes{1};
    target.EncryptByte(bytes);
    EXPECT_GT(events, 0);
    source.DecryptByte(bytes);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>{1});
}

class KeyHygiene : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef CLSCRYPT_UNDER_SANITIZER
        GTEST_SKIP() << "a sanitizer's shadow memory makes the dump meaningless";
#endif
        if (!have("gcore") || !have("gdb")) GTEST_SKIP() << "gdb (gcore) is not installed";
        char templ[] = "/tmp/clscrypt-canary-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
    }
    void TearDown() override {
        std::error_code ec;
        if (!dir_.empty()) fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

// Everything a program does with keys, in the child.
void use_keys(std::u16string_view key, std::u16string_view short_key, const fs::path& dir) {
    {
        std::ofstream(dir / "plain", std::ios::binary) << "a few bytes of plain text";
        clsToString a;
        a.Key(key);
        a.Key(std::u16string(100, u'x'));  // a longer key replaces it...
        a.Key(key);                        // ...and it goes back over the longer one's buffer
        clsToString b(a);
        clsToString c(std::move(b));
        b = c;
        c = std::move(b);
        const std::u16string cipher = a.EncryptString(u"message", key);
        (void)a.DecryptString(cipher, key);
        std::vector<std::uint8_t> bytes(100, 1);
        a.EncryptByte(bytes, key);
        a.DecryptByte(bytes, key);
        a.EncryptFile(dir / "plain", dir / "cipher", key);
        a.DecryptFile(dir / "cipher", dir / "back", key);
        clsToString other;
        other.Key(short_key);  // short enough to live inside the instance
        other.RekeyFile(a, dir / "cipher", dir / "cipher");
        clsToString moved(std::move(other));
        clsToString fresh;
        fresh.Key(key);  // exactly the tables traces_of looks for
        a.Key(u"the next key");
    }
    {
        // The value API, and the C interface: its UTF-8 keys are decoded
        // into temporaries that must go wiped, the one a decoding failure
        // leaves half-filled too.
        KeyHistory history_of_key;
        history_of_key.reserve(1);
        history_of_key.emplace_back(key);
        ValueCipher values(history_of_key);
        platform::secure_wipe(history_of_key[0].data(), history_of_key[0].size() * 2);  // the caller's own copy
        (void)values.EncryptOrThrow("value", PlainForm::Text, StoredForm::Hex);
        char utf8[64] = {};
        for (std::size_t i = 0; i < key.size(); ++i) utf8[i] = static_cast<char>(key[i]);
        utf8[key.size()] = '\xFF';  // invalid UTF-8 after the key
        clscrypt_tostring* h = nullptr;
        if (clscrypt_tostring_new(0, &h) != CLSCRYPT_OK) throw std::runtime_error("new");
        if (clscrypt_tostring_set_key_utf8(h, utf8, key.size() + 1) != CLSCRYPT_INVALID_ARGUMENT) {
            throw std::runtime_error("invalid UTF-8 taken");
        }
        if (clscrypt_tostring_set_key_utf8(h, utf8, key.size()) != CLSCRYPT_OK) throw std::runtime_error("key");
        char* cipher = nullptr;
        std::size_t length = 0;
        if (clscrypt_tostring_encrypt_string_utf8(h, "text", 4, &cipher, &length) != CLSCRYPT_OK) {
            throw std::runtime_error("encrypt");
        }
        clscrypt_free(cipher);
        clscrypt_tostring_free(h);
        const char* keys[] = {utf8, "second"};
        const std::size_t lengths[] = {key.size(), 6};
        const clscrypt_key_history history{keys, lengths, 2};
        clscrypt_values* v = nullptr;
        if (clscrypt_values_new(&history, 1, nullptr, 0, nullptr, 0, &v) != CLSCRYPT_OK) {
            throw std::runtime_error("values");
        }
        clscrypt_values_free(v);
        platform::secure_wipe(utf8, sizeof utf8);
    }
}

TEST_F(KeyHygiene, LibraryLeavesNoCopyOfAKey) {
    const std::string masked = masked_canary(24);
    const std::string masked_short = masked_canary(7);
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        close(go[1]);
        ::prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
        char16_t key[24], short_key[7];
        for (std::size_t i = 0; i < 24; ++i) key[i] = static_cast<char16_t>(masked[i] ^ kMask);
        for (std::size_t i = 0; i < 7; ++i) short_key[i] = static_cast<char16_t>(masked_short[i] ^ kMask);
        int status = 0;
        try {
            use_keys({key, 24}, {short_key, 7}, dir_);
        } catch (...) {
            status = 1;
        }
        platform::secure_wipe(key, sizeof key);
        platform::secure_wipe(short_key, sizeof short_key);
        char c = 1;
        if (write(ready[1], &c, 1) != 1) _exit(2);
        (void)!read(go[0], &c, 1);  // wait while the parent takes the dump
        _exit(status);
    }
    close(ready[1]);
    close(go[0]);
    char c = 0;
    const bool is_ready = read(ready[0], &c, 1) == 1;
    close(ready[0]);
    if (!is_ready) {
        close(go[1]);
        waitpid(pid, nullptr, 0);
        FAIL() << "the child ended before it was ready";
    }
    const fs::path prefix = dir_ / "core";
    const bool dumped =
        run("gcore -o " + prefix.string() + " " + std::to_string(pid) + " >" + (dir_ / "gcore.log").string() + " 2>&1");
    close(go[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(dumped) << read_all(dir_ / "gcore.log").data();
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child failed";
    const fs::path core = prefix.string() + "." + std::to_string(pid);
    const std::size_t hits = hits_in(core, {masked, masked_short}, true);
    std::printf("[ library: %zu hits of the canary keys in a %ju-byte dump ]\n", hits,
                static_cast<std::uintmax_t>(fs::file_size(core)));
    EXPECT_EQ(hits, 0U);
}

#ifdef CLSCRYPT_TOOL_PATH
// The tool under gdb, stopped as it exits (after main and the static
// destructors) and dumped there; keys come from files.
TEST_F(KeyHygiene, ToolLeavesNoCopyOfAKey) {
    const std::string masked = masked_canary(24);
    const std::string masked_new = masked_canary(24);
    std::ofstream(dir_ / "key") << unmask(masked) << "\n";
    std::ofstream(dir_ / "new-key") << unmask(masked_new) << "\n";
    std::ofstream(dir_ / "plain") << "plain text for the tool";
    const std::string tool = CLSCRYPT_TOOL_PATH;
    const std::string d = dir_.string();
    const std::vector<std::string> commands = {
        "encrypt -q --pass file:" + d + "/key -o " + d + "/plain.cls " + d + "/plain",
        "decrypt -q -f --pass file:" + d + "/key -o " + d + "/back " + d + "/plain.cls",
        "rekey -q --pass file:" + d + "/key --new-pass file:" + d + "/new-key " + d + "/plain.cls",
        "encrypt -q --pass file:" + d + "/new-key --pass file:" + d + "/key --hex --text secret",
    };
    std::size_t total = 0;
    int n = 0;
    for (const auto& args : commands) {
        const fs::path core = dir_ / ("tool-core-" + std::to_string(n++));
        const std::string gdb = "gdb -nx -batch -q -ex 'catch syscall exit_group' -ex run -ex 'gcore " + core.string() +
                                "' -ex kill --args " + tool + " " + args + " >" + d + "/gdb.log 2>&1";
        ASSERT_TRUE(run(gdb)) << args;
        ASSERT_TRUE(fs::exists(core)) << args << "\n" << read_all(dir_ / "gdb.log").data();
        const std::size_t hits = hits_in(core, {masked, masked_new}, false);
        std::printf("[ tool %s: %zu hits ]\n", args.substr(0, args.find(' ')).c_str(), hits);
        total += hits;
        fs::remove(core);
    }
    EXPECT_EQ(total, 0U);
}
#endif

}  // namespace
}  // namespace clscrypt::test
