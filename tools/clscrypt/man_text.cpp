// The manual page's prose (roff), section by section.

#include "man_text.hpp"

namespace clscrypt::tool {

namespace {

const char* const kFiles = "encrypt|decrypt";
const char* const kCipher = "encrypt|decrypt|rekey";

}  // namespace

const std::vector<ManSection>& manual_sections() {
    static const std::vector<ManSection> kSections = {
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

}  // namespace clscrypt::tool
