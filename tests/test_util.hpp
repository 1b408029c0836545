#pragma once

// Builds under a sanitizer: memory figures there include its shadow memory
// and quarantine, so tests leave out their memory bounds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CLSCRYPT_TESTS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define CLSCRYPT_TESTS_SANITIZED 1
#endif
#endif

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "clscrypt/error.hpp"

namespace clscrypt::test {

inline std::vector<std::uint8_t> from_hex(std::string_view hex) {
    std::vector<std::uint8_t> out;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    int hi = -1;
    for (const char c : hex) {
        const int v = nibble(c);
        if (v < 0) continue;  // spaces between bytes
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(hi * 16 + v));
            hi = -1;
        }
    }
    return out;
}

inline std::string to_hex(const std::vector<std::uint8_t>& bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    for (const auto b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

/// A generator whose seed is printed, so a failure can be replayed with
/// CLSCRYPT_TEST_SEED.
inline std::mt19937_64& rng() {
    static std::mt19937_64 gen = [] {
        std::uint64_t seed = std::random_device{}();
        if (const char* env = std::getenv("CLSCRYPT_TEST_SEED")) seed = std::stoull(env);
        std::printf("[ random seed %llu (set CLSCRYPT_TEST_SEED to replay) ]\n", static_cast<unsigned long long>(seed));
        return std::mt19937_64(seed);
    }();
    return gen;
}

inline std::vector<std::uint8_t> random_bytes(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (auto& b : v) b = static_cast<std::uint8_t>(rng()());
    return v;
}

/// Runs `f` and returns the number of the RuntimeError it raised; fails the
/// test if it raised nothing.
template <typename F>
std::int32_t error_number(F&& f) {
    try {
        f();
    } catch (const RuntimeError& e) {
        return e.Number();
    }
    ADD_FAILURE() << "no RuntimeError raised";
    return 0;
}

}  // namespace clscrypt::test
