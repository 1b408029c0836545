// hex encode and hex decode: text to hexadecimal pairs and back, through a
// code page.

#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "commands.hpp"
#include "common/utf.hpp"
#include "errors.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

int run_hex(const HexOptions& o) {
    std::string input = o.argument_given ? o.argument : read_all_fd(kStdinFd, "standard input");
    if (!o.argument_given) chomp(input);
    const CodePage codepage = CodePage::FromNumber(o.codepage);
    clsToString converter(codepage);
    std::u16string result;
    try {
        if (o.encode) {
            // A character the code page lacks would come out as 3F, the legacy '?'.
            converter.SetUnmappable(o.replace_unmappable ? Unmappable::Replace : Unmappable::Refuse);
            result = converter.StrToHex(utf8_to_utf16(input, "the text"), utf8_to_utf16(o.separator, "--separator"));
        } else if (o.lenient) {
            // Read as decrypt reads ciphertext hex: the library's one rule.
            utf8_to_utf16(input, "the hexadecimal text");  // refuses text that is no UTF-8, as without --lenient
            std::vector<std::uint8_t> bytes;
            if (const auto problem = read_ciphertext_hex(input, bytes)) {
                throw ToolError("hex decode: the text " + *problem, kExitFailure);
            }
            result = codepage.Decode(bytes);
        } else {
            const std::u16string text = utf8_to_utf16(input, "the hexadecimal text");
            // The legacy conversion reads whole pairs and drops what is left
            // after the last one; here a half pair is an error.
            const std::size_t step = static_cast<std::size_t>(o.separators) + 2;
            if (o.separators > 0 && text.size() > 2 && (text.size() + step - 2) % step != 0) {
                const std::size_t whole = (text.size() + step - 2) / step;
                throw ToolError("hex decode: the text ends in an incomplete pair at position " +
                                    std::to_string(whole * step + 1) + " (with --separators " +
                                    std::to_string(o.separators) + ", pairs stand " + std::to_string(step) +
                                    " characters apart)",
                                kExitFailure);
            }
            result = converter.HexToStr(text, o.separators);
        }
    } catch (const RuntimeError& e) {
        if (e.Kind() == ErrorKind::Unmappable) throw ToolError("hex encode: " + unmappable_message(e), kExitFailure);
        const std::string hint = o.encode ? ""
                                          : " (digits are 0-9 and upper-case A-F; --separators N says how "
                                            "many characters stand between pairs; --lenient reads any case "
                                            "and any separators)";
        throw ToolError(std::string("hex ") + (o.encode ? "encode" : "decode") + ": " + e.what() + hint, kExitFailure);
    }
    // Through std::cout, so that the check of standard output at exit covers it.
    std::cout << common::utf16_to_utf8(result) << "\n";
    return kExitOk;
}

}  // namespace clscrypt::tool
