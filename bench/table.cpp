#include "table.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace clscrypt::bench {

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t mid = v.size() / 2;
    return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

}  // namespace

void Results::add_pair(const std::string& name, double ours, double theirs) {
    pairs_[name].emplace_back(ours, theirs);
}

Results::Summary Results::summary(const std::string& name) const {
    const auto it = pairs_.find(name);
    if (it == pairs_.end() || it->second.empty()) return {};
    std::vector<double> ours;
    std::vector<double> theirs;
    std::vector<double> ratios;
    for (const auto& [o, t] : it->second) {
        ours.push_back(o);
        theirs.push_back(t);
        ratios.push_back(o / t);
    }
    const auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
    return {median(ours), median(theirs), median(ratios), *low, *high, ratios.size()};
}

void Results::add_peak(const std::string& name, double mib) {
    double& p = peaks_[name];
    p = std::max(p, mib);
}

double Results::peak(const std::string& name) const {
    const auto it = peaks_.find(name);
    return it == peaks_.end() ? 0.0 : it->second;
}

void register_pair(const std::string& name, double units, int batch, Side ours, Side theirs) {
    const std::string full = name + "/" + std::to_string(static_cast<long long>(units));
    benchmark::RegisterBenchmark(full.c_str(), [units, batch, ours, theirs](benchmark::State& state) {
        using clock = std::chrono::steady_clock;
        double ours_seconds = 0;
        double theirs_seconds = 0;
        auto timed = [batch](const Side& side) {
            if (side.prepare) side.prepare();
            const auto start = clock::now();
            for (int i = 0; i < batch; ++i) side.run();
            return std::chrono::duration<double>(clock::now() - start).count();
        };
        for (auto _ : state) {
            const double o = timed(ours);
            const double t = timed(theirs);
            ours_seconds += o;
            theirs_seconds += t;
            state.SetIterationTime(o + t);
        }
        const double done = units * static_cast<double>(state.iterations());
        state.counters["ours"] = benchmark::Counter(ours_seconds > 0 ? done / ours_seconds : 0);
        state.counters["theirs"] = benchmark::Counter(theirs_seconds > 0 ? done / theirs_seconds : 0);
    })->UseManualTime();
}

Reporter::Reporter(Results& results)
    : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular), results_(results) {}

void Reporter::ReportRuns(const std::vector<Run>& reports) {
    std::vector<Run> shown;
    for (const Run& run : reports) {
        // The console shows the aggregates only; the table wants every run.
        if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1) shown.push_back(run);
        if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
        const auto ours = run.counters.find("ours");
        const auto theirs = run.counters.find("theirs");
        if (ours == run.counters.end() || theirs == run.counters.end() || theirs->second.value <= 0) continue;
        const std::string& name = run.run_name.function_name;
        results_.add_pair(name.substr(0, name.rfind('/')), ours->second.value, theirs->second.value);
    }
    if (!shown.empty()) ConsoleReporter::ReportRuns(shown);
}

namespace {

std::string rate_text(double rate, Unit unit) {
    char buf[64];
    if (unit == Unit::MegabytesPerSecond) {
        std::snprintf(buf, sizeof buf, "%.0f MB/s", rate / 1e6);
    } else {
        std::snprintf(buf, sizeof buf, "%.1f k/s", rate / 1e3);
    }
    return buf;
}

}  // namespace

void print_table(std::FILE* out, const std::vector<Row>& rows, const Results& results) {
    std::fprintf(out, "| Path | Size | Ours | Reference | Ratio | Range | Target | Met |\n");
    std::fprintf(out, "|---|---|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        const auto s = results.summary(row.measurement);
        if (s.runs == 0) {
            std::fprintf(out, "| %s | %s | not measured | | | | | |\n", row.path.c_str(), row.size.c_str());
            continue;
        }
        std::string ours = rate_text(s.ours, row.unit);
        const double peak = results.peak(row.measurement);
        char buf[64];
        if (peak > 0) {
            std::snprintf(buf, sizeof buf, ", peak %.0f MiB", peak);
            ours += buf;
        }
        std::string target = "-";
        std::string met = "-";
        if (row.target > 0) {
            std::snprintf(buf, sizeof buf, ">= %.2fx", row.target);
            target = buf;
            bool ok = s.ratio >= row.target;
            if (row.peak_limit > 0) {
                std::snprintf(buf, sizeof buf, ", peak < %.0f MiB", row.peak_limit);
                target += buf;
                ok = ok && peak > 0 && peak < row.peak_limit;
            }
            met = ok ? "yes" : "**no**";
        }
        std::fprintf(out, "| %s | %s | %s | %s (%s) | %.2fx | %.2f-%.2f | %s | %s |\n", row.path.c_str(),
                     row.size.c_str(), ours.c_str(), rate_text(s.theirs, row.unit).c_str(), row.reference_label.c_str(),
                     s.ratio, s.low, s.high, target.c_str(), met.c_str());
    }
}

}  // namespace clscrypt::bench
