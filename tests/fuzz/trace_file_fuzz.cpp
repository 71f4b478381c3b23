// Arbitrary bytes as the trace file: reading them back must not fail, and whatever the
// file held, removing what an upload sent must keep every readable record after it, and
// an append must land as the newest record without costing any other readable record but
// the one a trim drops.

#include "../support/Stores.h"
#include "FuzzSupport.h"
#include "store/TraceRepository.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

using namespace lumvex;
using lumvex::test::recordsOf;

namespace {

std::string tracePath;

bool isFix(const TraceRecord& record, const char* lat, const char* lng) {
    return record.size() == 3 && record.count("timestamp") && record.at("lat") == lat &&
           record.at("lng") == lng;
}

// `after` is `before`, or `before` without its first record, followed by one more record.
bool keptAllButTrimmed(const std::vector<TraceRecord>& before, const std::vector<TraceRecord>& after) {
    if (after.empty()) {
        return false;
    }
    const std::vector<TraceRecord> kept(after.begin(), after.end() - 1);
    if (kept == before) {
        return true;
    }
    return !before.empty() && kept == std::vector<TraceRecord>(before.begin() + 1, before.end());
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tracePath = fuzz::isolateHome() + "/backup.lmx";
    ::setenv("TZ", "UTC0", 1);
    return 0;
}

// `part` is the end of `whole`.
bool isSuffix(const std::vector<TraceRecord>& part, const std::vector<TraceRecord>& whole) {
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.end() - part.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& store = TraceRepository::shared();
    fuzz::writeBytes(tracePath, reinterpret_cast<const char*>(data), size);

    // An upload that sent the first half of the lines: the records of the other half stay.
    const auto whole = store.getTracesAsDict();
    const auto wholeRecords = recordsOf(whole);
    FUZZ_CHECK(wholeRecords.size() <= whole.lines.size());
    const auto sentCount = whole.lines.size() / 2;
    store.clearTraces(std::vector<std::string>(whole.lines.begin(), whole.lines.begin() + sentCount));
    const auto kept = recordsOf(store.getTracesAsDict());
    FUZZ_CHECK(isSuffix(kept, wholeRecords));
    FUZZ_CHECK(kept.size() + sentCount >= wholeRecords.size());

    fuzz::writeBytes(tracePath, reinterpret_cast<const char*>(data), size);
    const auto before = recordsOf(store.getTracesAsDict());
    FUZZ_CHECK(before == wholeRecords);

    store.addTrace(Location{12.5, -3.25});
    const auto afterFirst = recordsOf(store.getTracesAsDict());
    FUZZ_CHECK(keptAllButTrimmed(before, afterFirst));
    FUZZ_CHECK(isFix(afterFirst.back(), "12.5", "-3.25"));

    // An upload reads, a fix arrives, the upload succeeds: only the new fix stays.
    const auto sent = store.getTracesAsDict();
    store.addTrace(Location{-7.0, 100.125});
    store.clearTraces(sent.lines);
    const auto left = recordsOf(store.getTracesAsDict());
    FUZZ_CHECK(left.size() == 1);
    FUZZ_CHECK(isFix(left.front(), "-7.0", "100.125"));
    return 0;
}
