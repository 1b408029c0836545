// CBC decryption shaped for WebAssembly engines (the npm package's build).
//
// The portable kernel's eight blocks side by side run no faster than one
// block at a time in a browser or Node: the engine's optimising compiler
// places each pure computation just before its first use, and as the eight
// blocks' rounds never meet until their plaintext is stored, it emits one
// block's sixteen rounds after the other's. Each block is then one chain of
// dependent loads the processor cannot overlap with the next (a block's
// rounds are longer than its reordering window), and the run goes at one
// chain's latency. Two changes make it go at the processor's throughput:
//
// - After every second round (both halves moved) the four blocks' left
//   halves are stored to a volatile slot. Stores keep their order, and each
//   needs its rounds done, so the engine has to emit the four blocks'
//   rounds side by side, as written.
// - The S-box look-ups name the tables by a constant address with the entry's
//   offset as the index. An engine folds a load's constant offset into the
//   processor's addressing, so each look-up is a shift, a mask and a load;
//   with the tables behind a pointer the address needs an addition more,
//   which the engine must do in 32 bits (WebAssembly addresses wrap) and
//   cannot fold. The tables are copied to that address for the call and
//   wiped after it. The compiler will not fold a symbol into the offset
//   itself (it cannot prove the sum does not wrap), so the load is written
//   out in WebAssembly's own text.
//
// Measured in Node 20 on 64 MiB in memory: 133 MiB/s with the portable
// kernel, about 220 with the stores alone, 280 with both (the fixed address alone
// changes nothing while the blocks still run one after the other). Five
// blocks side by side run as fast as four; six or eight, slower (the
// engine spills the halves).

#include "cipher/kernels/dispatch.hpp"
#include "platform/wipe.hpp"

#if CLSCRYPT_CBC_WASM

namespace clscrypt::detail {

namespace {

// The build has one thread (no shared memory), so one copy serves every call.
BlowfishTables g_tables;

// S-box `Box`'s entry at byte offset `offset` (the entry's index times 4).
// The compiler does not see that the load reads g_tables; `ready`, made
// after the copy, keeps the load behind it.
template <std::size_t Box>
[[gnu::always_inline]] inline std::uint32_t sbox_at(std::uint32_t offset, std::uint32_t ready) noexcept {
    std::uint32_t v;
    __asm__("local.get %1\n\ti32.load %2\n\tlocal.set %0"
            : "=r"(v)
            : "r"(offset), "i"(&g_tables.s[Box][0]), "r"(ready));
    return v;
}

[[gnu::always_inline]] inline std::uint32_t round_fixed(std::uint32_t x, std::uint32_t ready) noexcept {
    return ((sbox_at<0>((x >> 22) & 0x3FC, ready) + sbox_at<1>((x >> 14) & 0x3FC, ready)) ^
            sbox_at<2>((x >> 6) & 0x3FC, ready)) +
           sbox_at<3>((x & 0xFF) << 2, ready);
}

// Four blocks side by side: more spill the engine's registers.
constexpr std::size_t kWidth = 4;

// Shorter runs go through the portable kernel: copying and wiping the
// tables (8 KiB of writes) would cost more than the faster rounds save. In
// 256-byte pieces this kernel still ran 1.7 times as fast as the portable
// one, the copy included.
constexpr std::size_t kFixedFrom = 512;

}  // namespace

void cbc_decrypt_wasm(const BlowfishTables& t, const BytePlanes* /*planes*/, std::uint8_t* data, std::size_t len,
                      Chain& chain) noexcept {
    if (len < kFixedFrom) {
        cbc_decrypt(t, data, len, chain);
        return;
    }
    std::uint32_t prev_l = chain.l;
    std::uint32_t prev_r = chain.r;
    std::size_t blocks = len / 8;
    std::uint8_t* b = data;
    {
        g_tables = t;
        std::uint32_t ready = 0;
        __asm__ volatile("" : "+r"(ready) : : "memory");
        volatile std::uint32_t order[kWidth];
        for (; blocks >= kWidth; blocks -= kWidth, b += 8 * kWidth) {
            std::uint32_t L[kWidth];
            std::uint32_t R[kWidth];
#pragma GCC unroll 4
            for (std::size_t i = 0; i < kWidth; ++i) {
                R[i] = load_be32(b + 8 * i) ^ t.p[17];
                L[i] = (load_be32(b + 8 * i + 4) ^ t.p[16]) ^ round_fixed(R[i], ready);
            }
#pragma GCC unroll 4
            for (std::size_t i = 0; i < kWidth; ++i) order[i] = L[i];
#pragma GCC unroll 8
            for (std::size_t k = 15; k >= 3; k -= 2) {
#pragma GCC unroll 4
                for (std::size_t i = 0; i < kWidth; ++i) R[i] = (R[i] ^ t.p[k]) ^ round_fixed(L[i], ready);
#pragma GCC unroll 4
                for (std::size_t i = 0; i < kWidth; ++i) L[i] = (L[i] ^ t.p[k - 1]) ^ round_fixed(R[i], ready);
#pragma GCC unroll 4
                for (std::size_t i = 0; i < kWidth; ++i) order[i] = L[i];
            }
#pragma GCC unroll 4
            for (std::size_t i = 0; i < kWidth; ++i) R[i] = (R[i] ^ t.p[1]) ^ round_fixed(L[i], ready);
            // Last block first: each block's predecessor is read before it
            // is overwritten.
            const std::uint32_t last_l = load_be32(b + 8 * (kWidth - 1));
            const std::uint32_t last_r = load_be32(b + 8 * (kWidth - 1) + 4);
#pragma GCC unroll 4
            for (std::size_t i = kWidth - 1; i >= 1; --i) {
                store_be32(b + 8 * i, L[i] ^ t.p[0] ^ load_be32(b + 8 * i - 8));
                store_be32(b + 8 * i + 4, R[i] ^ load_be32(b + 8 * i - 4));
            }
            store_be32(b, L[0] ^ t.p[0] ^ prev_l);
            store_be32(b + 4, R[0] ^ prev_r);
            prev_l = last_l;
            prev_r = last_r;
        }
        for (auto& word : order) word = 0;
        platform::secure_wipe(&g_tables, sizeof g_tables);
    }
    for (; blocks > 0; --blocks, b += 8) {
        const std::uint32_t cl = load_be32(b);
        const std::uint32_t cr = load_be32(b + 4);
        std::uint32_t l = cl;
        std::uint32_t r = cr;
        decipher(t, l, r);
        store_be32(b, l ^ prev_l);
        store_be32(b + 4, r ^ prev_r);
        prev_l = cl;
        prev_r = cr;
    }
    chain = {prev_l, prev_r};
}

}  // namespace clscrypt::detail

#endif
