// encrypt, decrypt and rekey over files.
//
// Files stream through the library's file operations (bounded memory) into
// the tool's outputs (files.hpp): a new file that takes its name only once
// complete, or a device or FIFO written into. Several files go side by side
// with -j. Standard input and --text are cipher_filter.cpp's.

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

#include "cipher_shared.hpp"
#include "progress_bar.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace clscrypt::tool {

namespace fs = std::filesystem;

namespace {

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
            if (held) {
                held->check_unchanged();
                held->release_for_replacement();
            }
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
