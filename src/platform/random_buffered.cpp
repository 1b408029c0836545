// The per-thread reserve of random bytes in front of the system's source,
// the same on every system: only the source and the fork count differ.

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/process.hpp"
#include "platform/random.hpp"
#include "platform/wipe.hpp"

namespace clscrypt::platform {

namespace {

// Not a WipedBytes: a fixed array per thread, wiped piece by piece as it is
// handed out, with no heap block to allocate.
struct Reserve {
    std::array<std::uint8_t, 512> bytes{};
    std::size_t used = sizeof bytes;  // empty until the first draw
    std::uint64_t generation = 0;

    Reserve() = default;
    Reserve(const Reserve&) = delete;
    Reserve& operator=(const Reserve&) = delete;
    ~Reserve() { secure_wipe(bytes.data(), bytes.size()); }
};

}  // namespace

void system_random_buffered(std::span<std::uint8_t> out) {
    thread_local Reserve reserve;
    const std::uint64_t generation = fork_generation();
    if (reserve.generation != generation) {
        secure_wipe(reserve.bytes.data(), reserve.bytes.size());
        reserve.used = reserve.bytes.size();
        reserve.generation = generation;
    }
    for (std::size_t done = 0; done < out.size();) {
        if (reserve.used == reserve.bytes.size()) {
            system_random(reserve.bytes);  // leaves the reserve empty if it throws
            reserve.used = 0;
        }
        const std::size_t take = std::min(out.size() - done, reserve.bytes.size() - reserve.used);
        std::memcpy(out.data() + done, reserve.bytes.data() + reserve.used, take);
        secure_wipe(reserve.bytes.data() + reserve.used, take);
        reserve.used += take;
        done += take;
    }
}

}  // namespace clscrypt::platform
