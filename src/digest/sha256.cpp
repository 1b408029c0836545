// The streaming hasher: whole blocks go straight from the caller's memory to
// the kernel; only a partial block is copied into the instance's buffer.

#include <cstring>

#include "clscrypt/digest.hpp"
#include "common/byte_order.hpp"
#include "common/hex.hpp"
#include "digest/kernels/constants.hpp"
#include "digest/kernels/dispatch.hpp"
#include "platform/wipe.hpp"

namespace clscrypt {

using common::store_be32;

Sha256::Sha256() noexcept : state_(detail::kSha256H0) {}

Sha256::~Sha256() {
    platform::secure_wipe(state_.data(), sizeof state_);
    platform::secure_wipe(buffer_.data(), sizeof buffer_);
}

void Sha256::Reset() noexcept {
    platform::secure_wipe(buffer_.data(), buffer_.size());
    state_ = detail::kSha256H0;
    buffered_ = 0;
    length_ = 0;
}

void Sha256::Update(std::span<const std::uint8_t> data) noexcept {
    if (data.empty()) return;
    const std::uint8_t* p = data.data();
    std::size_t n = data.size();
    length_ += n;

    if (buffered_ > 0) {
        const std::size_t take = std::min(BlockSize - buffered_, n);
        std::memcpy(buffer_.data() + buffered_, p, take);
        buffered_ += take;
        p += take;
        n -= take;
        if (buffered_ < BlockSize) return;
        detail::sha256_compress(state_.data(), buffer_.data(), 1);
        buffered_ = 0;
    }
    if (const std::size_t blocks = n / BlockSize; blocks > 0) {
        detail::sha256_compress(state_.data(), p, blocks);
        p += blocks * BlockSize;
        n -= blocks * BlockSize;
    }
    if (n > 0) {
        std::memcpy(buffer_.data(), p, n);
        buffered_ = n;
    }
}

void Sha256::Update(std::span<const std::byte> data) noexcept {
    Update(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
}

Sha256::Digest Sha256::Final() noexcept {
    // Padding: a one bit, zeros up to 8 bytes short of a block boundary, then
    // the message length in bits as a 64-bit big-endian number. When the one
    // bit leaves fewer than 8 bytes in this block, the length goes in an
    // extra block.
    const std::uint64_t bits = length_ << 3;
    buffer_[buffered_++] = 0x80;
    if (buffered_ > BlockSize - 8) {
        std::memset(buffer_.data() + buffered_, 0, BlockSize - buffered_);
        detail::sha256_compress(state_.data(), buffer_.data(), 1);
        buffered_ = 0;
    }
    std::memset(buffer_.data() + buffered_, 0, BlockSize - 8 - buffered_);
    store_be32(buffer_.data() + 56, static_cast<std::uint32_t>(bits >> 32));
    store_be32(buffer_.data() + 60, static_cast<std::uint32_t>(bits));
    detail::sha256_compress(state_.data(), buffer_.data(), 1);

    Digest digest;
    for (std::size_t i = 0; i < 8; ++i) store_be32(digest.data() + 4 * i, state_[i]);
    Reset();
    return digest;
}

Sha256::Digest Sha256::Hash(std::span<const std::uint8_t> data) noexcept {
    Sha256 hash;
    hash.Update(data);
    return hash.Final();
}

Sha256::Digest Sha256::Hash(std::span<const std::byte> data) noexcept {
    Sha256 hash;
    hash.Update(data);
    return hash.Final();
}

std::string ToHex(const Sha256::Digest& digest) {
    std::string hex(2 * digest.size(), '\0');
    common::encode_hex(digest.data(), digest.size(), hex.data(), common::HexCase::Lower);
    return hex;
}

}  // namespace clscrypt
