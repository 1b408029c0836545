// The legacy text hash. The text is narrowed to its low bytes a chunk at a
// time into a small buffer on the stack and the chunk goes to the hasher, so
// memory stays the same whatever the text's length and no padded copy of the
// message is ever built. A chunk is a whole number of blocks: the hasher
// compresses it in place and only the text's last partial block is copied.

#include <algorithm>

#include "clscrypt/digest.hpp"
#include "digest/narrow.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

namespace {

constexpr std::size_t kChunkBlocks = 32;
constexpr std::size_t kChunk = kChunkBlocks * Sha256::BlockSize;
constexpr std::size_t kCharsPerLine = 64 / sizeof(char16_t);  // a 64-byte cache line

}  // namespace

std::string clsHsh::SHA256(std::u16string_view sMessage) const {
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
