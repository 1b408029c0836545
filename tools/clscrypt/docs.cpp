// The manual page and the shell completions, made from the parser's tables.
//
// The page's prose is here; its option entries are headed by what the
// parser knows of each option (its names and the word it takes), and every
// option of every command must have an entry, and every entry an option,
// or manual_page() refuses to make the page.

#include "docs.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

namespace clscrypt::tool {

namespace {

// One command of the tree: its words after "clscrypt" ("" for the tool
// itself, "hex encode" for a nested one) and the parser's object.
struct Command {
    std::string path;
    CLI::App* app;
};

std::vector<CLI::App*> subcommands_of(CLI::App& app) {
    return app.get_subcommands(std::function<bool(CLI::App*)>{});
}

void gather(CLI::App& app, const std::string& path, std::vector<Command>& out) {
    out.push_back({path, &app});
    for (CLI::App* sub : subcommands_of(app)) {
        gather(*sub, path.empty() ? sub->get_name() : path + " " + sub->get_name(), out);
    }
}

std::vector<Command> all_commands(CLI::App& app) {
    std::vector<Command> out;
    gather(app, "", out);
    return out;
}

// The options a command takes, positionals left out, in the parser's order.
std::vector<const CLI::Option*> options_of(const CLI::App& app) {
    std::vector<const CLI::Option*> out;
    for (const CLI::Option* opt : app.get_options()) {
        if (opt->nonpositional()) out.push_back(opt);
    }
    return out;
}

// Every spelling of an option: "-j", "--jobs".
std::vector<std::string> spellings(const CLI::Option& opt) {
    std::vector<std::string> out;
    for (const auto& s : opt.get_snames()) out.push_back("-" + s);
    for (const auto& l : opt.get_lnames()) out.push_back("--" + l);
    return out;
}

// The word an option takes ("N", "SOURCE"), without the checks the parser
// appends to it; empty for a flag.
std::string value_word(const CLI::Option& opt) {
    if (opt.get_type_size_max() == 0) return {};
    std::string word = opt.get_type_name();
    if (const auto colon = word.find(':'); colon != std::string::npos) word.resize(colon);
    return word;
}

std::string roff_escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '-') {
            out += "\\-";
        } else if (c == '\\') {
            out += "\\e";
        } else {
            out += c;
        }
    }
    return out;
}

// An option's entry in the page: the commands it serves ('|' between
// them; "*" for every one), the option by one of its names, and its text.
struct Entry {
    const char* scope;
    const char* option;
    const char* text;
};

// A section: its title, the prose before its entries and after them.
struct Section {
    const char* title;
    const char* before;
    std::vector<Entry> entries;
    const char* after;
};

const char* const kFiles = "encrypt|decrypt";
const char* const kCipher = "encrypt|decrypt|rekey";

const std::vector<Section>& sections() {
    static const std::vector<Section> kSections = {
        {"DESCRIPTION",
         R"(.B clscrypt
reads and writes data in the message format of a legacy Windows program's
cipher class: a Blowfish-based cipher with a random first block, a size
descriptor, zero fill and CBC chaining. It also computes that program's
SHA-256 digest of a text, and its hexadecimal text notation.
.PP
With no \fIFILE\fR, or with \fB\-\fR, \fBencrypt\fR and \fBdecrypt\fR filter
standard input to standard output, or to \fB\-o\fR \fIOUT\fR. The whole input
is read before anything is written, since the format stores the message
length in its first block: up to 64 MiB in memory, and past that in an
unnamed temporary file in the folder \fBTMPDIR\fR names (\fB/tmp\fR when it is
not set), which nothing can open and which goes with the run, so a large
pipe costs disk space, not memory. An input longer than the format allows
is refused as soon as it passes the limit (at once when standard input is a
file). Files stream with bounded memory: \fIFILE\fR becomes \fIFILE\fR.cls on
encryption, and decryption strips the suffix. The source is always kept.
Arguments after \fB\-\-\fR are files, even when they start with \fB\-\fR.
Every name is taken as it is written: \fB[a,b]\fR names one file, not
\fBa\fR and \fBb\fR.
.PP
A result is written to a hidden file beside its name
(\fB.\fINAME\fB.\fIXXXXXXXX\fB.tmp\fR, \fINAME\fR cut short when the whole
would pass 255 bytes) and takes the name only once complete and on disk;
the folder is flushed once per folder before the run reports success, so
after a crash every name holds the old file or the complete new one.
Without \fB\-f\fR it takes the name only if the name is still free at that
moment: of several runs writing one name at once, exactly one succeeds and
the others fail with "already exists", leaving nothing behind. This holds
for \fB\-o\fR with standard input too: a pipeline that fails leaves no half
written file. A character device or a FIFO (or a link to one) named as the
output is written into, as a shell's redirection would, never replaced.
Outputs get the permission bits of their source, less those the umask
removes. Every signal that ends a run and can be caught (SIGINT, SIGTERM,
SIGHUP, SIGPIPE, SIGQUIT and the like) removes the hidden files of every
file being written and clears the progress line before the tool ends by the
signal; \fB\-r\fR never takes such hidden files as inputs. A failure to
write any output, standard output included, is reported ("write error") and
ends in exit status 1. File names in messages, \fB\-v\fR lines and the
progress bar are escaped: control characters never reach the terminal.
.PP
\fBclscrypt help\fR prints the overview; \fBclscrypt help\fR \fICOMMAND\fR
(or \fBhelp hex encode\fR) prints the options of one command.)",
         {},
         ""},
        {"OPTIONS",
         "",
         {
             {"*", "--help", "Print the help of the tool, or of the command it follows, and exit."},
             {"", "--version", "Print the version and exit."},
             {"", "-d",
              R"(Short for \fBdecrypt\fR: \fBclscrypt \-d\fR \fIFILE\fR is
\fBclscrypt decrypt\fR \fIFILE\fR.)"},
             {kCipher, "--pass", R"(The key: \fBpass:\fITEXT\fR (visible to other users), \fBenv:\fIVAR\fR,
\fBfile:\fIPATH\fR, \fBfd:\fIN\fR, or \fBstdin\fR. A file, a descriptor and
standard input give their first line, without its line ending (\en or
\er\en); nothing after that line is used, and a key file shared with other
readers is left just after the line, so several \fBstdin\fR or \fBfd:\fIN\fR
sources read successive lines. Key text is UTF-8, at most 64 KiB (only the
first 72 bytes of a key count). A key holding a NUL byte, or starting with a
byte-order mark (UTF-16 text, as Notepad's "Unicode" saves it, or "UTF-8
with BOM"), is refused with a message that says so: save such a key file as
plain UTF-8. The mark is not dropped, so a key is always the file's bytes.
When standard input carries the data, \fBstdin\fR, \fBfd:0\fR and any other
name for standard input are refused. Given several times, the keys are
applied in order to one cipher instance, as the legacy program did when it
was given a new key: that is how data written by a re-keyed program is read.
With no key option, the key is asked for on the terminal (twice when
encrypting).)"},
             {"rekey", "--new-pass", R"(The new key, in the same forms as \fB\-\-pass\fR; repeatable.)"},
             {kCipher, "--no-key", R"(Use the cipher as construction leaves it, for data written by a program that
never set a key.)"},
             {"encrypt|decrypt|rekey|hex encode|hex decode", "--codepage",
              R"(The single-byte code page that turns keys and texts into bytes: 874, or 1250
to 1258. The default is the library's: the system's ANSI code page on Windows
when it is one of these, 1252 otherwise (and on every other system). The same
option and default serve \fBhex encode\fR and \fBhex decode\fR. A key or a
\fB\-\-text\fR with a character the code page lacks is refused (exit status 2
for a key, 1 for a text), with its position and a code page that has it; the
message never shows the character itself.)"},
             {kCipher, "--replace-unmappable",
              R"(Turn each character the code page lacks into "?" in keys and texts, as the
legacy conversion does, instead of refusing it: needed to read data that a
program wrote from such a key. A character beyond U+FFFF becomes two "?".)"},
             {kFiles, "--output", R"(Output file, for a single input or for standard input (or, with
\fB\-\-lines\fR, for all the results); \fB\-\fR is standard output. A
symbolic link is followed: a link to standard output (\fB/dev/stdout\fR) is
standard output, a link to a file has that file replaced and stays a link. A
character device or FIFO is written into; a folder is refused.)"},
             {kCipher, "--suffix", R"(Suffix of encrypted files (default .cls).)"},
             {kFiles, "--in-place", R"(Replace each file by its result, crash-safe. A symbolic link is followed:
the file it points to is replaced (so its plaintext is really gone) and the
link stays. \fBrekey\fR does the same, and holds each file while it works:
a second run on the same file fails instead of both reporting success. The
new file keeps the old one's owner, group, mode and times; where the owner
or group cannot be given to it, the file is left as it was and the run
fails. Without \fB\-f\fR, a file with other hard links (which would keep
the old content) is refused, and so is \fBencrypt \-\-in\-place\fR of a
file the key already reads.)"},
             {kCipher, "--recursive", R"(Walk folders: encryption takes the files without the suffix, decryption and
\fBrekey\fR those with it. A folder that cannot be read is named and the
walk goes on; a folder in which nothing matched is named too, and either
fails the run. Files encrypted with \fB\-\-in\-place\fR keep their names,
so \fB\-r\fR does not find them for decryption: name them. A file named
twice, or found twice, is done once. When encrypting, a file whose name
ends in the suffix is skipped as encrypted already, even if it holds
plaintext: \fB\-v\fR names each one, and a closing line counts the files
encrypted, failed and skipped (printed under \fB\-v\fR, or whenever a file
was skipped). Name such a file to encrypt it, or give another
\fB\-\-suffix\fR.)"},
             {kFiles, "--force", R"(Overwrite existing output files; write binary ciphertext to a terminal.)"},
             {kFiles, "--text", R"(Encrypt \fITEXT\fR as the string operation does; with \fBdecrypt\fR,
\fITEXT\fR is the hexadecimal ciphertext and the text is printed. No
\fIFILE\fR may be given beside it. A character of \fITEXT\fR that the code
page lacks is named by its position only.)"},
             {kCipher, "--hex", R"(Ciphertext as one line of upper-case hexadecimal text on standard input or
output (or \fB\-\-text\fR); any case, white space and ASCII punctuation are
accepted on input. With \fB\-\-lines\fR, hexadecimal lines (the default);
\fBrekey\fR takes it with \fB\-\-lines\fR only.)"},
             {kCipher, "--quiet", R"(Print nothing but errors.)"},
             {kCipher, "--verbose", R"(Name each file as it is done.)"},
             {kCipher, "--progress", R"(Show the progress bar even when standard error is not a terminal. The bar
fits the terminal's width (\fBCOLUMNS\fR when standard error is no
terminal), however narrow; with several files it names the file it shows
by its number among them. Under \fBTERM=dumb\fR it redraws with spaces
instead of the erase-line sequence.)"},
             {kCipher, "--jobs", R"(Process up to \fIN\fR files at once; 0, the default, means one per processor.
\fIN\fR is lowered, with a note, to the larger of four and the processor
count. Each file is one chain of blocks, so files side by side use several
processors where one file cannot. Messages still come in the order the files
were given. Inputs that would write the same output, or read another's
output, are processed one at a time. Many small files mostly wait for the
disk: each costs a flush of its own content, and the flush of its folder is
done once per folder at the end of the run. For them the default serves
best; \fB\-j 1\fR is slower, as one file's flush then waits for the
previous one's.)"},
         },
         ""},
        {"LINES",
         R"(With \fB\-\-lines\fR, \fBencrypt\fR, \fBdecrypt\fR and \fBrekey\fR
convert short values, one a line, from the \fIFILE\fRs in order (standard
input when none is given, or for \fB\-\fR), and write one result a line in
the same order to standard output, or to \fB\-o\fR \fIOUT\fR (which takes
its name only once the run is complete, as every output does; without
\fB\-f\fR only if the name is free). Lines end in LF or CRLF. Values stream
through in batches: memory does not grow with the number of lines. A line
longer than 4 MiB fails on its own, without being held.
.PP
Plaintext lines are UTF-8 text, converted through \fB\-\-codepage\fR; a
character the code page lacks fails its line unless
\fB\-\-replace\-unmappable\fR is given. A decrypted text that holds a line
break (with \fB\-z\fR, a NUL) cannot stand in one line and fails. Ciphertext
lines are hexadecimal by default (written in upper case without separators;
read in either case, with any white space or punctuation between pairs), or
Base64 with \fB\-\-base64\fR, or the string operation's text (each
ciphertext byte a character of the code page, UTF-8 encoded) with
\fB\-\-string\fR. A string form that would hold the line's end is
encrypted again: every encryption draws a new random first block. There is
no raw binary form per line.
.PP
By default the first line that fails stops the run with exit status 4 (a
wrong key, or not a ciphertext of this format) or 1 (anything else); the
message names the input and the line number and the reason, never the value.
The lines before it stay written on standard output; an \fB\-o\fR file is
not written. \fB\-\-in\-place\fR, \fB\-r\fR, \fB\-\-text\fR,
\fB\-j\fR, \fB\-v\fR and \fB\-\-suffix\fR do not go with
\fB\-\-lines\fR. A progress bar counts the lines per second.)",
         {
             {kCipher, "--lines", R"(Convert values one a line, as described above.)"},
             {kCipher, "--zero", R"(Values end in NUL instead of a line break, and so do results (a CR is then
part of a value).)"},
             {kCipher, "--base64", R"(Ciphertexts in Base64 (RFC 4648, written padded, read padded or not).)"},
             {kCipher, "--string", R"(Ciphertexts as the string operation's text.)"},
             {"decrypt|rekey", "--or", R"(The \fB\-\-pass\fR (or
\fB\-\-no\-key\fR) options before it are one key candidate, a key history
applied in order; those after it the next. Each value is read with the first
candidate whose size descriptor checks, in the order given. Every key source
works in each group; a group without one asks on the terminal. With \fIN\fR
candidates, a value that none of them wrote is accepted by mistake with
probability at most 8\fIN\fR / 2^32: order them from the most to the least
common.)"},
             {"decrypt|rekey", "--show-candidate", R"(Write the number of the candidate that read
each value (from 1) and a tab before its result, to find the stragglers.)"},
             {kCipher, "--keep-going", R"(A line that fails becomes an empty line, and its failure is reported on
standard error; the others go on. The exit status is then 4 when every failure
was a key's, else 1.)"},
             {"rekey", "--output", R"(\fBrekey \-\-lines\fR only: the output file; \fB\-\fR is standard output
(the default).)"},
             {"rekey", "--force", R"(\fBrekey \-\-lines\fR only: replace an existing output file.)"},
         },
         ""},
        {"SHA256",
         R"(Prints and checks SHA-256 digests as \fBsha256sum\fR(1) does: the same lines,
messages and exit statuses (but 2 for a usage error), so that lists written
by either are read by the other. With no \fIFILE\fR, or with \fB\-\fR, it
reads standard input.
.PP
A line is the digest, a space, a mode character and the name. A name holding
a backslash or a line break is written with \fB\e\e\fR, \fB\en\fR and
\fB\er\fR, and its line then starts with a backslash.)",
         {
             {"sha256", "--binary", R"(Mark each line \fB*\fR, binary mode; the digest is the same.)"},
             {"sha256", "-t", R"(Mark each line with a space, text mode (the default); the digest is the
same.)"},
             {"sha256", "--tag", R"(BSD-style lines: \fBSHA256 (\fIname\fB) = \fIdigest\fR.)"},
             {"sha256", "--zero", R"(End each line with a NUL byte instead of a line break, and write names as
they are.)"},
             {"sha256", "--check", R"(Read digest lines from each \fILIST\fR (standard input when none is given, or
for \fB\-\fR) and check the files they name, printing \fIname\fB: OK\fR or
\fIname\fB: FAILED\fR (\fBFAILED open or read\fR for a file that cannot be
read). Both line forms above are read, and lines starting with \fB#\fR are
skipped. Warnings on standard error count the improperly formatted lines,
the files that could not be read and the digests that did not match; any of
the last two, or a list with no digest line, makes the exit status 1.)"},
             {"sha256", "--quiet", R"(With \fB\-c\fR: print nothing for files that match.)"},
             {"sha256", "--status", R"(With \fB\-c\fR: print nothing; the exit status tells.)"},
             {"sha256", "--warn", R"(With \fB\-c\fR: name each improperly formatted line. Of \fB\-\-quiet\fR,
\fB\-\-status\fR and \fB\-w\fR the last one given counts.)"},
             {"sha256", "--strict", R"(With \fB\-c\fR: an improperly formatted line makes the exit status 1.)"},
             {"sha256", "--ignore-missing",
              R"(With \fB\-c\fR: skip listed files that do not exist (a list where no file was
verified still fails).)"},
             {"sha256", "--text", R"(This tool's own: print the legacy text digest of \fITEXT\fR alone, SHA-256 of
the low byte of each character. It takes no \fIFILE\fR and none of the options
above; \fB\-t\fR is text mode, not this.)"},
         },
         ""},
        {"HEX",
         R"(\fBhex encode\fR writes each byte of the text (in the code page) as two
upper-case digits. \fBhex decode\fR is by default the legacy conversion,
strict as it was: digits \fB0\fR\-\fB9\fR and upper-case \fBA\fR\-\fBF\fR
only, each pair exactly \fB\-\-separators\fR \fIN\fR characters (0 or more)
after the previous one, whatever those characters are; characters left
after the last whole pair, a half pair included, are an error.)",
         {
             {"hex encode", "--separator", R"(Between pairs, as many copies of its first character as it is long
(default one space).)"},
             {"hex encode", "--replace-unmappable",
              R"(Write a character the code page lacks as \fB3F\fR ("?"), as the legacy
conversion did, instead of refusing it.)"},
             {"hex decode", "--separators", R"(The number of characters between one pair and the next (default 0).)"},
             {"hex decode", "--lenient", R"(Read hexadecimal text as \fBdecrypt \-\-hex\fR does: digits of either
case, white space and ASCII punctuation skipped anywhere, and a leading
\fB\ex\fR (PostgreSQL's bytea text) skipped.)"},
         },
         ""},
        {"EXIT STATUS",
         R"(0 success; 1 failure; 2 usage error; 4 wrong key, or input that is not a
ciphertext of this format. Output that cannot be written to standard output
(a full disk, a closed descriptor) is a failure: "write error", status 1.
Errors of the command line start with "clscrypt:", as every other message
does.)",
         {},
         ""},
        {"ENVIRONMENT",
         R"(.TP
.B TMPDIR
The folder for the unnamed temporary file that holds a standard input
longer than 64 MiB.
.TP
.B TERM\fR, \fPCOLUMNS
How the progress bar is drawn.)",
         {},
         ""},
        {"LIMITS",
         R"(The format has no authentication: the size descriptor check catches a wrong
key almost always, but not damage in the middle of a ciphertext. Blocks are
64 bits. Only the first 72 bytes of a key count. Messages are at most
2 GiB \- 20 bytes.)",
         {},
         ""},
        {"EXAMPLES",
         R"(Encrypting keeps the source, so decrypting beside it needs another name (or
\fB\-f\fR to replace it):
.PP
.nf
clscrypt encrypt \-\-pass env:KEY report.pdf        # writes report.pdf.cls
clscrypt decrypt \-\-pass env:KEY \-o check.pdf report.pdf.cls
cmp report.pdf check.pdf && rm report.pdf check.pdf
clscrypt decrypt \-\-pass env:KEY report.pdf.cls    # writes report.pdf again
.fi
.PP
More:
.PP
.nf
clscrypt encrypt \-\-pass env:KEY \-\-hex \-\-text 'db password'
tar c docs | clscrypt encrypt \-\-pass fd:3 3<key.txt \-o docs.tar.cls
clscrypt rekey \-\-pass env:OLD \-\-new\-pass env:NEW *.cls
clscrypt decrypt \-\-lines \-\-pass env:KEY column.txt > plain.txt
clscrypt rekey \-\-lines \-\-keep\-going \-\-pass env:OLD \-\-or \-\-pass env:OLD \-\-pass env:NEW \e
    \-\-new\-pass env:NEWEST \-o moved.txt column.txt
clscrypt sha256 *.cls > SUMS; clscrypt sha256 \-c \-\-quiet SUMS
clscrypt hex decode \-\-separators 1 '41 42'
clscrypt hex decode \-\-lenient '41:6a'
.fi)",
         {},
         ""},
        {"FILES",
         R"(The shell completions are installed as
\fBshare/bash\-completion/completions/clscrypt\fR,
\fBshare/zsh/vendor\-completions/_clscrypt\fR and
\fBshare/fish/vendor_completions.d/clscrypt.fish\fR under the installation
prefix.)",
         {},
         ""},
    };
    return kSections;
}

std::vector<std::string> split_scope(const std::string& scope) {
    std::vector<std::string> out;
    std::string::size_type at = 0;
    for (;;) {
        const auto bar = scope.find('|', at);
        out.push_back(scope.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
        if (bar == std::string::npos) return out;
        at = bar + 1;
    }
}

const CLI::Option* find_option(const CLI::App& app, const std::string& name) {
    for (const CLI::Option* opt : options_of(app)) {
        const auto names = spellings(*opt);
        if (std::find(names.begin(), names.end(), name) != names.end()) return opt;
    }
    return nullptr;
}

// The commands an entry serves.
std::vector<const Command*> entry_commands(const Entry& e, const std::vector<Command>& commands) {
    std::vector<const Command*> out;
    if (std::string(e.scope) == "*") {
        for (const auto& c : commands) out.push_back(&c);
        return out;
    }
    for (const auto& word : split_scope(e.scope)) {
        const auto c = std::find_if(commands.begin(), commands.end(), [&](const Command& k) { return k.path == word; });
        if (c == commands.end()) throw std::logic_error("manual page: no command '" + word + "'");
        out.push_back(&*c);
    }
    return out;
}

std::string entry_heading(const CLI::Option& opt) {
    std::string out;
    for (const auto& name : spellings(opt)) {
        out += (out.empty() ? "" : ", ") + std::string("\\fB") + roff_escaped(name) + "\\fR";
    }
    const std::string word = value_word(opt);
    if (!word.empty()) out += " \\fI" + roff_escaped(word) + "\\fR";
    return out;
}

// "(encrypt, decrypt)" for an entry that serves some commands only.
std::string entry_commands_note(const Entry& e, const std::vector<Command>& commands) {
    const std::string scope = e.scope;
    if (scope == "*" || scope.empty()) return {};
    const auto served = entry_commands(e, commands);
    std::string out;
    for (const Command* c : served) out += (out.empty() ? "" : ", ") + std::string("\\fB") + c->path + "\\fR";
    return out;
}

std::string synopsis(const std::vector<Command>& commands) {
    std::string out = ".SH SYNOPSIS\n";
    for (const auto& c : commands) {
        if (c.path.empty() || !subcommands_of(*c.app).empty()) continue;
        out += ".B clscrypt " + c.path + "\n[\\fIOPTIONS\\fR]";
        for (const CLI::Option* opt : c.app->get_options()) {
            if (opt->nonpositional()) continue;
            std::string word = opt->get_type_name();
            if (word.empty() || word == "TEXT") {
                word = opt->get_name();
                for (char& ch : word) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            }
            out += " [\\fI" + roff_escaped(word) + "\\fR" + (opt->get_items_expected_max() > 1 ? "...]" : "]");
        }
        out += "\n.br\n";
    }
    // The forms that a command's options make of it.
    out += R"(.B clscrypt rekey
\fB\-\-pass\fR \fIOLD\fR \fB\-\-new\-pass\fR \fINEW\fR \fIFILE\fR...
.br
.B clscrypt encrypt \-\-lines
[\fIOPTIONS\fR] [\fIFILE\fR...]
.br
.B clscrypt decrypt \-\-lines
[\fIOPTIONS\fR] \fIKEYS\fR [\fB\-\-or\fR \fIKEYS\fR]... [\fIFILE\fR...]
.br
.B clscrypt rekey \-\-lines
[\fIOPTIONS\fR] \fIKEYS\fR [\fB\-\-or\fR \fIKEYS\fR]... \fB\-\-new\-pass\fR \fINEW\fR... [\fIFILE\fR...]
.br
.B clscrypt sha256 \-c
[\fB\-\-quiet\fR | \fB\-\-status\fR | \fB\-w\fR] [\fB\-\-strict\fR] [\fB\-\-ignore\-missing\fR] [\fILIST\fR...]
.br
.B clscrypt sha256 \-\-text
\fITEXT\fR
.br
)";
    out += ".B clscrypt \\-d\n[\\fIOPTIONS\\fR] [\\fIFILE\\fR...] (the same as \\fBdecrypt\\fR)\n.br\n";
    out += ".B clscrypt \\-V\n|\n.B \\-\\-version\n";
    return out;
}

}  // namespace

std::string manual_page(CLI::App& app, const std::string& version) {
    const std::vector<Command> commands = all_commands(app);
    // Every option of every command needs an entry, and every entry an option.
    std::set<std::pair<std::string, const CLI::Option*>> covered;
    for (const auto& section : sections()) {
        for (const auto& e : section.entries) {
            for (const Command* c : entry_commands(e, commands)) {
                const CLI::Option* opt = find_option(*c->app, e.option);
                if (opt == nullptr) {
                    throw std::logic_error(std::string("manual page: '") + (c->path.empty() ? "clscrypt" : c->path) +
                                           "' has no option " + e.option);
                }
                covered.insert({c->path, opt});
            }
        }
    }
    for (const auto& c : commands) {
        for (const CLI::Option* opt : options_of(*c.app)) {
            if (covered.count({c.path, opt}) == 0) {
                throw std::logic_error("manual page: no entry for " + spellings(*opt).back() + " of '" +
                                       (c.path.empty() ? "clscrypt" : c.path) + "'");
            }
        }
    }

    std::ostringstream page;
    page << ".TH CLSCRYPT 1 \"\" \"clscrypt " << version << "\" \"User Commands\"\n"
         << ".SH NAME\nclscrypt \\- encrypt, decrypt and re-key data in the legacy cipher format; SHA-256 and "
            "hexadecimal text\n"
         << synopsis(commands);
    for (const auto& section : sections()) {
        page << ".SH " << section.title << "\n";
        if (*section.before != '\0') page << section.before << "\n";
        for (const auto& e : section.entries) {
            const Command* first = entry_commands(e, commands).front();
            const CLI::Option* opt = find_option(*first->app, e.option);
            page << ".TP\n" << entry_heading(*opt) << "\n";
            const std::string note = entry_commands_note(e, commands);
            if (!note.empty()) page << "(" << note << ") ";
            page << e.text << "\n";
        }
        if (*section.after != '\0') page << section.after << "\n";
    }
    return page.str();
}

namespace {

// Single quotes for the shells: 'it'\''s'.
std::string shell_quoted(const std::string& text) {
    std::string out = "'";
    for (const char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

std::string joined(const std::vector<std::string>& words) {
    std::string out;
    for (const auto& w : words) out += (out.empty() ? "" : " ") + w;
    return out;
}

std::vector<std::string> option_words(const CLI::App& app) {
    std::vector<std::string> out;
    for (const CLI::Option* opt : options_of(app)) {
        for (const auto& s : spellings(*opt)) out.push_back(s);
    }
    return out;
}

std::vector<std::string> command_words(CLI::App& app) {
    std::vector<std::string> out;
    for (CLI::App* sub : subcommands_of(app)) out.push_back(sub->get_name());
    return out;
}

// The words that lead from one command to the next, for the shells' walks:
// "/hex/encode" is reached by "hex" then "encode"; "-d" leads to decrypt.
std::string slashed(const std::string& path) {
    std::string out = "/";
    for (const char c : path) out += c == ' ' ? '/' : c;
    return path.empty() ? "" : out;
}

std::string bash_script(CLI::App& app) {
    const auto commands = all_commands(app);
    std::ostringstream s;
    s << "# bash completion for clscrypt (made by clscrypt --generate-completions bash)\n"
      << "_clscrypt() {\n"
      << "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" cmdpath=\"\" i\n"
      << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
      << "        case \"$cmdpath/${COMP_WORDS[i]}\" in\n";
    for (const auto& c : commands) {
        if (!c.path.empty())
            s << "            " << shell_quoted(slashed(c.path)) << ") cmdpath=" << shell_quoted(slashed(c.path))
              << " ;;\n";
    }
    s << "            /-d) cmdpath=/decrypt ;;\n"
      << "        esac\n"
      << "    done\n"
      << "    local commands=\"\" options=\"\"\n"
      << "    case \"$cmdpath\" in\n";
    for (const auto& c : commands) {
        s << "        " << shell_quoted(slashed(c.path)) << ") commands=" << shell_quoted(joined(command_words(*c.app)))
          << "; options=" << shell_quoted(joined(option_words(*c.app))) << " ;;\n";
    }
    s << "    esac\n"
      << "    if [[ $cmdpath == /help ]]; then commands=" << shell_quoted(joined(command_words(app))) << "; fi\n"
      << "    if [[ $cur == -* ]]; then\n"
      << "        COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
      << "    elif [[ -n $commands ]]; then\n"
      << "        COMPREPLY=($(compgen -W \"$commands\" -- \"$cur\"))\n"
      << "    else\n"
      << "        COMPREPLY=($(compgen -f -- \"$cur\"))\n"
      << "    fi\n"
      << "}\n"
      << "complete -o filenames -F _clscrypt clscrypt\n";
    return s.str();
}

std::string zsh_script(CLI::App& app) {
    const auto commands = all_commands(app);
    std::ostringstream s;
    s << "#compdef clscrypt\n"
      << "# zsh completion for clscrypt (made by clscrypt --generate-completions zsh)\n"
      << "_clscrypt() {\n"
      << "    local cmdpath=\"\" i\n"
      << "    for ((i = 2; i < CURRENT; i++)); do\n"
      << "        case \"$cmdpath/${words[i]}\" in\n";
    for (const auto& c : commands) {
        if (!c.path.empty())
            s << "            " << shell_quoted(slashed(c.path)) << ") cmdpath=" << shell_quoted(slashed(c.path))
              << " ;;\n";
    }
    s << "            /-d) cmdpath=/decrypt ;;\n"
      << "        esac\n"
      << "    done\n"
      << "    local -a commands options\n"
      << "    case \"$cmdpath\" in\n";
    for (const auto& c : commands) {
        s << "        " << shell_quoted(slashed(c.path)) << ") commands=(" << joined(command_words(*c.app))
          << "); options=(" << joined(option_words(*c.app)) << ") ;;\n";
    }
    s << "    esac\n"
      << "    [[ $cmdpath == /help ]] && commands=(" << joined(command_words(app)) << ")\n"
      << "    if [[ $PREFIX == -* ]]; then\n"
      << "        compadd -a options\n"
      << "    elif (( ${#commands} )); then\n"
      << "        compadd -a commands\n"
      << "    else\n"
      << "        _files\n"
      << "    fi\n"
      << "}\n"
      << "_clscrypt \"$@\"\n";
    return s.str();
}

std::string fish_script(CLI::App& app) {
    const auto commands = all_commands(app);
    std::ostringstream s;
    s << "# fish completion for clscrypt (made by clscrypt --generate-completions fish)\n"
      << "complete -c clscrypt -f\n";
    // The condition under which a command's words apply: its own words seen,
    // and none of its subcommands yet.
    const auto condition = [&](const Command& c) {
        std::string cond;
        std::string path;
        std::string word;
        std::istringstream words(c.path);
        while (words >> word) {
            cond += (cond.empty() ? "" : "; and ") + std::string("__fish_seen_subcommand_from ") + word;
        }
        const auto subs = command_words(*c.app);
        if (!subs.empty())
            cond += (cond.empty() ? "" : "; and ") + std::string("not __fish_seen_subcommand_from ") + joined(subs);
        if (c.path.empty() && subs.empty()) return std::string("true");
        return cond;
    };
    for (const auto& c : commands) {
        const std::string cond = shell_quoted(condition(c));
        for (CLI::App* sub : subcommands_of(*c.app)) {
            s << "complete -c clscrypt -n " << cond << " -a " << sub->get_name() << " -d "
              << shell_quoted(sub->get_description()) << "\n";
        }
        for (const CLI::Option* opt : options_of(*c.app)) {
            s << "complete -c clscrypt -n " << cond;
            for (const auto& sn : opt->get_snames()) s << " -s " << sn;
            for (const auto& ln : opt->get_lnames()) s << " -l " << ln;
            if (!value_word(*opt).empty()) s << " -r";
            std::string description = opt->get_description();
            if (const auto stop = description.find_first_of(".;("); stop != std::string::npos && stop > 0) {
                description.resize(stop);
            }
            s << " -d " << shell_quoted(description) << "\n";
        }
        if (subcommands_of(*c.app).empty() && !c.path.empty() && c.path != "help") {
            s << "complete -c clscrypt -n " << cond << " -F\n";
        }
    }
    return s.str();
}

}  // namespace

std::string completion_script(CLI::App& app, const std::string& shell) {
    if (shell == "bash") return bash_script(app);
    if (shell == "zsh") return zsh_script(app);
    if (shell == "fish") return fish_script(app);
    throw std::invalid_argument("no completions for the shell '" + shell + "': bash, zsh or fish");
}

}  // namespace clscrypt::tool
