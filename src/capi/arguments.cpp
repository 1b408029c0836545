#include "capi/arguments.hpp"

#include <cstdlib>
#include <new>

#include "common/utf.hpp"
#include "platform/wipe.hpp"

namespace clscrypt::capi {

clscrypt::CodePage code_page(int number) {
    if (number == 0) return clscrypt::CodePage();
    for (const int available : clscrypt::CodePage::Available()) {
        if (available == number) return clscrypt::CodePage::FromNumber(number);
    }
    throw ArgumentError{"code page " + std::to_string(number) + " is not available"};
}

std::u16string_view utf16_arg(const std::uint16_t* text, std::size_t length, const char* name) {
    if (text == nullptr) {
        if (length == 0) return {};
        throw ArgumentError{std::string(name) + " is null"};
    }
    if (length == CLSCRYPT_NUL_TERMINATED) {
        length = 0;
        while (text[length] != 0) ++length;
    }
    static_assert(sizeof(char16_t) == sizeof(std::uint16_t));
    return {reinterpret_cast<const char16_t*>(text), length};
}

std::u16string utf8_arg(const char* text, std::size_t length, const char* name) {
    if (text == nullptr) {
        if (length == 0) return {};
        throw ArgumentError{std::string(name) + " is null"};
    }
    if (length == CLSCRYPT_NUL_TERMINATED) length = std::strlen(text);
    std::u16string converted;
    converted.reserve(length);
    if (clscrypt::common::decode_utf8(std::string_view(text, length), converted)) {
        // What was decoded before the fault may be part of a key.
        const WipeOnExit<std::u16string> wipe{converted};
        throw ArgumentError{std::string(name) + " is not valid UTF-8"};
    }
    return converted;
}

std::filesystem::path path_arg(const char* utf8, const char* name) {
    if (utf8 == nullptr) throw ArgumentError{std::string(name) + " is null"};
    const std::string_view s(utf8);
    return std::filesystem::path(std::u8string(s.begin(), s.end()));
}

void check_bytes(const std::uint8_t* in, std::size_t in_size) {
    if (in == nullptr && in_size != 0) throw ArgumentError{"the input is null"};
}

void* allocate(std::size_t size) {
    if (size > SIZE_MAX - kHeader) throw std::bad_alloc();
    auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (block == nullptr) throw std::bad_alloc();
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}

void give_utf16(std::u16string text, std::uint16_t** out, std::size_t* out_length) {
    const WipeOnExit<std::u16string> wipe{text};
    auto& result = need(out, "the output pointer");
    auto& length = need(out_length, "the output length");
    result = copy_out(reinterpret_cast<const std::uint16_t*>(text.data()), text.size(), true);
    length = text.size();
}

void give_utf8(std::u16string text, char** out, std::size_t* out_length) {
    const WipeOnExit<std::u16string> wipe{text};
    auto& result = need(out, "the output pointer");
    auto& length = need(out_length, "the output length");
    std::string utf8 = clscrypt::common::utf16_to_utf8(text);
    const WipeOnExit<std::string> wipe_utf8{utf8};
    result = copy_out(utf8.data(), utf8.size(), true);
    length = utf8.size();
}

}  // namespace clscrypt::capi

extern "C" {

void clscrypt_free(void* memory) {
    if (memory == nullptr) return;
    auto* block = static_cast<unsigned char*>(memory) - clscrypt::capi::kHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    clscrypt::platform::secure_wipe(memory, size);
    std::free(block);
}

void clscrypt_wipe(void* data, size_t size) {
    clscrypt::Wipe(data, size);
}

}  // extern "C"
