#include "store/OfflineStore.h"

#include "TestSupport.h"
#include "platform/base/Clock.h"
#include "platform/base/L.h"
#include "platform/system/CachesDirectory.h"
#include "store/TraceCodec.h"
#include "store/TraceRepository.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

using namespace lumvex;
using namespace lumvex::test;
using namespace std::chrono;

namespace {

constexpr std::int64_t kStartMs = 1764547200000;  // 2025-12-01T00:00:00Z

std::vector<std::string> tracesFrom(std::uint64_t first, std::uint64_t count, std::int64_t startMs) {
    std::vector<std::string> traces;
    for (std::uint64_t n = first; n < first + count; ++n) {
        traces.push_back(TraceCodec::formatTrace({static_cast<double>(n), 0.5},
                                                 static_cast<std::uint64_t>(startMs) + (n - first) * 10000));
    }
    return traces;
}

// The latitudes of a batch's records, which the tests number the fixes by.
std::vector<int> numbers(const OfflineBatch& batch) {
    std::vector<int> found;
    for (const auto& record : nlohmann::json::parse(batch.recordsText)) {
        found.push_back(static_cast<int>(std::stod(record.at("lat").get<std::string>())));
    }
    return found;
}

std::vector<std::string> filesIn(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(directory.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    return names;
}

class OfflineStoreTest : public testing::Test {
protected:
    void SetUp() override {
        platform::setClock(clock);
        clock->setWallTimeMilliseconds(kStartMs);
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
        ASSERT_TRUE(platform::cachesDirectory());
    }
    void TearDown() override {
        store.configure(std::nullopt, OfflineStore::DEFAULT_BATCH_SIZE, TraceRepository::shared());
        platform::setClock(nullptr);
    }
    void keep(std::chrono::hours age, std::uint64_t fixes,
              std::size_t batch = OfflineStore::DEFAULT_BATCH_SIZE) {
        store.configure(OfflineStore::Capacity{age, fixes}, batch, TraceRepository::shared());
    }
    std::string directory() const { return home.cachesDir() + "/offline"; }

    OfflineStore& store = OfflineStore::shared();
    IsolatedHome home;
    std::shared_ptr<platform::VirtualClock> clock = std::make_shared<platform::VirtualClock>();
};

TEST_F(OfflineStoreTest, ABacklogOverSeveralSegmentsGoesOutOldestFirstAndLeavesNothingBehind) {
    keep(hours(24 * 30), 300000);
    // Over three segments' worth, so that reading and removal cross sealed segments.
    constexpr int kFixes = 25000;
    ASSERT_TRUE(store.importTraces(tracesFrom(1, kFixes, kStartMs)));
    EXPECT_EQ(store.count(), static_cast<std::uint64_t>(kFixes));
    EXPECT_GE(filesIn(directory()).size(), 5u) << "head, lock and at least three segments";

    int expected = 1;
    while (auto batch = store.nextBatch()) {
        ASSERT_LE(batch->recordCount, OfflineStore::DEFAULT_BATCH_SIZE);
        for (const int n : numbers(*batch)) {
            ASSERT_EQ(n, expected++);
        }
        // Read again until removed: a crash before the 200 sends the same batch.
        EXPECT_EQ(store.nextBatch()->range, batch->range);
        ASSERT_TRUE(store.remove(batch->range));
    }
    EXPECT_EQ(expected, kFixes + 1);
    EXPECT_EQ(store.count(), 0u);
    // While capacity is on, the active segment carries the numbering on; sealed ones go.
    const auto left = filesIn(directory());
    EXPECT_EQ(left.size(), 3u) << testing::PrintToString(left);

    // Turned off: the next fix goes to the trace file, and the emptied store is removed.
    store.configure(std::nullopt, OfflineStore::DEFAULT_BATCH_SIZE, TraceRepository::shared());
    EXPECT_FALSE(store.add({1, 2}, kStartMs));
    EXPECT_FALSE(store.nextBatch());
    EXPECT_EQ(filesIn(directory()).size(), 2u) << "only head and lock stay";
}

TEST_F(OfflineStoreTest, TheBoundsDropTheOldestFixesAndCountThem) {
    struct Row {
        const char* name;
        std::uint64_t maxFixes;
        int fixes;  // 10 s apart, read 10 s after the last; one day is kept
        int firstLeft;
        std::uint64_t dropped;
    };
    const Row rows[] = {
        // A hundredth goes at once beyond the bound: of 1 to 151, 99 fixes are left.
        {"count", 100, 151, 53, 52},
        // Over two days: the first day's go.
        {"age", 1000000, 2 * 8640, 8640 + 1, 8640},
        {"neither", 1000, 10, 1, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(directory());
        clock->setWallTimeMilliseconds(kStartMs);
        keep(hours(24), row.maxFixes);
        ASSERT_TRUE(store.importTraces(tracesFrom(1, static_cast<std::uint64_t>(row.fixes), kStartMs)));
        clock->setWallTimeMilliseconds(kStartMs + row.fixes * 10000);
        const auto batch = store.nextBatch();
        ASSERT_TRUE(batch);
        EXPECT_EQ(numbers(*batch).front(), row.firstLeft);
        const auto dropped = store.dropped();
        EXPECT_EQ(dropped.count, row.dropped);
        EXPECT_EQ(dropped.sinceMs != 0, row.dropped != 0);
        EXPECT_EQ(store.count(), static_cast<std::uint64_t>(row.fixes - row.firstLeft + 1));
    }
}

TEST_F(OfflineStoreTest, ALineCutShortByACrashIsSkippedAndTheNumberingGoesOn) {
    keep(hours(24), 1000, 10);
    // One by one: the numbering reads each from the segment's last line, the first too.
    for (const auto& trace : tracesFrom(1, 3, kStartMs)) {
        ASSERT_TRUE(store.importTraces({trace}));
    }
    appendToFile(directory() + "/active.seg", "4;1764547230000;4.0;0.");
    ASSERT_TRUE(store.add({5, 0.5}, kStartMs + 40000));
    const auto batch = store.nextBatch();
    ASSERT_TRUE(batch);
    EXPECT_EQ(numbers(*batch), (std::vector<int>{1, 2, 3, 5}));
    EXPECT_EQ(batch->range, (OfflineRange{1, 4}));
}

TEST_F(OfflineStoreTest, TurningCapacityOnMovesTheTraceFilesFixesOverFirst) {
    auto& traces = TraceRepository::shared();
    traces.addTrace({1, 0.5});
    traces.addTrace({2, 0.5});
    const auto traceFile = home.cachesDir() + "/backup.lmx";
    const auto before = readFile(traceFile);
    keep(hours(24), 1000);
    EXPECT_FALSE(fileExists(traceFile));
    // As if killed after the store took them and before the trace file let them go: the
    // next start finds them in both and moves none twice.
    writeFile(traceFile, before);
    keep(hours(24), 1000);
    EXPECT_FALSE(fileExists(traceFile));
    traces.addTrace({3, 0.5});  // now kept here
    EXPECT_FALSE(fileExists(home.cachesDir() + "/backup.lmx"));
    const auto batch = store.nextBatch();
    ASSERT_TRUE(batch);
    EXPECT_EQ(numbers(*batch), (std::vector<int>{1, 2, 3}));
}

}  // namespace
