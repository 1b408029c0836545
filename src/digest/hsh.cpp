// The legacy text hash. The text is narrowed to its low bytes a chunk at a
// time into a small buffer on the stack and the chunk goes to the hasher, so
// memory stays the same whatever the text's length and no padded copy of the
// message is ever built. A chunk is a whole number of blocks: the hasher
// compresses it in place and only the text's last partial block is copied.
//
// Short texts (passwords, names: the usual use) skip all that: the text and
// its padding are laid out in one or two blocks on the stack and compressed
// in one call, and the digest is written as hexadecimal straight from the
// chaining words. The returned string is the only allocation.

#include <algorithm>
#include <array>
#include <cstring>

#include "clscrypt/digest.hpp"
#include "common/byte_order.hpp"
#include "common/hex.hpp"
#include "digest/kernels/constants.hpp"
#include "digest/kernels/dispatch.hpp"
#include "digest/narrow.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace {

constexpr std::size_t kChunkBlocks = 32;
constexpr std::size_t kChunk = kChunkBlocks * Sha256::BlockSize;
constexpr std::size_t kCharsPerLine = 64 / sizeof(char16_t);  // a 64-byte cache line
// The longest text whose padding (a one bit and the 8-byte length) still
// fits two blocks.
constexpr std::size_t kShortText = 2 * Sha256::BlockSize - 9;

std::string short_text_digest(std::u16string_view text) {
    struct Work {
        alignas(64) std::uint8_t block[2 * Sha256::BlockSize];
        std::array<std::uint32_t, 8> state;
    } w;
    const std::size_t n = text.size();
    const std::size_t length = n + 9 <= Sha256::BlockSize ? Sha256::BlockSize : 2 * Sha256::BlockSize;
    detail::narrow_low_bytes(text.data(), n, w.block);
    w.block[n] = 0x80;
    std::memset(w.block + n + 1, 0, length - 8 - (n + 1));
    const std::uint64_t bits = static_cast<std::uint64_t>(n) * 8;
    for (std::size_t i = 0; i < 8; ++i) w.block[length - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    w.state = detail::kSha256H0;
    detail::sha256_compress(w.state.data(), w.block, length / Sha256::BlockSize);

    // The digest is the chaining words, most significant byte first; the
    // block is no longer needed and holds them on their way to the digits.
    for (std::size_t i = 0; i < 8; ++i) common::store_be32(w.block + 4 * i, w.state[i]);
    std::string hex(2 * Sha256::DigestSize, '\0');
    common::encode_hex(w.block, Sha256::DigestSize, hex.data(), common::HexCase::Lower);
    platform::secure_wipe(&w, sizeof w);
    return hex;
}

}  // namespace

std::string clsHsh::SHA256(std::u16string_view sMessage) const {
    if (sMessage.size() <= kShortText) return short_text_digest(sMessage);
    Sha256 hash;
    alignas(64) std::uint8_t bytes[kChunk];
    for (std::size_t at = 0; at < sMessage.size(); at += kChunk) {
        const std::size_t count = std::min(kChunk, sMessage.size() - at);
        detail::narrow_low_bytes(sMessage.data() + at, count, bytes);
        // Ask for the next chunk's text now, so that it arrives while this
        // chunk is being compressed: a long text is read from memory once,
        // and narrowing would otherwise wait for it.
        const char16_t* next = sMessage.data() + at + count;
        const std::size_t ahead = std::min(kChunk, sMessage.size() - at - count);
        for (std::size_t i = 0; i < ahead; i += kCharsPerLine) __builtin_prefetch(next + i);
        hash.Update(std::span<const std::uint8_t>(bytes, count));
    }
    platform::secure_wipe(bytes, std::min(kChunk, sMessage.size()));
    return ToHex(hash.Final());
}

}  // namespace clscrypt
