#include "keys.hpp"

#include <charconv>
#include <iostream>

#include "errors.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace {

// The key text a SPEC names, as UTF-8.
std::string key_text(const std::string& spec, const KeyOptions& options) {
    const auto colon = spec.find(':');
    const std::string kind = spec.substr(0, colon);
    const std::string rest = colon == std::string::npos ? std::string() : spec.substr(colon + 1);
    if (kind == "pass" && colon != std::string::npos) {
        if (!options.quiet) {
            std::cerr << "clscrypt: warning: a key given as pass:TEXT is visible to other users of this machine; "
                         "prefer env:VAR, file:PATH or fd:N\n";
        }
        return rest;
    }
    if (kind == "env" && colon != std::string::npos) {
        auto value = environment_variable(rest);
        if (!value) {
            throw UsageError("--pass env:" + rest + ": the environment variable " + rest + " is not set");
        }
        return *value;
    }
    if (kind == "file" && colon != std::string::npos) {
        std::string reason;
        const int fd = open_for_reading(path_from_utf8(rest), reason);
        if (fd < 0) {
            throw ToolError("--pass file:" + rest + ": cannot open the key file: " + reason, kExitFailure);
        }
        std::string line = read_line_from_fd(fd, "'" + rest + "'");
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
    if (spec == "stdin") {
        if (options.stdin_is_data) {
            throw UsageError("--pass stdin: standard input already carries the data; give the key another way");
        }
        return read_line_from_fd(kStdinFd, "standard input");
    }
    throw UsageError("--pass " + spec + ": unknown key source; use pass:TEXT, env:VAR, file:PATH, fd:N or stdin");
}

}  // namespace

void apply_keys(clsToString& cipher, const KeyOptions& options, bool confirm, const std::string& role) {
    if (options.no_key) {
        if (!options.specs.empty()) throw UsageError("--no-key and --pass exclude each other");
        return;
    }
    std::vector<std::u16string> keys;
    for (const auto& spec : options.specs) {
        std::u16string key = utf8_to_utf16(key_text(spec, options), "the key from --pass " + spec.substr(0, 5));
        if (key.empty()) {
            throw UsageError("--pass " + spec + " gives an empty key; for data written without a key use --no-key");
        }
        keys.push_back(std::move(key));
    }
    if (keys.empty()) {
        const auto first = ask_hidden("Enter " + role + ": ");
        if (!first) {
            throw UsageError("no " + role + " given and no terminal to ask on: use --pass SPEC (pass:TEXT, env:VAR, "
                             "file:PATH, fd:N or stdin), or --no-key");
        }
        if (first->empty()) throw UsageError("empty " + role + "; nothing was done");
        if (confirm) {
            const auto again = ask_hidden("Enter " + role + " again: ");
            if (!again || *again != *first) {
                throw ToolError("the two " + role + "s differ; nothing was done", kExitFailure);
            }
        }
        keys.push_back(utf8_to_utf16(*first, "the " + role));
    }
    for (const auto& key : keys) cipher.Key(key);
}

}  // namespace clscrypt::tool
