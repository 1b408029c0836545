#pragma once

// The comparison table `make bench` ends with: each row sets one of our
// measurements beside a reference (OpenSSL on the same buffers, or our own
// in-memory operation for the file rows) and gives the ratio, with the
// target it must meet.
//
// Every measurement is repeated; what is kept is the rate of each
// repetition (units per second of wall-clock time). A row shows the median
// rate of each side, the ratio of the medians, and the ratio of the best
// repetitions, which other work on a shared machine can only pull down.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace clscrypt::bench {

class Results {
public:
    struct Summary {
        double median = 0;
        double best = 0;
        std::size_t runs = 0;
    };

    void add(const std::string& name, double rate);
    [[nodiscard]] Summary summary(const std::string& name) const;

    /// Peak resident memory of a measurement run in a child process, MiB.
    void add_peak(const std::string& name, double mib);
    [[nodiscard]] double peak(const std::string& name) const;

private:
    std::map<std::string, std::vector<double>> rates_;
    std::map<std::string, double> peaks_;
};

/// Google Benchmark's console report; the rate of every repetition goes into
/// `results`. A benchmark's name ends in "/<units per iteration>": bytes for
/// throughput, 1 for operations.
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
    std::string ours;       // measurement names
    std::string reference;
    std::string reference_label;  // whose the reference is: "OpenSSL", "in memory", ...
    Unit unit = Unit::MegabytesPerSecond;
    double target = 0;      // least ratio of the medians; 0 for rows shown for information
    double peak_limit = 0;  // MiB the ours side's peak memory must stay under; 0 for none
};

/// The rows as a Markdown table, ready for the README.
void print_table(std::FILE* out, const std::vector<Row>& rows, const Results& results);

}  // namespace clscrypt::bench
