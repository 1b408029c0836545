// encrypt, decrypt and rekey --lines: many short values, one a line.
//
// Values stream through in batches: a batch of lines is read (at most
// kBatchLines lines or about kBatchBytes bytes), converted with one call of
// the library's batch methods, written, and its buffers reused for the next,
// so memory depends on the batch size and the longest line, never on the
// number of lines. A line is buffered up to kMaxLine bytes; a longer one
// fails on its own without being held.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <clscrypt/clscrypt.hpp>
#include <clscrypt/values.hpp>

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

// The longest line the tool holds. Values are short (passwords, account
// numbers, settings); a longer line is refused on its own, the ones after it
// go on. Data this large belongs in a file of its own.
constexpr std::size_t kMaxLine = std::size_t{4} << 20;
constexpr std::size_t kBatchLines = 4096;
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
// A value encrypted into the string form must not hold the line's end;
// each new encryption draws a new random first block, and so new bytes.
constexpr int kStringTries = 100;

void wipe(std::string& s) noexcept {
    s.resize(s.capacity());
    clscrypt::Wipe(s.data(), s.size());
    s.clear();
}

// Lines from one file descriptor: LF or CRLF, or NUL with -z (where a CR is
// data). The last line needs no terminator.
class LineReader {
public:
    LineReader(int fd, std::string name, bool zero) : fd_(fd), name_(std::move(name)), zero_(zero), buf_(1 << 16) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader() { clscrypt::Wipe(buf_.data(), buf_.size()); }

    /// Appends the next line, without its terminator, to `out`: false at the
    /// end of the input. A line longer than kMaxLine is read past and
    /// nothing of it is kept: `too_long` says so.
    bool next(std::string& out, bool& too_long) {
        const char end = zero_ ? '\0' : '\n';
        const std::size_t start = out.size();
        std::size_t length = 0;
        bool any = false;
        too_long = false;
        for (;;) {
            if (pos_ == end_ && !fill()) {
                if (!any) return false;
                break;
            }
            any = true;
            const char* from = buf_.data() + pos_;
            const auto* found = static_cast<const char*>(std::memchr(from, end, end_ - pos_));
            const std::size_t n = found != nullptr ? static_cast<std::size_t>(found - from) : end_ - pos_;
            if (!too_long && length + n > kMaxLine) {
                too_long = true;
                out.resize(start);
            }
            if (!too_long) out.append(from, n);
            length += n;
            pos_ += n;
            if (found != nullptr) {
                ++pos_;
                break;
            }
        }
        if (!zero_ && !too_long && out.size() > start && out.back() == '\r') out.pop_back();
        return true;
    }

    [[nodiscard]] std::uint64_t bytes_read() const { return read_; }
    [[nodiscard]] const std::string& name() const { return name_; }

private:
    bool fill() {
        if (eof_) return false;
        std::string error;
        const long long got = read_some(fd_, buf_.data(), buf_.size(), error);
        if (got < 0) throw ToolError(name_ + ": cannot read it: " + error, kExitFailure);
        pos_ = 0;
        end_ = static_cast<std::size_t>(got);
        read_ += end_;
        eof_ = got == 0;
        return !eof_;
    }

    int fd_;
    std::string name_;
    bool zero_;
    std::vector<char> buf_;
    std::size_t pos_ = 0, end_ = 0;
    std::uint64_t read_ = 0;
    bool eof_ = false;
};

// A batch of lines: their bytes one after the other, and views of them once
// the batch is complete (the bytes may move while it grows).
struct Batch {
    std::string data;
    std::vector<std::size_t> ends;
    std::vector<char> too_long;
    std::vector<std::string_view> views;
    Batch() = default;
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;
    ~Batch() { wipe(data); }

    // False when the input has no line left.
    bool fill(LineReader& reader) {
        data.clear();
        ends.clear();
        too_long.clear();
        views.clear();
        bool long_line = false;
        while (ends.size() < kBatchLines && data.size() < kBatchBytes && reader.next(data, long_line)) {
            ends.push_back(data.size());
            too_long.push_back(long_line ? 1 : 0);
        }
        std::size_t start = 0;
        for (const std::size_t end : ends) {
            views.emplace_back(data.data() + start, end - start);
            start = end;
        }
        return !ends.empty();
    }
};

// How a line failed: the reason, for a message that never quotes the
// value, and the exit status it calls for.
struct Failure {
    std::string reason;
    int status = kExitFailure;
};

struct Settings {
    LineAction action;
    StoredForm form;
    char end;  // each result's terminator
    bool zero;
    bool keep_going;
    bool show_candidate;
    std::size_t candidates;
};

const char* form_words(StoredForm form) {
    switch (form) {
        case StoredForm::Base64: return "not Base64 text";
        case StoredForm::String: return "not the string form of a ciphertext (a character the code page lacks)";
        case StoredForm::Hex:
        case StoredForm::Bytes: break;
    }
    return "not hexadecimal text (pairs of digits, in either case, with any separators)";
}

// Why a value failed, from the library's error (which names the fault,
// never the value) and, for a text, from the text itself.
Failure explain_line(const RuntimeError& e, std::string_view value, const Settings& s) {
    if (e.Kind() == ErrorKind::WrongKeyOrDamaged) {
        if (e.Number() == RuntimeError::ClassError) {
            return {s.candidates > 1 ? "no candidate's key reads it (wrong keys, or not a ciphertext of this format)"
                                     : "wrong key, or not a ciphertext of this format",
                    kExitWrongKey};
        }
        return {std::string("not a ciphertext of this format (") +
                    (e.Number() == RuntimeError::Overflow
                         ? "longer than the format allows)"
                         : "its length is not a whole number of 8-byte blocks of at least 16 bytes)"),
                kExitWrongKey};
    }
    // A character the code page lacks: the library's words (the position and
    // a code page that has it, never the character) and the options that help.
    if (e.Kind() == ErrorKind::Unmappable) return {unmappable_message(e), kExitFailure};
    if (e.Kind() == ErrorKind::InvalidArgument) {
        if (s.action != LineAction::Encrypt) return {form_words(s.form), kExitFailure};
        std::u16string text;
        const bool valid = !common::decode_utf8(value, text);
        clscrypt::Wipe(text.data(), text.size() * sizeof(char16_t));
        if (!valid) return {"not valid UTF-8", kExitFailure};
    }
    return {library_words(e), kExitFailure};
}

// Whether a result can stand as one line: the reader would split it at a
// terminator, and take a CR before a line break for part of the line end.
bool fits_a_line(const std::string& result, const Settings& s) {
    if (result.find(s.end) != std::string::npos) return false;
    return s.zero || result.empty() || result.back() != '\r';
}

// The values, read and written: the library's batch methods over each batch.
class Converter {
public:
    Converter(ValueCipher& values, const Settings& s) : values_(values), s_(s) {}
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    ~Converter() {
        for (auto& r : results_) wipe(r);
        wipe(scratch_);
    }

    void convert(const Batch& batch) {
        const std::span<const std::string_view> in = reads_hex() ? decode(batch) : batch.views;
        switch (s_.action) {
            case LineAction::Encrypt: values_.EncryptMany(in, PlainForm::Text, s_.form, results_, outcomes_); break;
            case LineAction::Decrypt: values_.DecryptMany(in, in_form(), PlainForm::Text, results_, outcomes_); break;
            case LineAction::Rekey: values_.RekeyMany(in, in_form(), s_.form, results_, outcomes_); break;
        }
    }

    /// Line `i` of the batch just converted: its result in `results()[i]`
    /// and the candidate that read it, or why it failed.
    std::optional<Failure> check(const Batch& batch, std::size_t i) {
        if (batch.too_long[i] != 0) {
            return Failure{"longer than " + std::to_string(kMaxLine >> 20) +
                               " MiB, the most a line may hold; a value this long belongs in a file",
                           kExitFailure};
        }
        if (reads_hex() && faults_[i]) return Failure{"the value " + *faults_[i], kExitFailure};
        const std::string_view value = reads_hex() ? decoded_views_[i] : batch.views[i];
        if (!outcomes_[i]) return why(value);
        if (fits_a_line(results_[i], s_)) return std::nullopt;
        if (s_.action == LineAction::Decrypt) {
            return Failure{s_.zero ? "its text holds a NUL character, which a NUL-terminated value cannot carry"
                                   : "its text holds a line break, which one line cannot carry; use -z",
                           kExitFailure};
        }
        // The string form of a fresh encryption: another one may fit.
        for (int attempt = 0; attempt < kStringTries; ++attempt) {
            const ValueOutcome again = s_.action == LineAction::Encrypt
                                           ? values_.Encrypt(batch.views[i], PlainForm::Text, s_.form, results_[i])
                                           : values_.Rekey(value, in_form(), s_.form, results_[i]);
            if (!again) return why(value);
            if (fits_a_line(results_[i], s_)) {
                outcomes_[i] = again;
                return std::nullopt;
            }
        }
        return Failure{"its string form holds a line's end whatever the first block; use --hex or --base64",
                       kExitFailure};
    }

    [[nodiscard]] const std::string& result(std::size_t i) const { return results_[i]; }
    [[nodiscard]] std::size_t candidate(std::size_t i) const { return outcomes_[i].candidate; }

private:
    // The value converted once more, alone, for the library's error.
    Failure why(std::string_view value) {
        ValueOutcome again;
        switch (s_.action) {
            case LineAction::Encrypt: again = values_.Encrypt(value, PlainForm::Text, s_.form, scratch_); break;
            case LineAction::Decrypt: again = values_.Decrypt(value, in_form(), PlainForm::Text, scratch_); break;
            case LineAction::Rekey: again = values_.Rekey(value, in_form(), s_.form, scratch_); break;
        }
        wipe(scratch_);
        if (again) return {"failed once and not again (report this)", kExitFailure};
        return explain_line(values_.LastError(), value, s_);
    }

    // Hexadecimal ciphertexts are read here, by the library's one rule for
    // ciphertext hex (ReadHex: either case, white space and punctuation
    // skipped, PostgreSQL's leading "\x" too), and go to the values as bytes.
    [[nodiscard]] bool reads_hex() const { return s_.form == StoredForm::Hex && s_.action != LineAction::Encrypt; }
    [[nodiscard]] StoredForm in_form() const { return reads_hex() ? StoredForm::Bytes : s_.form; }

    // The batch's lines as ciphertext bytes, and why a line did not read.
    std::span<const std::string_view> decode(const Batch& batch) {
        decoded_.clear();
        decoded_ends_.clear();
        decoded_views_.clear();
        faults_.clear();
        for (const std::string_view line : batch.views) {
            faults_.push_back(read_ciphertext_hex(line, one_));
            decoded_.append(reinterpret_cast<const char*>(one_.data()), one_.size());
            decoded_ends_.push_back(decoded_.size());
        }
        std::size_t start = 0;
        for (const std::size_t end : decoded_ends_) {
            decoded_views_.emplace_back(decoded_.data() + start, end - start);
            start = end;
        }
        return decoded_views_;
    }

    ValueCipher& values_;
    const Settings& s_;
    std::vector<std::uint8_t> one_;
    std::string decoded_;
    std::vector<std::size_t> decoded_ends_;
    std::vector<std::string_view> decoded_views_;
    std::vector<std::optional<std::string>> faults_;
    std::vector<std::string> results_;
    std::vector<ValueOutcome> outcomes_;
    std::string scratch_;
};

// Where the results go: standard output, or -o OUT as the tool writes every
// result (a hidden file that takes the name once complete; without -f only
// if the name is free; a device or FIFO written into).
Output open_output(const CipherOptions& o, const std::vector<std::string>& inputs) {
    if (o.output.empty() || o.output == "-") return Output::standard_output();
    const fs::path path = path_from_utf8(o.output);
    for (const auto& in : inputs) {
        if (in != "-" && same_file(path_from_utf8(in), path)) {
            throw UsageError(shown_name(o.output) + ": the output would replace the input " + shown_name(in));
        }
    }
    switch (node_kind(path)) {
        case NodeKind::Folder:
            throw ToolError(shown_name(o.output) + ": is a folder; name a file to write", kExitFailure);
        case NodeKind::Other:
            throw ToolError(
                shown_name(o.output) + ": is neither a file, a character device nor a FIFO; will not write there",
                kExitFailure);
        case NodeKind::Stream: return Output::into_stream(path, shown_name(o.output));
        case NodeKind::Regular:
        case NodeKind::Missing: break;
    }
    std::error_code ec;
    if (!o.force && fs::exists(fs::symlink_status(path, ec))) {
        throw ToolError(shown_name(o.output) + ": already exists; use -f to overwrite it", kExitFailure);
    }
    // Plaintext goes to a file only its owner reads, unless a named input
    // (whose values it holds) says otherwise.
    const auto named = std::find_if(inputs.begin(), inputs.end(), [](const std::string& in) { return in != "-"; });
    const unsigned mode = named != inputs.end() ? permission_bits(path_from_utf8(*named)) : 0600;
    return Output::new_file(path, mode, shown_name(o.output));
}

std::string candidate_role(std::size_t index, std::size_t count) {
    return count == 1 ? "key" : "key of candidate " + std::to_string(index + 1);
}

}  // namespace

int run_lines(CipherOptions o, LineAction action) {
    if (o.quiet && o.verbose) throw UsageError("-q and -v exclude each other");
    if (o.candidates.empty()) o.candidates.push_back(o.keys);
    std::vector<std::string> inputs = o.files;
    if (inputs.empty()) inputs.emplace_back("-");
    const bool stdin_is_data = std::find(inputs.begin(), inputs.end(), "-") != inputs.end();
    if (std::count(inputs.begin(), inputs.end(), "-") > 1) throw UsageError("standard input (-) can be read once");

    const CodePage codepage = CodePage::FromNumber(o.codepage);
    std::vector<clsToString> candidates;
    for (std::size_t i = 0; i < o.candidates.size(); ++i) {
        KeyOptions keys = o.candidates[i];
        keys.quiet = o.quiet;
        keys.stdin_is_data = stdin_is_data;
        keys.replace_unmappable = o.keys.replace_unmappable;
        candidates.emplace_back(codepage);
        apply_keys(candidates.back(), keys, action == LineAction::Encrypt, candidate_role(i, o.candidates.size()));
    }
    clsToString target = candidates.front();
    if (action == LineAction::Rekey) {
        target = clsToString(codepage);
        o.new_keys.quiet = o.quiet;
        o.new_keys.stdin_is_data = stdin_is_data;
        o.new_keys.replace_unmappable = o.keys.replace_unmappable;
        apply_keys(target, o.new_keys, true, "new key");
    }
    ValueOptions options;
    options.codePage = codepage;
    options.replaceUnmappable = o.keys.replace_unmappable;
    ValueCipher values(std::move(candidates), std::move(target), std::move(options));

    const Settings s{action,
                     o.base64        ? StoredForm::Base64
                     : o.string_form ? StoredForm::String
                                     : StoredForm::Hex,
                     o.zero ? '\0' : '\n',
                     o.zero,
                     o.keep_going,
                     o.show_candidate,
                     values.CandidateCount()};

    install_signal_cleanup();
    Output out = open_output(o, inputs);
    const bool into_file =
        !o.output.empty() && o.output != "-" && node_kind(path_from_utf8(o.output)) != NodeKind::Stream;

    std::uint64_t total = 0;
    for (const auto& in : inputs) {
        std::error_code ec;
        const auto size = in == "-" ? remaining_file_size(kStdinFd).value_or(0) : fs::file_size(path_from_utf8(in), ec);
        if (!ec) total += size;
    }
    ProgressBar bar(!o.quiet && (o.progress || stderr_is_terminal()), total, inputs.size());

    Batch batch;
    Converter converter(values, s);
    std::string text;  // a batch's results, written at once
    std::uint64_t lines_done = 0, bytes_before = 0;
    int status = kExitOk;
    bool only_wrong_keys = true;
    const auto stop = [&](const std::string& message, int code) {
        out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
        wipe(text);
        throw ToolError(message + (into_file ? "; " + shown_name(o.output) + " was not written" : ""), code);
    };
    const auto fail = [&](const std::string& message, int code) {
        if (!s.keep_going) stop(message, code);
        bar.message("clscrypt: " + message);
        if (code != kExitWrongKey) only_wrong_keys = false;
        status = kExitFailure;
    };

    for (const auto& in : inputs) {
        const std::string name = in == "-" ? "standard input" : shown_name(in);
        int fd = kStdinFd;
        if (in != "-") {
            std::string error;
            fd = open_for_reading(path_from_utf8(in), error);
            if (fd < 0) {
                fail(name + ": cannot open it: " + error, kExitFailure);
                continue;
            }
        }
        struct Closer {
            int fd;
            ~Closer() {
                if (fd != kStdinFd) close_fd(fd);
            }
        } closer{fd};
        LineReader reader(fd, name, s.zero);
        std::uint64_t line = 0;
        while (batch.fill(reader)) {
            converter.convert(batch);
            for (std::size_t i = 0; i < batch.views.size(); ++i) {
                ++line;
                if (const auto failure = converter.check(batch, i)) {
                    fail(name + ": line " + std::to_string(line) + ": " + failure->reason, failure->status);
                    text += s.end;
                    continue;
                }
                if (s.show_candidate) text.append(std::to_string(converter.candidate(i) + 1)).append(1, '\t');
                text += converter.result(i);
                text += s.end;
            }
            out.write(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
            text.clear();
            lines_done += batch.views.size();
            bar.lines(name, lines_done, bytes_before + reader.bytes_read());
        }
        bytes_before += reader.bytes_read();
    }
    wipe(text);
    bar.clear();
    out.commit(o.force);
    if (status == kExitOk) return kExitOk;
    return only_wrong_keys ? kExitWrongKey : kExitFailure;
}

}  // namespace clscrypt::tool
