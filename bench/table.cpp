#include "table.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace clscrypt::bench {

void Results::add(const std::string& name, double rate) { rates_[name].push_back(rate); }

Results::Summary Results::summary(const std::string& name) const {
    const auto it = rates_.find(name);
    if (it == rates_.end() || it->second.empty()) return {};
    std::vector<double> r = it->second;
    std::sort(r.begin(), r.end());
    const std::size_t mid = r.size() / 2;
    return {r.size() % 2 == 1 ? r[mid] : (r[mid - 1] + r[mid]) / 2, r.back(), r.size()};
}

void Results::add_peak(const std::string& name, double mib) {
    double& p = peaks_[name];
    p = std::max(p, mib);
}

double Results::peak(const std::string& name) const {
    const auto it = peaks_.find(name);
    return it == peaks_.end() ? 0.0 : it->second;
}

Reporter::Reporter(Results& results)
    : ConsoleReporter(isatty(STDOUT_FILENO) != 0 ? OO_ColorTabular : OO_Tabular), results_(results) {}

void Reporter::ReportRuns(const std::vector<Run>& reports) {
    std::vector<Run> shown;
    for (const Run& run : reports) {
        // The console shows the aggregates only; the table wants every run.
        if (run.run_type == Run::RT_Aggregate || run.repetitions <= 1) shown.push_back(run);
        if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
        const std::string& name = run.run_name.function_name;
        const double units = std::stod(name.substr(name.rfind('/') + 1));
        const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        if (seconds > 0) results_.add(name, units / seconds);
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
    std::fprintf(out, "| Path | Size | Ours | Reference | Ratio | Best ratio | Target | Met |\n");
    std::fprintf(out, "|---|---|---|---|---|---|---|---|\n");
    for (const Row& row : rows) {
        const auto ours = results.summary(row.ours);
        const auto ref = results.summary(row.reference);
        if (ours.runs == 0 || ref.runs == 0) {
            std::fprintf(out, "| %s | %s | not measured | | | | | |\n", row.path.c_str(), row.size.c_str());
            continue;
        }
        const double ratio = ours.median / ref.median;
        const double best = ours.best / ref.best;
        std::string ours_text = rate_text(ours.median, row.unit);
        const double peak = results.peak(row.ours);
        if (peak > 0) {
            char buf[48];
            std::snprintf(buf, sizeof buf, ", peak %.0f MiB", peak);
            ours_text += buf;
        }
        std::string target = "-";
        std::string met = "-";
        if (row.target > 0) {
            char buf[48];
            std::snprintf(buf, sizeof buf, ">= %.2fx", row.target);
            target = buf;
            bool ok = ratio >= row.target;
            if (row.peak_limit > 0) {
                std::snprintf(buf, sizeof buf, ", peak < %.0f MiB", row.peak_limit);
                target += buf;
                ok = ok && peak > 0 && peak < row.peak_limit;
            }
            met = ok ? "yes" : "**no**";
        }
        std::fprintf(out, "| %s | %s | %s | %s (%s) | %.2fx | %.2fx | %s | %s |\n", row.path.c_str(),
                     row.size.c_str(), ours_text.c_str(), rate_text(ref.median, row.unit).c_str(),
                     row.reference_label.c_str(), ratio, best, target.c_str(), met.c_str());
    }
}

}  // namespace clscrypt::bench
