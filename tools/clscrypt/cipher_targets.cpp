// The inputs and outputs of encrypt, decrypt and rekey: what the arguments
// name (folders walked with -r), where each result goes, and how a library
// error reads.

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "cipher_shared.hpp"
#include "platform/file.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace fs = std::filesystem;

namespace {

// Standard input and --text carry a ciphertext; everything else names a file.
bool names_a_file(const std::string& name) {
    return name != "standard input" && name != "--text";
}

bool has_suffix(const fs::path& p, const std::string& suffix) {
    const std::string name = p.filename().string();
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// What makes two names one file: its device and number where the system
// has them, else the name made absolute.
std::string identity_of(const fs::path& p) {
    if (const auto f = file_facts(p); f && f->inode != 0) {
        return std::to_string(f->device) + ":" + std::to_string(f->inode);
    }
    std::error_code ec;
    return fs::weakly_canonical(p, ec).string();
}

// Walks `folder` and the folders in it, gathering the files that `take`
// accepts, and those it refuses where it says `tell` (-1 for a file left out
// without a word, 0 to take, 1 to skip and say so). A folder that cannot be
// read is reported by its own name, and the walk goes on with the others.
// Links are not followed.
template <typename Take>
void walk(const fs::path& folder, const Take& take, std::vector<std::pair<fs::path, bool>>& found,
          std::vector<std::string>& problems) {
    std::vector<fs::path> folders;
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::error_code kind_ec;
        const auto status = it->symlink_status(kind_ec);
        if (kind_ec) continue;  // gone since it was listed
        if (fs::is_directory(status)) {
            folders.push_back(it->path());
        } else if (fs::is_regular_file(status)) {
            if (const int verdict = take(it->path()); verdict >= 0) found.emplace_back(it->path(), verdict == 1);
        }
    }
    if (ec) problems.push_back(shown_path(folder) + ": cannot read the folder: " + ec.message());
    std::sort(folders.begin(), folders.end());
    for (const auto& sub : folders) walk(sub, take, found, problems);
}

}  // namespace

ToolError explain(const RuntimeError& e, const std::string& name, Mode mode, const std::vector<fs::path>& paths) {
    const bool reading_ciphertext = mode != Mode::Encrypt;
    const std::string not_ours =
        names_a_file(name) ? "not a file encrypted with this format" : "not a ciphertext of this format";
    // The size descriptor does not fit: the key is wrong, or the data is not ours.
    if (e.Kind() == ErrorKind::WrongKeyOrDamaged && e.Number() == RuntimeError::ClassError) {
        return ToolError(name + ": wrong key, or " + not_ours +
                             "; nothing was written (check the key, and for re-keyed data give every --pass in "
                             "the order used)",
                         kExitWrongKey);
    }
    // A length that no ciphertext has.
    if (reading_ciphertext && e.Kind() == ErrorKind::WrongKeyOrDamaged) {
        const char* why = e.Number() == RuntimeError::Overflow
                              ? "longer than the format allows"
                              : "its length is not a whole number of 8-byte blocks of at least 16 bytes";
        return ToolError(name + ": " + not_ours + " (" + why + "); nothing was written", kExitWrongKey);
    }
    if (e.Kind() == ErrorKind::SourceMissing) {
        return ToolError(name + ": no such file; check the name", kExitFailure);
    }
    if (e.Kind() == ErrorKind::Overflow) {
        return ToolError(name + ": too large for this format (at most 2 GiB - 20 bytes of message)", kExitFailure);
    }
    // Failures of the system (open, read, write, space): what the library
    // says, which names the file and the system's reason.
    std::string words = library_words(e);
    for (const auto& path : paths) {
        // Appended piece by piece: g++ 12 at -O3 takes "'" + std::string for
        // an overlapping copy (-Wrestrict), a false alarm.
        std::string raw(1, '\'');
        raw.append(path_to_utf8(path)).push_back('\'');
        for (auto at = words.find(raw); at != std::string::npos; at = words.find(raw, at + 1)) {
            const std::string shown = shown_path(path);
            words.replace(at, raw.size(), shown);
            at += shown.size() - 1;
        }
    }
    return ToolError(name + ": " + without_controls(words), kExitFailure);
}

std::string Target::name() const {
    return standard_output ? "standard output" : shown_path(path);
}

fs::path resolved(const fs::path& input) {
    std::error_code ec;
    const fs::path real = fs::canonical(input, ec);
    return ec ? input : real;
}

Target output_for(const fs::path& input, const CipherOptions& o, Mode mode) {
    if (mode == Mode::Rekey || o.in_place) {
        const fs::path real = resolved(input);
        return {real, node_kind(real), false};
    }
    Target t;
    if (o.output == "-") {
        t.standard_output = true;
        if (mode == Mode::Encrypt && !o.force && stdout_is_terminal()) {
            throw UsageError("will not write binary ciphertext to a terminal; redirect it, or use -f");
        }
        return t;
    }
    if (!o.output.empty()) {
        t.path = path_from_utf8(o.output);
        // /dev/stdout and its like: standard output, whatever it writes to,
        // written into as "-o -" would be.
        if (links_to_standard_output(t.path)) {
            if (mode == Mode::Encrypt && !o.force && stdout_is_terminal()) {
                throw UsageError("will not write binary ciphertext to a terminal; redirect it, or use -f");
            }
            t.standard_output = true;
            return t;
        }
    } else if (mode == Mode::Encrypt) {
        t.path = input;
        t.path += path_from_utf8(o.suffix);
    } else {
        if (!has_suffix(input, o.suffix)) {
            throw ToolError(shown_path(input) + ": the name does not end in " + o.suffix +
                                "; say where to write with -o OUT or --suffix S",
                            kExitUsage);
        }
        const std::string name = input.filename().string();
        t.path = input.parent_path() / path_from_utf8(name.substr(0, name.size() - o.suffix.size()));
    }
    std::error_code ec;
    const bool name_taken = fs::exists(fs::symlink_status(t.path, ec));
    // A symbolic link leads to the name written: the file there is replaced
    // (or the FIFO or device written into) and the link stays.
    t.path = followed_links(t.path);
    if (!input.empty() && same_file(input, t.path)) {
        throw ToolError(shown_path(input) + ": the output would replace the input; use --in-place to mean that",
                        kExitUsage);
    }
    t.kind = node_kind(t.path);
    switch (t.kind) {
        case NodeKind::Folder: throw ToolError(t.name() + ": is a folder; name a file to write", kExitFailure);
        case NodeKind::Other:
            throw ToolError(t.name() + ": is neither a file, a character device nor a FIFO; will not write there",
                            kExitFailure);
        case NodeKind::Stream: return t;  // written into, as a shell's redirection would
        case NodeKind::Regular:
        case NodeKind::Missing: break;
    }
    if (!o.force && name_taken) {
        throw ToolError(t.name() + ": already exists; use -f to overwrite it", kExitFailure);
    }
    return t;
}

std::vector<Item> expand(const CipherOptions& o, Mode mode) {
    std::vector<Item> inputs;
    std::set<std::string> seen;
    auto add = [&](fs::path p) {
        if (seen.insert(identity_of(p)).second) inputs.push_back({std::move(p), {}});
    };
    for (const auto& arg : o.files) {
        const fs::path p = path_from_utf8(arg);
        std::error_code ec;
        if (!fs::is_directory(p, ec)) {
            add(p);
            continue;
        }
        if (!o.recursive) {
            inputs.push_back({{}, shown_name(arg) + ": is a folder; use -r to process the files in it"});
            continue;
        }
        const auto take = [&](const fs::path& file) {
            // A run's hidden temporary file is no input of another.
            if (platform::is_temporary_name(file.filename())) return -1;
            // Encrypting skips what is already encrypted, and says so: a
            // plaintext file may carry the suffix too. Decrypting and
            // re-keying take only such files, among others that are no
            // business of theirs.
            const bool encrypted = has_suffix(file, o.suffix);
            if (mode == Mode::Encrypt) return encrypted ? 1 : 0;
            return encrypted ? 0 : -1;
        };
        std::vector<std::pair<fs::path, bool>> found;
        std::vector<std::string> problems;
        walk(p, take, found, problems);
        std::sort(found.begin(), found.end());
        bool any_taken = false;
        for (auto& [f, skip] : found) {
            if (!skip) {
                any_taken = true;
                add(std::move(f));
            } else if (seen.insert(identity_of(f)).second) {
                inputs.push_back({f,
                                  shown_path(f) + ": skipped: its name ends in " + o.suffix +
                                      ", so it counts as encrypted (name it to encrypt it anyway)",
                                  true});
            }
        }
        for (auto& problem : problems) inputs.push_back({{}, std::move(problem)});
        if (!any_taken && problems.empty()) {
            // A run that does nothing must not look like one that did it all.
            const std::string what =
                mode == Mode::Encrypt ? "no file in it to encrypt (names ending in " + o.suffix + " count as encrypted)"
                                      : "no file in it ends in " + o.suffix + ", so nothing was " +
                                            (mode == Mode::Rekey ? "re-keyed" : "decrypted") +
                                            " (files encrypted with --in-place keep their names: name them)";
            inputs.push_back({{}, shown_name(arg) + ": " + what});
        }
    }
    return inputs;
}

}  // namespace clscrypt::tool
