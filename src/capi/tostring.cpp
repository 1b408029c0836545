// The cipher handle and its operations: keys, settings, bytes, strings,
// files and the legacy hexadecimal conversions.

#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "capi/arguments.hpp"
#include "capi/status.hpp"
#include "capi/tostring.hpp"
#include "cipher/layout.hpp"
#include "cipher/message.hpp"
#include "platform/codepage_table.hpp"
#include "platform/wipe.hpp"

using namespace clscrypt::capi;

namespace {

// The format's limits are checked on the sizes alone, before anything is
// copied: a message or ciphertext too long for its 32-bit lengths costs
// nothing, and no pointer past the caller's buffer is ever formed.
template <bool Encrypt>
void check_sizes(const std::uint8_t* in, std::size_t in_size) {
    check_bytes(in, in_size);
    if constexpr (Encrypt) {
        if (!clscrypt::detail::encrypted_size(in_size)) throw clscrypt::detail::encrypted_size_error(in_size);
    } else {
        clscrypt::detail::check_cipher_length(in_size);
    }
}

template <bool Encrypt>
void run_bytes(clscrypt_tostring& h, const std::uint8_t* in, std::size_t in_size,
               clscrypt::platform::WipedBytes& work) {
    check_sizes<Encrypt>(in, in_size);
    if (in_size > 0) work.bytes.assign(in, in + in_size);
    if constexpr (Encrypt) {
        h.cipher.EncryptByte(work.bytes);
    } else {
        h.cipher.DecryptByte(work.bytes);
    }
}

template <bool Encrypt>
clscrypt_status bytes_into(clscrypt_tostring* handle, const std::uint8_t* in, std::size_t in_size, std::uint8_t* out,
                           std::size_t* size) {
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::size_t& capacity = need(size, "the size");
        check_sizes<Encrypt>(in, in_size);
        if constexpr (Encrypt) {
            // The ciphertext's length follows from the message's alone: a
            // buffer too small is told before any work, progress or random
            // draw.
            const auto needed = static_cast<std::size_t>(*clscrypt::detail::encrypted_size(in_size));
            if (needed > capacity) {
                capacity = needed;
                throw BufferTooSmall{};
            }
            if (out == nullptr) throw ArgumentError{"the output buffer is null"};
        } else {
            // The message is at most the ciphertext less its header; below
            // that, its first two blocks tell its length, read aside before
            // any work, progress event or change to the caller's buffer.
            if (out == nullptr && capacity != 0) throw ArgumentError{"the output buffer is null"};
            if (capacity < in_size - clscrypt::detail::kHeaderSize) {
                const auto s = static_cast<std::size_t>(clscrypt::detail::checked_descriptor(
                    std::as_const(h.cipher), std::span<const std::uint8_t, 16>(in, 16), in_size));
                if (s > capacity) {
                    capacity = s;
                    throw BufferTooSmall{};
                }
            }
        }
        clscrypt::platform::WipedBytes work;
        run_bytes<Encrypt>(h, in, in_size, work);
        if (work.bytes.size() > capacity) {
            capacity = work.bytes.size();
            throw BufferTooSmall{};
        }
        if (out == nullptr && !work.bytes.empty()) throw ArgumentError{"the output buffer is null"};
        if (!work.bytes.empty()) std::memcpy(out, work.bytes.data(), work.bytes.size());
        capacity = work.bytes.size();
    });
}

template <bool Encrypt>
clscrypt_status bytes_alloc(clscrypt_tostring* handle, const std::uint8_t* in, std::size_t in_size, std::uint8_t** out,
                            std::size_t* out_size) {
    return guarded([&] {
        auto& h = need(handle, "the handle");
        auto& result = need(out, "the output pointer");
        auto& result_size = need(out_size, "the output size");
        clscrypt::platform::WipedBytes work;
        run_bytes<Encrypt>(h, in, in_size, work);
        result = copy_out(work.bytes.data(), work.bytes.size(), false);
        result_size = work.bytes.size();
    });
}

void subscribe(clscrypt_tostring& h) {
    h.token = h.cipher.Progress.Subscribe([&h](std::int32_t& percent) {
        if (h.callback != nullptr && h.callback(&percent, h.user) != 0) throw Cancelled{};
    });
}

}  // namespace

extern "C" {

clscrypt_status clscrypt_tostring_new(int codepage, clscrypt_tostring** out) {
    return guarded([&] {
        auto& result = need(out, "the output pointer");
        result = nullptr;
        auto h = std::make_unique<clscrypt_tostring>(code_page(codepage));
        subscribe(*h);
        result = h.release();
    });
}

clscrypt_status clscrypt_tostring_clone(const clscrypt_tostring* handle, clscrypt_tostring** out) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        auto& result = need(out, "the output pointer");
        result = nullptr;
        auto copy = std::make_unique<clscrypt_tostring>(h);
        // The copied listener still points at the original handle.
        copy->cipher.Progress.Unsubscribe(copy->token);
        subscribe(*copy);
        result = copy.release();
    });
}

void clscrypt_tostring_free(clscrypt_tostring* handle) {
    if (handle == nullptr) return;
    if (handle->cipher.IsBusy()) {
        handle->free_pending = true;
        return;
    }
    delete handle;
}

int clscrypt_tostring_codepage(const clscrypt_tostring* handle) {
    return handle == nullptr ? 0 : handle->cipher.GetCodePage().Number();
}

clscrypt_status clscrypt_tostring_set_codepage(clscrypt_tostring* handle, int codepage) {
    const Settle settle{handle};
    return guarded([&] { need(handle, "the handle").cipher.SetCodePage(code_page(codepage)); });
}

clscrypt_status clscrypt_tostring_first_unmappable(const clscrypt_tostring* handle, const uint16_t* text, size_t length,
                                                   size_t* index) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        std::size_t& result = need(index, "the index");
        const auto found = h.cipher.GetCodePage().FirstUnmappable(utf16_arg(text, length, "the text"));
        result = found ? *found : CLSCRYPT_ALL_MAPPABLE;
    });
}

clscrypt_status clscrypt_tostring_text_to_bytes_utf16(const clscrypt_tostring* handle, const uint16_t* text,
                                                     size_t length, int check, size_t* position, uint8_t* out) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        std::size_t& before = need(position, "the position");
        const std::u16string_view units = utf16_arg(text, length, "the text");
        if (!units.empty()) need(out, "the output");
        const clscrypt::CodePage page = h.cipher.GetCodePage();
        if (check != 0) clscrypt::detail::check_mappable(page, units, h.cipher.GetUnmappable(), "the text", before);
        for (std::size_t i = 0; i < units.size(); ++i) out[i] = page.ToByte(units[i]);
        before += clscrypt::detail::count_characters(units);
    });
}

clscrypt_status clscrypt_tostring_bytes_to_text_utf16(const clscrypt_tostring* handle, const uint8_t* bytes,
                                                     size_t size, uint16_t* out) {
    return guarded([&] {
        const auto& h = need(handle, "the handle");
        if (size != 0) {
            need(bytes, "the bytes");
            need(out, "the output");
        }
        const clscrypt::CodePage page = h.cipher.GetCodePage();
        for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<uint16_t>(page.ToChar(bytes[i]));
    });
}

clscrypt_status clscrypt_tostring_set_refuse_unmappable(clscrypt_tostring* handle, int refuse) {
    return guarded([&] {
        need(handle, "the handle")
            .cipher.SetUnmappable(refuse != 0 ? clscrypt::Unmappable::Refuse : clscrypt::Unmappable::Replace);
    });
}

clscrypt_status clscrypt_tostring_set_key_utf16(clscrypt_tostring* handle, const uint16_t* key, size_t length) {
    const Settle settle{handle};
    return guarded([&] { need(handle, "the handle").cipher.Key(utf16_arg(key, length, "the key")); });
}

clscrypt_status clscrypt_tostring_set_key_utf8(clscrypt_tostring* handle, const char* key, size_t length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::u16string k = utf8_arg(key, length, "the key");
        try {
            h.cipher.Key(k);
        } catch (...) {
            clscrypt::platform::secure_wipe(k.data(), k.size() * sizeof(char16_t));
            throw;
        }
        clscrypt::platform::secure_wipe(k.data(), k.size() * sizeof(char16_t));
    });
}

clscrypt_status clscrypt_tostring_set_progress(clscrypt_tostring* handle, clscrypt_progress_fn callback, void* user) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        h.callback = callback;
        h.user = user;
    });
}

clscrypt_status clscrypt_tostring_encrypt(clscrypt_tostring* handle, const uint8_t* in, size_t in_size, uint8_t* out,
                                          size_t* size) {
    const Settle settle{handle};
    return bytes_into<true>(handle, in, in_size, out, size);
}

clscrypt_status clscrypt_tostring_decrypt(clscrypt_tostring* handle, const uint8_t* in, size_t in_size, uint8_t* out,
                                          size_t* size) {
    const Settle settle{handle};
    return bytes_into<false>(handle, in, in_size, out, size);
}

clscrypt_status clscrypt_tostring_encrypt_alloc(clscrypt_tostring* handle, const uint8_t* in, size_t in_size,
                                                uint8_t** out, size_t* out_size) {
    const Settle settle{handle};
    return bytes_alloc<true>(handle, in, in_size, out, out_size);
}

clscrypt_status clscrypt_tostring_decrypt_alloc(clscrypt_tostring* handle, const uint8_t* in, size_t in_size,
                                                uint8_t** out, size_t* out_size) {
    const Settle settle{handle};
    return bytes_alloc<false>(handle, in, in_size, out, out_size);
}

// The four text entry points differ only in the call and the encoding: one
// short body each, so every C function stays a plain definition.
clscrypt_status clscrypt_tostring_encrypt_string_utf16(clscrypt_tostring* handle, const uint16_t* text, size_t length,
                                                       uint16_t** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf16(h.cipher.EncryptString(utf16_arg(text, length, "the text")), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_decrypt_string_utf16(clscrypt_tostring* handle, const uint16_t* text, size_t length,
                                                       uint16_t** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf16(h.cipher.DecryptString(utf16_arg(text, length, "the text")), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_encrypt_string_utf8(clscrypt_tostring* handle, const char* text, size_t length,
                                                      char** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        std::u16string plain = utf8_arg(text, length, "the text");
        const WipeOnExit<std::u16string> wipe{plain};
        give_utf8(h.cipher.EncryptString(plain), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_decrypt_string_utf8(clscrypt_tostring* handle, const char* text, size_t length,
                                                      char** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf8(h.cipher.DecryptString(utf8_arg(text, length, "the text")), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_encrypt_file(clscrypt_tostring* handle, const char* source, const char* dest) {
    const Settle settle{handle};
    return guarded([&] {
        need(handle, "the handle")
            .cipher.EncryptFile(path_arg(source, "the source"), path_arg(dest, "the destination"));
    });
}

clscrypt_status clscrypt_tostring_decrypt_file(clscrypt_tostring* handle, const char* source, const char* dest) {
    const Settle settle{handle};
    return guarded([&] {
        need(handle, "the handle")
            .cipher.DecryptFile(path_arg(source, "the source"), path_arg(dest, "the destination"));
    });
}

clscrypt_status clscrypt_tostring_rekey_file(clscrypt_tostring* handle, clscrypt_tostring* from, const char* source,
                                             const char* dest) {
    const Settle settle_from{from == handle ? nullptr : from};
    const Settle settle{handle};
    return guarded([&] {
        need(handle, "the handle")
            .cipher.RekeyFile(need(from, "the source key handle").cipher, path_arg(source, "the source"),
                              path_arg(dest, "the destination"));
    });
}

// The UTF-8 and UTF-16 twins of the legacy conversions below differ only in
// how text crosses the interface; each calls the one conversion.
clscrypt_status clscrypt_tostring_str_to_hex_utf8(clscrypt_tostring* handle, const char* text, size_t length,
                                                  const char* separator, size_t separator_length, char** out,
                                                  size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf8(h.cipher.StrToHex(utf8_arg(text, length, "the text"),
                                    utf8_arg(separator, separator_length, "the separator")),
                  out, out_length);
    });
}

clscrypt_status clscrypt_tostring_hex_to_str_utf8(clscrypt_tostring* handle, const char* hex, size_t length,
                                                  int32_t separators, char** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf8(h.cipher.HexToStr(utf8_arg(hex, length, "the hexadecimal text"), separators), out, out_length);
    });
}

clscrypt_status clscrypt_tostring_str_to_hex_utf16(clscrypt_tostring* handle, const uint16_t* text, size_t length,
                                                   const uint16_t* separator, size_t separator_length, uint16_t** out,
                                                   size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf16(h.cipher.StrToHex(utf16_arg(text, length, "the text"),
                                     utf16_arg(separator, separator_length, "the separator")),
                   out, out_length);
    });
}

clscrypt_status clscrypt_tostring_hex_to_str_utf16(clscrypt_tostring* handle, const uint16_t* hex, size_t length,
                                                   int32_t separators, uint16_t** out, size_t* out_length) {
    const Settle settle{handle};
    return guarded([&] {
        auto& h = need(handle, "the handle");
        give_utf16(h.cipher.HexToStr(utf16_arg(hex, length, "the hexadecimal text"), separators), out, out_length);
    });
}

}  // extern "C"
