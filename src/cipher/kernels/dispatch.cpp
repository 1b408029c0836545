// Choosing the CBC backend: once, on first use, from the processor's
// features; later calls cost one atomic load.

#include <array>
#include <atomic>

#include "cipher/kernels/dispatch.hpp"
#include "common/short_list.hpp"
#include "platform/cpu_features.hpp"

namespace clscrypt::detail {

namespace {

using BackendList = common::ShortList<CbcBackend, 3>;

BackendList available_backends() noexcept {
    BackendList list;
    list.add(
        {"portable", &cbc_encrypt, &cbc_decrypt_portable, &fill_tables_portable, &cbc_encrypt_lanes_portable, 0, 0});
#if CLSCRYPT_CBC_WASM
    list.add({"wasm", &cbc_encrypt, &cbc_decrypt_wasm, &fill_tables_portable, &cbc_encrypt_lanes_portable, 0, 0});
#endif
#if CLSCRYPT_CBC_X86
    const auto& cpu = platform::cpu_features();
    if (cpu.x86_bmi2)
        list.add({"x86-bmi2", &cbc_encrypt_bmi2, &cbc_decrypt_bmi2, &fill_tables_bmi2, &cbc_encrypt_lanes_bmi2, 0, 0});
    if (cpu.x86_bmi2 && cpu.x86_avx512_vbmi) {
        list.add({"avx512-vbmi", &cbc_encrypt_bmi2, &cbc_decrypt_avx512_vbmi, &fill_tables_bmi2,
                  &cbc_encrypt_lanes_avx512_vbmi, kAvx512Batch, kAvx512Lanes});
    }
#endif
    return list;
}

std::atomic<const CbcBackend*> g_backend{nullptr};

}  // namespace

std::span<const CbcBackend> cbc_backends() noexcept {
    static const BackendList list = available_backends();
    return {list.items.data(), list.count};
}

const CbcBackend& cbc_backend() noexcept {
    const CbcBackend* b = g_backend.load(std::memory_order_acquire);
    if (b == nullptr) {
        // Threads racing here all pick the same backend; one forced by
        // ScopedCbcBackend meanwhile is left in place.
        const CbcBackend* expected = nullptr;
        g_backend.compare_exchange_strong(expected, &cbc_backends().back(), std::memory_order_acq_rel);
        b = g_backend.load(std::memory_order_acquire);
    }
    return *b;
}

ScopedCbcBackend::ScopedCbcBackend(const CbcBackend& backend) noexcept
    : previous_(g_backend.exchange(&backend, std::memory_order_acq_rel)) {}

ScopedCbcBackend::~ScopedCbcBackend() {
    g_backend.store(previous_, std::memory_order_release);
}

}  // namespace clscrypt::detail
