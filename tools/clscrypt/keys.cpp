#include "keys.hpp"

#include <charconv>
#include <cstring>
#include <iostream>

#include "errors.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace {

SecretText copy_of(std::string_view text) {
    SecretText out;
    for (const char c : text) out.push_back(c);
    return out;
}

UsageError too_long(const std::string& what) {
    return UsageError(what + ": the key is longer than 64 KiB; only the first 72 bytes of a key count anyway");
}

// What was read past a key's line from a descriptor that cannot give bytes
// back (a pipe, a terminal): the next key read from the same descriptor
// starts there, as it did when keys were read a byte at a time. Wiped at exit.
struct Pending {
    int fd;
    SecretText bytes;
};

std::vector<Pending>& pending() {
    static std::vector<Pending> list;
    return list;
}

SecretText take_pending(int fd) {
    auto& list = pending();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->fd == fd || same_open_file(it->fd, fd)) {
            SecretText bytes = std::move(it->bytes);
            list.erase(it);
            return bytes;
        }
    }
    return {};
}

// A key source's content: its first line, without the line ending ("\n"
// or "\r\n"), or all of it when it has no line ending. Read in blocks;
// what follows the line goes back to a regular file (so the descriptor is
// left just after the line) or, when the descriptor stays `open` for later
// keys, is kept for the next key from it.
SecretText read_key_line(int fd, const std::string& what, bool open) {
    constexpr std::size_t kBlock = 4096;
    SecretText buf = open ? take_pending(fd) : SecretText();
    std::size_t end = buf.view().find('\n');
    // One byte more than the limit may be a '\r' that the line ending drops.
    while (end == std::string_view::npos && buf.size() <= kMaxKeyBytes + 1) {
        const std::size_t before = buf.size();
        std::string reason;
        const long long got = read_some(fd, buf.extend(kBlock), kBlock, reason);
        if (got < 0) {
            buf.truncate(before);
            throw ToolError(what + ": cannot read the key: " + reason, kExitFailure);
        }
        buf.truncate(before + static_cast<std::size_t>(got));
        if (got == 0) break;
        end = buf.view().find('\n', before);
    }
    if (end != std::string_view::npos) {
        const std::size_t rest = buf.size() - end - 1;
        if (rest > 0 && !unread(fd, rest) && open) {
            Pending p{fd, {}};
            std::memcpy(p.bytes.extend(rest), buf.view().data() + end + 1, rest);
            pending().push_back(std::move(p));
        }
        buf.truncate(end);
    }
    if (!buf.empty() && buf.back() == '\r') buf.pop_back();
    if (buf.size() > kMaxKeyBytes) throw too_long(what);
    return buf;
}

// How a source is named in messages: never the text of a pass: key, and a
// file's name (or a variable's) escaped as every name in a message is.
std::string source_name(const std::string& source) {
    if (source.compare(0, 5, "pass:") == 0) return "pass:...";
    const auto colon = source.find(':');
    if (colon == std::string::npos) return shown_name(source);
    return source.substr(0, colon + 1) + shown_name(source.substr(colon + 1));
}

// The key text a SOURCE names, as UTF-8. Messages name the kind of source,
// never the text after "pass:" nor a source that may be a mistyped key.
SecretText key_text(const std::string& source, const KeyOptions& options) {
    const auto colon = source.find(':');
    const std::string kind = source.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : source.substr(colon + 1);
    const std::string what = options.option + " " + source_name(source);
    const auto refuse_stdin = [&] {
        return UsageError(what + ": standard input already carries the data; give the key another way");
    };
    if (kind == "pass" && colon != std::string::npos) {
        if (!options.quiet) {
            std::cerr << "clscrypt: warning: a key given as pass:TEXT is visible to other users of this machine; "
                         "prefer env:VAR, file:PATH or fd:N\n";
        }
        return copy_of(std::string_view(source).substr(colon + 1));
    }
    if (kind == "env" && colon != std::string::npos) {
        auto value = environment_variable(rest);
        if (!value) throw UsageError(what + ": the environment variable " + rest + " is not set");
        return copy_of(*value);
    }
    if (kind == "file" && colon != std::string::npos) {
        std::string reason;
        const int fd = open_for_reading(path_from_utf8(rest), reason);
        if (fd < 0) throw ToolError(what + ": cannot open the key file: " + reason, kExitFailure);
        if (options.stdin_is_data && same_open_file(fd, kStdinFd)) {
            close_fd(fd);
            throw refuse_stdin();
        }
        try {
            SecretText line = read_key_line(fd, what, false);  // closed next: no later key reads on
            close_fd(fd);
            return line;
        } catch (...) {
            close_fd(fd);
            throw;
        }
    }
    if (kind == "fd" && colon != std::string::npos) {
        int fd = -1;
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), fd);
        if (ec != std::errc() || end != rest.data() + rest.size() || fd < 0) {
            throw UsageError(what + ": not a file descriptor number");
        }
        // fd:0, or a copy of standard input (3<&0), would take the data's first line as the key.
        if (options.stdin_is_data && (fd == kStdinFd || same_open_file(fd, kStdinFd))) throw refuse_stdin();
        return read_key_line(fd, what, true);
    }
    if (source == "stdin") {
        if (options.stdin_is_data) throw refuse_stdin();
        return read_key_line(kStdinFd, what, true);
    }
    // The source is not repeated: it may be a key typed without "pass:".
    throw UsageError(options.option + ": unknown key source; use pass:TEXT, env:VAR, file:PATH, fd:N or stdin");
}

// Key text in another encoding than UTF-8 is refused for what it is, before
// its bytes could be read as other characters. A file saved as UTF-16
// (Notepad's "Unicode") starts with FF FE or FE FF and has a NUL beside
// every ASCII character; saved as "UTF-8 with BOM" it starts with EF BB BF.
// The mark is refused rather than dropped: no key the legacy program took
// began with one, and a key quietly differing from the file's bytes would be
// worse than a plain refusal. A NUL is in no key that can be typed.
void check_encoding(std::string_view text, const std::string& what) {
    const auto starts = [&](std::string_view mark) { return text.substr(0, mark.size()) == mark; };
    if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
        throw UsageError(what +
                         " is UTF-16 text (it starts with a UTF-16 byte-order mark, as a file saved as "
                         "\"Unicode\" in Notepad does); save the key as UTF-8 text");
    }
    if (starts("\xEF\xBB\xBF")) {
        throw UsageError(what +
                         " starts with a UTF-8 byte-order mark (as a file saved as \"UTF-8 with BOM\" "
                         "does), which is no part of a key; save the key without it");
    }
    if (text.find('\0') != std::string_view::npos) {
        throw UsageError(what +
                         " holds a NUL byte, which no key has (a file saved as UTF-16 has one beside "
                         "every ASCII character); save the key as UTF-8 text");
    }
}

// The key as the library takes it, refused when its code page would turn a
// character into '?' (unless asked for) or when it is absurdly long.
SecretKey checked_key(const SecretText& text, const std::string& what, const clsToString& cipher,
                      const KeyOptions& options) {
    if (text.size() > kMaxKeyBytes) throw too_long(what);
    check_encoding(text.view(), what);
    SecretKey key = utf8_to_key(text.view(), what);
    // The library decides, and its message never holds a character of the key.
    if (!options.replace_unmappable) check_mappable(key.view(), cipher.GetCodePage(), what);
    return key;
}

}  // namespace

void apply_keys(clsToString& cipher, const KeyOptions& options, bool confirm, const std::string& role) {
    if (options.no_key) {
        if (!options.sources.empty()) throw UsageError("--no-key and " + options.option + " exclude each other");
        return;
    }
    std::vector<SecretKey> keys;
    for (const auto& source : options.sources) {
        const std::string what = "the key from " + options.option + " " + source_name(source);
        SecretKey key = checked_key(key_text(source, options), what, cipher, options);
        if (key.empty()) {
            throw UsageError(options.option + " " + source_name(source) +
                             " gives an empty key; for data written without a key use --no-key");
        }
        keys.push_back(std::move(key));
    }
    if (keys.empty()) {
        const auto first = ask_hidden("Enter " + role + ": ");
        if (!first) {
            throw UsageError("no " + role + " given and no terminal to ask on: use " + options.option +
                             " SOURCE (pass:TEXT, env:VAR, file:PATH, fd:N or stdin), or --no-key");
        }
        if (first->empty()) throw UsageError("empty " + role + "; nothing was done");
        SecretKey key = checked_key(*first, "the " + role, cipher, options);
        if (confirm) {
            const auto again = ask_hidden("Enter " + role + " again: ");
            if (!again || !(*again == *first)) {
                throw ToolError("the two " + role + "s differ; nothing was done", kExitFailure);
            }
        }
        keys.push_back(std::move(key));
    }
    for (const auto& key : keys) cipher.Key(key.view());
}

}  // namespace clscrypt::tool
