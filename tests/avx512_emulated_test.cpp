// The AVX-512 VBMI kernels on any processor: the same source compiled over
// portable implementations of the intrinsics (CLSCRYPT_AVX512_EMULATED),
// checked against the portable kernels on random tables and chains. The
// emulated intrinsics are slow, so the sizes stay small: a few batches of
// decryption and a few hundred short messages of encryption cover every
// path through the kernels.

#include <cstring>
#include <memory>

#include "cipher/kernels/dispatch.hpp"
#include "test_util.hpp"

#if CLSCRYPT_HAVE_SIMDE
namespace clscrypt::detail::emulated {
void cbc_decrypt_avx512_vbmi(const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data, std::size_t len,
                             Chain& chain) noexcept;
void cbc_encrypt_lanes_avx512_vbmi(const BlowfishTables& t, const BytePlanes* planes, CbcLane* lanes,
                                   std::size_t count) noexcept;
}  // namespace clscrypt::detail::emulated
#endif

namespace clscrypt::test {
namespace {

using detail::BlowfishTables;
using detail::BytePlanes;
using detail::Chain;

// Tables of random words: the kernels work for any tables, and random ones
// carry between the bytes of the additions in every pattern.
struct RandomTables {
    BlowfishTables t;
    std::unique_ptr<BytePlanes> planes = std::make_unique<BytePlanes>();

    RandomTables() {
        for (auto& w : t.p) w = static_cast<std::uint32_t>(rng()());
        for (auto& box : t.s) {
            for (auto& w : box) w = static_cast<std::uint32_t>(rng()());
        }
        detail::build_planes(t, *planes);
    }
};

Chain random_chain() {
    return {static_cast<std::uint32_t>(rng()()), static_cast<std::uint32_t>(rng()())};
}

class EmulatedAvx512 : public ::testing::Test {
protected:
    void SetUp() override {
#if !CLSCRYPT_HAVE_SIMDE
        GTEST_SKIP() << "SIMDe's headers (Debian's libsimde-dev) were not found when the build was configured";
#endif
    }
};

#if CLSCRYPT_HAVE_SIMDE

TEST_F(EmulatedAvx512, DecryptionMatchesThePortableKernel) {
    // Whole batches of 64 blocks (two at a time, then one) and the blocks
    // after them, which go to the scalar kernel; runs shorter than a batch
    // are given no planes, which the kernel must not read.
    struct Case {
        std::size_t batches;
        std::size_t tail_blocks;
    };
    for (const Case c : {Case{0, 0}, Case{0, 5}, Case{0, 63}, Case{1, 0}, Case{1, 1}, Case{1, 63}, Case{2, 0},
                         Case{2, 7}, Case{3, 0}, Case{3, 13}}) {
        const RandomTables k;
        const std::size_t len = 512 * c.batches + 8 * c.tail_blocks;
        const std::size_t offset = rng()() % 8;  // the kernel loads and stores unaligned
        const auto cipher = random_bytes(len);
        std::vector<std::uint8_t> buf(offset + len);
        if (len > 0) std::memcpy(buf.data() + offset, cipher.data(), len);
        const Chain start = random_chain();

        std::vector<std::uint8_t> expected = cipher;
        Chain expected_chain = start;
        detail::cbc_decrypt(k.t, expected.data(), len, expected_chain);
        Chain chain = start;
        detail::emulated::cbc_decrypt_avx512_vbmi(k.t, len >= detail::kAvx512Batch ? k.planes.get() : nullptr,
                                                  buf.data() + offset, len, chain);
        EXPECT_EQ(std::vector<std::uint8_t>(buf.begin() + static_cast<std::ptrdiff_t>(offset), buf.end()), expected)
            << c.batches << " batches + " << c.tail_blocks << " blocks";
        EXPECT_EQ(chain.l, expected_chain.l) << c.batches << " batches + " << c.tail_blocks << " blocks";
        EXPECT_EQ(chain.r, expected_chain.r) << c.batches << " batches + " << c.tail_blocks << " blocks";
    }
}

TEST_F(EmulatedAvx512, LanesEncryptionMatchesTheOneChainKernel) {
    // Each case: the number of messages and how many blocks message i has.
    // Batches under the kernel's floor (empty messages not counted), at it,
    // and past its 64 lanes; messages ending together and apart, so lanes
    // take up new messages one at a time and all at once, go idle, and hand
    // what is left to the scalar kernel, long messages included.
    struct Case {
        const char* name;
        std::size_t count;
        std::size_t (*blocks)(std::size_t i);
    };
    const Case cases[] = {
        {"15 short", 15, [](std::size_t i) { return 1 + i % 6; }},
        {"16, one empty", 16, [](std::size_t i) { return i == 9 ? std::size_t{0} : 1 + i % 3; }},
        {"16 equal", 16, [](std::size_t) { return std::size_t{3}; }},
        {"64 mixed", 64, [](std::size_t i) { return 1 + (i * 7) % 20; }},
        {"130 equal", 130, [](std::size_t) { return std::size_t{2}; }},
        {"200 mixed, empties, one long", 200,
         [](std::size_t i) { return i == 150     ? std::size_t{90}
                                    : i % 7 == 3 ? 0
                                                 : 1 + (i * 5) % 12; }},
    };
    for (const Case& c : cases) {
        const RandomTables k;
        std::vector<std::vector<std::uint8_t>> messages(c.count);
        std::vector<detail::CbcLane> lanes(c.count);
        std::vector<std::vector<std::uint8_t>> expected(c.count);
        std::vector<Chain> expected_chains(c.count);
        for (std::size_t i = 0; i < c.count; ++i) {
            messages[i] = random_bytes(8 * c.blocks(i));
            lanes[i] = {messages[i].data(), messages[i].size(), random_chain()};
            expected[i] = messages[i];
            expected_chains[i] = lanes[i].chain;
            detail::cbc_encrypt(k.t, expected[i].data(), expected[i].size(), expected_chains[i]);
        }
        detail::emulated::cbc_encrypt_lanes_avx512_vbmi(k.t, c.count >= detail::kAvx512Lanes ? k.planes.get() : nullptr,
                                                        lanes.data(), c.count);
        for (std::size_t i = 0; i < c.count; ++i) {
            ASSERT_EQ(messages[i], expected[i]) << c.name << ", message " << i;
            ASSERT_EQ(lanes[i].chain.l, expected_chains[i].l) << c.name << ", message " << i;
            ASSERT_EQ(lanes[i].chain.r, expected_chains[i].r) << c.name << ", message " << i;
        }
    }
}

#else

TEST_F(EmulatedAvx512, Unavailable) {}

#endif

}  // namespace
}  // namespace clscrypt::test
