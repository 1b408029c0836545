#pragma once

// What encrypt, decrypt and rekey share: the names the arguments mean, where
// each result goes, and how a library error reads to the person at the
// keyboard. cipher_commands.cpp runs over files, filter.cpp over standard
// input and --text.

#include <filesystem>
#include <string>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "commands.hpp"
#include "errors.hpp"
#include "files.hpp"

namespace clscrypt::tool {

enum class Mode { Encrypt, Decrypt, Rekey };

/// What a library error means to the person at the keyboard. `name` is the
/// input as messages show it; `paths` are the names the library was given,
/// which its own words quote as they are: they are shown escaped too.
ToolError explain(const RuntimeError& e, const std::string& name, Mode mode,
                  const std::vector<std::filesystem::path>& paths = {});

/// What the arguments name, in their order: a file to process, a problem
/// to report in its place, or a file a walk skipped (`skipped`, with the
/// -v line that says why in `problem`).
struct Item {
    std::filesystem::path input;
    std::string problem;
    bool skipped = false;
};

/// Where a result goes.
struct Target {
    std::filesystem::path path;
    NodeKind kind = NodeKind::Missing;
    bool standard_output = false;
    [[nodiscard]] std::string name() const;
};

/// The file a name means for --in-place and rekey: a symbolic link is
/// followed, so that the file it points to is replaced (and its plaintext is
/// really gone) while the link stays.
std::filesystem::path resolved(const std::filesystem::path& input);

/// Where `input` goes (an empty `input`: standard input, with -o). Raises a
/// ToolError when the tool must not write there. Without -f an existing file
/// is refused here, before any work, and again at the final step, which
/// never replaces a file that appeared meanwhile.
Target output_for(const std::filesystem::path& input, const CipherOptions& o, Mode mode);

/// The files the arguments name, folders walked with -r, and the problems
/// found on the way, each where its argument stands. A file named twice (or
/// found twice) is done once, where it first comes.
std::vector<Item> expand(const CipherOptions& o, Mode mode);

/// Standard input, or --text, to standard output or -o OUT.
int run_filter(clsToString& cipher, const CipherOptions& o, Mode mode);

}  // namespace clscrypt::tool
