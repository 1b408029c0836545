// The block core switched to the standard S-box arrangement and key packing,
// on fresh tables, against every published Blowfish ECB vector, the
// variable-key-length set included. This proves the rounds, the round
// function and the key schedule apart from the legacy departures, which the
// message tests' legacy vectors then cover.

#include "cipher/blowfish.hpp"
#include "test_util.hpp"
#include "vector_file.hpp"

namespace clscrypt::test {
namespace {

std::uint64_t block_of(const std::string& hex) {
    return std::stoull(hex, nullptr, 16);
}

TEST(BlowfishVectors, PublishedEcbVectorsEncipherAndDecipher) {
    // The file disables three keys shorter than 32 bits; the key schedule
    // cycles over any non-empty key, so they run here too.
    const auto records = read_vector_file("bf-ecb.txt", /*read_commented=*/true);
    ASSERT_EQ(records.size(), 58U);  // 34 fixed-length keys, 24 of 1 to 24 bytes
    std::size_t shortest = 99, longest = 0;
    for (const auto& r : records) {
        const auto key = from_hex(r.at("KEY"));
        shortest = std::min(shortest, key.size());
        longest = std::max(longest, key.size());
        detail::BlowfishTables t;
        detail::initial_tables(t, detail::SboxArrangement::Standard);
        detail::mix_key(t, key, detail::KeyPacking::Standard);

        const std::uint64_t plain = block_of(r.at("PLAINTEXT"));
        const std::uint64_t cipher = block_of(r.at("CIPHERTEXT"));
        auto l = static_cast<std::uint32_t>(plain >> 32);
        auto r32 = static_cast<std::uint32_t>(plain);
        detail::encipher(t, l, r32);
        EXPECT_EQ((std::uint64_t{l} << 32) | r32, cipher) << "COUNT " << r.at("COUNT");
        detail::decipher(t, l, r32);
        EXPECT_EQ((std::uint64_t{l} << 32) | r32, plain) << "COUNT " << r.at("COUNT");
    }
    EXPECT_EQ(shortest, 1U);
    EXPECT_EQ(longest, 24U);
}

}  // namespace
}  // namespace clscrypt::test
