#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace clscrypt::platform {

/// Overwrites `size` bytes with zeros in a way the compiler may not drop.
void secure_wipe(void* data, std::size_t size) noexcept;

/// Zeroes the vector registers that code may leave data in. Copying or
/// comparing key text goes through them (memcpy, memcmp), and what stays
/// there reaches memory later: the lazy binder saves every register to the
/// stack on a library function's first call, and so does a signal frame.
/// Called after key set-up. Does nothing where the calling convention makes
/// some of them callee-saved (the compiler would spill them to clear them).
void clear_vector_registers() noexcept;

/// A byte buffer for secrets that wipes its whole capacity when it goes, so
/// bytes a longer, earlier content left past the current size go too. The
/// vector is open to code that needs one (the byte-array calls take a
/// vector); whoever grows it while it holds a secret wipes the old block, as
/// those calls do.
struct WipedBytes {
    std::vector<std::uint8_t> bytes;

    WipedBytes() = default;
    explicit WipedBytes(std::size_t size) : bytes(size) {}
    WipedBytes(const WipedBytes&) = delete;
    WipedBytes& operator=(const WipedBytes&) = delete;
    ~WipedBytes() {
        bytes.resize(bytes.capacity());  // within capacity: no allocation
        secure_wipe(bytes.data(), bytes.size());
    }

    std::uint8_t* data() noexcept { return bytes.data(); }
    std::size_t size() const noexcept { return bytes.size(); }
};

}  // namespace clscrypt::platform
