// sha256 and hex.

#include <cctype>
#include <iostream>
#include <optional>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "commands.hpp"
#include "errors.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace {

// The digest of a file, or of standard input for "-". Nothing on failure,
// with the reason in `error`.
std::optional<Sha256::Digest> digest_of(const std::string& name, std::string& error) {
    const bool is_stdin = name == "-";
    const int fd = is_stdin ? kStdinFd : open_for_reading(path_from_utf8(name), error);
    if (fd < 0) return std::nullopt;
    Sha256 hasher;
    std::vector<std::uint8_t> buf(std::size_t{1} << 20);
    for (;;) {
        const long long got = read_some(fd, buf.data(), buf.size(), error);
        if (got < 0) {
            if (!is_stdin) close_fd(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        hasher.Update(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(got)));
    }
    if (!is_stdin) close_fd(fd);
    return hasher.Final();
}

// Names holding a backslash or a line break are escaped, and the line then
// starts with a backslash, so that every line of the output reads back.
std::string escaped(const std::string& name, bool& needs_escape) {
    needs_escape = name.find_first_of("\\\n\r") != std::string::npos;
    if (!needs_escape) return name;
    std::string out;
    for (const char c : name) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

std::string unescaped(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size()) {
            const char n = name[++i];
            out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
        } else {
            out += name[i];
        }
    }
    return out;
}

int check_list(const Sha256Options& o) {
    std::string content;
    if (o.check == "-") {
        content = read_all_fd(kStdinFd, "standard input");
    } else {
        std::string reason;
        const int fd = open_for_reading(path_from_utf8(o.check), reason);
        if (fd < 0) throw ToolError(o.check + ": cannot open the checksum list: " + reason, kExitFailure);
        try {
            content = read_all_fd(fd, "'" + o.check + "'");
        } catch (...) {
            close_fd(fd);
            throw;
        }
        close_fd(fd);
    }
    std::size_t failed = 0, unreadable = 0, malformed = 0, checked = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const bool escapes = line[0] == '\\';
        if (escapes) line.erase(0, 1);
        // "<64 hex digits>  <name>" or, for binary mode, "<64 hex> *<name>".
        if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*') ||
            line.find_first_not_of("0123456789abcdefABCDEF") < 64) {
            ++malformed;
            continue;
        }
        std::string expected = line.substr(0, 64);
        for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::string name = escapes ? unescaped(line.substr(66)) : line.substr(66);
        ++checked;
        std::string error;
        const auto digest = digest_of(name, error);
        if (!digest) {
            ++unreadable;
            if (!o.status) std::cout << name << ": FAILED open or read\n";
            std::cerr << "clscrypt: " << name << ": " << error << "\n";
            continue;
        }
        if (ToHex(*digest) == expected) {
            if (!o.quiet && !o.status) std::cout << name << ": OK\n";
        } else {
            ++failed;
            if (!o.status) std::cout << name << ": FAILED\n";
        }
    }
    std::cout.flush();
    if (!o.status) {
        if (malformed > 0) std::cerr << "clscrypt: WARNING: " << malformed << " line(s) are improperly formatted\n";
        if (unreadable > 0) std::cerr << "clscrypt: WARNING: " << unreadable << " listed file(s) could not be read\n";
        if (failed > 0) std::cerr << "clscrypt: WARNING: " << failed << " computed checksum(s) did NOT match\n";
    }
    if (checked == 0) {
        std::cerr << "clscrypt: " << o.check << ": no properly formatted checksum lines found\n";
        return kExitFailure;
    }
    return failed + unreadable > 0 ? kExitFailure : kExitOk;
}

}  // namespace

int run_sha256(const Sha256Options& o) {
    if (o.text_given) {
        if (o.check_given || !o.files.empty()) throw UsageError("--text takes no files and no --check");
        std::cout << clsHsh().SHA256(utf8_to_utf16(o.text, "--text")) << "\n";
        return kExitOk;
    }
    if (o.check_given) {
        if (!o.files.empty()) throw UsageError("--check reads its list of files from LIST alone");
        return check_list(o);
    }
    std::vector<std::string> files = o.files;
    if (files.empty()) files.push_back("-");
    int status = kExitOk;
    for (const auto& name : files) {
        std::string error;
        const auto digest = digest_of(name, error);
        if (!digest) {
            std::cout.flush();
            std::cerr << "clscrypt: " << name << ": " << error << "\n";
            status = kExitFailure;
            continue;
        }
        bool escape = false;
        const std::string shown = escaped(name, escape);
        std::cout << (escape ? "\\" : "") << ToHex(*digest) << "  " << shown << "\n";
    }
    return status;
}

int run_hex(const HexOptions& o) {
    std::string input = o.argument_given ? o.argument : read_all_fd(kStdinFd, "standard input");
    if (!o.argument_given) chomp(input);
    clsToString converter(CodePage::FromNumber(o.codepage));
    std::u16string result;
    try {
        if (o.encode) {
            result = converter.StrToHex(utf8_to_utf16(input, "the text"), utf8_to_utf16(o.separator, "--separator"));
        } else {
            result = converter.HexToStr(utf8_to_utf16(input, "the hexadecimal text"), o.separators);
        }
    } catch (const RuntimeError& e) {
        const std::string hint = o.encode ? ""
                                          : " (digits are 0-9 and upper-case A-F; --separators N says how "
                                            "many characters stand between pairs)";
        throw ToolError(std::string("hex ") + (o.encode ? "encode" : "decode") + ": " + e.what() + hint, kExitFailure);
    }
    const std::string out = utf16_to_utf8(result) + "\n";
    write_all_fd(kStdoutFd, out.data(), out.size(), "standard output");
    return kExitOk;
}

}  // namespace clscrypt::tool
