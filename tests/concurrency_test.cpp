// Separate instances share nothing: several threads, each with its own
// instances, keys and files, get exactly what one thread gets alone. Built
// into its own program so that ThreadSanitizer (the `tsan` preset) can run
// it on its own, and so that each test starts with the SHA-256 kernel not yet
// chosen: the first calls race to choose it.

#include <openssl/sha.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "cipher/instance_access.hpp"
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
