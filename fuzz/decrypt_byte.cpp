// DecryptByte on arbitrary bytes under an arbitrary key. It either succeeds
// or raises one of its two documented errors (9 for a length that is not
// whole blocks of at least 16 bytes, the class's descriptor error otherwise);
// a failure leaves the array and the listeners untouched; a success gives
// exactly what a plain CBC decipherment of a copy gives, and re-enciphering
// with the same header words gives the input back.
//
// Input: flags, key length, key bytes, ciphertext.

#define CLSCRYPT_FUZZ_MAX_INPUT 4096
#include "harness.hpp"

#include "cipher/instance_access.hpp"
#include "cipher/kernels/portable.hpp"
#include "cipher/layout.hpp"
#include "clscrypt/clscrypt.hpp"

using clscrypt::RuntimeError;
using clscrypt::fuzz::Bytes;
namespace detail = clscrypt::detail;

namespace {

std::uint32_t le32(const std::uint8_t* p) {
    return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

Bytes input_of(std::uint8_t flags, const std::string& key, const Bytes& cipher) {
    Bytes out{flags, static_cast<std::uint8_t>(key.size())};
    out.insert(out.end(), key.begin(), key.end());
    out.insert(out.end(), cipher.begin(), cipher.end());
    return out;
}

}  // namespace

void fuzz_one(clscrypt::fuzz::Input& in) {
    const std::uint8_t flags = in.byte();
    const Bytes key = in.bytes(in.byte() % 80);
    Bytes data = in.rest();

    clscrypt::clsToString c;
    // Windows-1252 maps every byte to a character and back.
    if (!key.empty()) c.Key(c.GetCodePage().Decode(key));
    int events = 0;
    std::int32_t last = -1;
    std::size_t token = 0;
    if (flags & 1) {
        token = c.Progress.Subscribe([&](std::int32_t& p) {
            FUZZ_CHECK(p >= last && p <= 100);
            last = p;
            ++events;
        });
    }
    const Bytes before = data;
    try {
        c.DecryptByte(data);
    } catch (const RuntimeError& e) {
        const bool bad_length = !detail::valid_cipher_length(before.size());
        FUZZ_CHECK(e.Number() == (bad_length ? RuntimeError::SubscriptOutOfRange : RuntimeError::ClassError));
        FUZZ_CHECK(e.Kind() == clscrypt::ErrorKind::WrongKeyOrDamaged);
        FUZZ_CHECK(data == before);
        FUZZ_CHECK(events == 0);
        return;
    }
    FUZZ_CHECK(detail::valid_cipher_length(before.size()));
    Bytes plain = before;
    detail::Chain chain;
    detail::cbc_decrypt(detail::InstanceAccess::tables(c), plain.data(), plain.size(), chain);
    const auto s = static_cast<std::int32_t>(le32(plain.data() + 8));
    FUZZ_CHECK(detail::descriptor_fits(before.size(), s));
    FUZZ_CHECK(data == Bytes(plain.begin() + 12, plain.begin() + 12 + s));
    FUZZ_CHECK(!(flags & 1) || last == 100);
    c.Progress.Unsubscribe(token);

    if (std::all_of(plain.begin() + 12 + s, plain.end(), [](std::uint8_t b) { return b == 0; })) {
        Bytes again = data;
        detail::InstanceAccess::encrypt_with_words(c, again, le32(plain.data()), le32(plain.data() + 4));
        FUZZ_CHECK(again == before);
    }
}

std::vector<Bytes> fuzz_seeds() {
    std::vector<Bytes> seeds;
    const std::string keys[] = {"", "k", "a longer key with spaces", std::string(75, 'x')};
    const std::size_t sizes[] = {0, 1, 4, 5, 12, 100, 1000};
    std::uint32_t w = 12345;
    for (const auto& key : keys) {
        for (const std::size_t n : sizes) {
            clscrypt::clsToString c;
            if (!key.empty()) c.Key(c.GetCodePage().Decode(Bytes(key.begin(), key.end())));
            Bytes data(n);
            for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<std::uint8_t>(i * 7);
            w = w * 1103515245U + 12345U;
            detail::InstanceAccess::encrypt_with_words(c, data, w >> 1, w >> 3);
            seeds.push_back(input_of(n % 2 == 0 ? 1 : 0, key, data));
        }
    }
    seeds.push_back(input_of(1, "k", Bytes(24, 0)));  // a descriptor that does not fit
    seeds.push_back(input_of(0, "", Bytes(13, 0)));   // not whole blocks
    return seeds;
}
