#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

namespace lumvex::bench {

/// Prints as the console reporter does and keeps every benchmark's real and CPU time per
/// iteration, in nanoseconds, so that a benchmark can be set against its baseline at the
/// end of the same run.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred) {
                continue;
            }
            const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
            const double ns = run.GetAdjustedRealTime() * toNs;
            auto& times = times_[run.run_name.function_name];
            auto& cpu = cpuTimes_[run.run_name.function_name];
            if (run.run_type == Run::RT_Iteration) {
                times.runs.push_back(ns);
                cpu.runs.push_back(run.GetAdjustedCPUTime() * toNs);
            } else {
                times.aggregates[run.aggregate_name] = ns;
                cpu.aggregates[run.aggregate_name] = run.GetAdjustedCPUTime() * toNs;
            }
        }
    }

    /// The mean over the repetitions (or the reported mean when only aggregates are
    /// reported); 0 when the benchmark did not run.
    double meanNs(const std::string& name) const { return mean(find(times_, name)); }

    /// The same for the benchmark thread's CPU time. On a loaded machine this is the figure
    /// of a single-threaded computation that other processes' work does not inflate.
    double meanCpuNs(const std::string& name) const { return mean(find(cpuTimes_, name)); }

    /// The fastest repetition, for figures where disturbance from the machine only adds time.
    double leastNs(const std::string& name) const {
        const auto* t = find(times_, name);
        if (!t) {
            return 0;
        }
        if (!t->runs.empty()) {
            return *std::min_element(t->runs.begin(), t->runs.end());
        }
        return aggregate(*t, "min");
    }

    /// Prints "<name> / <baseline> = <ratio>" when both figures exist.
    static void printRatio(const std::string& name, double ns, const std::string& baseline,
                           double baselineNs) {
        if (ns > 0 && baselineNs > 0) {
            std::printf("%s / %s = %.2f\n", name.c_str(), baseline.c_str(), ns / baselineNs);
        }
    }

private:
    struct Times {
        std::vector<double> runs;
        std::map<std::string, double> aggregates;
    };

    static const Times* find(const std::map<std::string, Times>& all, const std::string& name) {
        const auto it = all.find(name);
        return it == all.end() ? nullptr : &it->second;
    }
    static double mean(const Times* t) {
        if (!t) {
            return 0;
        }
        if (!t->runs.empty()) {
            return std::accumulate(t->runs.begin(), t->runs.end(), 0.0) / static_cast<double>(t->runs.size());
        }
        return aggregate(*t, "mean");
    }
    static double aggregate(const Times& t, const std::string& which) {
        const auto it = t.aggregates.find(which);
        return it == t.aggregates.end() ? 0 : it->second;
    }

    std::map<std::string, Times> times_;
    std::map<std::string, Times> cpuTimes_;
};

}  // namespace lumvex::bench
