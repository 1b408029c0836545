// Separate instances share nothing: several threads, each with its own
// instances, keys and files, get exactly what one thread gets alone. Built
// into its own program so that ThreadSanitizer (the `tsan` preset) can run
// it on its own, and so that each test starts with the SHA-256 kernel not yet
// chosen: the first calls race to choose it.

#include <openssl/sha.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "cipher/instance_access.hpp"
#include "cipher/parallel.hpp"
#include "clscrypt/clscrypt.hpp"
#include "test_util.hpp"

namespace clscrypt::test {
namespace {

namespace fs = std::filesystem;

constexpr int kThreads = 4;

void write_file_bytes(const fs::path& p, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> read_file_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Everything one worker does, from its own seed; returns a digest of all
// its results so runs can be compared.
std::string work(int seed, const fs::path& dir) {
    std::mt19937_64 gen(static_cast<std::uint64_t>(seed));
    Sha256 record;
    auto note = [&](const auto& bytes) { record.Update(std::as_bytes(std::span(bytes))); };

    clsToString cipher(CodePage::FromNumber(seed % 2 == 0 ? 1252 : 1251));
    const std::u16string key = u"key of worker " + std::u16string(1, static_cast<char16_t>(u'A' + seed));
    cipher.Key(key);
    std::int32_t last = 0;
    cipher.Progress.Subscribe([&](std::int32_t& p) { last = p; });
    for (int round = 0; round < 20; ++round) {
        std::vector<std::uint8_t> message(gen() % 5000);
        for (auto& b : message) b = static_cast<std::uint8_t>(gen());
        auto bytes = message;
        // Fixed header words, so the ciphertext is comparable across runs.
        detail::InstanceAccess::encrypt_with_words(cipher, bytes, static_cast<std::uint32_t>(gen() >> 33), 7);
        note(bytes);
        clsToString reader(cipher);  // a copy, used alongside the original
        reader.DecryptByte(bytes);
        if (bytes != message) return "round trip failed";
        const std::u16string text = cipher.DecryptString(cipher.EncryptString(u"text \u20AC", key));
        const std::u16string hex = cipher.StrToHex(text, u"-");
        note(std::u16string_view(hex));
        if (cipher.HexToStr(hex, 1) != text) return "hex round trip failed";
        note(clsHsh().SHA256(hex));
        if (round % 5 == 0) {
            write_file_bytes(dir / "plain", message);
            cipher.EncryptFile(dir / "plain", dir / "cipher");
            cipher.DecryptFile(dir / "cipher", dir / "back");
            if (read_file_bytes(dir / "back") != message) return "file round trip failed";
        }
        cipher.Key(key + std::u16string(1, static_cast<char16_t>(u'0' + round % 10)));
    }
    if (last != 100) return "no closing progress event";
    return ToHex(record.Final());
}

class Concurrency : public ::testing::Test {
protected:
    void SetUp() override {
        char templ[] = "/tmp/clscrypt-threads-XXXXXX";
        ASSERT_NE(mkdtemp(templ), nullptr);
        dir_ = templ;
        for (int i = 0; i < kThreads; ++i) fs::create_directory(dir_ / std::to_string(i));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    fs::path dir_;
};

TEST_F(Concurrency, IndependentInstancesOnSeveralThreadsMatchOneThread) {
    std::vector<std::string> parallel(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] { parallel[i] = work(i, dir_ / std::to_string(i)); });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(parallel[i].size(), 64U) << "worker " << i << ": " << parallel[i];
        EXPECT_EQ(parallel[i], work(i, dir_ / std::to_string(i))) << "worker " << i;
    }
}

// DecryptFile reads the next chunk and writes the one before while a chunk is
// deciphered (beside the workers when threads are allowed). Whatever the
// setting, the output, the order of the sink's pieces, the progress events
// and the errors are those of one chunk after the other.
TEST_F(Concurrency, FileDecryptionOverlappingReadsAndWritesKeepsEveryResult) {
    struct Setting {
        std::size_t threads;
        std::size_t min_run;  // the shortest run shared out
    };
    const Setting settings[] = {{1, detail::kParallelMinRun}, {2, 64 * 1024}, {2, detail::kParallelMinRun}};
    const std::size_t chunk = std::size_t{1} << 20;
    const fs::path plain = dir_ / "plain", cipher_file = dir_ / "cipher", back = dir_ / "back";
    clsToString cipher;
    cipher.Key(u"overlap key");
    for (const Setting& setting : settings) {
        const detail::ScopedDecryptThreads scoped(setting.threads, setting.min_run);
        const std::string at = "threads " + std::to_string(setting.threads) + ", shared from " +
                               std::to_string(setting.min_run);
        for (const std::size_t n : {std::size_t{3}, chunk - 12, chunk - 11, chunk + 4, 3 * chunk - 20, 3 * chunk + 77}) {
            const auto message = random_bytes(n);
            auto bytes = message;
            cipher.EncryptByte(bytes);
            write_file_bytes(cipher_file, bytes);
            std::vector<std::int32_t> file_events, memory_events;
            std::vector<std::int32_t>* events = &file_events;
            clsToString reader(cipher);
            reader.Progress.Subscribe([&](std::int32_t& p) { events->push_back(p); });

            reader.DecryptFile(cipher_file, back);
            EXPECT_EQ(read_file_bytes(back), message) << at << ", " << n << " bytes";
            // The sink gets the message in order, in pieces of at most a chunk.
            std::vector<std::uint8_t> got;
            std::size_t pieces = 0;
            reader.DecryptFileTo(cipher_file, [&](std::span<const std::uint8_t> piece) {
                EXPECT_LE(piece.size(), chunk) << at;
                got.insert(got.end(), piece.begin(), piece.end());
                ++pieces;
            });
            EXPECT_EQ(got, message) << at << ", " << n << " bytes";
            EXPECT_EQ(pieces, ((n + 12 + 7) / 8 * 8 + chunk - 1) / chunk) << at << ", " << n << " bytes";
            // The events of the two file runs are those of two in-memory runs.
            events = &memory_events;
            auto again = bytes;
            reader.DecryptByte(again);
            again = bytes;
            reader.DecryptByte(again);
            EXPECT_EQ(file_events, memory_events) << at << ", " << n << " bytes";
        }

        // Failures in the overlapped reads and writes surface once the
        // chunk being deciphered is done, and leave no file behind.
        const auto message = random_bytes(3 * chunk);
        auto bytes = message;
        cipher.EncryptByte(bytes);
        struct Failure {
            const char* what;
            std::function<void(clsToString&)> run;
            std::function<bool(const std::exception&)> expected;
        };
        const Failure failures[] = {
            {"the sink fails on its second piece",
             [&](clsToString& c) {
                 int calls = 0;
                 c.DecryptFileTo(cipher_file, [&](std::span<const std::uint8_t>) {
                     if (++calls == 2) throw std::logic_error("sink full");
                 });
             },
             [](const std::exception& e) { return dynamic_cast<const std::logic_error*>(&e) != nullptr; }},
            {"the source shrinks while it is read",
             [&](clsToString& c) {
                 bool shrunk = false;
                 c.Progress.Subscribe([&](std::int32_t& p) {
                     if (p >= 5 && !shrunk) {
                         fs::resize_file(cipher_file, chunk + 8);
                         shrunk = true;
                     }
                 });
                 c.DecryptFile(cipher_file, back);
             },
             [](const std::exception& e) {
                 const auto* r = dynamic_cast<const RuntimeError*>(&e);
                 return r != nullptr && r->Number() == 57;  // device I/O error
             }},
            {"the operation is cancelled",
             [&](clsToString& c) {
                 int asked = 0;
                 const CancelScope scope([](void* n) noexcept { return ++*static_cast<int*>(n) > 3; }, &asked);
                 c.DecryptFile(cipher_file, back);
             },
             [](const std::exception& e) {
                 const auto* r = dynamic_cast<const RuntimeError*>(&e);
                 return r != nullptr && r->Kind() == ErrorKind::Cancelled;
             }},
        };
        for (const Failure& f : failures) {
            write_file_bytes(cipher_file, bytes);
            fs::remove(back);
            clsToString c(cipher);
            bool raised = false;
            try {
                f.run(c);
            } catch (const std::exception& e) {
                raised = true;
                EXPECT_TRUE(f.expected(e)) << at << ", " << f.what << ": " << e.what();
            }
            EXPECT_TRUE(raised) << at << ", " << f.what;
            EXPECT_FALSE(fs::exists(back)) << at << ", " << f.what;
            EXPECT_FALSE(c.IsBusy()) << at << ", " << f.what;
        }
    }
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir_)) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"0", "1", "2", "3", "cipher"}));
}

TEST_F(Concurrency, HashersOnSeveralThreadsRaceToChooseTheKernel) {
    const auto message = random_bytes(100000);
    // The reference comes from OpenSSL, so that nothing in this process has
    // chosen a kernel yet: every thread's first hash races to choose it.
    Sha256::Digest reference;
    SHA256(message.data(), message.size(), reference.data());
    const std::string expected = ToHex(reference);
    std::vector<std::string> got(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            Sha256 h;
            for (std::size_t at = 0; at < message.size(); at += 1000) {
                h.Update(std::span(message).subspan(at, std::min<std::size_t>(1000, message.size() - at)));
            }
            got[i] = ToHex(h.Final());
        });
    }
    for (auto& t : threads) t.join();
    for (const auto& g : got) EXPECT_EQ(g, expected);
}

}  // namespace
}  // namespace clscrypt::test
