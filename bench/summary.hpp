#pragma once
// Collects what Google Benchmark measured and prints a summary table after
// the runs: each program compares its figures with the floors measured in
// the same run.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace ossara::bench {

class Results {
public:
    // Each run of a benchmark replaces the previous one; with repetitions
    // the median (reported after the runs) has the last word.
    void add(const benchmark::BenchmarkReporter::Run& run) {
        // Names without the "_median" of the aggregate and the "/real_time"
        // suffix that UseRealTime() adds.
        std::string name = run.benchmark_name();
        if (name.ends_with("_median")) name.resize(name.size() - std::string_view("_median").size());
        if (name.ends_with("/real_time")) name.resize(name.size() - std::string_view("/real_time").size());
        const double multiplier = benchmark::GetTimeUnitMultiplier(run.time_unit);
        ms_[name] = run.GetAdjustedRealTime() / multiplier * 1e3;
        cpu_ms_[name] = run.GetAdjustedCPUTime() / multiplier * 1e3;
        for (const auto& [key, counter] : run.counters) counters_[name][key] = counter.value;
    }
    // Real time per iteration in milliseconds, NaN when the benchmark did not run.
    double ms(const std::string& name) const {
        const auto found = ms_.find(name);
        return found == ms_.end() ? std::nan("") : found->second;
    }
    // CPU time of the benchmark's thread per iteration in milliseconds.
    double cpu_ms(const std::string& name) const {
        const auto found = cpu_ms_.find(name);
        return found == cpu_ms_.end() ? std::nan("") : found->second;
    }
    double counter(const std::string& name, const std::string& key) const {
        const auto found = counters_.find(name);
        if (found == counters_.end()) return std::nan("");
        const auto value = found->second.find(key);
        return value == found->second.end() ? std::nan("") : value->second;
    }

private:
    std::map<std::string, double> ms_, cpu_ms_;
    std::map<std::string, std::map<std::string, double>> counters_;
};

class CollectingReporter : public benchmark::ConsoleReporter {
public:
    explicit CollectingReporter(Results& results) : results_(results) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Iteration || run.aggregate_name == "median") results_.add(run);
        }
        ConsoleReporter::ReportRuns(runs);
    }

private:
    Results& results_;
};

inline std::string fixed(double value, int decimals) {
    if (std::isnan(value)) return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

// A markdown table, so the output pastes into a README as it is.
class Table {
public:
    explicit Table(std::vector<std::string> header) : rows_{std::move(header)} {}
    void row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    void print() const {
        std::vector<std::size_t> width(rows_[0].size(), 0);
        for (const auto& r : rows_)
            for (std::size_t i = 0; i < r.size() && i < width.size(); ++i) width[i] = std::max(width[i], r[i].size());
        for (std::size_t n = 0; n < rows_.size(); ++n) {
            std::string line = "|";
            for (std::size_t i = 0; i < width.size(); ++i) {
                const std::string cell = i < rows_[n].size() ? rows_[n][i] : "";
                line += " " + cell + std::string(width[i] - cell.size(), ' ') + " |";
            }
            std::printf("%s\n", line.c_str());
            if (n == 0) {
                std::string rule = "|";
                for (const auto w : width) rule += std::string(w + 2, '-') + "|";
                std::printf("%s\n", rule.c_str());
            }
        }
    }

private:
    std::vector<std::vector<std::string>> rows_;
};

// Runs the registered benchmarks (honouring the usual --benchmark_* flags)
// and then prints the program's summary from what was measured.
inline int run_with_summary(int argc, char** argv, const std::function<void(const Results&)>& summary) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Results results;
    CollectingReporter reporter(results);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\n== summary\n");
    summary(results);
    std::fflush(stdout);
    return 0;
}

}  // namespace ossara::bench
