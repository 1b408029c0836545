#include "cipher/blowfish.hpp"

#include "cipher/kernels/dispatch.hpp"
#include "cipher/pi_words.hpp"

namespace clscrypt::detail {

void initial_tables(BlowfishTables& t, SboxArrangement arrangement) noexcept {
    for (std::size_t i = 0; i < 18; ++i) {
        t.p[i] = kPiWords[i];
    }
    const std::uint32_t* sbox_words = kPiWords.data() + 18;
    for (std::size_t box = 0; box < 4; ++box) {
        for (std::size_t entry = 0; entry < 256; ++entry) {
            t.s[box][entry] =
                arrangement == SboxArrangement::Legacy ? sbox_words[entry * 4 + box] : sbox_words[box * 256 + entry];
        }
    }
}

void pack_key(std::span<const std::uint8_t> key, KeyPacking packing, std::uint32_t (&words)[18]) noexcept {
    // The cursor runs on from word to word, wrapping at the key's end, so
    // exactly 72 key byte positions are consumed whatever the key's length.
    std::size_t p = 0;
    for (auto& word : words) {
        std::uint32_t w = 0;
        for (int k = 0; k < 4; ++k) {
            const std::uint32_t b = key[p];
            // The legacy packing moved bytes 2..0 up one place while byte 0
            // kept its value, then or-ed the key byte in: byte 0 accumulates.
            w = packing == KeyPacking::AccumulatingOr ? ((w << 8) | (w & 0xFF) | b) : ((w << 8) | b);
            p = (p + 1 < key.size()) ? p + 1 : 0;
        }
        word = w;
    }
}

void mix_key(BlowfishTables& t, std::span<const std::uint8_t> key, KeyPacking packing) noexcept {
    std::uint32_t words[18];
    pack_key(key, packing, words);
    for (std::size_t i = 0; i < 18; ++i) {
        t.p[i] ^= words[i];
    }
    // The packed words are key material.
    for (auto& w : words) {
        static_cast<volatile std::uint32_t&>(w) = 0;
    }
    cbc_backend().fill_tables(t);
}

}  // namespace clscrypt::detail
