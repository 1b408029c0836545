#pragma once

// Known-answer files in the "NAME = VALUE" form of the NIST response files:
// records separated by blank lines, "#" comments, "[SECTION]" headers.

#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace clscrypt::test {

#ifndef CLSCRYPT_TEST_DATA_DIR
#error "CLSCRYPT_TEST_DATA_DIR must name the folder of the known-answer files"
#endif

using VectorRecord = std::map<std::string, std::string>;

/// The records of `name` (a file in tests/data). With `read_commented`,
/// comment lines of the form "# NAME = VALUE" count as fields too: some files
/// disable records that only a wider implementation can run.
inline std::vector<VectorRecord> read_vector_file(const std::string& name, bool read_commented = false) {
    const std::string path = std::string(CLSCRYPT_TEST_DATA_DIR) + "/" + name;
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot open " + path);
    std::vector<VectorRecord> records;
    VectorRecord current;
    auto flush = [&] {
        if (!current.empty()) records.push_back(std::move(current));
        current.clear();
    };
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
        if (line.empty()) {
            flush();
            continue;
        }
        if (line.front() == '[') continue;
        if (line.front() == '#') {
            if (!read_commented) continue;
            line.erase(0, line.find_first_not_of("# "));
        }
        const auto eq = line.find(" = ");
        if (eq == std::string::npos) continue;  // prose in a comment
        current[line.substr(0, eq)] = line.substr(eq + 3);
    }
    flush();
    return records;
}

}  // namespace clscrypt::test
