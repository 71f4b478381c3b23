#pragma once

// A benchmark that cannot measure says why, and its program exits with status 1 once every
// benchmark has reported; it never ends the process itself.
//
// Google Benchmark 1.7's SkipWithError is no way to say so when a benchmark repeats: before
// it leaves failed repetitions out, the statistics require every repetition to have run the
// same number of iterations (one that failed before its loop ran none, and the process
// aborts) and read the first repetition's statistics, which a failed one lacks (the process
// crashes). So a failed repetition runs its loop to the end without its work, is labelled
// with the failure, and the failure is kept here for the exit status.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace lumvex::bench {

/// Every failure of this run, "<benchmark>: <why>". Benchmarks run on the main thread only.
inline std::vector<std::string>& failures() {
    static std::vector<std::string> list;
    return list;
}

/// Records that the current repetition of `benchmark` cannot measure. From inside the loop,
/// skip the work of the remaining iterations (`continue`) rather than leave the loop.
inline void fail(benchmark::State& state, const char* benchmark, const std::string& why) {
    failures().push_back(std::string(benchmark) + ": " + why);
    state.SetLabel("could not measure: " + why);
}

/// Records the failure before the loop has started, and runs the loop without work.
inline void failBeforeLoop(benchmark::State& state, const char* benchmark, const std::string& why) {
    fail(state, benchmark, why);
    for (auto _ : state) {
    }
}

/// Prints every failure to stderr under `program`'s name; the process's exit status.
inline int exitStatus(const char* program) {
    for (const auto& failure : failures()) {
        std::fprintf(stderr, "%s: could not measure %s\n", program, failure.c_str());
    }
    return failures().empty() ? 0 : 1;
}

}  // namespace lumvex::bench
