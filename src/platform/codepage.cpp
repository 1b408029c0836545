#include <algorithm>
#include <string>

#include "clscrypt/codepage.hpp"
#include "clscrypt/error.hpp"
#include "common/error_numbers.hpp"
#include "platform/codepage_table.hpp"
#include "platform/system_codepage.hpp"

namespace clscrypt {

namespace {
constexpr std::uint8_t kDefaultByte = '?';
constexpr std::uint16_t kMissing = 0xFFFF;

const detail::CodePageTable* find_table(int number) noexcept {
    for (const auto* table : detail::code_page_tables()) {
        if (table->number == number) {
            return table;
        }
    }
    return nullptr;
}
}  // namespace

// The system's code page where the library has it, Windows-1252 otherwise.
CodePage::CodePage() noexcept : table_(find_table(platform::system_code_page())) {
    if (table_ == nullptr) table_ = find_table(1252);
}

CodePage CodePage::FromNumber(int number) {
    const auto* table = find_table(number);
    if (table == nullptr) {
        throw RuntimeError(errnum::kInvalidArgument, StandardDescription(errnum::kInvalidArgument),
                           "code page " + std::to_string(number) + " is not available");
    }
    return CodePage(table);
}

std::vector<int> CodePage::Available() {
    std::vector<int> numbers;
    for (const auto* table : detail::code_page_tables()) {
        numbers.push_back(table->number);
    }
    return numbers;
}

int CodePage::Number() const noexcept {
    return table_->number;
}

char16_t CodePage::ToChar(std::uint8_t byte) const noexcept {
    return table_->to_char[byte];
}

bool CodePage::Contains(char16_t c) const noexcept {
    if (c < 0x100) {
        return table_->latin[c] != kMissing;
    }
    const auto high = table_->high;
    const auto it = std::lower_bound(high.begin(), high.end(), c,
                                     [](const detail::CodePageEntry& e, char16_t v) { return e.ch < v; });
    return it != high.end() && it->ch == c;
}

std::uint8_t CodePage::ToByte(char16_t c) const noexcept {
    if (c < 0x100) {
        const std::uint16_t b = table_->latin[c];
        return b == kMissing ? kDefaultByte : static_cast<std::uint8_t>(b);
    }
    const auto high = table_->high;
    const auto it = std::lower_bound(high.begin(), high.end(), c,
                                     [](const detail::CodePageEntry& e, char16_t v) { return e.ch < v; });
    return (it != high.end() && it->ch == c) ? it->byte : kDefaultByte;
}

std::optional<std::size_t> CodePage::FirstUnmappable(std::u16string_view text) const noexcept {
    for (std::size_t i = 0; i < text.size(); ++i) {
        // Contains alone would do for tables without best-fit entries; the
        // round trip is the definition, whatever the tables hold.
        if (!Contains(text[i]) || ToChar(ToByte(text[i])) != text[i]) return i;
    }
    return std::nullopt;
}

void CodePage::CheckMappable(std::u16string_view text, Unmappable policy, std::string_view what) const {
    detail::check_mappable(*this, text, policy, what, 0);
}

std::size_t detail::count_characters(std::u16string_view text) noexcept {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char16_t c) { return c < 0xDC00 || c > 0xDFFF; }));
}

void detail::check_mappable(const CodePage& page, std::u16string_view text, Unmappable policy, std::string_view what,
                            std::size_t before) {
    if (policy != Unmappable::Refuse) return;
    const auto index = page.FirstUnmappable(text);
    if (!index) return;
    // The position counts characters, so a pair of surrogates is one.
    const std::size_t position = before + 1 + count_characters(text.substr(0, *index));
    std::string holder;
    const char16_t c = text[*index];
    const bool paired = c >= 0xD800 && c <= 0xDBFF;
    for (const int number : CodePage::Available()) {
        if (!paired && !CodePage::FromNumber(number).FirstUnmappable(std::u16string_view(&c, 1))) {
            holder = "; code page " + std::to_string(number) + " has it";
            break;
        }
    }
    if (holder.empty()) holder = "; no single-byte code page offered here has it";
    throw RuntimeError(ErrorKind::Unmappable, errnum::kInvalidArgument,
                       StandardDescription(errnum::kInvalidArgument),
                       std::string(what) + " has a character at position " + std::to_string(position) +
                           ", which code page " + std::to_string(page.Number()) + " lacks" + holder);
}

std::vector<std::uint8_t> CodePage::Encode(std::u16string_view text) const {
    std::vector<std::uint8_t> bytes(text.size());
    std::transform(text.begin(), text.end(), bytes.begin(), [this](char16_t c) { return ToByte(c); });
    return bytes;
}

std::u16string CodePage::Decode(std::span<const std::uint8_t> bytes) const {
    std::u16string text(bytes.size(), u'\0');
    std::transform(bytes.begin(), bytes.end(), text.begin(), [this](std::uint8_t b) { return ToChar(b); });
    return text;
}

}  // namespace clscrypt
