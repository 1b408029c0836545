#pragma once

#include <string>
#include <vector>

#include "keys.hpp"

namespace clscrypt::tool {

struct CipherOptions {
    std::vector<std::string> files;
    KeyOptions keys;
    KeyOptions new_keys;  // rekey only
    int codepage = 1252;
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
};

int run_encrypt(CipherOptions options);
int run_decrypt(CipherOptions options);
int run_rekey(CipherOptions options);

struct Sha256Options {
    std::vector<std::string> files;
    std::string check;
    bool check_given = false;
    bool text_given = false;
    std::string text;
    bool quiet = false;   // --check: no "OK" lines
    bool status = false;  // --check: nothing printed, the exit status says it
};

int run_sha256(const Sha256Options& options);

struct HexOptions {
    bool encode = true;
    bool argument_given = false;
    std::string argument;
    std::string separator = " ";
    int separators = 0;
    int codepage = 1252;
};

int run_hex(const HexOptions& options);

}  // namespace clscrypt::tool
