// The CBC kernels and what is built around them: every backend against the
// portable kernels (and OpenSSL on the standard tables) around each kernel's
// batch edges, in place and at every alignment; decryption split across
// threads at and around the split points; the byte planes rebuilt after
// every key change and carried by copies; Progress unchanged, and on the
// caller's thread, when runs are shared out; forked children; no thread at
// all unless the program asks for them.

#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "cipher/blowfish.hpp"
#include "cipher/instance_access.hpp"
#include "cipher/kernels/dispatch.hpp"
#include "cipher/layout.hpp"
#include "cipher/parallel.hpp"
#include "clscrypt/clscrypt.hpp"
#include "digest/kernels/dispatch.hpp"
#include "platform/cpu_features.hpp"
#include "platform/random.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

using detail::BlowfishTables;
using detail::BytePlanes;
using detail::Chain;
using detail::InstanceAccess;

// Tables after a few random keys, as an instance's would be.
struct Keyed {
    BlowfishTables t;
    std::unique_ptr<BytePlanes> planes = std::make_unique<BytePlanes>();

    explicit Keyed(int keys = 3) {
        detail::initial_tables(t);
        for (int i = 0; i < keys; ++i) detail::mix_key(t, random_bytes(1 + rng()() % 72));
        detail::build_planes(t, *planes);
    }
};

Chain random_chain() {
    return {static_cast<std::uint32_t>(rng()()), static_cast<std::uint32_t>(rng()())};
}

// Lengths around every batch edge: the scalar groups of 8 blocks, the
// vector kernel's 512 and 1024 bytes, the thread split's 4 KiB pieces.
const std::vector<std::size_t>& edge_lengths() {
    static const std::vector<std::size_t> lengths = {0,    8,    16,   56,   64,   72,   504,  512,  520,  1016,
                                                     1024, 1032, 1528, 1536, 1544, 2048, 4088, 4096, 4104, 12296};
    return lengths;
}

TEST(CbcKernels, PortableFirstAndTheVectorKernelWhenTheProcessorHasIt) {
    const auto backends = detail::cbc_backends();
    ASSERT_FALSE(backends.empty());
    EXPECT_EQ(backends.front().name, "portable");
    std::string names;
    for (const auto& b : backends) names.append(" ").append(b.name);
    std::printf("[ CBC backends:%s ]\n", names.c_str());
#if CLSCRYPT_CBC_X86
    const auto& cpu = platform::cpu_features();
    const bool vbmi =
        std::any_of(backends.begin(), backends.end(), [](const auto& b) { return b.name == "avx512-vbmi"; });
    EXPECT_EQ(vbmi, cpu.x86_avx512_vbmi && cpu.x86_bmi2);
#endif
    if (platform::portable_forced()) {
        // CLSCRYPT_PORTABLE: nothing but the portable kernels anywhere.
        EXPECT_EQ(backends.size(), 1U);
        EXPECT_EQ(detail::sha256_backends().size(), 1U);
    }
}

TEST(CbcKernels, EveryBackendMatchesThePortableKernelsAroundItsBatchEdges) {
    const Keyed k;
    for (const auto& backend : detail::cbc_backends()) {
        for (const std::size_t len : edge_lengths()) {
            // At every alignment: the kernels load and store unaligned.
            const std::size_t offset = rng()() % 8;
            std::vector<std::uint8_t> buf(len + offset);
            const auto plain = random_bytes(len);
            if (len > 0) std::memcpy(buf.data() + offset, plain.data(), len);
            const Chain start = random_chain();

            std::vector<std::uint8_t> expected = plain;
            Chain expected_chain = start;
            detail::cbc_encrypt(k.t, expected.data(), len, expected_chain);
            Chain chain = start;
            backend.encrypt(k.t, buf.data() + offset, len, chain);
            ASSERT_EQ(std::vector<std::uint8_t>(buf.begin() + static_cast<std::ptrdiff_t>(offset), buf.end()), expected)
                << backend.name << " encrypt " << len;
            ASSERT_EQ(chain.l, expected_chain.l) << backend.name << " " << len;
            ASSERT_EQ(chain.r, expected_chain.r) << backend.name << " " << len;

            chain = start;
            backend.decrypt(k.t, k.planes.get(), buf.data() + offset, len, chain);
            ASSERT_EQ(std::vector<std::uint8_t>(buf.begin() + static_cast<std::ptrdiff_t>(offset), buf.end()), plain)
                << backend.name << " decrypt " << len;
            // The last ciphertext block chains on.
            ASSERT_EQ(chain.l, expected_chain.l) << backend.name << " " << len;
            ASSERT_EQ(chain.r, expected_chain.r) << backend.name << " " << len;
        }
    }
}

TEST(CbcKernels, EveryKeyScheduleKernelFillsTheSameTables) {
    Keyed start;
    for (std::size_t i = 0; i < 18; ++i) start.t.p[i] ^= static_cast<std::uint32_t>(rng()());  // a key's words
    BlowfishTables expected = start.t;
    detail::fill_tables_portable(expected);
    for (const auto& backend : detail::cbc_backends()) {
        BlowfishTables t = start.t;
        backend.fill_tables(t);
        EXPECT_TRUE(t.p == expected.p && t.s == expected.s) << backend.name;
    }
}

TEST(CbcKernels, EveryLanesKernelEnciphersEachMessageAsTheOneChainKernel) {
    // Batches narrower and wider than the slots, messages of unequal
    // lengths (empty ones among them) so that slots take up new messages
    // and drop out at every width, each message from its own chain.
    const Keyed k;
    for (const auto& backend : detail::cbc_backends()) {
        for (const std::size_t count : {0U, 1U, 3U, 8U, 9U, 17U, 100U}) {
            std::vector<std::vector<std::uint8_t>> messages(count);
            std::vector<detail::CbcLane> lanes(count);
            std::vector<std::vector<std::uint8_t>> expected(count);
            std::vector<Chain> expected_chains(count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::size_t blocks = i % 7 == 3 ? 0 : 1 + rng()() % (i % 2 == 0 ? 4 : 40);
                messages[i] = random_bytes(8 * blocks);
                lanes[i] = {messages[i].data(), messages[i].size(), random_chain()};
                expected[i] = messages[i];
                expected_chains[i] = lanes[i].chain;
                detail::cbc_encrypt(k.t, expected[i].data(), expected[i].size(), expected_chains[i]);
            }
            backend.encrypt_lanes(k.t, count >= backend.lanes_planes_from ? k.planes.get() : nullptr, lanes.data(),
                                  count);
            for (std::size_t i = 0; i < count; ++i) {
                ASSERT_EQ(messages[i], expected[i]) << backend.name << " " << count << " " << i;
                ASSERT_EQ(lanes[i].chain.l, expected_chains[i].l) << backend.name << " " << count << " " << i;
                ASSERT_EQ(lanes[i].chain.r, expected_chains[i].r) << backend.name << " " << count << " " << i;
            }
        }
    }
}

TEST(CbcKernels, PiecesChainLikeOneRun) {
    const Keyed k;
    const std::size_t len = 8 * (1000 + rng()() % 1000);
    const auto cipher = random_bytes(len);
    for (const auto& backend : detail::cbc_backends()) {
        std::vector<std::uint8_t> whole = cipher;
        Chain c1;
        backend.decrypt(k.t, k.planes.get(), whole.data(), len, c1);
        std::vector<std::uint8_t> pieces = cipher;
        Chain c2;
        for (std::size_t at = 0; at < len;) {
            const std::size_t n = std::min(len - at, 8 * (rng()() % 200));
            backend.decrypt(k.t, k.planes.get(), pieces.data() + at, n, c2);
            at += n;
        }
        EXPECT_EQ(pieces, whole) << backend.name;
        EXPECT_EQ(c2.l, c1.l);
        EXPECT_EQ(c2.r, c1.r);
    }
}

// On the standard tables every backend is standard Blowfish-CBC.
TEST(CbcKernels, EveryBackendIsOpenSslsCbcOnTheStandardTables) {
    for (const std::size_t len : {std::size_t{8}, std::size_t{1024}, std::size_t{4104}, std::size_t{65536 + 520}}) {
        const auto key = random_bytes(1 + rng()() % 56);
        BF_KEY ossl;
        BF_set_key(&ossl, static_cast<int>(key.size()), key.data());
        BlowfishTables t;
        detail::initial_tables(t, detail::SboxArrangement::Standard);
        detail::mix_key(t, key, detail::KeyPacking::Standard);
        auto planes = std::make_unique<BytePlanes>();
        detail::build_planes(t, *planes);

        const auto plain = random_bytes(len);
        unsigned char iv[8];
        for (auto& b : iv) b = static_cast<unsigned char>(rng()());
        const Chain start{detail::load_be32(iv), detail::load_be32(iv + 4)};
        std::vector<std::uint8_t> expected(len);
        BF_cbc_encrypt(plain.data(), expected.data(), static_cast<long>(len), &ossl, iv, BF_ENCRYPT);
        for (const auto& backend : detail::cbc_backends()) {
            std::vector<std::uint8_t> buf = plain;
            Chain chain = start;
            backend.encrypt(t, buf.data(), len, chain);
            ASSERT_EQ(buf, expected) << backend.name << " " << len;
            chain = start;
            backend.decrypt(t, planes.get(), buf.data(), len, chain);
            ASSERT_EQ(buf, plain) << backend.name << " " << len;
        }
    }
}

// Decryption shared out between threads gives one thread's bytes and chain,
// whatever the number of threads and wherever the parts fall. The shortest
// shared run is lowered to reach every split point cheaply, and kept once.
TEST(ParallelDecrypt, SplitsMatchOneThread) {
    const Keyed k;
    struct Case {
        std::size_t min_run;
        std::size_t len;
    };
    constexpr std::size_t kMin = 16384;
    std::vector<Case> cases;
    for (const std::size_t len :
         {kMin - 8, kMin, kMin + 8, kMin + 4096 + 520, 2 * kMin - 8, 2 * kMin + 8, 3 * kMin + 4088, 8 * kMin + 4104}) {
        cases.push_back({kMin, len});
    }
    cases.push_back({detail::kParallelMinRun, detail::kParallelMinRun + 8});
    for (const auto& backend : detail::cbc_backends()) {
        for (const auto& [min_run, len] : cases) {
            const auto cipher = random_bytes(len);
            const Chain start = random_chain();
            std::vector<std::uint8_t> expected = cipher;
            Chain expected_chain = start;
            backend.decrypt(k.t, k.planes.get(), expected.data(), len, expected_chain);
            for (const std::size_t threads : {2, 3, 8}) {
                const detail::ScopedDecryptThreads limit(threads, min_run);
                std::vector<std::uint8_t> buf = cipher;
                Chain chain = start;
                detail::cbc_decrypt_run(backend, k.t, k.planes.get(), buf.data(), len, chain);
                ASSERT_EQ(buf, expected) << backend.name << " " << len << " bytes, " << threads << " threads";
                ASSERT_EQ(chain.l, expected_chain.l);
                ASSERT_EQ(chain.r, expected_chain.r);
            }
        }
    }
}

std::vector<std::int32_t> reference_events(std::uint64_t total) {
    std::vector<std::int32_t> out;
    detail::ProgressSchedule s(total);
    for (std::uint64_t k = 0; k + 8 <= total; k += 8) {
        if (k == s.next_event_block()) out.push_back(s.advance(k));
    }
    out.push_back(100);
    return out;
}

// Long messages decrypt on several threads, each run between two events
// shared out (runs of 8 KiB and more here, so that a megabyte suffices);
// Progress is still raised on the caller's thread with the values of the
// block-by-block schedule, and a throwing listener still leaves the blocks
// after its event enciphered.
TEST(ParallelDecrypt, ProgressStaysOnTheCallersThreadWithTheSameValues) {
    for (const std::size_t n : {std::size_t{1} << 20, (std::size_t{3} << 20) + 1234}) {
        const auto message = random_bytes(n);
        clsToString writer;
        auto bytes = message;
        writer.EncryptByte(bytes, u"threads");
        for (const auto& backend : detail::cbc_backends()) {
            const detail::ScopedCbcBackend forced(backend);
            const detail::ScopedDecryptThreads two(2, 8192);
            clsToString reader;
            std::vector<std::int32_t> seen;
            bool elsewhere = false;
            const auto caller = std::this_thread::get_id();
            reader.Progress.Subscribe([&](std::int32_t& p) {
                seen.push_back(p);
                elsewhere = elsewhere || std::this_thread::get_id() != caller;
            });
            auto copy = bytes;
            reader.DecryptByte(copy, u"threads");
            EXPECT_EQ(copy, message) << backend.name;
            EXPECT_EQ(seen, reference_events(bytes.size())) << backend.name;
            EXPECT_FALSE(elsewhere);
        }
    }
}

TEST(ParallelDecrypt, AThrowingListenerLeavesTheRestEnciphered) {
    const detail::ScopedDecryptThreads two(2, 8192);
    clsToString c;
    auto bytes = random_bytes(std::size_t{1} << 20);
    c.EncryptByte(bytes, u"k");
    const auto cipher = bytes;
    c.Progress.Subscribe([](std::int32_t& p) {
        if (p == 40) throw std::runtime_error("stop");
    });
    EXPECT_THROW(c.DecryptByte(bytes), std::runtime_error);
    // The event for 40% follows the block at or past 40% of the length.
    detail::ProgressSchedule s(cipher.size());
    std::uint64_t k = 0;
    for (std::int32_t p = -1; p != 40; p = s.advance(k)) k = s.next_event_block();
    const auto rest = static_cast<std::ptrdiff_t>(k + 8);
    EXPECT_TRUE(std::equal(bytes.begin() + rest, bytes.end(), cipher.begin() + rest));
    EXPECT_FALSE(std::equal(bytes.begin(), bytes.begin() + rest, cipher.begin()));
}

TEST(ParallelDecrypt, CallersOnManyThreadsAtOnce) {
    const detail::ScopedDecryptThreads all(0, 16384);
    const auto message = random_bytes(std::size_t{1} << 20);
    clsToString writer;
    auto cipher = message;
    writer.EncryptByte(cipher, u"shared");
    std::vector<std::thread> threads;
    std::vector<int> ok(4, 0);
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back([&, i] {
            clsToString reader;
            reader.Key(u"shared");
            int good = 1;
            for (int round = 0; round < 3; ++round) {
                auto bytes = cipher;
                reader.DecryptByte(bytes);
                good &= bytes == message ? 1 : 0;
            }
            ok[static_cast<std::size_t>(i)] = good;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
}

// Runs `f` in a forked child; its exit status.
int in_child(const std::function<bool()>& f) {
    const pid_t pid = fork();
    if (pid == 0) _exit(f() ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A child has none of its parent's threads: it starts workers of its own
// (or works alone) rather than wait for ones that do not exist.
TEST(ParallelDecrypt, ForkedChildrenDecryptLongMessages) {
    const detail::ScopedDecryptThreads two(2, 16384);
    const auto message = random_bytes(std::size_t{1} << 20);
    clsToString c;
    auto cipher = message;
    c.EncryptByte(cipher, u"fork");
    auto warm = cipher;
    c.DecryptByte(warm);  // the parent's workers exist now
    ASSERT_EQ(warm, message);
    EXPECT_EQ(in_child([&] {
                  auto bytes = cipher;
                  c.DecryptByte(bytes);
                  return bytes == message;
              }),
              0);
}

std::size_t threads_of_this_process() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// A library starts no thread its caller did not ask for: a long decryption
// in a process that changed no setting stays on the calling thread. Once the
// program asks, the run is shared out, with the same bytes. Each case runs
// in a forked child, which starts with one thread whatever the tests before
// started in this one.
TEST(ParallelDecrypt, ForkedChildrenStartNoThreadUnlessTheProgramAsks) {
    const auto message = random_bytes(std::size_t{4} << 20);
    clsToString writer;
    auto cipher = message;
    writer.EncryptByte(cipher, u"threads");
    for (const unsigned asked : {0U, 1U, 2U}) {
        const bool shared = asked >= 2 && std::thread::hardware_concurrency() >= 2;
        EXPECT_EQ(in_child([&] {
                      if (asked != 0) SetDecryptionThreads(asked);  // 0: the default, untouched
                      clsToString reader;
                      auto bytes = cipher;
                      reader.DecryptByte(bytes, u"threads");
                      return bytes == message && threads_of_this_process() == (shared ? 2U : 1U) &&
                             GetDecryptionThreads() == (shared ? 2U : 1U);
                  }),
                  0)
            << "asked for " << asked;
    }
}

// A file decrypted with a Progress listener is shared out as one without:
// each chunk goes to the workers whole, however many events fall in it (cut
// at its events, every piece of a 3 MiB file would be too short to share,
// and no worker would ever start).
TEST(ParallelDecrypt, ForkedChildrenShareOutFileChunksWithProgressEvents) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor";
    const auto message = random_bytes(std::size_t{3} << 20);
    clsToString writer;
    auto cipher = message;
    writer.EncryptByte(cipher, u"threads");
    const auto folder = std::filesystem::temp_directory_path() / ("clscrypt-shared-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "cipher", std::ios::binary)
        .write(reinterpret_cast<const char*>(cipher.data()), static_cast<std::streamsize>(cipher.size()));
    for (const bool listening : {false, true}) {
        EXPECT_EQ(in_child([&] {
                      SetDecryptionThreads(2);
                      clsToString reader;
                      int events = 0;
                      if (listening) reader.Progress.Subscribe([&](std::int32_t&) { ++events; });
                      std::vector<std::uint8_t> back;
                      reader.DecryptFileTo(
                          folder / "cipher",
                          [&](std::span<const std::uint8_t> piece) { back.insert(back.end(), piece.begin(), piece.end()); },
                          u"threads");
                      return back == message && threads_of_this_process() == 2U &&
                             (!listening || events == 101);
                  }),
                  0)
            << (listening ? "with" : "without") << " a listener";
    }
    std::filesystem::remove_all(folder);
}

// The random first blocks come from a per-thread reserve; a child must not
// hand out what its parent will.
TEST(RandomReserve, ForkedChildDrawsOtherBytes) {
    std::uint8_t first[6];
    platform::system_random_buffered(first);  // the reserve is filled now
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        std::uint8_t drawn[6];
        platform::system_random_buffered(drawn);
        _exit(write(fds[1], drawn, sizeof drawn) == sizeof drawn ? 0 : 1);
    }
    std::uint8_t child[6];
    ASSERT_EQ(read(fds[0], child, sizeof child), static_cast<ssize_t>(sizeof child));
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[0]);
    close(fds[1]);
    std::uint8_t parent[6];
    platform::system_random_buffered(parent);
    EXPECT_NE(std::memcmp(child, parent, sizeof parent), 0);
}

// Large messages go through the byte planes; a key set-up must rebuild them.
// A stale plane would still pass the size descriptor (the first blocks are
// checked by the scalar kernel) and give wrong bytes, so compare content.
TEST(BytePlanes, RebuiltAfterEveryKeyChangeAndCarriedByCopies) {
    const auto message = random_bytes(20000);
    auto encrypt_under = [&](std::initializer_list<std::u16string_view> keys) {
        clsToString w;
        for (const auto k : keys) w.Key(k);
        auto bytes = message;
        w.EncryptByte(bytes);
        return bytes;
    };
    const auto under_a = encrypt_under({u"a"});
    const auto under_ab = encrypt_under({u"a", u"b"});

    clsToString c;
    auto bytes = under_a;
    c.DecryptByte(bytes, u"a");  // builds the planes for "a"
    ASSERT_EQ(bytes, message);
    const clsToString copy = c;  // planes and all
    bytes = under_ab;
    c.DecryptByte(bytes, u"b");  // "b" mixed in: the planes must follow
    EXPECT_EQ(bytes, message);

    clsToString from_copy = copy;
    bytes = under_a;
    from_copy.DecryptByte(bytes);
    EXPECT_EQ(bytes, message);

    // Changing the tables directly (as tests do) makes the planes stale too.
    clsToString d;
    d.Key(u"a");
    bytes = under_a;
    d.DecryptByte(bytes);
    InstanceAccess::tables(d) = InstanceAccess::tables(c);  // now "a" then "b"
    bytes = under_ab;
    d.DecryptByte(bytes);
    EXPECT_EQ(bytes, message);

    // The planes are the tables' bytes.
    const BytePlanes& planes = InstanceAccess::planes(d);
    const BlowfishTables& t = InstanceAccess::tables(static_cast<const clsToString&>(d));
    for (int i = 0; i < 50; ++i) {
        const auto box = rng()() % 4;
        const auto x = rng()() % 256;
        const auto k = rng()() % 4;
        ASSERT_EQ(planes.s[box][k][x], static_cast<std::uint8_t>(t.s[box][x] >> (8 * k)));
        const auto p = rng()() % 18;
        ASSERT_EQ(planes.p[p][k], ((t.p[p] >> (8 * k)) & 0xFFU) * 0x01010101U);
    }
}

}  // namespace
}  // namespace clscrypt::test
