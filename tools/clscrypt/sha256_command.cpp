// sha256: print and check SHA-256 digests, as sha256sum does.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "commands.hpp"
#include "common/utf.hpp"
#include "errors.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace {

namespace fs = std::filesystem;

// The name of the digest in tagged lines ("SHA256 (name) = digest").
constexpr std::string_view kTag = "SHA256";
constexpr std::size_t kHexDigits = 64;

void report(const std::string& message) {
    std::cerr << "clscrypt: " << message << "\n";
}

// The digest of a file, or of standard input for "-". Nothing on failure,
// with the reason in `error`; `missing` says whether the file does not exist.
std::optional<Sha256::Digest> digest_of(const std::string& name, std::string& error, bool& missing) {
    missing = false;
    const bool is_stdin = name == "-";
    const int fd = is_stdin ? kStdinFd : open_for_reading(path_from_utf8(name), error);
    if (fd < 0) {
        std::error_code ec;
        (void)fs::status(path_from_utf8(name), ec);
        missing = ec == std::errc::no_such_file_or_directory;
        return std::nullopt;
    }
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

// Names holding a backslash or a line break are written with these escaped
// (and the line then starts with a backslash), so that every line of the
// output reads back as one name.
bool needs_escape(const std::string& name) {
    return name.find_first_of("\\\n\r") != std::string::npos;
}

std::string escaped(const std::string& name) {
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

// The reverse: false for a backslash before anything but "\\", "n" or "r",
// a backslash at the end, or a NUL.
bool unescape(std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\0') return false;
        if (name[i] != '\\') {
            out += name[i];
            continue;
        }
        if (++i == name.size()) return false;
        if (name[i] == 'n')
            out += '\n';
        else if (name[i] == 'r')
            out += '\r';
        else if (name[i] == '\\')
            out += '\\';
        else
            return false;
    }
    name = std::move(out);
    return true;
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

bool all_hex_digits(std::string_view s) {
    return s.size() == kHexDigits &&
           std::all_of(s.begin(), s.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// Reads a file descriptor line by line, so that a list arriving slowly on a
// pipe is checked as it comes.
class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd), buf_(std::size_t{1} << 16) {}
    // The next line without its "\n": 1, or 0 at the end, or -1 when
    // reading fails (the reason in `error`).
    int next(std::string& line, std::string& error) {
        line.clear();
        for (;;) {
            const auto start = buf_.begin() + static_cast<std::ptrdiff_t>(pos_);
            const auto stop = buf_.begin() + static_cast<std::ptrdiff_t>(end_);
            const auto newline = std::find(start, stop, '\n');
            line.append(start, newline);
            if (newline != stop) {
                pos_ = static_cast<std::size_t>(newline - buf_.begin()) + 1;
                return 1;
            }
            pos_ = end_ = 0;
            if (at_end_) return line.empty() ? 0 : 1;
            const long long got = read_some(fd_, buf_.data(), buf_.size(), error);
            if (got < 0) return -1;
            if (got == 0) at_end_ = true;
            end_ = static_cast<std::size_t>(got);
        }
    }

private:
    int fd_;
    std::vector<char> buf_;
    std::size_t pos_ = 0, end_ = 0;
    bool at_end_ = false;
};

// Checks lists of digests as sha256sum --check does: the same line formats,
// the same output and warnings, the same outcome.
class Checker {
public:
    explicit Checker(const Sha256Options& o) : o_(o) {}

    // True when every file of the list was read and matched.
    bool check(const std::string& list) {
        const bool is_stdin = list == "-";
        const std::string shown = shown_name(is_stdin ? "standard input" : list);
        std::string error;
        const int fd = is_stdin ? kStdinFd : open_for_reading(path_from_utf8(list), error);
        if (fd < 0) {
            report(shown + ": " + error);
            return false;
        }
        Counts n;
        LineReader reader(fd);
        std::string line;
        int got = 0;
        for (std::uintmax_t number = 1; (got = reader.next(line, error)) > 0; ++number) {
            if (!line.empty() && line[0] == '#') continue;  // a comment
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty()) continue;
            std::string hex, name;
            if (!split(line, hex, name) || (is_stdin && name == "-")) {
                ++n.malformed;
                if (o_.warn)
                    report(shown + ": " + std::to_string(number) + ": improperly formatted " + std::string(kTag) +
                           " checksum line");
                continue;
            }
            n.formatted = true;
            check_file(name, hex, n);
        }
        if (!is_stdin) close_fd(fd);
        if (got < 0) {
            report(shown + ": read error");
            return false;
        }
        if (!n.formatted) {
            report(shown + ": no properly formatted checksum lines found");
        } else if (!o_.status) {
            if (n.malformed > 0)
                report("WARNING: " + count(n.malformed, "line is", "lines are") + " improperly formatted");
            if (n.unreadable > 0)
                report("WARNING: " + count(n.unreadable, "listed file", "listed files") + " could not be read");
            if (n.mismatched > 0)
                report("WARNING: " + count(n.mismatched, "computed checksum", "computed checksums") + " did NOT match");
            if (o_.ignore_missing && !n.matched) report(shown + ": no file was verified");
        }
        return n.formatted && n.matched && n.mismatched == 0 && n.unreadable == 0 && (!o_.strict || n.malformed == 0);
    }

private:
    struct Counts {
        std::uintmax_t malformed = 0, mismatched = 0, unreadable = 0;
        bool formatted = false;  // at least one line was a digest line
        bool matched = false;    // at least one file matched
    };

    static std::string count(std::uintmax_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    }

    void check_file(const std::string& name, const std::string& hex, Counts& n) {
        // Only a line break would split the output line, so only then is the
        // name escaped (and never with --status, which prints nothing).
        const bool escape = !o_.status && name.find('\n') != std::string::npos;
        // Appended rather than "\\" + escaped(name), which g++ 12 -O3 wrongly
        // takes for an overlapping copy (-Wrestrict) when it inlines it.
        std::string shown = escape ? "\\" : "";
        shown += escape ? escaped(name) : name;
        std::string error;
        bool missing = false;
        const auto digest = digest_of(name, error, missing);
        if (!digest && o_.ignore_missing && missing) return;
        if (!digest) {
            report(shown_name(name) + ": " + error);
            ++n.unreadable;
            if (!o_.status) std::cout << shown << ": FAILED open or read\n";
            return;
        }
        std::string expected = hex;
        for (char& c : expected) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool match = ToHex(*digest) == expected;
        if (match)
            n.matched = true;
        else
            ++n.mismatched;
        if (o_.status) return;
        if (!match)
            std::cout << shown << ": FAILED\n";
        else if (!o_.quiet)
            std::cout << shown << ": OK\n";
    }

    // A line "DIGEST  NAME" (or "DIGEST *NAME"), "SHA256 (NAME) = DIGEST", or
    // the reversed "DIGEST NAME", any of them after blanks and a backslash
    // that says the name is escaped.
    bool split(const std::string& line, std::string& hex, std::string& name) {
        std::size_t i = 0;
        while (i < line.size() && is_blank(line[i])) ++i;
        const bool escapes = i < line.size() && line[i] == '\\';
        if (escapes) ++i;
        if (line.compare(i, kTag.size(), kTag) == 0) {
            i += kTag.size();
            if (i < line.size() && line[i] == ' ') ++i;
            if (i >= line.size() || line[i] != '(') return false;
            const std::size_t close = line.rfind(')');
            if (close == std::string::npos || close <= i) return false;
            name = line.substr(i + 1, close - i - 1);
            if (escapes && !unescape(name)) return false;
            std::size_t k = close + 1;
            while (k < line.size() && is_blank(line[k])) ++k;
            if (k >= line.size() || line[k] != '=') return false;
            ++k;
            while (k < line.size() && is_blank(line[k])) ++k;
            hex = line.substr(k);
            return all_hex_digits(hex);
        }
        // The digest, one blank, and a name of one character at least.
        if (line.size() - i < kHexDigits + 2 + (line[i] == '\\' ? 1 : 0)) return false;
        hex = line.substr(i, kHexDigits);
        i += kHexDigits;
        if (!is_blank(line[i]) || !all_hex_digits(hex)) return false;
        ++i;
        // "DIGEST NAME" with a single blank, as BSD's "-r" writes: allowed,
        // but one list does not mix it with the usual form, so that a name
        // cannot gain or lose a leading blank or star.
        if (line.size() - i == 1 || (line[i] != ' ' && line[i] != '*')) {
            if (reversed_ == 0) return false;
            reversed_ = 1;
        } else if (reversed_ != 1) {
            reversed_ = 0;
            ++i;  // the mode marker
        }
        name = line.substr(i);
        return !escapes || unescape(name);
    }

    const Sha256Options& o_;
    int reversed_ = -1;  // -1 unknown yet; 1 the reversed form; 0 the usual
};

void usage_unless_checking(bool given, const Sha256Options& o, const char* option) {
    if (given && !o.check)
        throw UsageError(std::string("the ") + option + " option is meaningful only when verifying checksums");
}

// The same rules, in the same order, as sha256sum's.
void check_usage(const Sha256Options& o) {
    if (o.tag && o.binary == 0) throw UsageError("--tag does not support --text mode");
    if (o.zero && o.check) throw UsageError("the --zero option is not supported when verifying checksums");
    if (o.tag && o.check) throw UsageError("the --tag option is meaningless when verifying checksums");
    if (o.binary >= 0 && o.check)
        throw UsageError("the --binary and --text options are meaningless when verifying checksums");
    usage_unless_checking(o.ignore_missing, o, "--ignore-missing");
    usage_unless_checking(o.status, o, "--status");
    usage_unless_checking(o.warn, o, "--warn");
    usage_unless_checking(o.quiet, o, "--quiet");
    usage_unless_checking(o.strict, o, "--strict");
    if (o.text_given && (o.check || !o.files.empty() || o.binary >= 0 || o.zero))
        throw UsageError("--text prints the digest of its TEXT alone: no files, -c, -b, -t, --tag or -z");
}

}  // namespace

int run_sha256(const Sha256Options& o) {
    check_usage(o);
    if (o.text_given) {
        std::cout << clsHsh().SHA256(utf8_to_utf16(o.text, "--text")) << "\n";
        return kExitOk;
    }
    std::vector<std::string> files = o.files;
    if (files.empty()) files.push_back("-");
    bool ok = true;
    if (o.check) {
        Checker checker(o);
        for (const auto& list : files) ok = checker.check(list) && ok;
        return ok ? kExitOk : kExitFailure;
    }
    const char end = o.zero ? '\0' : '\n';
    for (const auto& name : files) {
        std::string error;
        bool missing = false;
        const auto digest = digest_of(name, error, missing);
        if (!digest) {
            report(shown_name(name) + ": " + error);
            ok = false;
            continue;
        }
        // With -z each line ends in NUL and the name is written as it is.
        const bool escape = !o.zero && needs_escape(name);
        const std::string shown = escape ? escaped(name) : name;
        if (escape) std::cout << '\\';
        if (o.tag)
            std::cout << kTag << " (" << shown << ") = " << ToHex(*digest) << end;
        else
            std::cout << ToHex(*digest) << ' ' << (o.binary == 1 ? '*' : ' ') << shown << end;
    }
    return ok ? kExitOk : kExitFailure;
}

}  // namespace clscrypt::tool
