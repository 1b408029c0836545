// Code-page text conversion of values.

#include "cipher/values/page_text.hpp"

#include <cstring>

#include "common/utf.hpp"

namespace clscrypt::detail {

namespace {

// Whether none of `n` bytes has its top bit set.
bool is_ascii(const void* data, std::size_t n) noexcept {
    const auto* p = static_cast<const unsigned char*>(data);
    std::uint64_t high = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        high |= word;
    }
    for (; i < n; ++i) high |= p[i];
    return (high & 0x8080808080808080U) == 0;
}

}  // namespace

PageText::PageText(const CodePage& page) : page_(page) {
    for (std::size_t c = 0; c < 256; ++c) {
        const auto ch = static_cast<char16_t>(c);
        latin_[c] = page_.Contains(ch) ? page_.ToByte(ch) : kMissing;
        std::string u;
        common::append_utf8(u, page_.ToChar(static_cast<std::uint8_t>(c)));
        utf8_[c][0] = static_cast<char>(u.size());
        std::memcpy(&utf8_[c][1], u.data(), u.size());
    }
    for (std::size_t c = 0; c < 128; ++c) {
        ascii_same_ = ascii_same_ && latin_[c] == c && utf8_[c][0] == 1 && utf8_[c][1] == static_cast<char>(c);
    }
}

std::optional<std::size_t> PageText::to_page(std::string_view text, std::uint8_t* out, bool replace) const {
    if (ascii_same_ && is_ascii(text.data(), text.size())) {
        if (!text.empty()) std::memcpy(out, text.data(), text.size());
        return text.size();
    }
    struct Writer {
        const PageText& p;
        std::uint8_t* at;
        bool replace;
        bool mapped = true;
        void push_back(char16_t c) noexcept {
            std::uint32_t b = p.byte_of(c);
            if (b == kMissing) {
                mapped = mapped && replace;
                b = p.page_.ToByte(c);
            }
            *at++ = static_cast<std::uint8_t>(b);
        }
    } writer{*this, out, replace};
    if (common::decode_utf8(text, writer) || !writer.mapped) return std::nullopt;
    return static_cast<std::size_t>(writer.at - out);
}

void PageText::to_text(const std::uint8_t* b, std::size_t n, std::string& out) const {
    if (ascii_same_ && is_ascii(b, n)) {
        out.append(reinterpret_cast<const char*>(b), n);
        return;
    }
    const std::size_t at = out.size();
    out.resize(at + 3 * n);
    out.resize(at + to_text(b, n, out.data() + at));
}

std::size_t PageText::to_text(const std::uint8_t* b, std::size_t n, char* out) const noexcept {
    if (ascii_same_ && is_ascii(b, n)) {
        if (n != 0) std::memcpy(out, b, n);
        return n;
    }
    char* w = out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto& u = utf8_[b[i]];
        std::memcpy(w, &u[1], 3);
        w += static_cast<unsigned char>(u[0]);
    }
    return static_cast<std::size_t>(w - out);
}

}  // namespace clscrypt::detail
