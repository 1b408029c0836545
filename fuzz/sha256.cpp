// SHA-256 against OpenSSL: the message fed to a streaming hasher in pieces
// cut at arbitrary points, on every compression kernel the processor can
// run, and through the text digest (one character per byte).
//
// Input: number of cuts, the cuts (16 bits each), the message.

#define CLSCRYPT_FUZZ_MAX_INPUT 16384
#include "harness.hpp"

#include <openssl/sha.h>

#include "clscrypt/clscrypt.hpp"
#include "digest/kernels/dispatch.hpp"

using clscrypt::fuzz::Bytes;

void fuzz_one(clscrypt::fuzz::Input& in) {
    std::vector<std::size_t> cuts(in.byte() % 9);
    for (auto& cut : cuts) cut = in.u16();
    const Bytes message = in.rest();
    for (auto& cut : cuts) cut = message.empty() ? 0 : cut % (message.size() + 1);
    std::sort(cuts.begin(), cuts.end());
    cuts.push_back(message.size());

    clscrypt::Sha256::Digest expected;
    SHA256(message.data(), message.size(), expected.data());

    std::u16string text;
    for (const auto b : message) text.push_back(static_cast<char16_t>(0xAB00 | b));

    for (const auto& backend : clscrypt::detail::sha256_backends()) {
        const clscrypt::detail::ScopedSha256Backend forced(backend);
        clscrypt::Sha256 hash;
        std::size_t at = 0;
        for (const std::size_t cut : cuts) {
            hash.Update(std::span(message).subspan(at, cut - at));
            at = cut;
        }
        FUZZ_CHECK(hash.Final() == expected);
        FUZZ_CHECK(clscrypt::Sha256::Hash(message) == expected);
        FUZZ_CHECK(clscrypt::clsHsh().SHA256(text) == clscrypt::ToHex(expected));
    }
}

std::vector<Bytes> fuzz_seeds() {
    std::vector<Bytes> seeds;
    for (const std::size_t n : {0, 1, 55, 56, 63, 64, 65, 119, 120, 1000}) {
        Bytes b{2, static_cast<std::uint8_t>(n / 3), 0, static_cast<std::uint8_t>(n / 2), 0};
        for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(i));
        seeds.push_back(b);
    }
    return seeds;
}
