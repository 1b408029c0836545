#pragma once

// The C arguments turned into C++ ones, and results handed back in memory
// the caller releases with clscrypt_free.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

#include "capi/status.hpp"
#include "clscrypt/clscrypt.h"
#include "clscrypt/clscrypt.hpp"

namespace clscrypt::capi {

/// The code page `number` (0: the system's), refused when not available.
clscrypt::CodePage code_page(int number);

// A string that may hold a key or plaintext: its whole capacity is wiped
// when it goes.
template <typename String>
struct WipeOnExit {
    String& s;
    explicit WipeOnExit(String& string) noexcept : s(string) {}
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;
    ~WipeOnExit() {
        s.resize(s.capacity());  // within capacity: no allocation
        clscrypt::Wipe(s.data(), s.size() * sizeof(typename String::value_type));
    }
};

// Text arguments: null is the empty text only with length 0; a null pointer
// said to be NUL-terminated is the caller's mistake, not an empty key.
std::u16string_view utf16_arg(const std::uint16_t* text, std::size_t length, const char* name);
std::u16string utf8_arg(const char* text, std::size_t length, const char* name);

std::filesystem::path path_arg(const char* utf8, const char* name);

void check_bytes(const std::uint8_t* in, std::size_t in_size);

// Library allocations carry their size in front, so that clscrypt_free can
// wipe them: they may hold plaintext.
constexpr std::size_t kHeader = 16;  // keeps the payload aligned for any scalar

void* allocate(std::size_t size);

template <typename Char>
Char* copy_out(const Char* data, std::size_t count, bool terminate) {
    auto* out = static_cast<Char*>(allocate((count + (terminate ? 1 : 0)) * sizeof(Char)));
    if (count > 0) std::memcpy(out, data, count * sizeof(Char));
    if (terminate) out[count] = Char{0};
    return out;
}

/// Hands `text` to the caller, NUL-terminated, in the encoding the name
/// says; wipes it whatever happens.
void give_utf16(std::u16string text, std::uint16_t** out, std::size_t* out_length);
void give_utf8(std::u16string text, char** out, std::size_t* out_length);

}  // namespace clscrypt::capi
