// encrypt, decrypt and rekey.
//
// Files stream through the library's file operations (bounded memory) into
// the tool's outputs (files.hpp): a new file that takes its name only once
// complete, or a device or FIFO written into. Standard input is read whole,
// into one buffer: the format stores the message length in its first block,
// so nothing can be written before the whole message is known.

#include <algorithm>
#include <atomic>
#include <charconv>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include <clscrypt/clscrypt.hpp>

#include "commands.hpp"
#include "common/utf.hpp"
#include "errors.hpp"
#include "files.hpp"
#include "progress_bar.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace fs = std::filesystem;

namespace {

enum class Mode { Encrypt, Decrypt, Rekey };

// Standard input and --text carry a ciphertext; everything else names a file.
bool names_a_file(const std::string& name) {
    return name != "standard input" && name != "--text";
}

// What a library error means to the person at the keyboard. `name` is the
// input as messages show it; `paths` are the names the library was given,
// which its own words quote as they are: they are shown escaped too.
ToolError explain(const RuntimeError& e, const std::string& name, Mode mode, const std::vector<fs::path>& paths = {}) {
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
        const std::string raw = "'" + path_to_utf8(path) + "'";
        for (auto at = words.find(raw); at != std::string::npos; at = words.find(raw, at + 1)) {
            const std::string shown = shown_path(path);
            words.replace(at, raw.size(), shown);
            at += shown.size() - 1;
        }
    }
    return ToolError(name + ": " + without_controls(words), kExitFailure);
}

// What the arguments name, in their order: a file to process, a problem
// to report in its place, or a file a walk skipped (`skipped`, with the
// -v line that says why in `problem`).
struct Item {
    fs::path input;
    std::string problem;
    bool skipped = false;
};

// Where a result goes.
struct Target {
    fs::path path;
    NodeKind kind = NodeKind::Missing;
    bool standard_output = false;
    [[nodiscard]] std::string name() const { return standard_output ? "standard output" : shown_path(path); }
};

bool has_suffix(const fs::path& p, const std::string& suffix) {
    const std::string name = p.filename().string();
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The file a name means for --in-place and rekey: a symbolic link is
// followed, so that the file it points to is replaced (and its plaintext is
// really gone) while the link stays.
fs::path resolved(const fs::path& input) {
    std::error_code ec;
    const fs::path real = fs::canonical(input, ec);
    return ec ? input : real;
}

// Where `input` goes. Raises a ToolError when the tool must not write there.
// Without -f an existing file is refused here, before any work, and again
// at the final step, which never replaces a file that appeared meanwhile.
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

// The files the arguments name, folders walked with -r, and the problems
// found on the way, each where its argument stands. A file named twice (or
// found twice) is done once, where it first comes.
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

// Standard input, whole: in memory up to a threshold, past it in an
// unnamed temporary file, so that a large pipe costs disk, not memory.
struct StandardInput {
    std::vector<std::uint8_t> bytes;                 // when held in memory
    platform::FileHandle spool = platform::kNoFile;  // the temporary file, read from its start
    std::uint64_t size = 0;
    StandardInput() = default;
    StandardInput(const StandardInput&) = delete;
    StandardInput& operator=(const StandardInput&) = delete;
    ~StandardInput() {
        std::error_code ignored;  // only read: nothing to lose
        if (spooled()) platform::close_file(spool, ignored);
    }
    [[nodiscard]] bool spooled() const { return spool != platform::kNoFile; }
};

// How much of standard input is held in memory before it goes to a
// temporary file: 64 MiB. CLSCRYPT_SPOOL_THRESHOLD (bytes) lowers it; it
// is there for the tests, which cannot push 64 MiB through a pipe quickly,
// and is no documented option.
std::uint64_t spool_threshold() {
    constexpr std::uint64_t kDefault = std::uint64_t{64} << 20;
    const auto given = environment_variable("CLSCRYPT_SPOOL_THRESHOLD");
    if (!given) return kDefault;
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(given->data(), given->data() + given->size(), n);
    return ec == std::errc() && end == given->data() + given->size() ? n : kDefault;
}

// Reads standard input whole; refused as soon as it passes `limit` bytes.
// In memory, it is one buffer with `room` bytes to spare (so the cipher
// works in place), gathered from pieces freed as they go, so memory never
// holds more than one copy and a piece. With `spool`, an input longer than
// spool_threshold() goes to a temporary file instead.
void read_standard_input(StandardInput& in, std::uint64_t limit, std::size_t room, bool spool) {
    const std::string too_large = "standard input: too large for this format (at most " + std::to_string(limit) +
                                  " bytes); encrypt it as a file, or split it";
    if (const auto size = remaining_file_size(kStdinFd); size && *size > limit) {
        throw ToolError(too_large, kExitFailure);
    }
    const std::uint64_t threshold = spool ? spool_threshold() : limit;
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::vector<std::vector<std::uint8_t>> pieces;
    std::uint64_t total = 0;
    for (bool more = true; more;) {
        std::vector<std::uint8_t> piece(kPiece);
        std::size_t filled = 0;
        while (filled < kPiece) {
            std::string error;
            const long long got = read_some(kStdinFd, piece.data() + filled, kPiece - filled, error);
            if (got < 0) throw ToolError("cannot read standard input: " + error, kExitFailure);
            if (got == 0) {
                more = false;
                break;
            }
            filled += static_cast<std::size_t>(got);
        }
        total += filled;
        if (total > limit) throw ToolError(too_large, kExitFailure);
        piece.resize(filled);
        pieces.push_back(std::move(piece));
        if (total <= threshold) continue;
        std::error_code ec;
        if (!in.spooled()) {
            fs::path folder;
            in.spool = platform::create_unnamed_file(folder, ec);
            if (!in.spooled()) {
                throw ToolError("standard input: cannot make a temporary file to hold it (TMPDIR " +
                                    shown_path(folder) + ": " + ec.message() + ")",
                                kExitFailure);
            }
        }
        for (auto& held : pieces) {
            if (!platform::write_file(in.spool, held, ec)) {
                throw ToolError("standard input: cannot hold it in a temporary file: " + ec.message(), kExitFailure);
            }
        }
        pieces.clear();
    }
    in.size = total;
    if (in.spooled()) {
        std::error_code ec;
        if (!platform::rewind_file(in.spool, ec)) {
            throw ToolError("standard input: cannot read back its temporary file: " + ec.message(), kExitFailure);
        }
        return;
    }
    in.bytes.reserve(static_cast<std::size_t>(total) + room);
    for (auto& piece : pieces) {
        in.bytes.insert(in.bytes.end(), piece.begin(), piece.end());
        std::vector<std::uint8_t>().swap(piece);
    }
}

void write_hex(Output& out, std::span<const std::uint8_t> bytes) {
    constexpr std::size_t kSlice = std::size_t{1} << 16;
    for (std::size_t at = 0; at < bytes.size(); at += kSlice) {
        const std::size_t n = std::min(kSlice, bytes.size() - at);
        const std::string hex = WriteHex(bytes.subspan(at, n));
        out.write(std::span(reinterpret_cast<const std::uint8_t*>(hex.data()), hex.size()));
    }
}

void write_line_end(Output& out) {
    out.write(std::span(reinterpret_cast<const std::uint8_t*>("\n"), 1));
}

// A spooled standard input through the cipher's streams, a piece at a
// time: the whole length is known, as the format needs it up front.
void convert_spooled(clsToString& cipher, StandardInput& in, Output& out, Mode mode, bool hex) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    std::vector<std::uint8_t> piece(kPiece), result;
    std::optional<EncryptStream> encrypting;
    std::optional<DecryptStream> decrypting;
    if (mode == Mode::Encrypt) {
        encrypting.emplace(cipher, in.size);
    } else {
        decrypting.emplace(cipher, std::u16string_view{}, in.size);
    }
    const auto put = [&] {
        if (hex) {
            write_hex(out, result);
        } else {
            out.write(result);
        }
        result.clear();
    };
    for (std::uint64_t left = in.size; left > 0;) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, left));
        std::size_t filled = 0;
        std::error_code ec;
        if (!platform::read_file(in.spool, std::span(piece.data(), want), filled, ec) || filled < want) {
            throw ToolError("standard input: cannot read back its temporary file: " +
                                (ec ? ec.message() : std::string("it ended early")),
                            kExitFailure);
        }
        left -= filled;
        const std::span<const std::uint8_t> chunk(piece.data(), filled);
        if (encrypting) {
            encrypting->Update(chunk, result);
        } else {
            decrypting->Update(chunk, result);
        }
        put();
    }
    if (encrypting) {
        encrypting->Final(result);
    } else {
        decrypting->Final();
    }
    put();
    Wipe(piece.data(), piece.size());
}

// Where -o sends the result of standard input or --text.
Output filter_output(const CipherOptions& o, Mode mode, bool binary) {
    if (o.output.empty() || o.output == "-") {
        if (binary && !o.force && stdout_is_terminal()) {
            throw UsageError("will not write binary ciphertext to a terminal; redirect it, add --hex, or use -f");
        }
        return Output::standard_output();
    }
    const Target t = output_for({}, o, mode);
    if (t.standard_output) return Output::standard_output();
    if (t.kind == NodeKind::Stream) return Output::into_stream(t.path, t.name());
    return Output::new_file(t.path, 0666, t.name());
}

// Standard input, or --text, to standard output or -o OUT.
int run_filter(clsToString& cipher, const CipherOptions& o, Mode mode) {
    const std::string what = o.text_given ? "--text" : "standard input";
    Output out = filter_output(o, mode, mode == Mode::Encrypt && !o.hex);
    try {
        std::vector<std::uint8_t> bytes;
        if (o.text_given && mode == Mode::Encrypt) {
            // A string: its characters go through the code page, as the string operation does.
            bytes = cipher.GetCodePage().Encode(utf8_to_utf16(o.text, "--text"));
        } else if (mode == Mode::Decrypt && (o.text_given || o.hex)) {
            // Hexadecimal ciphertext, read by the library's one rule.
            if (o.text_given) {
                bytes = read_ciphertext_hex(o.text, what);
            } else {
                StandardInput in;
                read_standard_input(in, 4 * MaxCiphertextLength, 0, false);
                bytes = read_ciphertext_hex(
                    std::string_view(reinterpret_cast<const char*>(in.bytes.data()), in.bytes.size()), what);
            }
        } else {
            StandardInput in;
            read_standard_input(in, mode == Mode::Encrypt ? MaxMessageLength : MaxCiphertextLength, 24, true);
            if (in.spooled()) {
                convert_spooled(cipher, in, out, mode, o.hex);
                if (o.hex) write_line_end(out);
                out.commit(o.force);
                return kExitOk;
            }
            bytes = std::move(in.bytes);
        }
        if (mode == Mode::Encrypt) {
            cipher.EncryptByte(bytes);
            if (o.hex) {
                write_hex(out, bytes);
                write_line_end(out);
            } else {
                out.write(bytes);
            }
        } else {
            cipher.DecryptByte(bytes);
            if (o.text_given) {
                const std::string text = common::utf16_to_utf8(cipher.GetCodePage().Decode(bytes)) + "\n";
                out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
            } else {
                out.write(bytes);
            }
        }
        out.commit(o.force);
        return kExitOk;
    } catch (const RuntimeError& e) {
        throw explain(e, what, mode);
    }
}

// The most files at once that serve: one per processor (at least four, so
// that files waiting for the disk leave the processors something to do),
// and never more than the signal cleanup keeps track of. Past that, threads
// only hold memory and half-written files.
std::size_t usable_jobs() {
    const std::size_t processors = std::max(4U, std::thread::hardware_concurrency());
    return std::min(processors, static_cast<std::size_t>(temporary_slots()));
}

// How many files to process at once: what -j asks (at most usable_jobs()), else one per processor,
// never more than there are files. When two inputs would write the same
// output, or one's output is another's input, the result would depend on
// the order, so they go one at a time as given.
std::size_t job_count(const CipherOptions& o, const std::vector<Item>& inputs, Mode mode) {
    std::size_t jobs = o.jobs > 0 ? static_cast<std::size_t>(o.jobs) : usable_jobs();
    jobs = std::min({jobs, usable_jobs(), inputs.size()});
    if (jobs <= 1) return 1;
    std::set<fs::path> paths;
    for (const auto& item : inputs) {
        std::error_code ec;
        if (item.problem.empty() && !paths.insert(fs::weakly_canonical(item.input, ec)).second) return 1;
    }
    for (const auto& item : inputs) {
        if (mode == Mode::Rekey || o.in_place) break;  // each output is its own input
        if (!item.problem.empty()) continue;
        fs::path out;
        try {
            CipherOptions forced = o;
            forced.force = true;  // only the name matters here
            out = output_for(item.input, forced, mode).path;
        } catch (const ToolError&) {
            continue;  // reported when the file's turn comes
        }
        std::error_code ec;
        if (!paths.insert(fs::weakly_canonical(out, ec)).second) return 1;
    }
    return jobs;
}

bool use_bar(const CipherOptions& o) {
    return !o.quiet && (o.progress || stderr_is_terminal());
}

int run_cipher(CipherOptions o, Mode mode) {
    if (o.quiet && o.verbose) throw UsageError("-q and -v exclude each other");
    const bool filter = o.text_given || o.files.empty() || (o.files.size() == 1 && o.files[0] == "-");
    if (filter && mode == Mode::Rekey) throw UsageError("rekey works on files: name at least one");
    if (filter && (o.in_place || o.recursive)) {
        throw UsageError("--in-place and -r work on files, not on standard input or --text");
    }
    if (!filter && o.hex) throw UsageError("--hex works on standard input and output or --text, not on files");
    if (o.in_place && !o.output.empty()) throw UsageError("--in-place and -o exclude each other");
    if (!o.output.empty() && o.files.size() > 1) throw UsageError("-o takes a single input file");
    if (o.suffix.empty()) throw UsageError("--suffix must not be empty");

    const CodePage codepage = CodePage::FromNumber(o.codepage);
    clsToString cipher(codepage);
    o.keys.quiet = o.quiet;
    o.keys.stdin_is_data = filter && !o.text_given;
    apply_keys(cipher, o.keys, mode == Mode::Encrypt, "key");
    install_signal_cleanup();
    if (filter) return run_filter(cipher, o, mode);

    std::optional<clsToString> target;
    if (mode == Mode::Rekey) {
        target.emplace(codepage);
        o.new_keys.quiet = o.quiet;
        apply_keys(*target, o.new_keys, true, "new key");
    }

    const std::vector<Item> inputs = expand(o, mode);
    int status = kExitOk;
    bool only_wrong_keys = true;

    std::uint64_t total = 0;
    std::size_t files = 0;               // the inputs that are files to process
    std::vector<std::size_t> number_of;  // each input's number among them, from 1
    for (const auto& item : inputs) {
        number_of.push_back(files + 1);
        if (!item.problem.empty()) continue;
        ++files;
        std::error_code ec;
        const auto size = fs::file_size(item.input, ec);
        if (!ec) total += size;
    }
    const std::size_t jobs = job_count(o, inputs, mode);
    if (!o.quiet && o.jobs > 0 && static_cast<std::size_t>(o.jobs) > usable_jobs()) {
        std::cerr << "clscrypt: -j " << o.jobs << ": this machine is served by at most " << usable_jobs()
                  << " files at once; no more are started\n";
    }
    ProgressBar bar(use_bar(o), total, files, jobs);
    // The folders the outputs go to are flushed once each, after the
    // last file and before the run says how it went.
    FolderFlushBatch folder_flushes;

    // One file: what it came to, as a message for the person at the keyboard.
    struct Outcome {
        std::string message;   // the -v line or the error; empty for none
        int code = kExitOk;    // kExitOk, or the exit status the error calls for
        bool skipped = false;  // a file the walk left alone
    };
    const bool in_place = mode == Mode::Rekey || o.in_place;
    // What an in-place rewrite refuses without -f: a file with other names
    // (they would keep the old content), and for encryption, a file the key
    // already reads (encrypted before: a second layer is seldom meant).
    auto check_in_place = [&](const fs::path& in, const fs::path& file, const std::optional<FileFacts>& facts,
                              clsToString& key) {
        if (o.force) return;
        if (facts && facts->links > 1) {
            const std::uint64_t others = facts->links - 1;
            throw ToolError(shown_path(in) + ": has " + std::to_string(others) +
                                (others == 1 ? " other name (a hard link)" : " other names (hard links)") +
                                ", which would keep the old content; nothing was written (use -f to rewrite it "
                                "anyway)",
                            kExitFailure);
        }
        if (mode != Mode::Encrypt) return;
        // The key reads it when its first block decrypts to a length that
        // fits: the first piece of the message then reaches the sink, which
        // stops the reading there.
        struct Reads {};
        bool reads = false;
        try {
            clsToString probe = key;
            probe.Progress = decltype(probe.Progress)();
            probe.DecryptFileTo(file, [](std::span<const std::uint8_t>) { throw Reads{}; });
            reads = true;  // an empty message
        } catch (const Reads&) {
            reads = true;
        } catch (const RuntimeError&) {
            // Not a ciphertext under this key: the encryption below reports any trouble reading it.
        }
        if (reads) {
            throw ToolError(shown_path(in) +
                                ": already encrypted with this key; nothing was written (use -f to encrypt it "
                                "again)",
                            kExitFailure);
        }
    };
    auto process = [&](std::size_t index, clsToString& from, clsToString* to, std::size_t slot) -> Outcome {
        const Item& item = inputs[index];
        if (item.skipped) return {o.verbose ? item.problem : std::string(), kExitOk, true};
        if (!item.problem.empty()) return {"clscrypt: " + item.problem, kExitFailure};
        const fs::path& in = item.input;
        try {
            const Target t = output_for(in, o, mode);
            // In place, the file is held: a second run on it is refused, and
            // a change by anyone else fails this run instead of being lost.
            std::optional<HeldFile> held;
            std::optional<FileFacts> facts;
            if (in_place) {
                held.emplace(t.path);
                facts = file_facts(t.path);
                check_in_place(in, t.path, facts, from);
            }
            const fs::path& source = in_place ? t.path : in;
            Output out = t.standard_output ? Output::standard_output()
                         : t.kind == NodeKind::Stream
                             ? Output::into_stream(t.path, t.name())
                             : Output::new_file(t.path, permission_bits(source), t.name(), facts ? &*facts : nullptr);
            const clsToString::ByteSink sink = [&out](std::span<const std::uint8_t> bytes) { out.write(bytes); };
            std::error_code ec;
            const auto size = fs::file_size(source, ec);
            bar.start_file(shown_path(in), ec ? 0 : size, number_of[index], slot);
            switch (mode) {
                case Mode::Encrypt: from.EncryptFileTo(source, sink); break;
                case Mode::Decrypt: from.DecryptFileTo(source, sink); break;
                case Mode::Rekey: to->RekeyFileTo(from, source, sink); break;
            }
            if (held) held->check_unchanged();
            out.commit(o.force || in_place);
            bar.finish_file(slot);
            if (o.verbose) return {shown_path(in) + (in_place ? " (in place)" : " -> " + t.name()), kExitOk};
            return {};
        } catch (const RuntimeError& e) {
            const ToolError t = explain(e, shown_path(in), mode, {in, resolved(in)});
            return {"clscrypt: " + std::string(t.what()), t.exit_status};
        } catch (const ToolError& e) {
            return {"clscrypt: " + std::string(e.what()), e.exit_status};
        }
    };
    std::size_t done = 0, failed = 0, skipped = 0;
    auto tell = [&](const Outcome& r) {
        if (!r.message.empty()) bar.message(r.message);
        if (r.code == kExitOk) {
            ++(r.skipped ? skipped : done);
            return;
        }
        ++failed;
        if (r.code != kExitWrongKey) only_wrong_keys = false;
        status = kExitFailure;
    };

    if (jobs == 1) {
        clsToString& reporter = target ? *target : cipher;
        reporter.Progress.Subscribe([&bar](std::int32_t& percent) { bar.update(percent); });
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const Outcome r = process(i, cipher, target ? &*target : nullptr, 0);
            tell(r);
            if (r.code == kExitUsage && inputs.size() == 1) return kExitUsage;
        }
    } else {
        // Files side by side, one CBC chain each. Every worker has its own
        // copy of the keyed instances (an instance serves one call at a
        // time) and its own slot in the progress bar; each file's message
        // is told in the order the files were given, as soon as the files
        // before it are done.
        std::vector<std::optional<Outcome>> outcomes(inputs.size());
        std::size_t next_to_tell = 0;
        std::mutex telling;
        std::atomic<std::size_t> next_file{0};
        auto worker = [&](std::size_t slot) {
            clsToString from = cipher;
            std::optional<clsToString> to = target;
            clsToString& reporter = to ? *to : from;
            reporter.Progress.Subscribe([&bar, slot](std::int32_t& percent) { bar.update(percent, slot); });
            for (std::size_t i = next_file++; i < inputs.size(); i = next_file++) {
                Outcome r = process(i, from, to ? &*to : nullptr, slot);
                const std::lock_guard<std::mutex> lock(telling);
                outcomes[i] = std::move(r);
                for (; next_to_tell < outcomes.size() && outcomes[next_to_tell]; ++next_to_tell) {
                    tell(*outcomes[next_to_tell]);
                }
            }
        };
        std::vector<std::thread> threads;
        try {
            for (std::size_t slot = 1; slot < jobs; ++slot) threads.emplace_back(worker, slot);
        } catch (const std::system_error&) {
            // No more threads to be had: the workers started share the files.
        }
        worker(0);
        for (auto& t : threads) t.join();
    }
    // The run has not succeeded until the new names are on disk.
    for (const auto& failure : folder_flushes.flush()) {
        bar.message("clscrypt: " + failure);
        status = kExitFailure;
        only_wrong_keys = false;
    }
    bar.clear();
    // A walk ends with its count, so that a file it left alone is never
    // passed over in silence.
    if (!o.quiet && o.recursive && (o.verbose || skipped > 0)) {
        const auto count = [](std::size_t n, const char* what) {
            return std::to_string(n) + (n == 1 ? " file " : " files ") + what;
        };
        std::string summary = "clscrypt: " + count(done, mode == Mode::Encrypt   ? "encrypted"
                                                         : mode == Mode::Decrypt ? "decrypted"
                                                                                 : "re-keyed");
        if (failed > 0) summary += ", " + std::to_string(failed) + " failed";
        if (skipped > 0) {
            summary += ", " + std::to_string(skipped) +
                       (skipped == 1 ? " skipped: its name ends in " : " skipped: their names end in ") + o.suffix +
                       (skipped == 1 ? ", so it counts" : ", so they count") + " as encrypted" +
                       (o.verbose ? "" : " (-v names them)");
        }
        std::cerr << summary << "\n";
    }
    if (status == kExitOk) return kExitOk;
    return only_wrong_keys ? kExitWrongKey : kExitFailure;
}

}  // namespace

int run_encrypt(CipherOptions options) {
    if (options.lines) return run_lines(std::move(options), LineAction::Encrypt);
    return run_cipher(std::move(options), Mode::Encrypt);
}
int run_decrypt(CipherOptions options) {
    if (options.lines) return run_lines(std::move(options), LineAction::Decrypt);
    return run_cipher(std::move(options), Mode::Decrypt);
}
int run_rekey(CipherOptions options) {
    if (options.lines) return run_lines(std::move(options), LineAction::Rekey);
    return run_cipher(std::move(options), Mode::Rekey);
}

}  // namespace clscrypt::tool
