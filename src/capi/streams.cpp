// The chunked streams: a message encrypted or decrypted piece by piece into
// the caller's buffers.

#include <cstdint>
#include <span>
#include <string>

#include "capi/arguments.hpp"
#include "capi/status.hpp"
#include "capi/tostring.hpp"

struct clscrypt_encrypt_stream {
    clscrypt::EncryptStream stream;
    clscrypt_tostring* owner;
};

struct clscrypt_decrypt_stream {
    clscrypt::DecryptStream stream;
    clscrypt_tostring* owner;
};

using namespace clscrypt::capi;

namespace {

// One piece through a stream into the caller's buffer.
template <typename Stream>
clscrypt_status stream_update(Stream* stream, const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                              std::size_t* size) {
    return guarded([&] {
        auto& s = need(stream, "the stream");
        std::size_t& capacity = need(size, "the size");
        check_bytes(in, in_size);
        if (in_size > SIZE_MAX - 16) throw ArgumentError{"the piece is too long"};
        const std::size_t needed = CLSCRYPT_STREAM_OUTPUT_SIZE(in_size);
        if (capacity < needed) {
            capacity = needed;
            throw BufferTooSmall{};
        }
        if (out == nullptr) throw ArgumentError{"the output buffer is null"};
        const std::span<const std::uint8_t> piece(in, in == nullptr ? 0 : in_size);
        capacity = s.stream.Update(piece, std::span<std::uint8_t>(out, capacity));
    });
}

}  // namespace

extern "C" {

clscrypt_status clscrypt_encrypt_stream_new(clscrypt_tostring* handle, uint64_t length, clscrypt_encrypt_stream** out) {
    return clscrypt_encrypt_stream_new_ex(handle, length, 0, out);
}

clscrypt_status clscrypt_encrypt_stream_new_ex(clscrypt_tostring* handle, uint64_t length, unsigned flags,
                                               clscrypt_encrypt_stream** out) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        auto& result = need(out, "the output pointer");
        result = nullptr;
        if ((flags & ~CLSCRYPT_STREAM_ALLOW_NO_KEY) != 0) {
            throw ArgumentError{"unknown flags " + std::to_string(flags & ~CLSCRYPT_STREAM_ALLOW_NO_KEY)};
        }
        const auto if_no_key =
            (flags & CLSCRYPT_STREAM_ALLOW_NO_KEY) != 0 ? clscrypt::NoKey::Allow : clscrypt::NoKey::Refuse;
        result = new clscrypt_encrypt_stream{clscrypt::EncryptStream(h.cipher, length, {}, if_no_key), &h};
    });
}

clscrypt_status clscrypt_encrypt_stream_update(clscrypt_encrypt_stream* stream, const uint8_t* in, size_t in_size,
                                               uint8_t* out, size_t* size) {
    return stream_update(stream, in, in_size, out, size);
}

clscrypt_status clscrypt_encrypt_stream_final(clscrypt_encrypt_stream* stream, uint8_t* out, size_t* size) {
    return guarded([&] {
        auto& s = need(stream, "the stream");
        std::size_t& capacity = need(size, "the size");
        if (capacity < CLSCRYPT_STREAM_OUTPUT_SIZE(0)) {
            capacity = CLSCRYPT_STREAM_OUTPUT_SIZE(0);
            throw BufferTooSmall{};
        }
        if (out == nullptr) throw ArgumentError{"the output buffer is null"};
        capacity = s.stream.Final(std::span<std::uint8_t>(out, capacity));
    });
}

void clscrypt_encrypt_stream_free(clscrypt_encrypt_stream* stream) {
    if (stream == nullptr) return;
    const Settle settle{stream->owner};
    delete stream;
}

clscrypt_status clscrypt_decrypt_stream_new(clscrypt_tostring* handle, uint64_t length, clscrypt_decrypt_stream** out) {
    const Settle settle{handle};
    static_assert(CLSCRYPT_UNKNOWN_LENGTH == clscrypt::DecryptStream::UnknownLength);
    return guarded([&] {
        auto& h = need(handle, "the handle");
        auto& result = need(out, "the output pointer");
        result = nullptr;
        result = new clscrypt_decrypt_stream{clscrypt::DecryptStream(h.cipher, {}, length), &h};
    });
}

clscrypt_status clscrypt_decrypt_stream_update(clscrypt_decrypt_stream* stream, const uint8_t* in, size_t in_size,
                                               uint8_t* out, size_t* size) {
    return stream_update(stream, in, in_size, out, size);
}

clscrypt_status clscrypt_decrypt_stream_final(clscrypt_decrypt_stream* stream) {
    return guarded([&] { need(stream, "the stream").stream.Final(); });
}

int64_t clscrypt_decrypt_stream_message_length(const clscrypt_decrypt_stream* stream) {
    return stream == nullptr ? -1 : stream->stream.MessageLength();
}

void clscrypt_decrypt_stream_free(clscrypt_decrypt_stream* stream) {
    if (stream == nullptr) return;
    const Settle settle{stream->owner};
    delete stream;
}

}  // extern "C"
