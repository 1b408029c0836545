// The SHA-256 compression function in portable C++, written as the standard
// states it: a 16-word rolling message schedule W, the working variables a..h
// and the temporaries T1 and T2. Bytes and text differ only in how a block's
// sixteen words are read.

#include "common/byte_order.hpp"
#include "digest/kernels/constants.hpp"
#include "digest/kernels/dispatch.hpp"
#include "digest/kernels/word_ops.hpp"

namespace clscrypt::detail {

using common::load_be32;

namespace {

// The word of four characters' low bytes, the first most significant.
std::uint32_t load_text_be32(const char16_t* p) noexcept {
    return ShiftLeft(p[0] & 0xFFU, 24) | ShiftLeft(p[1] & 0xFFU, 16) | ShiftLeft(p[2] & 0xFFU, 8) | (p[3] & 0xFFU);
}

// One block whose words W[0..15] are read; W becomes the rolling schedule.
[[gnu::always_inline]] inline void compress_block(std::uint32_t state[8], std::uint32_t W[16]) noexcept {
    std::uint32_t a = state[0];
    std::uint32_t b = state[1];
    std::uint32_t c = state[2];
    std::uint32_t d = state[3];
    std::uint32_t e = state[4];
    std::uint32_t f = state[5];
    std::uint32_t g = state[6];
    std::uint32_t h = state[7];

    for (unsigned t = 0; t < 64; ++t) {
        // W[t] for t >= 16 replaces W[t - 16] in the rolling window.
        if (t >= 16) {
            W[t & 15] = AddWords(AddWords(SmallSigma1(W[(t - 2) & 15]), W[(t - 7) & 15]),
                                 AddWords(SmallSigma0(W[(t - 15) & 15]), W[t & 15]));
        }
        const std::uint32_t T1 =
            AddWords(AddWords(AddWords(h, BigSigma1(e)), AddWords(Choose(e, f, g), kSha256K[t])), W[t & 15]);
        const std::uint32_t T2 = AddWords(BigSigma0(a), Majority(a, b, c));
        h = g;
        g = f;
        f = e;
        e = AddWords(d, T1);
        d = c;
        c = b;
        b = a;
        a = AddWords(T1, T2);
    }

    state[0] = AddWords(state[0], a);
    state[1] = AddWords(state[1], b);
    state[2] = AddWords(state[2], c);
    state[3] = AddWords(state[3], d);
    state[4] = AddWords(state[4], e);
    state[5] = AddWords(state[5], f);
    state[6] = AddWords(state[6], g);
    state[7] = AddWords(state[7], h);
}

}  // namespace

void sha256_compress_portable(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t nblocks) noexcept {
    for (; nblocks > 0; --nblocks, blocks += 64) {
        std::uint32_t W[16];
        for (unsigned t = 0; t < 16; ++t) W[t] = load_be32(blocks + 4 * t);
        compress_block(state, W);
    }
}

void sha256_compress_text_portable(std::uint32_t state[8], const char16_t* text, std::size_t nblocks) noexcept {
    for (; nblocks > 0; --nblocks, text += kSha256TextBlock) {
        std::uint32_t W[16];
        for (unsigned t = 0; t < 16; ++t) W[t] = load_text_be32(text + 4 * t);
        compress_block(state, W);
    }
}

}  // namespace clscrypt::detail
