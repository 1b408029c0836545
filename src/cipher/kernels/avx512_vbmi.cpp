// CBC with AVX-512 VBMI, 64 blocks at a time: decryption of one message's
// blocks, and encryption of 64 messages side by side, one block of each.
//
// The blocks are transposed into byte slices: eight 64-byte registers, the
// k-th holding byte k of every block. An S-box lookup for 64 blocks is then
// a byte shuffle per output byte: each S-box is kept as four 256-byte planes
// (byte k of every entry), and vpermi2b picks from 128 table bytes by the
// low seven bits of each index, so two of them and a blend on the top bit
// cover 256 entries. No address depends on the data. The 32-bit additions of
// the round function become byte additions with carries passed from plane to
// plane as masks.
//
// Runs shorter than a batch, and the tail of a run, go through the scalar
// kernel. As elsewhere, nothing here is shared inline with code compiled for
// other targets.
//
// The tests compile this file a second time with CLSCRYPT_AVX512_EMULATED:
// the intrinsics then come from portable implementations of them, the
// functions carry no target attribute and live in a namespace of their
// own, and the scalar kernels they hand over to are the portable ones, so
// the same code runs and is checked on processors without AVX-512. The
// library itself is always built with the real intrinsics.

#include "cipher/kernels/dispatch.hpp"

#if CLSCRYPT_CBC_X86 || defined(CLSCRYPT_AVX512_EMULATED)

#if defined(CLSCRYPT_AVX512_EMULATED)
#include "avx512_emulation.hpp"
#else
#include <immintrin.h>
#endif

#include <array>
#include <bit>
#include <cstring>

namespace clscrypt::detail {

#if defined(CLSCRYPT_AVX512_EMULATED)
namespace emulated {
#define CLSCRYPT_AVX512
#define CLSCRYPT_SCALAR_DECRYPT cbc_decrypt_portable
#define CLSCRYPT_SCALAR_LANES cbc_encrypt_lanes_portable
#else
#define CLSCRYPT_AVX512 gnu::target("avx512f,avx512bw,avx512vbmi,bmi,bmi2")
#define CLSCRYPT_SCALAR_DECRYPT cbc_decrypt_bmi2
#define CLSCRYPT_SCALAR_LANES cbc_encrypt_lanes_bmi2
#endif

// The blocks are moved between memory and the byte slices as 64-bit words.
static_assert(std::endian::native == std::endian::little);

namespace {

// The transposition between blocks and byte slices. Viewed as 512 bytes, a
// byte's address has three bits of register and six of position; the
// block-major layout has register = block bits 5..3 and position = block
// bits 2..0 then byte bits 2..0. Each of three steps swaps one register bit
// with one position bit, pairing registers that differ in that bit; after
// the three, the register number is the byte number (bits reversed) and the
// position holds the six block bits. Each step is its own inverse, so the
// same steps in reverse order transpose back.
//
// For the register pair (a, b) differing in the swapped register bit and
// position bit x, output v takes at position q the byte of a (bit x of q
// clear) or b (set) at position q with bit x made v.
constexpr std::array<std::uint8_t, 64> swap_index(unsigned x, unsigned v) noexcept {
    std::array<std::uint8_t, 64> idx{};
    for (unsigned q = 0; q < 64; ++q) {
        const unsigned from_b = (q >> x) & 1U;
        const unsigned pos = (q & ~(1U << x)) | (v << x);
        idx[q] = static_cast<std::uint8_t>(from_b * 64 + pos);
    }
    return idx;
}

alignas(64) constexpr std::array<std::array<std::array<std::uint8_t, 64>, 2>, 3> kSwap = {{
    {swap_index(2, 0), swap_index(2, 1)},  // register bit 0 with position bit 2
    {swap_index(1, 0), swap_index(1, 1)},  // register bit 1 with position bit 1
    {swap_index(0, 0), swap_index(0, 1)},  // register bit 2 with position bit 0
}};

[[CLSCRYPT_AVX512, gnu::always_inline]] inline void swap_step(__m512i (&r)[8], unsigned step) noexcept {
    const __m512i lo = _mm512_loadu_si512(kSwap[step][0].data());
    const __m512i hi = _mm512_loadu_si512(kSwap[step][1].data());
    const unsigned bit = 1U << step;
    for (unsigned a = 0; a < 8; ++a) {
        if ((a & bit) != 0) continue;
        const unsigned b = a | bit;
        const __m512i ra = r[a];
        r[a] = _mm512_permutex2var_epi8(ra, lo, r[b]);
        r[b] = _mm512_permutex2var_epi8(ra, hi, r[b]);
    }
}

// Register holding byte j (0 = first in memory) of each block.
constexpr unsigned slice_of(unsigned j) noexcept {
    return ((j & 1U) << 2) | (j & 2U) | ((j >> 2) & 1U);
}

// Sixty-four 32-bit words, byte k of each in w[k] (k = 0 least significant).
struct Words {
    __m512i w[4];
};

// S-box `box` at the 64 indices in each x[s]. The sets share every table
// load: two sets (128 blocks) halve the loads per block, which otherwise
// bound the kernel.
template <unsigned S>
[[CLSCRYPT_AVX512, gnu::always_inline]] inline void lookup(const BytePlanes& planes, unsigned box,
                                                           const __m512i (&x)[S], Words (&out)[S]) noexcept {
    __mmask64 high[S];  // index bit 7: entries 128..255
    for (unsigned s = 0; s < S; ++s) high[s] = _mm512_movepi8_mask(x[s]);
    for (unsigned k = 0; k < 4; ++k) {
        const std::uint8_t* plane = planes.s[box][k].data();
        const __m512i t0 = _mm512_loadu_si512(plane);
        const __m512i t1 = _mm512_loadu_si512(plane + 64);
        const __m512i t2 = _mm512_loadu_si512(plane + 128);
        const __m512i t3 = _mm512_loadu_si512(plane + 192);
        for (unsigned s = 0; s < S; ++s) {
            const __m512i lo = _mm512_permutex2var_epi8(t0, x[s], t1);
            const __m512i hi = _mm512_permutex2var_epi8(t2, x[s], t3);
            out[s].w[k] = _mm512_mask_blend_epi8(high[s], lo, hi);
        }
    }
}

// a + b modulo 2^32. A byte's carry out is the top bit of
// (a & b) | ((a | b) & ~sum), which holds whether or not a carry came in.
[[CLSCRYPT_AVX512, gnu::always_inline]] inline Words add(const Words& a, const Words& b) noexcept {
    const __m512i one = _mm512_set1_epi8(1);
    Words s;
    s.w[0] = _mm512_add_epi8(a.w[0], b.w[0]);
    __mmask64 carry = _mm512_cmplt_epu8_mask(s.w[0], a.w[0]);
    for (unsigned k = 1; k < 4; ++k) {
        const __m512i t = _mm512_add_epi8(a.w[k], b.w[k]);
        s.w[k] = _mm512_mask_add_epi8(t, carry, t, one);
        if (k < 3) carry = _mm512_movepi8_mask(_mm512_ternarylogic_epi32(a.w[k], b.w[k], s.w[k], 0xD4));
    }
    return s;
}

// h[s] ^= F(x[s]) ^ P[i], the P word broadcast from its byte-replicated
// form.
template <unsigned S>
[[CLSCRYPT_AVX512, gnu::always_inline]] inline void round(const BytePlanes& in, Words (&h)[S], const Words (&x)[S],
                                                          unsigned i) noexcept {
    // The planes are read where they are used, straight from the L1 cache:
    // all 64 registers' worth cannot stay in the 32 registers, and a
    // compiler left to hoist the loads out of the rounds spills copies of
    // them to the stack instead. Hiding where the planes are stops that.
    const BytePlanes* p = &in;
    __asm__("" : "+r"(p));
    const BytePlanes& planes = *p;
    __m512i idx[S];
    Words a[S];
    Words b[S];
    for (unsigned s = 0; s < S; ++s) idx[s] = x[s].w[3];
    lookup<S>(planes, 0, idx, a);
    for (unsigned s = 0; s < S; ++s) idx[s] = x[s].w[2];
    lookup<S>(planes, 1, idx, b);
    for (unsigned s = 0; s < S; ++s) a[s] = add(a[s], b[s]);
    for (unsigned s = 0; s < S; ++s) idx[s] = x[s].w[1];
    lookup<S>(planes, 2, idx, b);
    for (unsigned s = 0; s < S; ++s) {
        for (unsigned k = 0; k < 4; ++k) a[s].w[k] = _mm512_xor_si512(a[s].w[k], b[s].w[k]);
    }
    for (unsigned s = 0; s < S; ++s) idx[s] = x[s].w[0];
    lookup<S>(planes, 3, idx, b);
    for (unsigned s = 0; s < S; ++s) {
        const Words f = add(a[s], b[s]);
        for (unsigned k = 0; k < 4; ++k) {
            const __m512i pk = _mm512_set1_epi32(static_cast<int>(planes.p[i][k]));
            h[s].w[k] = _mm512_ternarylogic_epi32(h[s].w[k], f.w[k], pk, 0x96);
        }
    }
}

[[CLSCRYPT_AVX512, gnu::always_inline]] inline void xor_p(Words& h, const BytePlanes& planes, unsigned i) noexcept {
    for (unsigned k = 0; k < 4; ++k) {
        h.w[k] = _mm512_xor_si512(h.w[k], _mm512_set1_epi32(static_cast<int>(planes.p[i][k])));
    }
}

// Deciphers the S * 512 bytes at `b` in place; `prev` holds in its top
// quadword the ciphertext block before them, and on return the last
// ciphertext block of these.
template <unsigned S>
[[CLSCRYPT_AVX512, gnu::always_inline]] inline void decrypt_batch(const BytePlanes& planes, std::uint8_t* b,
                                                                  __m512i& prev) noexcept {
    Words x[S];
    Words y[S];
    for (unsigned s = 0; s < S; ++s) {
        __m512i r[8];
        for (unsigned k = 0; k < 8; ++k) r[k] = _mm512_loadu_si512(b + 512 * s + 64 * k);
        swap_step(r, 0);
        swap_step(r, 1);
        swap_step(r, 2);
        // Left half: bytes 0..3 of the block, most significant first.
        x[s] = Words{{r[slice_of(3)], r[slice_of(2)], r[slice_of(1)], r[slice_of(0)]}};
        y[s] = Words{{r[slice_of(7)], r[slice_of(6)], r[slice_of(5)], r[slice_of(4)]}};
        // As the scalar decipher: P[17] first, then the rounds with the P
        // words from the top down.
        xor_p(x[s], planes, 17);
    }
    round<S>(planes, y, x, 16);
    for (unsigned i = 15; i >= 3; i -= 2) {
        round<S>(planes, x, y, i);
        round<S>(planes, y, x, i - 1);
    }
    round<S>(planes, x, y, 1);
    // Back to blocks, last set first: each block takes the ciphertext block
    // before it, and registers are written from the last down, so the
    // ciphertext each one needs is still in memory; the first block of all
    // takes it from `prev`.
    const __m512i last = _mm512_loadu_si512(b + 512 * S - 64);
    for (unsigned s = S; s-- > 0;) {
        xor_p(y[s], planes, 0);
        // Plaintext left half is y, right half x.
        __m512i r[8];
        for (unsigned k = 0; k < 4; ++k) {
            r[slice_of(3 - k)] = y[s].w[k];
            r[slice_of(7 - k)] = x[s].w[k];
        }
        swap_step(r, 2);
        swap_step(r, 1);
        swap_step(r, 0);
        std::uint8_t* const o = b + 512 * s;
        for (unsigned k = 7; k >= 1; --k) {
            _mm512_storeu_si512(o + 64 * k, _mm512_xor_si512(r[k], _mm512_loadu_si512(o + 64 * k - 8)));
        }
        // (The zero-masking forms here and below only keep GCC 12 from
        // warning about the undefined vector behind the plain ones.)
        const __m512i before =
            s == 0 ? _mm512_maskz_alignr_epi64(0xFF, _mm512_loadu_si512(o), prev, 7) : _mm512_loadu_si512(o - 8);
        _mm512_storeu_si512(o, _mm512_xor_si512(r[0], before));
    }
    prev = last;
}

}  // namespace

[[CLSCRYPT_AVX512]] void cbc_decrypt_avx512_vbmi(const BlowfishTables& t, const BytePlanes* planes, std::uint8_t* data,
                                                 std::size_t len, Chain& chain) noexcept {
    std::uint8_t* b = data;
    if (len >= kAvx512Batch) {
        // The chaining block as it sits in memory: both halves big-endian.
        const std::uint64_t in =
            std::uint64_t{__builtin_bswap32(chain.l)} | (std::uint64_t{__builtin_bswap32(chain.r)} << 32);
        __m512i prev = _mm512_set1_epi64(static_cast<long long>(in));
        for (; static_cast<std::size_t>(data + len - b) >= 2 * kAvx512Batch; b += 2 * kAvx512Batch) {
            decrypt_batch<2>(*planes, b, prev);
        }
        if (static_cast<std::size_t>(data + len - b) >= kAvx512Batch) {
            decrypt_batch<1>(*planes, b, prev);
            b += kAvx512Batch;
        }
        const auto out =
            static_cast<std::uint64_t>(_mm256_extract_epi64(_mm512_maskz_extracti64x4_epi64(0xF, prev, 1), 3));
        chain = {__builtin_bswap32(static_cast<std::uint32_t>(out)),
                 __builtin_bswap32(static_cast<std::uint32_t>(out >> 32))};
    }
    CLSCRYPT_SCALAR_DECRYPT(t, planes, b, static_cast<std::size_t>(data + len - b), chain);
}

// Encryption of many messages: 64 chains, each lane of the byte slices one
// message's chain. A step enciphers one block of every lane: the lanes'
// last ciphertext blocks sit side by side in a 512-byte buffer as in
// memory; each takes its message's next plaintext block (added with 64-bit
// scalar XORs, the messages being anywhere), the buffer is transposed and
// enciphered with the round function of decryption and the P words in
// encryption order, and transposed back; the buffer then holds the new
// ciphertext blocks, which are copied out to the messages and chain into
// the next step. A lane whose message ends stores its chain and takes the
// next message from the queue, as in the scalar lanes kernels; when none is
// left it runs on a scratch block, its work thrown away.
//
// 64 lanes because a register holds one byte of 64 blocks. A step costs the
// same whatever the number of lanes doing useful work, hence a floor. By
// count of instructions, its sixteen rounds read 16 planes of 256 bytes
// each (four 64-byte loads and two vpermi2b a plane), about 1,000 loads and
// 500 byte shuffles for the 64 blocks, so 8 to 12 cycles a block with every
// lane busy, where the 8-chain scalar kernel needs about 70 table loads a
// block, 35 to 40 cycles at two loads a cycle. Below about 16 busy lanes
// the scalar kernel is the cheaper: a batch of fewer than kAvx512Lanes
// messages goes to it whole (and never reads the planes), and the messages
// still in flight when a batch's queue has run dry and fewer than that
// remain are finished by it from where they stand.
namespace {

constexpr std::size_t kVectorLanes = 64;

// The 64 blocks at `blocks` (64 consecutive 8-byte blocks), enciphered in
// place.
[[CLSCRYPT_AVX512, gnu::always_inline]] inline void encrypt_step(const BytePlanes& planes,
                                                                 std::uint8_t* blocks) noexcept {
    __m512i r[8];
    for (unsigned k = 0; k < 8; ++k) r[k] = _mm512_loadu_si512(blocks + 64 * k);
    swap_step(r, 0);
    swap_step(r, 1);
    swap_step(r, 2);
    Words x[1] = {Words{{r[slice_of(3)], r[slice_of(2)], r[slice_of(1)], r[slice_of(0)]}}};
    Words y[1] = {Words{{r[slice_of(7)], r[slice_of(6)], r[slice_of(5)], r[slice_of(4)]}}};
    // As the scalar encipher: P[0] into the left half, then the rounds with
    // the P words from the bottom up, each round's word joining the half it
    // changes (P[16] the left half in the last); P[17] into the right half,
    // which becomes the ciphertext's left half.
    xor_p(x[0], planes, 0);
    for (unsigned i = 1; i <= 15; i += 2) {
        round<1>(planes, y, x, i);
        round<1>(planes, x, y, i + 1);
    }
    xor_p(y[0], planes, 17);
    // Ciphertext left half is y, right half x.
    for (unsigned k = 0; k < 4; ++k) {
        r[slice_of(3 - k)] = y[0].w[k];
        r[slice_of(7 - k)] = x[0].w[k];
    }
    swap_step(r, 2);
    swap_step(r, 1);
    swap_step(r, 0);
    for (unsigned k = 0; k < 8; ++k) _mm512_storeu_si512(blocks + 64 * k, r[k]);
}

struct VectorLanes {
    // Each lane's chaining block as it sits in memory (both halves
    // big-endian); during a step, that XORed with the plaintext block.
    alignas(64) std::uint8_t blocks[8 * kVectorLanes];
    std::uint8_t* pos[kVectorLanes];   // the lane's next block
    std::size_t stride[kVectorLanes];  // 8, or 0 on the scratch block
    std::size_t left[kVectorLanes];    // blocks still to encipher; SIZE_MAX when idle
    CbcLane* lane[kVectorLanes];       // the message, or null when idle
    std::uint8_t scratch[8] = {};
    CbcLane* next;
    CbcLane* last;

    // The next message with blocks to encipher, or null; empty ones keep
    // their chain as it is.
    [[CLSCRYPT_AVX512]] CbcLane* take() noexcept {
        while (next != last && next->len == 0) ++next;
        return next == last ? nullptr : next++;
    }

    // Puts `m` in lane `i`, or the scratch block when `m` is null.
    [[CLSCRYPT_AVX512]] void start(std::size_t i, CbcLane* m) noexcept {
        lane[i] = m;
        if (m == nullptr) {
            // A defined block to encipher: the lane may never have held a
            // message, and the stack bytes here are left over from anything.
            std::memset(blocks + 8 * i, 0, 8);
            pos[i] = scratch;
            stride[i] = 0;
            left[i] = SIZE_MAX;
            return;
        }
        pos[i] = m->data;
        stride[i] = 8;
        left[i] = m->len / 8;
        const std::uint64_t in =
            std::uint64_t{__builtin_bswap32(m->chain.l)} | (std::uint64_t{__builtin_bswap32(m->chain.r)} << 32);
        std::memcpy(blocks + 8 * i, &in, 8);
    }

    [[CLSCRYPT_AVX512]] Chain chain(std::size_t i) const noexcept {
        std::uint64_t out;
        std::memcpy(&out, blocks + 8 * i, 8);
        return {__builtin_bswap32(static_cast<std::uint32_t>(out)),
                __builtin_bswap32(static_cast<std::uint32_t>(out >> 32))};
    }
};

}  // namespace

[[CLSCRYPT_AVX512]] void cbc_encrypt_lanes_avx512_vbmi(const BlowfishTables& t, const BytePlanes* planes,
                                                       CbcLane* lanes, std::size_t count) noexcept {
    std::size_t busy = 0;
    for (std::size_t i = 0; i < count && busy < kAvx512Lanes; ++i) busy += lanes[i].len != 0 ? 1 : 0;
    if (busy < kAvx512Lanes) {
        CLSCRYPT_SCALAR_LANES(t, nullptr, lanes, count);
        return;
    }
    VectorLanes v;
    v.next = lanes;
    v.last = lanes + count;
    std::size_t live = 0;
    for (std::size_t i = 0; i < kVectorLanes; ++i) {
        CbcLane* m = v.take();
        v.start(i, m);
        live += m != nullptr ? 1 : 0;
    }
    while (live >= kAvx512Lanes) {
        // Steps up to the next message's end, with no lane to look at
        // between them.
        std::size_t run = SIZE_MAX;
        for (std::size_t i = 0; i < kVectorLanes; ++i) run = v.left[i] < run ? v.left[i] : run;
        for (std::size_t n = 0; n < run; ++n) {
            for (std::size_t i = 0; i < kVectorLanes; ++i) {
                std::uint64_t c;
                std::uint64_t p;
                std::memcpy(&c, v.blocks + 8 * i, 8);
                std::memcpy(&p, v.pos[i], 8);
                c ^= p;
                std::memcpy(v.blocks + 8 * i, &c, 8);
            }
            encrypt_step(*planes, v.blocks);
            for (std::size_t i = 0; i < kVectorLanes; ++i) {
                std::memcpy(v.pos[i], v.blocks + 8 * i, 8);
                v.pos[i] += v.stride[i];
            }
        }
        for (std::size_t i = 0; i < kVectorLanes; ++i) {
            if (v.lane[i] == nullptr) continue;
            v.left[i] -= run;
            if (v.left[i] != 0) continue;
            v.lane[i]->chain = v.chain(i);
            CbcLane* m = v.take();
            v.start(i, m);
            live -= m == nullptr ? 1 : 0;
        }
    }
    // The queue is empty and few messages are left: the scalar kernel takes
    // them from where they stand.
    CbcLane rest[kAvx512Lanes];
    std::size_t n = 0;
    for (std::size_t i = 0; i < kVectorLanes; ++i) {
        if (v.lane[i] != nullptr) rest[n++] = {v.pos[i], 8 * v.left[i], v.chain(i)};
    }
    CLSCRYPT_SCALAR_LANES(t, nullptr, rest, n);
    n = 0;
    for (std::size_t i = 0; i < kVectorLanes; ++i) {
        if (v.lane[i] != nullptr) v.lane[i]->chain = rest[n++].chain;
    }
}

#undef CLSCRYPT_AVX512
#undef CLSCRYPT_SCALAR_DECRYPT
#undef CLSCRYPT_SCALAR_LANES

#if defined(CLSCRYPT_AVX512_EMULATED)
}  // namespace emulated
#endif

}  // namespace clscrypt::detail

#endif
