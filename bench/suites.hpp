#pragma once

// The parts of the benchmark program: each checks its outputs against a
// reference, registers its Google Benchmark cases or measures in child
// processes, and names the rows of the final table.

#include <filesystem>
#include <string>
#include <vector>

#include "table.hpp"

namespace clscrypt::bench {

// SHA-256 and clsHsh (sha256_bench.cpp).
bool sha256_outputs_agree();
void register_sha256_benchmarks();
std::vector<Row> sha256_rows();

// The cipher in memory against OpenSSL's Blowfish (cipher_bench.cpp).
bool cipher_outputs_agree();
void register_cipher_benchmarks();
std::vector<Row> cipher_rows();

// Many short values against OpenSSL's EVP Blowfish-CBC (values_bench.cpp).
bool values_outputs_agree();
void register_values_benchmarks();
std::vector<Row> values_rows();

// Files and the tool, each measured in a child process of its own
// (system_bench.cpp). `folder` holds the scratch files; `label` names it in
// the rows ("disk", "tmpfs").
struct SystemOptions {
    std::size_t file_mib = 256;
    std::size_t tool_files = 64;
    std::size_t tool_file_mib = 4;
    int repetitions = 3;
    std::string tool_path;  // empty: no tool rows
};
void measure_files(const std::filesystem::path& folder, const std::string& label, const SystemOptions& options,
                   Results& results);
void measure_tool(const std::filesystem::path& folder, const std::string& label, const SystemOptions& options,
                  Results& results);
std::vector<Row> system_rows(const std::vector<std::string>& labels, const SystemOptions& options);

}  // namespace clscrypt::bench
