// clscrypt: read, write and migrate data in the legacy cipher format.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <limits>
#include <optional>
#include <thread>

#include <clscrypt/clscrypt.hpp>

#include "commands.hpp"
#include "docs.hpp"
#include "errors.hpp"
#include "terminal.hpp"
#include "text.hpp"

#ifndef CLSCRYPT_VERSION
#define CLSCRYPT_VERSION "unknown"
#endif

namespace {

using namespace clscrypt::tool;

// A positional list whose words are taken as they are. CLI11 reads a word
// such as "[a,b]" given to a list as the list a, b ("[]" as no word at all),
// so `encrypt '[a]'` would encrypt the file a. It does so only for options
// that allow extra arguments; without them it takes a positional word only
// while fewer than the minimum are given. So the minimum is one no command
// line reaches, no word is split, and take_all accepts any number short of
// it. (A single text positional, as hex encode has, is never split.)
CLI::Option* add_literal_positionals(CLI::App& cmd, const std::string& name, std::vector<std::string>& words,
                                     const std::string& description) {
    constexpr int kUnbounded = CLI::detail::expected_max_vector_size;
    return cmd.add_option(name, words, description)
        ->expected(kUnbounded, kUnbounded)
        ->allow_extra_args(false)
        ->take_all();
}

// --codepage N, one of the library's code pages. The default is the
// library's own: the system's ANSI code page on Windows, 1252 elsewhere.
void add_codepage_option(CLI::App& cmd, int& codepage, const std::string& description) {
    cmd.add_option("--codepage", codepage,
                   description + "; the default is the system's ANSI code page on Windows, 1252 elsewhere")
        ->check(CLI::IsMember(clscrypt::CodePage::Available()))
        ->capture_default_str();
}

// The options that say which keys apply, for grouping them by --or.
struct KeyOptionsGiven {
    CLI::Option* pass = nullptr;
    CLI::Option* no_key = nullptr;
    CLI::Option* next_candidate = nullptr;  // --or (decrypt and rekey)
};

KeyOptionsGiven add_key_options(CLI::App& cmd, CipherOptions& o) {
    KeyOptionsGiven given;
    given.pass =
        cmd.add_option("--pass", o.keys.sources,
                       "Key source: pass:TEXT, env:VAR, file:PATH (first line), fd:N or stdin (first line; not "
                       "while standard input carries the data); at most 64 KiB. Repeat to apply several keys in "
                       "order, as a re-keyed writer did")
            ->type_name("SOURCE")
            ->allow_extra_args(false);
    given.no_key = cmd.add_flag("--no-key", o.keys.no_key,
                                "Use the tables as construction leaves them (data written without a key)");
    add_codepage_option(cmd, o.codepage, "Single-byte code page for keys and text (a character it lacks is refused)");
    cmd.add_flag("--replace-unmappable", o.keys.replace_unmappable,
                 "Turn characters the code page lacks into '?' in keys and text, as the legacy program did, "
                 "instead of refusing them");
    return given;
}

// --lines and the options that go with it. Decrypting and re-keying also
// take key candidates (--or) and tell which one read each value.
void add_lines_options(CLI::App& cmd, CipherOptions& o, KeyOptionsGiven& keys, bool reads) {
    cmd.add_flag("--lines", o.lines,
                 "Values one a line from the FILEs (or standard input), LF or CRLF; one result a line, in "
                 "order, to standard output or -o OUT. Ciphertexts are hexadecimal lines");
    cmd.add_flag("-z,--zero", o.zero, "With --lines: values end in NUL instead of a line break, and so do results");
    auto* base64 = cmd.add_flag("--base64", o.base64, "With --lines: ciphertexts in Base64, not hexadecimal");
    auto* string_form =
        cmd.add_flag("--string", o.string_form, "With --lines: ciphertexts as the string operation's text (UTF-8)");
    base64->excludes(string_form);
    if (auto* hex = cmd.get_option_no_throw("--hex")) hex->excludes(base64)->excludes(string_form);
    cmd.add_flag("--keep-going", o.keep_going,
                 "With --lines: a line that fails becomes an empty line and is reported; the others go on, "
                 "and the exit status tells at the end");
    if (!reads) return;
    keys.next_candidate = cmd.add_flag("--or")->description(
        "With --lines: the --pass options before it are one key candidate (a key history), those after it the "
        "next; candidates are tried in order");
    cmd.add_flag("--show-candidate", o.show_candidate,
                 "With --lines: write the number of the candidate that read a value, and a tab, before its result");
}

// The key candidates: the --pass and --no-key options between one --or and
// the next, in the order given.
void group_candidates(CLI::App& cmd, CipherOptions& o, const KeyOptionsGiven& keys) {
    KeyOptions none = o.keys;
    none.sources.clear();
    none.no_key = false;
    o.candidates.assign(1, none);
    std::size_t next = 0;
    for (const CLI::Option* given : cmd.parse_order()) {
        if (given == keys.pass && next < o.keys.sources.size())
            o.candidates.back().sources.push_back(o.keys.sources[next++]);
        if (given == keys.no_key) o.candidates.back().no_key = true;
        if (keys.next_candidate != nullptr && given == keys.next_candidate) o.candidates.push_back(none);
    }
}

// Options of one way of working given to the other: a usage error.
void check_lines_options(CLI::App& cmd, const CipherOptions& o, const std::vector<std::string>& lines_only) {
    const std::vector<std::string>& names =
        o.lines ? std::vector<std::string>{"--in-place", "--recursive", "--text", "--jobs", "--verbose", "--suffix"}
                : lines_only;
    for (const auto& name : names) {
        const CLI::Option* option = cmd.get_option_no_throw(name);
        if (option == nullptr || option->count() == 0) continue;
        if (o.lines)
            throw UsageError(name + " does not go with --lines, which reads values from files or standard input");
        throw UsageError(name + " works with --lines only");
    }
}

// -j N: at least 1, or 0 for one per processor (the default).
std::string check_jobs(const std::string& value) {
    int n = -1;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
    if (ec != std::errc() || end != value.data() + value.size() || n < 0) {
        return "must be 1 or more, or 0 for one per processor";
    }
    return {};
}

void add_output_options(CLI::App& cmd, CipherOptions& o) {
    cmd.add_flag("-q,--quiet", o.quiet, "Print nothing but errors");
    cmd.add_flag("-v,--verbose", o.verbose, "Name each file as it is done");
    cmd.add_flag("--progress", o.progress, "Show the progress bar even when standard error is no terminal");
    cmd.add_option("-j,--jobs", o.jobs, "Files processed at once; 0 (the default): one per processor")
        ->type_name("N")
        ->check(CLI::Validator(check_jobs, ""));
}

void add_file_options(CLI::App& cmd, CipherOptions& o) {
    add_literal_positionals(cmd, "files", o.files,
                            "Files to process; none or - for standard input to standard output; after --, names "
                            "that start with -")
        ->type_name("FILE");
    cmd.add_flag("-f,--force", o.force, "Overwrite existing output files; write binary to a terminal");
    cmd.add_option("-o,--output", o.output,
                   "Output file (one input only, or with --lines all the results); - for standard output. A device or "
                   "FIFO is written into")
        ->type_name("OUT")
        ->check([](const std::string& out) { return out.empty() ? std::string("an empty name names no file") : ""; });
    cmd.add_option("--suffix", o.suffix, "Suffix of encrypted files")->capture_default_str();
    cmd.add_flag("--in-place", o.in_place,
                 "Replace each file by its result (crash-safe); a symbolic link's target is replaced, the link kept");
    cmd.add_flag("-r,--recursive", o.recursive, "Walk folders");
    cmd.add_flag("--hex", o.hex,
                 "Ciphertext as one line of hexadecimal text (standard input/output or --text); with --lines, "
                 "hexadecimal lines (the default)");
}

// encrypt and decrypt: files, keys, output and lines.
KeyOptionsGiven add_filter_options(CLI::App& cmd, CipherOptions& o, bool reads) {
    add_file_options(cmd, o);
    KeyOptionsGiven keys = add_key_options(cmd, o);
    add_output_options(cmd, o);
    add_lines_options(cmd, o, keys, reads);
    return keys;
}

// The subcommands of `level`, in the order they were added.
std::vector<CLI::App*> commands_of(CLI::App& level) {
    return level.get_subcommands(std::function<bool(CLI::App*)>{});
}

// A word where a command belongs that names none: the message, with the
// commands there are. (The parser itself would only say that a command is
// required.) Options, and the words after a command without subcommands,
// are the parser's business.
std::optional<std::string> unknown_command(CLI::App& app, const std::vector<std::string>& arguments) {
    CLI::App* level = &app;
    std::string path;
    for (const auto& word : arguments) {
        const auto commands = commands_of(*level);
        if (commands.empty() || word.empty() || word[0] == '-') return std::nullopt;
        CLI::App* next = nullptr;
        std::string names;
        for (std::size_t i = 0; i < commands.size(); ++i) {
            if (commands[i]->get_name() == word) next = commands[i];
            names += (i == 0 ? "" : i + 1 == commands.size() ? " and " : ", ") + commands[i]->get_name();
        }
        if (next == nullptr)
            return path + "unknown command '" + without_controls(word) + "'; the commands are " + names;
        path += word + ": ";
        level = next;
    }
    return std::nullopt;
}

// Everything after the first "--" that follows a command taking a list of
// files, taken off `arguments`: names that may start with '-'. (Once the
// command has a file, the parser would hand them to the main command, which
// refuses them.)
std::vector<std::string> after_double_dash(std::vector<std::string>& arguments,
                                           const std::vector<std::string>& listing_commands) {
    const auto command =
        std::find_if(arguments.begin(), arguments.end(), [](const std::string& a) { return a.empty() || a[0] != '-'; });
    if (command == arguments.end() ||
        std::find(listing_commands.begin(), listing_commands.end(), *command) == listing_commands.end()) {
        return {};
    }
    const auto mark = std::find(command, arguments.end(), std::string("--"));
    if (mark == arguments.end()) return {};
    std::vector<std::string> names(mark + 1, arguments.end());
    arguments.erase(mark, arguments.end());
    return names;
}

// --text is the input; a FILE beside it would be ignored.
void check_text_alone(const CipherOptions& o, const char* command) {
    if (o.text_given && !o.files.empty()) {
        throw UsageError(std::string(command) + " --text takes no FILE: give either the text or files");
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Long decryptions share the work between the processor's cores.
    clscrypt::SetDecryptionThreads(std::thread::hardware_concurrency());
    CLI::App app(
        "clscrypt: encrypt, decrypt and re-key data in the legacy cipher format, hash text and files "
        "with SHA-256, and convert hexadecimal text",
        "clscrypt");
    app.set_version_flag("-V,--version", "clscrypt " CLSCRYPT_VERSION);
    // "clscrypt -d FILE..." decrypts, as the short form of the decrypt
    // command (the arguments are rewritten before parsing; the flag is here
    // for the help).
    app.add_flag("-d")->description("Short for the decrypt command: 'clscrypt -d FILE' is 'clscrypt decrypt FILE'");
    app.require_subcommand(1);
    // The parser's errors read as the tool's own: "clscrypt: " first, the
    // words it repeats from the command line escaped, and the help of the
    // command at hand to run.
    app.failure_message([](const CLI::App* top, const CLI::Error& e) {
        std::string command = "clscrypt";
        for (const CLI::App* level = top;;) {
            const auto chosen = level->get_subcommands();
            if (chosen.empty()) break;
            level = chosen.front();
            command += " " + level->get_name();
        }
        return "clscrypt: " + without_controls(e.what()) + "\nRun '" + command + " --help' for usage.\n";
    });
    app.footer(
        "Run 'clscrypt COMMAND --help' for a command's options and an example.\n"
        "Exit status: 0 success, 1 failure, 2 usage error, 4 wrong key or not a ciphertext of this format.");

    CipherOptions enc, dec, rek;
    Sha256Options sha;
    HexOptions hex_enc, hex_dec;
    std::vector<std::string> help_topic;
    rek.new_keys.option = "--new-pass";

    auto* encrypt = app.add_subcommand("encrypt", "Encrypt files, standard input or a text");
    const KeyOptionsGiven enc_keys = add_filter_options(*encrypt, enc, false);
    encrypt->add_option("--text", enc.text, "Encrypt this text (as the string operation does); no FILE beside it");
    encrypt->footer(
        "Examples:\n  clscrypt encrypt --pass env:KEY report.pdf        # writes report.pdf.cls\n"
        "  clscrypt encrypt --pass file:key.txt --hex --text 'secret'\n"
        "  tar c docs | clscrypt encrypt --pass fd:3 3<key.txt > docs.tar.cls\n"
        "  clscrypt encrypt --lines --pass env:KEY passwords.txt > column.txt   # one hex line each");

    auto* decrypt = app.add_subcommand("decrypt", "Decrypt files, standard input or a hexadecimal text");
    const KeyOptionsGiven dec_keys = add_filter_options(*decrypt, dec, true);
    decrypt->add_option("--text", dec.text,
                        "Decrypt this hexadecimal ciphertext and print the text; no FILE beside it");
    decrypt->footer(
        "Examples:\n  clscrypt decrypt --pass env:KEY report.pdf.cls    # writes report.pdf\n"
        "  clscrypt decrypt --pass env:OLD --pass env:NEW data.cls   # a re-keyed writer's data\n"
        "  clscrypt decrypt --lines --show-candidate --keep-going --pass env:OLD --or --pass env:OLD \\\n"
        "      --pass env:NEW column.txt                         # values of either history");

    auto* rekey = app.add_subcommand("rekey", "Re-encrypt files under a new key, crash-safe, file by file");
    add_literal_positionals(*rekey, "files", rek.files, "Encrypted files to re-key in place (a symbolic link's target)")
        ->type_name("FILE");
    KeyOptionsGiven rek_keys = add_key_options(*rekey, rek);
    rekey->add_option("--new-pass", rek.new_keys.sources, "The new key source (same forms as --pass); repeatable")
        ->type_name("SOURCE")
        ->allow_extra_args(false);
    rekey->add_flag("-r,--recursive", rek.recursive, "Walk folders (files ending in the suffix)");
    rekey->add_option("--suffix", rek.suffix, "Suffix of encrypted files for -r")->capture_default_str();
    add_output_options(*rekey, rek);
    rekey->add_option("-o,--output", rek.output, "With --lines: the output file; - for standard output (the default)")
        ->type_name("OUT")
        ->check([](const std::string& out) { return out.empty() ? std::string("an empty name names no file") : ""; });
    rekey->add_flag("-f,--force", rek.force, "With --lines: overwrite an existing output file");
    rekey->add_flag("--hex", rek.hex, "With --lines: hexadecimal ciphertexts (the default)");
    add_lines_options(*rekey, rek, rek_keys, true);
    rekey->footer(
        "Examples:\n  clscrypt rekey --pass env:OLD_KEY --new-pass env:NEW_KEY *.cls\n"
        "  clscrypt rekey --lines --pass env:OLD --or --pass env:OLD --pass env:MID --new-pass env:NEW \\\n"
        "      column.txt > moved.txt");

    auto* sha256 = app.add_subcommand("sha256", "Print or check SHA-256 digests, like sha256sum");
    add_literal_positionals(*sha256, "files", sha.files,
                            "Files; none or - for standard input. With -c, the lists to check")
        ->type_name("FILE");
    sha256->add_flag("-c,--check", sha.check, "Read digest lines from the FILEs and check the files they name");
    sha256->add_option("--text", sha.text,
                       "Print the legacy digest of this text (SHA-256 of the low byte of each character) alone");
    auto* sha_binary =
        sha256->add_flag("-b,--binary")->description("Mark each line '*' for binary mode (the digest is the same)");
    auto* sha_textmode =
        sha256->add_flag("-t")->description("Mark each line ' ' for text mode (the default; the digest is the same)");
    auto* sha_tag = sha256->add_flag("--tag", sha.tag, "Write BSD-style lines: SHA256 (name) = digest");
    sha256->add_flag("-z,--zero", sha.zero, "End each line with NUL, not a line break, and leave names unescaped");
    auto* sha_quiet = sha256->add_flag("--quiet")->description("With -c: print nothing for files that match");
    auto* sha_status = sha256->add_flag("--status")->description("With -c: print nothing; the exit status tells");
    auto* sha_warn = sha256->add_flag("-w,--warn")->description("With -c: warn about each improperly formatted line");
    sha256->add_flag("--strict", sha.strict, "With -c: improperly formatted lines make the check fail");
    sha256->add_flag("--ignore-missing", sha.ignore_missing, "With -c: skip listed files that do not exist");
    sha256->footer(
        "Output, messages and exit status follow sha256sum; -t is text mode as there, --text TEXT is this "
        "tool's own.\n"
        "Examples:\n  clscrypt sha256 *.cls > SUMS\n  clscrypt sha256 -c --quiet SUMS\n"
        "  clscrypt sha256 --text 'password'");

    auto* hex = app.add_subcommand("hex", "Convert text to and from hexadecimal notation");
    hex->require_subcommand(1);
    auto* hex_encode = hex->add_subcommand("encode", "Text to hexadecimal pairs");
    hex_encode->add_option("text", hex_enc.argument, "The text; standard input when absent");
    hex_encode
        ->add_option("--separator", hex_enc.separator,
                     "Between pairs: as many copies of its first character as it is long")
        ->default_str("' '");
    add_codepage_option(*hex_encode, hex_enc.codepage, "Single-byte code page (a character it lacks is refused)");
    hex_encode->add_flag("--replace-unmappable", hex_enc.replace_unmappable,
                         "Write characters the code page lacks as 3F ('?'), as the legacy conversion did, instead of "
                         "refusing them");
    hex_encode->footer("Example:\n  clscrypt hex encode --separator - 'AB'     # prints 41-42");
    auto* hex_decode = hex->add_subcommand("decode", "Hexadecimal pairs back to text");
    hex_decode->add_option("hex", hex_dec.argument, "The hexadecimal text; standard input when absent");
    auto* hex_separators =
        hex_decode->add_option("--separators", hex_dec.separators, "Characters between one pair and the next")
            ->check(CLI::Range(0, std::numeric_limits<std::int32_t>::max()).description(""))
            ->type_name("N")
            ->capture_default_str();
    hex_decode
        ->add_flag("--lenient", hex_dec.lenient,
                   "Read as decrypt --hex reads ciphertext: digits of either case; white space and ASCII "
                   "punctuation skipped anywhere; a leading \\x (PostgreSQL's bytea text) skipped")
        ->excludes(hex_separators);
    add_codepage_option(*hex_decode, hex_dec.codepage, "Single-byte code page");
    hex_decode->footer(
        "Without --lenient this is the legacy conversion: upper-case digits only, each pair exactly\n"
        "--separators characters after the previous one.\n"
        "Examples:\n  clscrypt hex decode --separators 1 '41 42'  # prints AB\n"
        "  clscrypt hex decode --lenient '41:6a'       # prints Aj");
    hex_dec.encode = false;

    auto* help = app.add_subcommand("help", "Show help for clscrypt or one command");
    help->add_option("command", help_topic, "A command, or hex and one of its commands")->type_name("COMMAND");

    // Every command's output is checked as the process ends, help and
    // version included: "> /dev/full" must not pass for success.
    std::atexit(close_standard_output);

    // UTF-8 arguments on every system.
    std::vector<std::string> arguments = prepare_process(argc, argv);
    if (!arguments.empty()) arguments.erase(arguments.begin());  // the program's name
    // The build's switches, kept out of the parser's tables (which they
    // describe): the manual page and the shell completions.
    if (arguments.size() == 1 && arguments.front() == "--generate-man") {
        try {
            std::cout << manual_page(app, CLSCRYPT_VERSION);
            return kExitOk;
        } catch (const std::exception& e) {
            std::cerr << "clscrypt: " << e.what() << "\n";
            return kExitFailure;
        }
    }
    if (arguments.size() == 2 && arguments.front() == "--generate-completions") {
        try {
            std::cout << completion_script(app, arguments.back());
            return kExitOk;
        } catch (const std::exception& e) {
            std::cerr << "clscrypt: " << e.what() << "\n";
            return kExitUsage;
        }
    }
    if (!arguments.empty() && arguments.front() == "-d") arguments.front() = "decrypt";
    if (const auto unknown = unknown_command(app, arguments)) {
        std::cerr << "clscrypt: " << *unknown << "\nRun 'clscrypt --help' for usage.\n";
        return kExitUsage;
    }
    const std::vector<std::pair<CLI::App*, std::vector<std::string>*>> lists = {
        {encrypt, &enc.files}, {decrypt, &dec.files}, {rekey, &rek.files}, {sha256, &sha.files}};
    std::vector<std::string> listing_commands;
    for (const auto& l : lists) listing_commands.push_back(l.first->get_name());
    const std::vector<std::string> trailing_files = after_double_dash(arguments, listing_commands);
    std::reverse(arguments.begin(), arguments.end());  // CLI11 parses the reversed list
    try {
        app.parse(arguments);
    } catch (const CLI::ParseError& e) {
        // Help and version end in success; every other parse error is a usage error.
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }
    // The names after "--" belong to the command's list of files.
    for (const auto& [command, files] : lists) {
        if (command->parsed()) files->insert(files->end(), trailing_files.begin(), trailing_files.end());
    }

    try {
        if (help->parsed()) {
            // The help of the whole tool or of a command, each headed by its
            // full usage line ("clscrypt encrypt ...").
            CLI::App* topic = &app;
            std::string prefix = "clscrypt";
            for (const auto& word : help_topic) {
                const auto commands = commands_of(*topic);
                const auto next = std::find_if(commands.begin(), commands.end(),
                                               [&](const CLI::App* c) { return c->get_name() == word; });
                if (next == commands.end()) throw UsageError("help: no command '" + without_controls(word) + "'");
                if (topic != &app) prefix += " " + topic->get_name();
                topic = *next;
            }
            std::cout << (topic == &app ? app.get_formatter()->make_help(&app, "clscrypt", CLI::AppFormatMode::Normal)
                                        : topic->help(prefix));
            return kExitOk;
        }
        const std::vector<std::string> lines_only = {"--zero",       "--base64",         "--string",
                                                     "--keep-going", "--show-candidate", "--or"};
        if (encrypt->parsed()) {
            check_lines_options(*encrypt, enc, lines_only);
            group_candidates(*encrypt, enc, enc_keys);
            enc.text_given = encrypt->count("--text") > 0;
            check_text_alone(enc, "encrypt");
            // Text goes through the code page: the library refuses what would
            // come back as '?' (a failure of the data, not of the call).
            if (enc.text_given && !enc.keys.replace_unmappable) {
                try {
                    clscrypt::CodePage::FromNumber(enc.codepage)
                        .CheckMappable(utf8_to_utf16(enc.text, "--text"), clscrypt::Unmappable::Refuse, "--text");
                } catch (const clscrypt::RuntimeError& e) {
                    if (e.Kind() != clscrypt::ErrorKind::Unmappable) throw;
                    throw ToolError(unmappable_message(e), kExitFailure);
                }
            }
            return run_encrypt(enc);
        }
        if (decrypt->parsed()) {
            check_lines_options(*decrypt, dec, lines_only);
            group_candidates(*decrypt, dec, dec_keys);
            dec.text_given = decrypt->count("--text") > 0;
            check_text_alone(dec, "decrypt");
            return run_decrypt(dec);
        }
        if (rekey->parsed()) {
            std::vector<std::string> rekey_lines_only = lines_only;
            rekey_lines_only.insert(rekey_lines_only.end(), {"--output", "--force", "--hex"});
            check_lines_options(*rekey, rek, rekey_lines_only);
            group_candidates(*rekey, rek, rek_keys);
            rek.new_keys.replace_unmappable = rek.keys.replace_unmappable;
            return run_rekey(rek);
        }
        if (sha256->parsed()) {
            sha.text_given = sha256->count("--text") > 0;
            // As with sha256sum, the last of -b, -t and --tag, and the last
            // of --quiet, --status and --warn, decides.
            for (const CLI::Option* given : sha256->parse_order()) {
                if (given == sha_binary || given == sha_tag) sha.binary = 1;
                if (given == sha_textmode) sha.binary = 0;
                if (given == sha_quiet || given == sha_status || given == sha_warn) {
                    sha.quiet = given == sha_quiet;
                    sha.status = given == sha_status;
                    sha.warn = given == sha_warn;
                }
            }
            return run_sha256(sha);
        }
        if (hex_encode->parsed()) {
            hex_enc.argument_given = hex_encode->count("text") > 0;
            return run_hex(hex_enc);
        }
        if (hex_decode->parsed()) {
            hex_dec.argument_given = hex_decode->count("hex") > 0;
            return run_hex(hex_dec);
        }
    } catch (const UsageError& e) {
        std::cerr << "clscrypt: " << e.what() << "\nRun 'clscrypt --help' for usage.\n";
        return kExitUsage;
    } catch (const ToolError& e) {
        std::cerr << "clscrypt: " << e.what() << "\n";
        return e.exit_status;
    } catch (const clscrypt::RuntimeError& e) {
        std::cerr << "clscrypt: " << e.what() << "\n";
        return kExitFailure;
    } catch (const std::exception& e) {
        std::cerr << "clscrypt: " << e.what() << "\n";
        return kExitFailure;
    }
    return kExitUsage;
}
