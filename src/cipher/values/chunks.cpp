// Chunk planning for batches of values.

#include "cipher/values/chunks.hpp"

#include "cipher/layout.hpp"

namespace clscrypt::detail {

std::size_t chunk_end(std::span<const std::string_view> in, std::size_t first, std::size_t extra, bool bytes_form,
                      std::size_t& bound) noexcept {
    bound = 0;
    std::size_t last = first;
    do {
        const std::size_t size = in[last].size();
        if (!(bytes_form && size > kMaxLength)) bound += size + extra;
        ++last;
    } while (last < in.size() && bound + in[last].size() + extra <= kChunkBytes);
    return last;
}

}  // namespace clscrypt::detail
