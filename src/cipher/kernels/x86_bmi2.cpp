// Scalar CBC kernels for x86 processors with BMI1/BMI2.
//
// Encryption is one chain: every block waits for the one before, and inside
// a block each half-round waits for the last one's four loads. What is left
// to shorten is the work between a half's value and the addresses of its
// loads: with bextr each byte comes out of the 64-bit register in one
// single-cycle instruction, ready to index, where shift-and-mask takes two.
//
// The code here shares no inline functions with the rest of the library
// that would be compiled for this target, so no copy of them that needs
// BMI can leak into code run on processors without it.

#include "cipher/kernels/dispatch.hpp"

#if CLSCRYPT_CBC_X86

#include <immintrin.h>

#include <cstring>

namespace clscrypt::detail {

namespace {

// Big-endian halves zero-extended to 64 bits: a deliberate per-target copy of
// common/byte_order.hpp, so they inline as one load and byte swap under this target.
[[gnu::always_inline, gnu::target("bmi,bmi2")]] inline std::uint64_t load_be(const std::uint8_t* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

[[gnu::always_inline, gnu::target("bmi,bmi2")]] inline void store_be(std::uint8_t* p, std::uint64_t v) noexcept {
    const std::uint32_t w = __builtin_bswap32(static_cast<std::uint32_t>(v));
    std::memcpy(p, &w, 4);
}

}  // namespace

// The round function on a half held zero-extended in 64 bits, so that each
// extracted byte is an index as it stands.
#define CLSCRYPT_F(x) ((((s0[(x) >> 24] + s1[_bextr_u64((x), 16, 8)]) ^ s2[_bextr_u64((x), 8, 8)]) + s3[(x)&0xFF]))

// One block, in place. The P words join each half before its round value
// arrives, off the chain of loads.
[[gnu::always_inline, gnu::target("bmi,bmi2")]] inline void encipher_bmi2(const BlowfishTables& t, std::uint64_t& l,
                                                                          std::uint64_t& r) noexcept {
    const std::uint32_t* s0 = t.s[0].data();
    const std::uint32_t* s1 = t.s[1].data();
    const std::uint32_t* s2 = t.s[2].data();
    const std::uint32_t* s3 = t.s[3].data();
    const std::uint32_t* p = t.p.data();
    std::uint64_t L = l ^ p[0];
    std::uint64_t R = r;
#define CLSCRYPT_ENC(i)                 \
    R = (R ^ p[i + 1]) ^ CLSCRYPT_F(L); \
    L = (L ^ p[i + 2]) ^ CLSCRYPT_F(R);
    CLSCRYPT_ENC(0)
    CLSCRYPT_ENC(2)
    CLSCRYPT_ENC(4)
    CLSCRYPT_ENC(6)
    CLSCRYPT_ENC(8)
    CLSCRYPT_ENC(10)
    CLSCRYPT_ENC(12)
#undef CLSCRYPT_ENC
    R = (R ^ p[15]) ^ CLSCRYPT_F(L);
    L ^= CLSCRYPT_F(R);
    // L has taken P[0], P[2] .. P[14] and R P[1] .. P[15]; the output
    // whitening: P[16] into the right half, P[17] into the left.
    l = R ^ p[17];
    r = L ^ p[16];
}

[[gnu::target("bmi,bmi2")]] void cbc_encrypt_bmi2(const BlowfishTables& t, std::uint8_t* data, std::size_t len,
                                                  Chain& chain) noexcept {
    std::uint64_t l = chain.l;
    std::uint64_t r = chain.r;
    for (std::uint8_t* b = data; b != data + len; b += 8) {
        l ^= load_be(b);
        r ^= load_be(b + 4);
        encipher_bmi2(t, l, r);
        store_be(b, l);
        store_be(b + 4, r);
    }
    chain = {static_cast<std::uint32_t>(l), static_cast<std::uint32_t>(r)};
}

// Many chains side by side: a deliberate per-target copy of the portable
// lanes kernel (see there), compiled with BMI2 and the extracting round.
namespace {

constexpr std::size_t kLanes = 8;

struct LaneQueueBmi2 {
    CbcLane* next;
    CbcLane* last;
    CbcLane* slot[kLanes];
    std::uint8_t* pos[kLanes];
    Chain chain[kLanes];
    std::size_t active = 0;

    [[gnu::target("bmi,bmi2")]] CbcLane* take() noexcept {
        while (next != last && next->len == 0) ++next;
        return next == last ? nullptr : next++;
    }
    [[gnu::target("bmi,bmi2")]] bool fill() noexcept {
        CbcLane* lane = take();
        if (lane == nullptr) return false;
        slot[active] = lane;
        pos[active] = lane->data;
        chain[active] = lane->chain;
        ++active;
        return true;
    }
};

template <std::size_t W>
[[gnu::target("bmi,bmi2")]] void encrypt_lanes_width_bmi2(const BlowfishTables& t, LaneQueueBmi2& q) noexcept {
    const std::uint32_t* s0 = t.s[0].data();
    const std::uint32_t* s1 = t.s[1].data();
    const std::uint32_t* s2 = t.s[2].data();
    const std::uint32_t* s3 = t.s[3].data();
    const std::uint32_t* pw = t.p.data();
    std::uint64_t L[W];
    std::uint64_t R[W];
    std::uint8_t* p[W];
    std::uint8_t* end[W];
    CbcLane* lane[W];
    for (std::size_t i = 0; i < W; ++i) {
        lane[i] = q.slot[i];
        p[i] = q.pos[i];
        end[i] = lane[i]->data + lane[i]->len;
        L[i] = q.chain[i].l;
        R[i] = q.chain[i].r;
    }
    for (;;) {
#pragma GCC unroll 16
        for (std::size_t i = 0; i < W; ++i) {
            L[i] = (L[i] ^ load_be(p[i])) ^ pw[0];
            R[i] ^= load_be(p[i] + 4);
        }
#pragma GCC unroll 8
        for (std::size_t k = 0; k <= 12; k += 2) {
#pragma GCC unroll 16
            for (std::size_t i = 0; i < W; ++i) R[i] = (R[i] ^ pw[k + 1]) ^ CLSCRYPT_F(L[i]);
#pragma GCC unroll 16
            for (std::size_t i = 0; i < W; ++i) L[i] = (L[i] ^ pw[k + 2]) ^ CLSCRYPT_F(R[i]);
        }
#pragma GCC unroll 16
        for (std::size_t i = 0; i < W; ++i) {
            R[i] = (R[i] ^ pw[15]) ^ CLSCRYPT_F(L[i]);
            L[i] ^= CLSCRYPT_F(R[i]);
            const std::uint64_t l = R[i] ^ pw[17];
            const std::uint64_t r = L[i] ^ pw[16];
            store_be(p[i], l);
            store_be(p[i] + 4, r);
            L[i] = l;
            R[i] = r;
            p[i] += 8;
        }
        bool drained = false;
        for (std::size_t i = 0; i < W; ++i) {
            if (p[i] != end[i]) continue;
            lane[i]->chain = {static_cast<std::uint32_t>(L[i]), static_cast<std::uint32_t>(R[i])};
            lane[i] = q.take();
            if (lane[i] == nullptr) {
                drained = true;
                continue;
            }
            p[i] = lane[i]->data;
            end[i] = p[i] + lane[i]->len;
            L[i] = lane[i]->chain.l;
            R[i] = lane[i]->chain.r;
        }
        if (drained) {
            q.active = 0;
            for (std::size_t i = 0; i < W; ++i) {
                if (lane[i] == nullptr) continue;
                q.slot[q.active] = lane[i];
                q.pos[q.active] = p[i];
                q.chain[q.active] = {static_cast<std::uint32_t>(L[i]), static_cast<std::uint32_t>(R[i])};
                ++q.active;
            }
            return;
        }
    }
}

}  // namespace

[[gnu::target("bmi,bmi2")]] void cbc_encrypt_lanes_bmi2(const BlowfishTables& t, const BytePlanes* /*planes*/,
                                                        CbcLane* lanes, std::size_t count) noexcept {
    LaneQueueBmi2 q{lanes, lanes + count, {}, {}, {}, 0};
    while (q.active < kLanes && q.fill()) {
    }
    while (q.active > 0) {
        switch (q.active) {
            case 8: encrypt_lanes_width_bmi2<8>(t, q); break;
            case 7: encrypt_lanes_width_bmi2<7>(t, q); break;
            case 6: encrypt_lanes_width_bmi2<6>(t, q); break;
            case 5: encrypt_lanes_width_bmi2<5>(t, q); break;
            case 4: encrypt_lanes_width_bmi2<4>(t, q); break;
            case 3: encrypt_lanes_width_bmi2<3>(t, q); break;
            case 2: encrypt_lanes_width_bmi2<2>(t, q); break;
            default: encrypt_lanes_width_bmi2<1>(t, q); break;
        }
    }
}

// The key schedule's 521 encipherments, each reading the tables as the ones
// before left them: one chain, like encryption.
[[gnu::target("bmi,bmi2")]] void fill_tables_bmi2(BlowfishTables& t) noexcept {
    std::uint64_t l = 0;
    std::uint64_t r = 0;
    for (std::size_t i = 0; i < 18; i += 2) {
        encipher_bmi2(t, l, r);
        t.p[i] = static_cast<std::uint32_t>(l);
        t.p[i + 1] = static_cast<std::uint32_t>(r);
    }
    for (auto& box : t.s) {
        for (std::size_t e = 0; e < 256; e += 2) {
            encipher_bmi2(t, l, r);
            box[e] = static_cast<std::uint32_t>(l);
            box[e + 1] = static_cast<std::uint32_t>(r);
        }
    }
}

// Eight blocks side by side, as the portable kernel does: a deliberate
// per-target copy of its loop, compiled with BMI2 and the extracting round.
[[gnu::target("bmi,bmi2")]] void cbc_decrypt_bmi2(const BlowfishTables& t, const BytePlanes* /*planes*/,
                                                  std::uint8_t* data, std::size_t len, Chain& chain) noexcept {
    constexpr std::size_t N = 8;
    const std::uint32_t* s0 = t.s[0].data();
    const std::uint32_t* s1 = t.s[1].data();
    const std::uint32_t* s2 = t.s[2].data();
    const std::uint32_t* s3 = t.s[3].data();
    const std::uint32_t* p = t.p.data();
    std::uint64_t prev_l = chain.l;
    std::uint64_t prev_r = chain.r;
    std::size_t blocks = len / 8;
    std::uint8_t* b = data;
    for (; blocks >= N; blocks -= N, b += 8 * N) {
        std::uint64_t L[N];
        std::uint64_t R[N];
#pragma GCC unroll 16
        for (std::size_t i = 0; i < N; ++i) {
            R[i] = load_be(b + 8 * i) ^ p[17];
            L[i] = (load_be(b + 8 * i + 4) ^ p[16]) ^ CLSCRYPT_F(R[i]);
        }
#pragma GCC unroll 8
        for (std::size_t k = 15; k >= 3; k -= 2) {
#pragma GCC unroll 16
            for (std::size_t i = 0; i < N; ++i) R[i] = (R[i] ^ p[k]) ^ CLSCRYPT_F(L[i]);
#pragma GCC unroll 16
            for (std::size_t i = 0; i < N; ++i) L[i] = (L[i] ^ p[k - 1]) ^ CLSCRYPT_F(R[i]);
        }
#pragma GCC unroll 16
        for (std::size_t i = 0; i < N; ++i) R[i] = (R[i] ^ p[1]) ^ CLSCRYPT_F(L[i]);
        const std::uint64_t last_l = load_be(b + 8 * (N - 1));
        const std::uint64_t last_r = load_be(b + 8 * (N - 1) + 4);
#pragma GCC unroll 16
        for (std::size_t i = N - 1; i >= 1; --i) {
            store_be(b + 8 * i, L[i] ^ p[0] ^ load_be(b + 8 * i - 8));
            store_be(b + 8 * i + 4, R[i] ^ load_be(b + 8 * i - 4));
        }
        store_be(b, L[0] ^ p[0] ^ prev_l);
        store_be(b + 4, R[0] ^ prev_r);
        prev_l = last_l;
        prev_r = last_r;
    }
    Chain rest{static_cast<std::uint32_t>(prev_l), static_cast<std::uint32_t>(prev_r)};
    cbc_decrypt(t, b, blocks * 8, rest);
    chain = rest;
}

#undef CLSCRYPT_F

}  // namespace clscrypt::detail

#endif
