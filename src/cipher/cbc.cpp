#include "cipher/cbc.hpp"

namespace clscrypt::detail {

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
    std::uint32_t prev_l = chain.l;
    std::uint32_t prev_r = chain.r;
    // Blocks are independent here, so decipher two at a time: their round
    // chains interleave and hide each other's load latency.
    std::uint8_t* p = data;
    for (; len - static_cast<std::size_t>(p - data) >= 16; p += 16) {
        const std::uint32_t c0l = load_be32(p);
        const std::uint32_t c0r = load_be32(p + 4);
        const std::uint32_t c1l = load_be32(p + 8);
        const std::uint32_t c1r = load_be32(p + 12);
        std::uint32_t l0 = c0l, r0 = c0r, l1 = c1l, r1 = c1r;
        decipher(t, l0, r0);
        decipher(t, l1, r1);
        store_be32(p, l0 ^ prev_l);
        store_be32(p + 4, r0 ^ prev_r);
        store_be32(p + 8, l1 ^ c0l);
        store_be32(p + 12, r1 ^ c0r);
        prev_l = c1l;
        prev_r = c1r;
    }
    if (p != data + len) {
        const std::uint32_t cl = load_be32(p);
        const std::uint32_t cr = load_be32(p + 4);
        std::uint32_t l = cl, r = cr;
        decipher(t, l, r);
        store_be32(p, l ^ prev_l);
        store_be32(p + 4, r ^ prev_r);
        prev_l = cl;
        prev_r = cr;
    }
    chain = {prev_l, prev_r};
}

}  // namespace clscrypt::detail
