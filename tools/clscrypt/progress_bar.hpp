#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace clscrypt::tool {

/// A one-line progress bar on standard error, fed by the cipher's Progress
/// event: the current file's percentage, the overall share when there are
/// several files, and the throughput.
class ProgressBar {
public:
    ProgressBar(bool enabled, std::uint64_t total_bytes, std::size_t file_count);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    void start_file(const std::string& name, std::uint64_t size);
    void update(std::int32_t percent);
    void finish_file();
    /// Clears the line so a message can be printed.
    void clear();

private:
    void draw(std::int32_t percent, bool force);

    bool enabled_;
    std::uint64_t total_;
    std::size_t files_;
    std::size_t file_index_ = 0;
    std::uint64_t done_before_ = 0;
    std::uint64_t current_size_ = 0;
    std::string name_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace clscrypt::tool
