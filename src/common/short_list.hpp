#pragma once

// A list of at most N values held in place, filled once: the kernel
// dispatchers list the kernels a processor can run with it, without a heap.

#include <array>
#include <cstddef>

namespace clscrypt::common {

template <typename T, std::size_t N>
struct ShortList {
    std::array<T, N> items{};
    std::size_t count = 0;

    void add(T value) noexcept { items.at(count++) = value; }
};

}  // namespace clscrypt::common
