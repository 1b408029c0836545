#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace clscrypt::tool {

/// A one-line progress bar on standard error, fed by the cipher's Progress
/// event: the current file's percentage, the overall share when there are
/// several files, and the throughput.
///
/// Files processed side by side each have a slot (one per worker); the bar
/// shows the file that reported last and counts every slot's share in the
/// overall figure. All members may be called from any thread.
class ProgressBar {
public:
    ProgressBar(bool enabled, std::uint64_t total_bytes, std::size_t file_count, std::size_t slots = 1);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    /// `name` as messages show it; `number` counts the file among the
    /// run's files, from 1.
    void start_file(const std::string& name, std::uint64_t size, std::size_t number, std::size_t slot = 0);
    void update(std::int32_t percent, std::size_t slot = 0);
    void finish_file(std::size_t slot = 0);
    /// Values one a line (--lines): the input being read, the lines done so
    /// far in all inputs and the bytes read of all of them. The bar shows
    /// the share of `total_bytes` when that is known (regular files), and
    /// the lines per second.
    void lines(const std::string& name, std::uint64_t lines_done, std::uint64_t bytes_done);
    /// Clears the line so a message can be printed.
    void clear();
    /// Prints a line of text on standard error, the bar cleared first.
    void message(const std::string& line);

private:
    struct Slot {
        std::string name;
        std::uint64_t size = 0;
        std::int32_t percent = 0;
        std::size_t number = 0;  // the file's among the run's, from 1
    };

    void draw(std::size_t slot, bool force);
    // The columns a line may take: the terminal's, less one (a line that
    // reaches the last column wraps on some terminals, and a wrapped line
    // cannot be redrawn in place).
    static std::size_t room();
    void show(std::string line);  // draws `line`, cut to the terminal's width
    void clear_locked();

    std::mutex mutex_;
    bool enabled_;
    // A terminal that knows no "erase the line" sequence (TERM=dumb): lines
    // are overwritten with spaces instead, `shown_columns_` of them.
    bool plain_;
    std::size_t shown_columns_ = 0;
    std::uint64_t total_;
    std::size_t files_;
    std::uint64_t done_before_ = 0;
    std::vector<Slot> slots_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace clscrypt::tool
