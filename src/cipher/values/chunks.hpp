#pragma once

// How a batch of values is cut into work: chunks of values whose block work
// is one kernel call, and, inside one long value, strides between which the
// calling thread's cancellation check is asked.

#include <cstddef>
#include <span>
#include <string_view>

#include "common/cancel.hpp"

namespace clscrypt::detail {

/// Values are converted in chunks of about this many bytes of stored text:
/// enough values for the kernels to run side by side, few enough that the
/// working buffer stays in the caches. A value longer than this is a chunk
/// of its own.
inline constexpr std::size_t kChunkBytes = std::size_t{64} << 10;

/// A ciphertext at least this long has its descriptor checked under the
/// first candidate before the chunk is deciphered, so that a long message
/// of another candidate is not deciphered in vain.
inline constexpr std::size_t kHeadCheckFrom = 4096;

/// Room a plaintext needs beyond its own bytes once laid out: the header
/// and the most fill.
inline constexpr std::size_t kLayoutOverhead = 20;

/// The end of the chunk that starts at value `first`, and in `bound` the
/// working buffer it needs: `extra` bytes a value beyond its stored text (a
/// value that cannot be converted at all takes none; with `bytes_form`, one
/// longer than the format allows cannot).
std::size_t chunk_end(std::span<const std::string_view> in, std::size_t first, std::size_t extra, bool bytes_form,
                      std::size_t& bound) noexcept;

/// Runs `pass(from, count)` over `len` bytes. With a cancellation check
/// installed, a stride (a mebibyte, a multiple of the block size) at a
/// time, the check asked between strides: only a value longer than a chunk
/// has more than one. Otherwise in one call, which a long decryption run
/// may share out between threads.
template <typename Pass>
void in_strides(std::size_t len, Pass&& pass) {
    if (common::cancel_hook().check == nullptr || len <= common::kCancelStride) {
        pass(std::size_t{0}, len);
        return;
    }
    for (std::size_t at = 0; at < len; at += common::kCancelStride) {
        if (at != 0) common::check_cancelled();
        pass(at, len - at < common::kCancelStride ? len - at : common::kCancelStride);
    }
}

/// Between the passes over a chunk (reading, the block work, writing): a
/// look at the cancellation check when the chunk is longer than a stride,
/// so that each pass over one long value ends with one.
inline void check_between_passes(std::size_t chunk_bytes) {
    if (chunk_bytes > common::kCancelStride) common::check_cancelled();
}

}  // namespace clscrypt::detail
