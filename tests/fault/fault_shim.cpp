// Preloaded into the fault-injection program's children (LD_PRELOAD): every
// write and read moves at most 4093 bytes, and every third call fails with
// EINTR before moving anything. The file operations must still produce
// exactly the right files: short transfers and interruptions are normal
// results of both calls, not failures.

#include <errno.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>

namespace {

constexpr std::size_t kMost = 4093;
std::atomic<unsigned> calls{0};

bool interrupt() {
    return ++calls % 3 == 0;
}

}  // namespace

// How many calls the shim has seen: the program checks it is really loaded.
extern "C" unsigned clscrypt_fault_shim_calls() {
    return calls.load();
}

extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
    // Standard error stays whole, so messages are readable.
    if (fd != 2 && size > 0) {
        if (interrupt()) {
            errno = EINTR;
            return -1;
        }
        size = std::min(size, kMost);
    }
    return ::syscall(SYS_write, fd, data, size);
}

extern "C" ssize_t read(int fd, void* data, std::size_t size) {
    if (size > 0) {
        if (interrupt()) {
            errno = EINTR;
            return -1;
        }
        size = std::min(size, kMost);
    }
    return ::syscall(SYS_read, fd, data, size);
}
