#include "cipher/cbc.hpp"

#include "cipher/cbc_kernels.hpp"

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
    cbc_decrypt_interleaved<8>(t, data, len, chain);
}

void cbc_decrypt_portable(const BlowfishTables& t, const BytePlanes* /*planes*/, std::uint8_t* data, std::size_t len,
                          Chain& chain) noexcept {
    cbc_decrypt(t, data, len, chain);
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
