// clscrypt: read, write and migrate data in the legacy cipher format.

#include <CLI/CLI.hpp>

#include <algorithm>
#include <iostream>
#include <thread>

#include <clscrypt/clscrypt.hpp>

#include "commands.hpp"
#include "errors.hpp"
#include "terminal.hpp"

#ifndef CLSCRYPT_VERSION
#define CLSCRYPT_VERSION "unknown"
#endif

namespace {

using namespace clscrypt::tool;

void add_key_options(CLI::App& cmd, CipherOptions& o) {
    cmd.add_option("--pass", o.keys.sources,
                   "Key source: pass:TEXT, env:VAR, file:PATH (first line), fd:N or stdin. Repeat to apply "
                   "several keys in order, as a re-keyed writer did")
        ->type_name("SOURCE")
        ->allow_extra_args(false);
    cmd.add_flag("--no-key", o.keys.no_key, "Use the tables as construction leaves them (data written without a key)");
    cmd.add_option("--codepage", o.codepage, "Single-byte code page for keys and text")
        ->check(CLI::IsMember(clscrypt::CodePage::Available()))
        ->capture_default_str();
}

void add_output_options(CLI::App& cmd, CipherOptions& o) {
    cmd.add_flag("-q,--quiet", o.quiet, "Print nothing but errors");
    cmd.add_flag("-v,--verbose", o.verbose, "Name each file as it is done");
    cmd.add_flag("--progress", o.progress, "Show the progress bar even when standard error is no terminal");
    cmd.add_option("-j,--jobs", o.jobs, "Files processed at once (default: one per processor)")
        ->type_name("N")
        ->check(CLI::PositiveNumber);
}

void add_file_options(CLI::App& cmd, CipherOptions& o) {
    cmd.add_option("files", o.files, "Files to process; none or - for standard input to standard output")
        ->type_name("FILE");
    cmd.add_flag("-f,--force", o.force, "Overwrite existing outputs; write binary to a terminal");
    cmd.add_option("-o,--output", o.output, "Output file (one input only)")->type_name("OUT");
    cmd.add_option("--suffix", o.suffix, "Suffix of encrypted files")->capture_default_str();
    cmd.add_flag("--in-place", o.in_place, "Replace each file by its result (crash-safe)");
    cmd.add_flag("-r,--recursive", o.recursive, "Walk folders");
    cmd.add_flag("--hex", o.hex, "Ciphertext as one line of hexadecimal text (standard input/output or --text)");
}

}  // namespace

int main(int argc, char** argv) {
    // Long decryptions share the work between the processor's cores.
    clscrypt::SetDecryptionThreads(std::thread::hardware_concurrency());
    CLI::App app(
        "clscrypt: encrypt, decrypt and re-key data in the legacy cipher format, hash text and files "
        "with SHA-256, and convert hexadecimal text",
        "clscrypt");
    app.set_version_flag("--version", "clscrypt " CLSCRYPT_VERSION);
    app.require_subcommand(1);
    app.footer(
        "Run 'clscrypt COMMAND --help' for a command's options and an example.\n"
        "Exit status: 0 success, 1 failure, 2 usage error, 4 wrong key or not a ciphertext of this format.");

    CipherOptions enc, dec, rek;
    Sha256Options sha;
    HexOptions hex_enc, hex_dec;
    std::string help_topic;

    auto* encrypt = app.add_subcommand("encrypt", "Encrypt files, standard input or a text");
    add_file_options(*encrypt, enc);
    add_key_options(*encrypt, enc);
    add_output_options(*encrypt, enc);
    encrypt->add_option("--text", enc.text, "Encrypt this text (as the string operation does) instead of a file");
    encrypt->footer(
        "Examples:\n  clscrypt encrypt --pass env:KEY report.pdf        # writes report.pdf.cls\n"
        "  clscrypt encrypt --pass file:key.txt --hex --text 'secret'\n"
        "  tar c docs | clscrypt encrypt --pass fd:3 3<key.txt > docs.tar.cls");

    auto* decrypt = app.add_subcommand("decrypt", "Decrypt files, standard input or a hexadecimal text");
    add_file_options(*decrypt, dec);
    add_key_options(*decrypt, dec);
    add_output_options(*decrypt, dec);
    decrypt->add_option("--text", dec.text, "Decrypt this hexadecimal ciphertext text and print the text");
    decrypt->footer(
        "Examples:\n  clscrypt decrypt --pass env:KEY report.pdf.cls    # writes report.pdf\n"
        "  clscrypt decrypt --pass env:OLD --pass env:NEW data.cls   # a re-keyed writer's data");

    auto* rekey = app.add_subcommand("rekey", "Re-encrypt files under a new key, crash-safe, file by file");
    rekey->add_option("files", rek.files, "Encrypted files to re-key in place")->type_name("FILE")->required();
    add_key_options(*rekey, rek);
    rekey->add_option("--new-pass", rek.new_keys.sources, "The new key source (same forms as --pass); repeatable")
        ->type_name("SOURCE")
        ->allow_extra_args(false);
    rekey->add_flag("-r,--recursive", rek.recursive, "Walk folders (files ending in the suffix)");
    rekey->add_option("--suffix", rek.suffix, "Suffix of encrypted files for -r")->capture_default_str();
    add_output_options(*rekey, rek);
    rekey->footer("Example:\n  clscrypt rekey --pass env:OLD_KEY --new-pass env:NEW_KEY *.cls");

    auto* sha256 = app.add_subcommand("sha256", "Print or check SHA-256 digests, like sha256sum");
    sha256->add_option("files", sha.files, "Files; none or - for standard input")->type_name("FILE");
    sha256->add_option("-c,--check", sha.check, "Check the digests listed in LIST")->type_name("LIST");
    sha256->add_option("--text", sha.text, "Print the digest of this text (low byte of each character) alone");
    sha256->add_flag("--quiet", sha.quiet, "With --check: print nothing for files that match");
    sha256->add_flag("--status", sha.status, "With --check: print nothing; the exit status tells");
    sha256->footer(
        "Examples:\n  clscrypt sha256 *.cls > SUMS\n  clscrypt sha256 --check SUMS\n"
        "  clscrypt sha256 --text 'password'");

    auto* hex = app.add_subcommand("hex", "Convert text to and from hexadecimal notation");
    hex->require_subcommand(1);
    auto* hex_encode = hex->add_subcommand("encode", "Text to hexadecimal pairs");
    hex_encode->add_option("text", hex_enc.argument, "The text; standard input when absent");
    hex_encode
        ->add_option("--separator", hex_enc.separator,
                     "Between pairs: as many copies of its first character as it is long")
        ->capture_default_str();
    hex_encode->add_option("--codepage", hex_enc.codepage, "Single-byte code page")
        ->check(CLI::IsMember(clscrypt::CodePage::Available()))
        ->capture_default_str();
    hex_encode->footer("Example:\n  clscrypt hex encode --separator - 'AB'     # prints 41-42");
    auto* hex_decode = hex->add_subcommand("decode", "Hexadecimal pairs back to text");
    hex_decode->add_option("hex", hex_dec.argument, "The hexadecimal text; standard input when absent");
    hex_decode->add_option("--separators", hex_dec.separators, "Characters between one pair and the next")
        ->capture_default_str();
    hex_decode->add_option("--codepage", hex_dec.codepage, "Single-byte code page")
        ->check(CLI::IsMember(clscrypt::CodePage::Available()))
        ->capture_default_str();
    hex_decode->footer("Example:\n  clscrypt hex decode --separators 1 '41 42'  # prints AB");
    hex_dec.encode = false;

    auto* help = app.add_subcommand("help", "Show help for clscrypt or one command");
    help->add_option("command", help_topic, "A command");

    // UTF-8 arguments on every system (CLI11 parses the reversed list).
    std::vector<std::string> arguments = prepare_process(argc, argv);
    std::reverse(arguments.begin(), arguments.end());
    if (!arguments.empty()) arguments.pop_back();  // the program's name
    try {
        app.parse(arguments);
    } catch (const CLI::ParseError& e) {
        // Help and version end in success; every other parse error is a usage error.
        return app.exit(e) == 0 ? kExitOk : kExitUsage;
    }

    try {
        if (help->parsed()) {
            if (help_topic.empty()) {
                std::cout << app.help();
            } else {
                CLI::App* topic = nullptr;
                try {
                    topic = app.get_subcommand(help_topic);
                } catch (const CLI::OptionNotFound&) {
                    throw UsageError("help: no command '" + help_topic + "'");
                }
                std::cout << topic->help();
            }
            return kExitOk;
        }
        if (encrypt->parsed()) {
            enc.text_given = encrypt->count("--text") > 0;
            return run_encrypt(enc);
        }
        if (decrypt->parsed()) {
            dec.text_given = decrypt->count("--text") > 0;
            return run_decrypt(dec);
        }
        if (rekey->parsed()) return run_rekey(rek);
        if (sha256->parsed()) {
            sha.check_given = sha256->count("--check") > 0;
            sha.text_given = sha256->count("--text") > 0;
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
