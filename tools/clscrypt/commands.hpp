#pragma once

#include <string>
#include <vector>

#include <clscrypt/codepage.hpp>

#include "keys.hpp"

namespace clscrypt::tool {

struct CipherOptions {
    std::vector<std::string> files;
    KeyOptions keys;
    KeyOptions new_keys;  // rekey only
    // The library's default: the system's ANSI code page on Windows.
    int codepage = CodePage().Number();
    bool force = false;
    std::string output;
    std::string suffix = ".cls";
    bool in_place = false;
    bool recursive = false;
    bool quiet = false;
    bool verbose = false;
    bool progress = false;  // draw the bar even when standard error is no terminal
    int jobs = 0;           // files processed at once; 0: one per processor
    bool hex = false;
    bool text_given = false;
    std::string text;
    // --lines: one value a line, from the files or standard input.
    bool lines = false;
    bool zero = false;  // values end in NUL, not a line break
    bool base64 = false;
    bool string_form = false;  // the string operation's text
    bool keep_going = false;
    bool show_candidate = false;
    // The key histories to try in order, one per group of --pass options
    // between --or (one group when --or is not given). Filled from `keys`.
    std::vector<KeyOptions> candidates;
};

int run_encrypt(CipherOptions options);
int run_decrypt(CipherOptions options);
int run_rekey(CipherOptions options);

/// encrypt, decrypt and rekey --lines.
enum class LineAction { Encrypt, Decrypt, Rekey };
int run_lines(CipherOptions options, LineAction action);

struct Sha256Options {
    std::vector<std::string> files;  // the files, or with --check the lists; none means "-"
    bool check = false;
    bool text_given = false;
    std::string text;
    // The output marker: 1 "*" (-b, --tag), 0 " " (-t), -1 none given. As
    // with sha256sum, the last of -b, -t and --tag given decides.
    int binary = -1;
    bool binary_given = false;  // -b or -t (meaningless with --check)
    bool tag = false;           // "SHA256 (name) = digest" lines
    bool zero = false;          // lines end in NUL, names unescaped
    // --check only. Of --quiet, --status and --warn the last given wins.
    bool quiet = false;           // no "OK" lines
    bool status = false;          // nothing printed, the exit status says it
    bool warn = false;            // name each improperly formatted line
    bool strict = false;          // improperly formatted lines fail the check
    bool ignore_missing = false;  // listed files that do not exist are skipped
};

int run_sha256(const Sha256Options& options);

struct HexOptions {
    bool encode = true;
    bool argument_given = false;
    std::string argument;
    std::string separator = " ";
    int separators = 0;
    bool lenient = false;             // decode: the library's rule for ciphertext hex (ReadHex)
    bool replace_unmappable = false;  // encode: characters the code page lacks become '?' (3F)
    int codepage = CodePage().Number();
};

int run_hex(const HexOptions& options);

}  // namespace clscrypt::tool
