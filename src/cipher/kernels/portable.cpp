#include "cipher/kernels/portable.hpp"

#include "cipher/kernels/dispatch.hpp"

namespace clscrypt::detail {

namespace {

// The round function on a half held zero-extended in 64 bits: each byte
// comes out ready to index, with no zero-extension between the shift and
// the load.
[[gnu::always_inline]] inline std::uint32_t round_f64(const BlowfishTables& t, std::uint64_t x) noexcept {
    return ((t.s[0][x >> 24] + t.s[1][(x >> 16) & 0xFF]) ^ t.s[2][(x >> 8) & 0xFF]) + t.s[3][x & 0xFF];
}

// CBC decryption of `len` bytes, N blocks side by side, then the rest N / 2
// side by side and so on down to one by one. A block's sixteen rounds are one chain of dependent loads; N
// chains interleaved keep the load units busy while each waits, so the work
// runs at the processor's throughput rather than at one chain's latency.
//
// Only the halves stay in registers: each block's predecessor is read back
// from memory as its plaintext is stored, last block first, so nothing is
// overwritten before it is read. The group's last ciphertext block, which
// chains into the next group, is read before any store.
template <std::size_t N>
[[gnu::always_inline]] inline void cbc_decrypt_interleaved(const BlowfishTables& t, std::uint8_t* data, std::size_t len,
                                                           Chain& chain) noexcept {
    std::uint64_t prev_l = chain.l;
    std::uint64_t prev_r = chain.r;
    std::size_t blocks = len / 8;
    std::uint8_t* b = data;
    for (; blocks >= N; blocks -= N, b += 8 * N) {
        std::uint64_t L[N];
        std::uint64_t R[N];
        // As decipher: P[17] and P[16] first, then the rounds with the P
        // words from the top down, each joining its half off the chain of
        // loads.
#pragma GCC unroll 16
        for (std::size_t i = 0; i < N; ++i) {
            R[i] = load_be32(b + 8 * i) ^ t.p[17];
            L[i] = (load_be32(b + 8 * i + 4) ^ t.p[16]) ^ round_f64(t, R[i]);
        }
#pragma GCC unroll 8
        for (std::size_t k = 15; k >= 3; k -= 2) {
#pragma GCC unroll 16
            for (std::size_t i = 0; i < N; ++i) R[i] = (R[i] ^ t.p[k]) ^ round_f64(t, L[i]);
#pragma GCC unroll 16
            for (std::size_t i = 0; i < N; ++i) L[i] = (L[i] ^ t.p[k - 1]) ^ round_f64(t, R[i]);
        }
#pragma GCC unroll 16
        for (std::size_t i = 0; i < N; ++i) R[i] = (R[i] ^ t.p[1]) ^ round_f64(t, L[i]);
        const std::uint64_t last_l = load_be32(b + 8 * (N - 1));
        const std::uint64_t last_r = load_be32(b + 8 * (N - 1) + 4);
#pragma GCC unroll 16
        for (std::size_t i = N - 1; i >= 1; --i) {
            store_be32(b + 8 * i, static_cast<std::uint32_t>(L[i] ^ t.p[0] ^ load_be32(b + 8 * i - 8)));
            store_be32(b + 8 * i + 4, static_cast<std::uint32_t>(R[i] ^ load_be32(b + 8 * i - 4)));
        }
        store_be32(b, static_cast<std::uint32_t>(L[0] ^ t.p[0] ^ prev_l));
        store_be32(b + 4, static_cast<std::uint32_t>(R[0] ^ prev_r));
        prev_l = last_l;
        prev_r = last_r;
    }
    if constexpr (N > 2) {
        // The rest in narrower groups: a short message (a value of a few
        // blocks) is all rest.
        Chain rest{static_cast<std::uint32_t>(prev_l), static_cast<std::uint32_t>(prev_r)};
        cbc_decrypt_interleaved<N / 2>(t, b, blocks * 8, rest);
        chain = rest;
        return;
    }
    for (; blocks > 0; --blocks, b += 8) {
        const std::uint32_t cl = load_be32(b);
        const std::uint32_t cr = load_be32(b + 4);
        std::uint32_t l = cl;
        std::uint32_t r = cr;
        decipher(t, l, r);
        store_be32(b, l ^ static_cast<std::uint32_t>(prev_l));
        store_be32(b + 4, r ^ static_cast<std::uint32_t>(prev_r));
        prev_l = cl;
        prev_r = cr;
    }
    chain = {static_cast<std::uint32_t>(prev_l), static_cast<std::uint32_t>(prev_r)};
}

// Many independent CBC chains, up to kLanes side by side. Each chain is as
// long a series of dependent loads as the one-message kernel runs; W of them
// interleaved fill the time each load waits, as in decryption. The slots'
// halves live in registers between blocks; a slot whose message is done
// stores its chain and takes the next message, so the group stays full until
// the queue runs dry, and then finishes with one slot fewer at a time (each
// width its own unrolled loop: no round is spent on an empty slot).
constexpr std::size_t kLanes = 8;

struct LaneQueue {
    CbcLane* next;
    CbcLane* last;
    // The message in each slot, how far it has come and its chain; the
    // first `active` slots are busy.
    CbcLane* slot[kLanes];
    std::uint8_t* pos[kLanes];
    Chain chain[kLanes];
    std::size_t active = 0;

    // Puts the next message with blocks into slot `active`; false when none
    // is left.
    bool fill() noexcept {
        CbcLane* lane = take();
        if (lane == nullptr) return false;
        slot[active] = lane;
        pos[active] = lane->data;
        chain[active] = lane->chain;
        ++active;
        return true;
    }

    // The next message with blocks to encipher, or null; empty ones keep
    // their chain as it is.
    CbcLane* take() noexcept {
        while (next != last && next->len == 0) ++next;
        return next == last ? nullptr : next++;
    }
};

template <std::size_t W>
void encrypt_lanes_width(const BlowfishTables& t, LaneQueue& q) noexcept {
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
        // As encipher, with the P words joining each half off the chain of
        // loads: L takes P[0], P[2] .. P[14], R P[1] .. P[15].
#pragma GCC unroll 16
        for (std::size_t i = 0; i < W; ++i) {
            L[i] = (L[i] ^ load_be32(p[i])) ^ t.p[0];
            R[i] ^= load_be32(p[i] + 4);
        }
#pragma GCC unroll 8
        for (std::size_t k = 0; k <= 12; k += 2) {
#pragma GCC unroll 16
            for (std::size_t i = 0; i < W; ++i) R[i] = (R[i] ^ t.p[k + 1]) ^ round_f64(t, L[i]);
#pragma GCC unroll 16
            for (std::size_t i = 0; i < W; ++i) L[i] = (L[i] ^ t.p[k + 2]) ^ round_f64(t, R[i]);
        }
#pragma GCC unroll 16
        for (std::size_t i = 0; i < W; ++i) {
            R[i] = (R[i] ^ t.p[15]) ^ round_f64(t, L[i]);
            L[i] ^= round_f64(t, R[i]);
            const std::uint64_t l = R[i] ^ t.p[17];
            const std::uint64_t r = L[i] ^ t.p[16];
            store_be32(p[i], static_cast<std::uint32_t>(l));
            store_be32(p[i] + 4, static_cast<std::uint32_t>(r));
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
            // Busy slots to the front, for the narrower loop.
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

void cbc_encrypt(const BlowfishTables& t, std::uint8_t* data, std::size_t len, Chain& chain) noexcept {
    std::uint32_t l = chain.l;
    std::uint32_t r = chain.r;
    for (std::uint8_t* p = data; p != data + len; p += 8) {
        l ^= load_be32(p);
        r ^= load_be32(p + 4);
        encipher(t, l, r);
        store_be32(p, l);
        store_be32(p + 4, r);
    }
    chain = {l, r};
}

void cbc_decrypt(const BlowfishTables& t, std::uint8_t* data, std::size_t len, Chain& chain) noexcept {
    cbc_decrypt_interleaved<8>(t, data, len, chain);
}

void cbc_encrypt_lanes(const BlowfishTables& t, CbcLane* lanes, std::size_t count) noexcept {
    LaneQueue q{lanes, lanes + count, {}, {}, {}, 0};
    while (q.active < kLanes && q.fill()) {
    }
    while (q.active > 0) {
        switch (q.active) {
            case 8: encrypt_lanes_width<8>(t, q); break;
            case 7: encrypt_lanes_width<7>(t, q); break;
            case 6: encrypt_lanes_width<6>(t, q); break;
            case 5: encrypt_lanes_width<5>(t, q); break;
            case 4: encrypt_lanes_width<4>(t, q); break;
            case 3: encrypt_lanes_width<3>(t, q); break;
            case 2: encrypt_lanes_width<2>(t, q); break;
            default: encrypt_lanes_width<1>(t, q); break;
        }
    }
}

void cbc_encrypt_lanes_portable(const BlowfishTables& t, const BytePlanes* /*planes*/, CbcLane* lanes,
                                std::size_t count) noexcept {
    cbc_encrypt_lanes(t, lanes, count);
}

void cbc_decrypt_portable(const BlowfishTables& t, const BytePlanes* /*planes*/, std::uint8_t* data, std::size_t len,
                          Chain& chain) noexcept {
    cbc_decrypt(t, data, len, chain);
}

// The key schedule's encipherments: one chain from a zero block.
void fill_tables_portable(BlowfishTables& t) noexcept {
    std::uint32_t l = 0;
    std::uint32_t r = 0;
    for (std::size_t i = 0; i < 18; i += 2) {
        encipher(t, l, r);
        t.p[i] = l;
        t.p[i + 1] = r;
    }
    for (auto& box : t.s) {
        for (std::size_t e = 0; e < 256; e += 2) {
            encipher(t, l, r);
            box[e] = l;
            box[e + 1] = r;
        }
    }
}

void build_planes(const BlowfishTables& t, BytePlanes& planes) noexcept {
    for (std::size_t box = 0; box < 4; ++box) {
        for (std::size_t x = 0; x < 256; ++x) {
            const std::uint32_t w = t.s[box][x];
            for (std::size_t k = 0; k < 4; ++k) planes.s[box][k][x] = static_cast<std::uint8_t>(w >> (8 * k));
        }
    }
    for (std::size_t i = 0; i < 18; ++i) {
        for (std::size_t k = 0; k < 4; ++k) planes.p[i][k] = ((t.p[i] >> (8 * k)) & 0xFFU) * 0x01010101U;
    }
}

}  // namespace clscrypt::detail
