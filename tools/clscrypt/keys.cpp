#include "keys.hpp"

#include <charconv>
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

// The key text a SOURCE names, as UTF-8. Messages name the kind of source,
// never the text after "pass:" nor a source that may be a mistyped key.
SecretText key_text(const std::string& source, const KeyOptions& options) {
    const auto colon = source.find(':');
    const std::string kind = source.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : source.substr(colon + 1);
    if (kind == "pass" && colon != std::string::npos) {
        if (!options.quiet) {
            std::cerr << "clscrypt: warning: a key given as pass:TEXT is visible to other users of this machine; "
                         "prefer env:VAR, file:PATH or fd:N\n";
        }
        return copy_of(std::string_view(source).substr(colon + 1));
    }
    if (kind == "env" && colon != std::string::npos) {
        auto value = environment_variable(rest);
        if (!value) {
            throw UsageError("--pass env:" + rest + ": the environment variable " + rest + " is not set");
        }
        return copy_of(*value);
    }
    if (kind == "file" && colon != std::string::npos) {
        std::string reason;
        const int fd = open_for_reading(path_from_utf8(rest), reason);
        if (fd < 0) {
            throw ToolError("--pass file:" + rest + ": cannot open the key file: " + reason, kExitFailure);
        }
        SecretText line = read_line_from_fd(fd, "'" + rest + "'");
        close_fd(fd);
        return line;
    }
    if (kind == "fd" && colon != std::string::npos) {
        int fd = -1;
        const auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), fd);
        if (ec != std::errc() || end != rest.data() + rest.size() || fd < 0) {
            throw UsageError("--pass fd:" + rest + ": not a file descriptor number");
        }
        return read_line_from_fd(fd, "file descriptor " + rest);
    }
    if (source == "stdin") {
        if (options.stdin_is_data) {
            throw UsageError("--pass stdin: standard input already carries the data; give the key another way");
        }
        return read_line_from_fd(kStdinFd, "standard input");
    }
    // The source is not repeated: it may be a key typed without "pass:".
    throw UsageError("--pass: unknown key source; use pass:TEXT, env:VAR, file:PATH, fd:N or stdin");
}

// How a source is named in messages: never the text of a pass: key.
std::string source_name(const std::string& source) {
    return source.compare(0, 5, "pass:") == 0 ? "pass:..." : source;
}

}  // namespace

void apply_keys(clsToString& cipher, const KeyOptions& options, bool confirm, const std::string& role) {
    if (options.no_key) {
        if (!options.sources.empty()) throw UsageError("--no-key and --pass exclude each other");
        return;
    }
    std::vector<SecretKey> keys;
    for (const auto& source : options.sources) {
        SecretKey key = utf8_to_key(key_text(source, options).view(), "the key from --pass " + source_name(source));
        if (key.empty()) {
            throw UsageError("--pass " + source_name(source) +
                             " gives an empty key; for data written without a key use --no-key");
        }
        keys.push_back(std::move(key));
    }
    if (keys.empty()) {
        const auto first = ask_hidden("Enter " + role + ": ");
        if (!first) {
            throw UsageError("no " + role +
                             " given and no terminal to ask on: use --pass SOURCE (pass:TEXT, env:VAR, "
                             "file:PATH, fd:N or stdin), or --no-key");
        }
        if (first->empty()) throw UsageError("empty " + role + "; nothing was done");
        if (confirm) {
            const auto again = ask_hidden("Enter " + role + " again: ");
            if (!again || !(*again == *first)) {
                throw ToolError("the two " + role + "s differ; nothing was done", kExitFailure);
            }
        }
        keys.push_back(utf8_to_key(first->view(), "the " + role));
    }
    for (const auto& key : keys) cipher.Key(key.view());
}

}  // namespace clscrypt::tool
