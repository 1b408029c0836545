// Digests and hexadecimal text: clsHsh, SHA-256 of bytes, the reader of
// ciphertext hex, and the format's size arithmetic.

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "capi/arguments.hpp"
#include "capi/status.hpp"
#include "cipher/layout.hpp"
#include "platform/wipe.hpp"

struct clscrypt_hsh {
    clscrypt::clsHsh hsh;
};

using namespace clscrypt::capi;

extern "C" {

clscrypt_status clscrypt_read_hex(const char* text, size_t length, uint8_t* out, size_t* size) {
    return guarded([&] {
        std::size_t& capacity = need(size, "the size");
        if (text == nullptr && length != 0) throw ArgumentError{"the text is null"};
        const std::string_view t = text == nullptr ? std::string_view() : std::string_view(text, length);
        clscrypt::platform::WipedBytes bytes;
        bytes.bytes = clscrypt::ReadHex(t);
        if (out == nullptr || capacity < bytes.size()) {
            capacity = bytes.size();
            throw BufferTooSmall{};
        }
        if (bytes.size() != 0) std::memcpy(out, bytes.data(), bytes.size());
        capacity = bytes.size();
    });
}

size_t clscrypt_encrypted_size(size_t n) {
    const auto t = clscrypt::detail::encrypted_size(n);
    return t ? static_cast<std::size_t>(*t) : 0;
}

clscrypt_status clscrypt_hsh_new(clscrypt_hsh** out) {
    return guarded([&] {
        auto& result = need(out, "the output pointer");
        result = new clscrypt_hsh;
    });
}

void clscrypt_hsh_free(clscrypt_hsh* handle) {
    delete handle;
}

clscrypt_status clscrypt_hsh_sha256_utf16(const clscrypt_hsh* handle, const uint16_t* text, size_t length,
                                          char hex[65]) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        need(hex, "the digest buffer");
        const std::string result = h.hsh.SHA256(utf16_arg(text, length, "the text"));
        std::memcpy(hex, result.c_str(), result.size() + 1);
    });
}

clscrypt_status clscrypt_hsh_sha256_utf8(const clscrypt_hsh* handle, const char* text, size_t length, char hex[65]) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        need(hex, "the digest buffer");
        const std::string result = h.hsh.SHA256(utf8_arg(text, length, "the text"));
        std::memcpy(hex, result.c_str(), result.size() + 1);
    });
}

clscrypt_status clscrypt_sha256(const uint8_t* data, size_t size, uint8_t digest[32]) {
    return guarded([&] {
        check_bytes(data, size);
        need(digest, "the digest buffer");
        const auto d = clscrypt::Sha256::Hash(std::span<const std::uint8_t>(data, data == nullptr ? 0 : size));
        std::memcpy(digest, d.data(), d.size());
    });
}

}  // extern "C"
