// SHA-256 against NIST's published answers: every message of the short and
// long message files and the 100 checkpoints of the Monte Carlo test, on
// every compression kernel the processor can run, whole, streamed in random
// pieces, and through the text digest.

#include <string>

#include "clscrypt/clscrypt.hpp"
#include "digest/kernels/dispatch.hpp"
#include "test_util.hpp"
#include "vector_file.hpp"

namespace clscrypt::test {
namespace {

struct Message {
    std::vector<std::uint8_t> bytes;
    std::string digest;
};

// "Len" counts bits; the empty message is written "Msg = 00".
std::vector<Message> messages(const char* file) {
    std::vector<Message> out;
    for (const auto& r : read_vector_file(file)) {
        if (!r.contains("Len")) continue;
        auto bytes = from_hex(r.at("Msg"));
        bytes.resize(std::stoul(r.at("Len")) / 8);
        out.push_back({std::move(bytes), r.at("MD")});
    }
    return out;
}

std::string streamed(const std::vector<std::uint8_t>& bytes) {
    Sha256 hash;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t piece = std::min<std::size_t>(bytes.size() - at, rng()() % 150);
        hash.Update(std::span(bytes).subspan(at, piece));
        at += piece;
    }
    return ToHex(hash.Final());
}

std::u16string as_text(const std::vector<std::uint8_t>& bytes) {
    // The text digest hashes each character's low byte: give the high byte
    // something to drop.
    std::u16string text;
    for (const auto b : bytes) text.push_back(static_cast<char16_t>(0x4100 | b));
    return text;
}

class Sha256Vectors : public ::testing::TestWithParam<const char*> {};

TEST_P(Sha256Vectors, EveryMessageOnEveryKernel) {
    const auto cases = messages(GetParam());
    // 65 short messages (0 to 64 bytes), 64 long ones (up to 51 200 bits).
    ASSERT_EQ(cases.size(), std::string(GetParam()).find("Short") != std::string::npos ? 65U : 64U);
    for (const auto& backend : detail::sha256_backends()) {
        SCOPED_TRACE(backend.name);
        const detail::ScopedSha256Backend forced(backend);
        for (const auto& c : cases) {
            ASSERT_EQ(ToHex(Sha256::Hash(c.bytes)), c.digest) << c.bytes.size() << " bytes";
            ASSERT_EQ(streamed(c.bytes), c.digest) << c.bytes.size() << " bytes";
            ASSERT_EQ(clsHsh().SHA256(as_text(c.bytes)), c.digest) << c.bytes.size() << " bytes";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Nist, Sha256Vectors, ::testing::Values("SHA256ShortMsg.rsp", "SHA256LongMsg.rsp"),
                         [](const auto& info) { return std::string(info.param).substr(6, 5); });

// Each checkpoint is the last of 1000 chained digests, each over the three
// digests before it; the checkpoint seeds the next 1000.
TEST(Sha256Vectors, MonteCarloCheckpointsOnEveryKernel) {
    const auto records = read_vector_file("SHA256Monte.rsp");
    ASSERT_FALSE(records.empty());
    const auto seed = from_hex(records.front().at("Seed"));
    std::vector<std::string> checkpoints;
    for (const auto& r : records) {
        if (r.contains("COUNT")) checkpoints.push_back(r.at("MD"));
    }
    ASSERT_EQ(checkpoints.size(), 100U);
    for (const auto& backend : detail::sha256_backends()) {
        SCOPED_TRACE(backend.name);
        const detail::ScopedSha256Backend forced(backend);
        Sha256::Digest md;
        std::copy(seed.begin(), seed.end(), md.begin());
        for (std::size_t j = 0; j < checkpoints.size(); ++j) {
            Sha256::Digest m0 = md, m1 = md, m2 = md;
            for (int i = 3; i < 1003; ++i) {
                Sha256 hash;
                hash.Update(m0);
                hash.Update(m1);
                hash.Update(m2);
                m0 = m1;
                m1 = m2;
                m2 = hash.Final();
            }
            md = m2;
            ASSERT_EQ(ToHex(md), checkpoints[j]) << "checkpoint " << j;
        }
    }
}

}  // namespace
}  // namespace clscrypt::test
