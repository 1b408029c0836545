#pragma once

// The comparison table `make bench` ends with: each row sets one of our
// measurements beside a reference (OpenSSL on the same buffers, or our own
// in-memory operation for the file rows) and gives the ratio, with the
// target it must meet.
//
// Both sides of a row are measured in pairs: within each repetition ours
// and the reference alternate (call by call for the Google Benchmark rows,
// run by run for the file and tool rows), so each repetition's ratio
// compares the two over the same stretch of time, whatever else the
// machine was doing. A row shows each side's median rate, the median of the
// repetitions' ratios, and their range.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace clscrypt::bench {

class Results {
public:
    struct Summary {
        double ours = 0;  // median rates, units per second
        double theirs = 0;
        double ratio = 0;  // median of the repetitions' ratios
        double low = 0;    // their range
        double high = 0;
        std::size_t runs = 0;
    };

    /// One repetition of a pair: both sides' rates over the same stretch.
    void add_pair(const std::string& name, double ours, double theirs);
    [[nodiscard]] Summary summary(const std::string& name) const;

    /// Peak resident memory of our side, MiB (measured in a child process).
    void add_peak(const std::string& name, double mib);
    [[nodiscard]] double peak(const std::string& name) const;

private:
    std::map<std::string, std::vector<std::pair<double, double>>> pairs_;
    std::map<std::string, double> peaks_;
};

/// A side of a pair: `prepare` (not timed, may be empty) then `run`, which
/// the pair calls `batch` times in a row.
struct Side {
    std::function<void()> run;
    std::function<void()> prepare;
};

/// Registers a Google Benchmark case "<name>/<units>" that alternates `ours`
/// and `theirs` every iteration, timing each; `units` is what one iteration
/// of one side does (bytes, or operations: batch calls of `units / batch`).
void register_pair(const std::string& name, double units, int batch, Side ours, Side theirs);

/// Google Benchmark's console report; each repetition of a pair goes into
/// `results`.
class Reporter : public benchmark::ConsoleReporter {
public:
    explicit Reporter(Results& results);
    void ReportRuns(const std::vector<Run>& reports) override;

private:
    Results& results_;
};

enum class Unit { MegabytesPerSecond, ThousandsPerSecond };

struct Row {
    std::string path;
    std::string size;
    std::string measurement;      // the pair's name
    std::string reference_label;  // whose the reference is: "OpenSSL", "in memory", ...
    Unit unit = Unit::MegabytesPerSecond;
    double target = 0;      // least median ratio; 0 for rows shown for information
    double peak_limit = 0;  // MiB our side's peak memory must stay under; 0 for none
};

/// The rows as a Markdown table, ready for docs/BENCHMARKS.md.
void print_table(std::FILE* out, const std::vector<Row>& rows, const Results& results);

}  // namespace clscrypt::bench
