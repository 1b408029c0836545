// encrypt, decrypt and rekey.
//
// Files stream through the library's file operations (bounded memory,
// crash-safe replacement). Standard input is read whole: the format stores
// the message length in its first block, so nothing can be written before
// the whole message is known.

#include <algorithm>
#include <atomic>
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
#include "errors.hpp"
#include "progress_bar.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace fs = std::filesystem;

namespace {

enum class Mode { Encrypt, Decrypt, Rekey };

// What a library error means to the person at the keyboard.
ToolError explain(const RuntimeError& e, const std::string& name, Mode mode) {
    const bool reading_ciphertext = mode != Mode::Encrypt;
    if (e.Kind() == ErrorKind::WrongKeyOrDamaged && e.Number() == RuntimeError::ClassError) {
        return ToolError(name +
                             ": wrong key, or not a file encrypted in this format; nothing was written "
                             "(check the key, and for re-keyed data give every --pass in the order used)",
                         kExitWrongKey);
    }
    if (reading_ciphertext && e.Kind() == ErrorKind::WrongKeyOrDamaged) {
        return ToolError(name +
                             ": not a file encrypted in this format (its length is not a whole number of "
                             "8-byte blocks of at least 16 bytes); nothing was written",
                         kExitWrongKey);
    }
    if (e.Kind() == ErrorKind::SourceMissing) {
        return ToolError(name + ": no such file; check the name", kExitFailure);
    }
    if (e.Kind() == ErrorKind::Overflow) {
        return ToolError(name + ": too large for this format (at most 2 GiB - 20 bytes of message)", kExitFailure);
    }
    return ToolError(name + ": " + e.what(), kExitFailure);
}

struct Job {
    fs::path input;
    fs::path output;
    std::uint64_t size = 0;
};

bool has_suffix(const fs::path& p, const std::string& suffix) {
    const std::string name = p.filename().string();
    return name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool same_file(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    if (fs::exists(a, ec) && fs::exists(b, ec)) return fs::equivalent(a, b, ec);
    return fs::weakly_canonical(a, ec) == fs::weakly_canonical(b, ec);
}

// Where `input` goes. Raises a ToolError when the tool must not write there.
fs::path output_for(const fs::path& input, const CipherOptions& o, Mode mode) {
    if (mode == Mode::Rekey || o.in_place) return input;
    fs::path out;
    if (!o.output.empty()) {
        out = path_from_utf8(o.output);
    } else if (mode == Mode::Encrypt) {
        out = input;
        out += path_from_utf8(o.suffix);
    } else {
        if (!has_suffix(input, o.suffix)) {
            throw ToolError(input.string() + ": the name does not end in " + o.suffix +
                                "; say where to write with -o OUT or --suffix S",
                            kExitUsage);
        }
        const std::string name = input.filename().string();
        out = input.parent_path() / path_from_utf8(name.substr(0, name.size() - o.suffix.size()));
    }
    if (same_file(input, out)) {
        throw ToolError(input.string() + ": the output would replace the input; use --in-place to mean that",
                        kExitUsage);
    }
    std::error_code ec;
    if (!o.force && fs::exists(fs::symlink_status(out, ec))) {
        throw ToolError(out.string() + ": already exists; use -f to overwrite it", kExitFailure);
    }
    return out;
}

// The files the arguments name, folders walked with -r.
std::vector<fs::path> expand(const CipherOptions& o, Mode mode, std::vector<std::string>& problems) {
    std::vector<fs::path> inputs;
    for (const auto& arg : o.files) {
        const fs::path p = path_from_utf8(arg);
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            if (!o.recursive) {
                problems.push_back(arg + ": is a folder; use -r to process the files in it");
                continue;
            }
            std::vector<fs::path> found;
            for (auto it = fs::recursive_directory_iterator(p, ec); !ec && it != fs::recursive_directory_iterator();
                 it.increment(ec)) {
                if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
                const bool encrypted = has_suffix(it->path(), o.suffix);
                // Encrypting skips what is already encrypted; decrypting takes only that.
                if ((mode == Mode::Encrypt) == encrypted) continue;
                found.push_back(it->path());
            }
            if (ec) problems.push_back(arg + ": cannot walk the folder: " + ec.message());
            std::sort(found.begin(), found.end());
            inputs.insert(inputs.end(), found.begin(), found.end());
        } else {
            inputs.push_back(p);
        }
    }
    return inputs;
}

void write_stdout(const std::string& data) {
    write_all_fd(kStdoutFd, data.data(), data.size(), "standard output");
}

// Standard input to standard output, or --text.
int run_filter(clsToString& cipher, const CipherOptions& o, Mode mode) {
    const std::string what = o.text_given ? "--text" : "standard input";
    if (mode == Mode::Encrypt && !o.hex && !o.force && stdout_is_terminal()) {
        throw UsageError("will not write binary ciphertext to a terminal; redirect it, add --hex, or use -f");
    }
    std::string input = o.text_given ? o.text : read_all_fd(kStdinFd, "standard input");
    try {
        if (mode == Mode::Encrypt) {
            std::vector<std::uint8_t> bytes;
            if (o.text_given) {
                // A string: its characters go through the code page, as the string operation does.
                bytes = cipher.GetCodePage().Encode(utf8_to_utf16(input, "--text"));
            } else {
                bytes.assign(input.begin(), input.end());
            }
            cipher.EncryptByte(bytes);
            write_stdout(o.hex ? to_hex(bytes.data(), bytes.size()) + "\n" : std::string(bytes.begin(), bytes.end()));
            return kExitOk;
        }
        if (o.hex || o.text_given) input = from_hex(input, what);
        std::vector<std::uint8_t> bytes(input.begin(), input.end());
        cipher.DecryptByte(bytes);
        if (o.text_given) {
            write_stdout(utf16_to_utf8(cipher.GetCodePage().Decode(bytes)) + "\n");
        } else {
            write_stdout(std::string(bytes.begin(), bytes.end()));
        }
        return kExitOk;
    } catch (const RuntimeError& e) {
        throw explain(e, what, mode);
    }
}

// How many files to process at once: what -j asks, else one per processor,
// never more than there are files. When two inputs would write the same
// output, or one's output is another's input, the result would depend on
// the order, so they go one at a time as given.
std::size_t job_count(const CipherOptions& o, const std::vector<fs::path>& inputs, Mode mode) {
    std::size_t jobs =
        o.jobs > 0 ? static_cast<std::size_t>(o.jobs) : std::max<std::size_t>(1, std::thread::hardware_concurrency());
    jobs = std::min(jobs, inputs.size());
    if (jobs <= 1) return 1;
    std::set<fs::path> paths;
    for (const auto& in : inputs) {
        std::error_code ec;
        if (!paths.insert(fs::weakly_canonical(in, ec)).second) return 1;
    }
    for (const auto& in : inputs) {
        if (mode == Mode::Rekey || o.in_place) break;  // each output is its own input
        fs::path out;
        try {
            CipherOptions forced = o;
            forced.force = true;  // only the name matters here
            out = output_for(in, forced, mode);
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
    if (filter && (o.in_place || o.recursive || !o.output.empty())) {
        throw UsageError("-o, --in-place and -r work on files, not on standard input or --text");
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
    if (filter) return run_filter(cipher, o, mode);

    std::optional<clsToString> target;
    if (mode == Mode::Rekey) {
        target.emplace(codepage);
        o.new_keys.quiet = o.quiet;
        apply_keys(*target, o.new_keys, true, "new key");
    }

    std::vector<std::string> problems;
    const std::vector<fs::path> inputs = expand(o, mode, problems);
    int status = problems.empty() ? kExitOk : kExitFailure;
    bool only_wrong_keys = problems.empty();
    for (const auto& p : problems) std::cerr << "clscrypt: " << p << "\n";

    std::uint64_t total = 0;
    for (const auto& in : inputs) {
        std::error_code ec;
        const auto size = fs::file_size(in, ec);
        if (!ec) total += size;
    }
    const std::size_t jobs = job_count(o, inputs, mode);
    ProgressBar bar(use_bar(o), total, inputs.size(), jobs);

    // One file: what it came to, as a message for the person at the keyboard.
    struct Outcome {
        std::string message;  // the -v line or the error; empty for none
        int code = kExitOk;   // kExitOk, or the exit status the error calls for
    };
    auto process = [&](const fs::path& in, clsToString& from, clsToString* to, std::size_t slot) -> Outcome {
        try {
            const fs::path out = output_for(in, o, mode);
            std::error_code ec;
            const auto size = fs::file_size(in, ec);
            bar.start_file(in.string(), ec ? 0 : size, slot);
            switch (mode) {
                case Mode::Encrypt: from.EncryptFile(in, out); break;
                case Mode::Decrypt: from.DecryptFile(in, out); break;
                case Mode::Rekey: to->RekeyFile(from, in, out); break;
            }
            bar.finish_file(slot);
            if (o.verbose) return {in.string() + (out == in ? " (in place)" : " -> " + out.string()), kExitOk};
            return {};
        } catch (const RuntimeError& e) {
            const ToolError t = explain(e, in.string(), mode);
            return {"clscrypt: " + std::string(t.what()), t.exit_status};
        } catch (const ToolError& e) {
            return {"clscrypt: " + std::string(e.what()), e.exit_status};
        }
    };
    auto tell = [&](const Outcome& r) {
        if (!r.message.empty()) bar.message(r.message);
        if (r.code == kExitOk) return;
        if (r.code != kExitWrongKey) only_wrong_keys = false;
        status = kExitFailure;
    };

    if (jobs == 1) {
        clsToString& reporter = target ? *target : cipher;
        reporter.Progress.Subscribe([&bar](std::int32_t& percent) { bar.update(percent); });
        for (const auto& in : inputs) {
            const Outcome r = process(in, cipher, target ? &*target : nullptr, 0);
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
                Outcome r = process(inputs[i], from, to ? &*to : nullptr, slot);
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
    bar.clear();
    if (status == kExitOk) return kExitOk;
    return only_wrong_keys ? kExitWrongKey : kExitFailure;
}

}  // namespace

int run_encrypt(CipherOptions options) {
    return run_cipher(std::move(options), Mode::Encrypt);
}
int run_decrypt(CipherOptions options) {
    return run_cipher(std::move(options), Mode::Decrypt);
}
int run_rekey(CipherOptions options) {
    return run_cipher(std::move(options), Mode::Rekey);
}

}  // namespace clscrypt::tool
