#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <vector>

namespace lumvex::bench {

/// Prints as the console reporter does and keeps every benchmark's real time per
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
            const double ns =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
            auto& times = times_[run.run_name.function_name];
            if (run.run_type == Run::RT_Iteration) {
                times.runs.push_back(ns);
            } else {
                times.aggregates[run.aggregate_name] = ns;
            }
        }
    }

    /// The mean over the repetitions (or the reported mean when only aggregates are
    /// reported); 0 when the benchmark did not run.
    double meanNs(const std::string& name) const {
        const auto* t = find(name);
        if (!t) {
            return 0;
        }
        if (!t->runs.empty()) {
            return std::accumulate(t->runs.begin(), t->runs.end(), 0.0) / static_cast<double>(t->runs.size());
        }
        return aggregate(*t, "mean");
    }

    /// The fastest repetition, for figures where disturbance from the machine only adds time.
    double leastNs(const std::string& name) const {
        const auto* t = find(name);
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

    const Times* find(const std::string& name) const {
        const auto it = times_.find(name);
        return it == times_.end() ? nullptr : &it->second;
    }
    static double aggregate(const Times& t, const std::string& which) {
        const auto it = t.aggregates.find(which);
        return it == t.aggregates.end() ? 0 : it->second;
    }

    std::map<std::string, Times> times_;
};

}  // namespace lumvex::bench
