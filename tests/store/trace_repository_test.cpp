#include "store/TraceRepository.h"

#include "Stores.h"
#include "TestSupport.h"
#include "platform/base/Clock.h"
#include "platform/base/L.h"
#include "platform/base/Text.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/FileLock.h"
#include "platform/system/Files.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

using namespace lumvex;
using namespace lumvex::test;
using namespace std::chrono;

namespace {

constexpr char kExampleLine[] = "MTQ5NjMxMTIwMDEyMzs0OC44NTY2MTQ7Mi4zNTIyMjE5\n";
const Location kParis{48.856614, 2.3522219};

platform::Clock::WallTime wallAt(std::int64_t ms) {
    return platform::Clock::WallTime{} + milliseconds(ms);
}

std::string encoded(const std::string& text) {
    return platform::base64Encode(text) + "\n";
}

// The log lines, each as "<file>:<operation> <message>": source line numbers change with
// every edit and are not what these tests are about.
std::vector<std::string> logLines(const std::string& captured) {
    static const std::regex lineNumber(R"(^(.*?):\d+ (.*)$)");
    std::vector<std::string> lines;
    std::istringstream in(captured);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(std::regex_replace(line, lineNumber, "$1 $2"));
    }
    return lines;
}

using Lines = std::vector<std::string>;

class TraceRepositoryTest : public testing::Test {
protected:
    void SetUp() override {
        L::writeLog = true;
        platform::setClock(clock);
        clock->setWallTime(wallAt(1496311200123));
        setTimeZone("UTC0");
    }

    void TearDown() override {
        platform::setClock(nullptr);
        L::writeLog = false;
        ::unsetenv("TZ");
        ::tzset();
    }

    static void setTimeZone(const char* tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }

    std::string path() const { return home.cachesDir() + "/backup.lmx"; }
    std::string content() const { return readFile(path()); }
    void store(const std::string& text) const {
        ASSERT_TRUE(platform::cachesDirectory());
        writeFile(path(), text);
    }

    TraceRepository& repo = TraceRepository::shared();
    IsolatedHome home;
    std::shared_ptr<platform::VirtualClock> clock = std::make_shared<platform::VirtualClock>();
};

TEST_F(TraceRepositoryTest, StoresTheWorkedExampleAndReadsItBack) {
    StdoutCapture log;
    repo.addTrace(kParis);
    EXPECT_EQ(content(), kExampleLine);
    struct stat st {};
    ASSERT_EQ(::stat(path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const TraceRecord expected{
        {"timestamp", "2017-06-01T10:00:00Z"}, {"lat", "48.856614"}, {"lng", "2.3522219"}};
    EXPECT_EQ(recordsOf(repo.getTracesAsDict()), std::vector<TraceRecord>{expected});
    EXPECT_EQ(logLines(log.text()),
              Lines{"TraceRepository.cpp:getTracesFileSize() Trace file not available for get traces files"});
}

TEST_F(TraceRepositoryTest, FormatsCoordinatesAsPrintfDoesInTheCLocale) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> cases[] = {
        {45, "45.0"},
        {0.00001, "1e-05"},
        {-0.0, "-0.0"},
        {-122.4194, "-122.4194"},
        {0.1 + 0.2, "0.3"},
        {1e15, "1e+15"},
        {123456789012345.0, "123456789012345.0"},
        {1234567890123456.0, "1.23456789012346e+15"},
        {5e-324, "4.94065645841247e-324"},
        {nan, "nan"},
        {-nan, "nan"},
        {inf, "inf"},
        {-inf, "-inf"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(TraceCodec::formatCoordinate(value), text);
    }
    // The stored line carries exactly those texts.
    repo.addTrace({45, 0.00001});
    EXPECT_EQ(platform::base64Decode(content().substr(0, content().size() - 1)),
              std::optional<std::string>("1496311200123;45.0;1e-05"));
}

TEST_F(TraceRepositoryTest, StoresTheTimeOfStoringInWholeMillisecondsAndZeroBefore1970) {
    const std::pair<platform::Clock::WallTime, const char*> cases[] = {
        {wallAt(1496311200002) + microseconds(999), "1496311200002"},  // truncated, never one less
        {platform::Clock::WallTime{}, "0"},
        {platform::Clock::WallTime{} - microseconds(500), "0"},
        {wallAt(-86400000), "0"},
    };
    for (const auto& [wall, expected] : cases) {
        clock->setWallTime(wall);
        EXPECT_EQ(TraceCodec::formatTrace({1, 2}, TraceCodec::currentTimeMs()),
                  std::string(expected) + ";1.0;2.0");
    }
    // Past 2262 a nanosecond count no longer holds the time; the fix keeps its own.
    clock->setWallTimeMilliseconds(10413792000123);  // 2300-01-01
    EXPECT_EQ(TraceCodec::currentTimeMs(), 10413792000123u);
}

TEST_F(TraceRepositoryTest, TrimsTheOldestLineOnlyWhenTheFileIsOver1000Bytes) {
    std::string lines;
    for (int i = 0; i < 19; ++i) {
        lines += std::string(49, static_cast<char>('a' + i)) + "\n";  // 50 bytes each
    }
    const std::string at1000 = lines + std::string(49, 'z') + "\n";
    ASSERT_EQ(at1000.size(), 1000u);
    store(at1000);
    repo.addTrace(kParis);
    EXPECT_EQ(content(), at1000 + kExampleLine);

    const std::string at1001 = lines + std::string(50, 'z') + "\n";
    store(at1001);
    repo.addTrace(kParis);
    EXPECT_EQ(content(), at1001.substr(50) + kExampleLine);
}

// Runs `work` in a child process whose address space is limited to `bytes`, so that the
// limit binds the store and not the test runner. Whether the child ended, within the
// deadline, with `work` answering true.
bool holdsUnderAddressSpaceLimit(rlim_t bytes, const std::function<bool()>& work) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        const rlimit limit{bytes, bytes};
        ::setrlimit(RLIMIT_AS, &limit);
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    const bool ended = waitUntil([&] { return ::waitpid(child, &status, WNOHANG) == child; }, seconds(30));
    if (!ended) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A file that the store did not write, however large or endless, costs a bounded amount
// of memory and time: it is not read whole, and the next fix trims it back to the cap.
TEST_F(TraceRepositoryTest, AForeignTraceFileIsBoundedInMemoryAndTime) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit under test";
#endif
    const std::string newest = encoded("1496311200000;1.0;2.0");
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    const Case cases[] = {
        {"30 MB of line feeds", [&] { store(std::string(30u << 20, '\n') + newest); }},
        {"a sparse 2 GB file",
         [&] {
             store("");
             std::filesystem::resize_file(path(), 2ull << 30);
             std::ofstream(path(), std::ios::app) << "\n" + newest;
         }},
    };
    for (const auto& c : cases) {
        c.plant();
        EXPECT_TRUE(holdsUnderAddressSpaceLimit(1ull << 30, [&] {
            if (!recordsOf(repo.getTracesAsDict()).empty()) {
                return false;  // not read at all
            }
            repo.addTrace(kParis);
            const auto records = recordsOf(repo.getTracesAsDict());
            return records.size() == 2 && records[0].at("lat") == "1.0" &&
                   records[1].at("lat") == "48.856614";
        })) << c.name;
        EXPECT_LE(std::filesystem::file_size(path()), 1100u) << c.name;
    }
}

TEST_F(TraceRepositoryTest, KeepsTheNewestLinesInOrder) {
    const int count = 200;
    for (int i = 0; i < count; ++i) {
        repo.addTrace({static_cast<double>(i), 0});
        clock->advance(seconds(10));
    }
    const auto size = content().size();
    EXPECT_GT(size, 950u);
    EXPECT_LE(size, 1000u + 60u);

    const auto records = recordsOf(repo.getTracesAsDict());
    ASSERT_GE(records.size(), 15u);
    for (std::size_t i = 0; i < records.size(); ++i) {
        const auto expected = count - static_cast<int>(records.size()) + static_cast<int>(i);
        EXPECT_EQ(records[i].at("lat"), std::to_string(expected) + ".0");
    }
}

TEST_F(TraceRepositoryTest, SkipsUnreadableLinesAndLogsWhyWhereItCan) {
    const std::string nbsp = "\xc2\xa0", lineSeparator = "\xe2\x80\xa8";
    const std::string file = std::string(kExampleLine) +                          //
                             "not base64!\n" +                                    // skipped silently
                             "TWFu\xff\n" +                                       // not UTF-8 as read
                             encoded("\xff\xfe;1;2") +                            // decodes to no UTF-8
                             "\n" +                                               // blank
                             encoded("1;2") + encoded("1;2;3;4") +                // field count
                             encoded("x;1;2") + encoded("+-5;1;2") +              // timestamp
                             encoded("9223372036854775808;1;2") +                 // beyond 64 bits
                             " \t" + platform::base64Encode("7;a;b") + " \r\n" +  // white space around
                             nbsp + platform::base64Encode("8;c;d") + lineSeparator + "\n" +  //
                             encoded("123;;") +                                  // empty coordinates
                             encoded("1496311200999;1;2") + encoded("+5;1;2") +  //
                             encoded("-5;1;2") + encoded("-9223372036854775808;1;2") + "MTsyOzM=";
    store(file);
    StdoutCapture log;
    const auto snapshot = repo.getTracesAsDict();
    const auto epoch = "1970-01-01T00:00:00Z";
    const std::vector<TraceRecord> expected{
        {{"timestamp", "2017-06-01T10:00:00Z"}, {"lat", "48.856614"}, {"lng", "2.3522219"}},
        {{"timestamp", epoch}, {"lat", "a"}, {"lng", "b"}},
        {{"timestamp", epoch}, {"lat", "c"}, {"lng", "d"}},
        {{"timestamp", epoch}, {"lat", ""}, {"lng", ""}},
        {{"timestamp", "2017-06-01T10:00:00Z"}, {"lat", "1"}, {"lng", "2"}},
        {{"timestamp", epoch}, {"lat", "1"}, {"lng", "2"}},
        {{"timestamp", epoch}, {"lat", "1"}, {"lng", "2"}},
        {{"timestamp", "292275056-05-16T16:47:05Z"}, {"lat", "1"}, {"lng", "2"}},
        {{"timestamp", epoch}, {"lat", "2"}, {"lng", "3"}},
    };
    EXPECT_EQ(recordsOf(snapshot), expected);
    EXPECT_EQ(logLines(log.text()),
              (Lines{
                  "TraceRepository.cpp:parseTrace ERROR: Invalid trace format: !!",
                  "TraceRepository.cpp:parseTrace ERROR: Invalid trace format: 1;2!!",
                  "TraceRepository.cpp:parseTrace ERROR: Invalid trace format: 1;2;3;4!!",
                  "TraceRepository.cpp:parseTrace ERROR: Invalid trace timestamp : x;1;2!!",
                  "TraceRepository.cpp:parseTrace ERROR: Invalid trace timestamp : +-5;1;2!!",
                  "TraceRepository.cpp:parseTrace ERROR: Invalid trace timestamp : "
                  "9223372036854775808;1;2!!",
              }));
    // Every line is handed out raw, and the file is left as it was.
    EXPECT_EQ(snapshot.lines.size(), 18u);
    EXPECT_EQ(snapshot.lines[2], "TWFu\xef\xbf\xbd\n");
    EXPECT_EQ(content(), file);
}

TEST_F(TraceRepositoryTest, RendersInTheCurrentTimeZoneWithALiteralZ) {
    repo.addTrace(kParis);
    const std::pair<const char*, const char*> zones[] = {
        {"UTC0", "2017-06-01T10:00:00Z"},
        {"<+02>-2", "2017-06-01T12:00:00Z"},
        {"EST5EDT,M3.2.0,M11.1.0", "2017-06-01T06:00:00Z"},  // summer time applies
        {"<+0545>-5:45", "2017-06-01T15:45:00Z"},
        {"<-12>12", "2017-05-31T22:00:00Z"},
    };
    for (const auto& [zone, expected] : zones) {
        setTimeZone(zone);
        const auto records = recordsOf(repo.getTracesAsDict());
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].at("timestamp"), expected) << zone;
    }
    // The proleptic Gregorian calendar with its year of era, before 1970 and before 1 AD.
    setTimeZone("UTC0");
    EXPECT_EQ(TraceCodec::renderTimestamp(-1), "1969-12-31T23:59:59Z");
    EXPECT_EQ(TraceCodec::renderTimestamp(-12219292801), "1582-10-14T23:59:59Z");
    EXPECT_EQ(TraceCodec::renderTimestamp(-62135596800), "0001-01-01T00:00:00Z");
    EXPECT_EQ(TraceCodec::renderTimestamp(-62135596801), "0001-12-31T23:59:59Z");
    EXPECT_EQ(TraceCodec::renderTimestamp(253402300800), "10000-01-01T00:00:00Z");
}

TEST_F(TraceRepositoryTest, LogsTheAbsentFileAndCreatesItOnTheNextAppend) {
    StdoutCapture log;
    EXPECT_TRUE(recordsOf(repo.getTracesAsDict()).empty());
    repo.clearTraces({});
    repo.addTrace(kParis);
    EXPECT_EQ(content(), kExampleLine);
    clearStoredTraces();
    EXPECT_FALSE(fileExists(path()));
    EXPECT_EQ(
        logLines(log.text()),
        (Lines{"TraceRepository.cpp:getTracesAsDict() Impossible to read traces file",
               "TraceRepository.cpp:clearTraces() Traces file not available",
               "TraceRepository.cpp:getTracesFileSize() Trace file not available for get traces files"}));
}

TEST_F(TraceRepositoryTest, LogsAFileThatCannotBeOpenedOrACachesDirectoryThatCannotBeHad) {
    ASSERT_TRUE(platform::cachesDirectory());
    ASSERT_EQ(::mkdir(path().c_str(), 0700), 0);
    {
        // A directory may be "larger" than the cap, but it is no file to trim.
        StdoutCapture log;
        repo.addTrace(kParis);
        EXPECT_EQ(
            logLines(log.text()),
            Lines{"TraceRepository.cpp:appendToFile ERROR: Error while writing trace file by appending!!"});
    }
    // The caches directory's place is taken by a file.
    writeFile(home.dir().file("plain"), "");
    ::setenv("XDG_CACHE_HOME", home.dir().file("plain").c_str(), 1);
    platform::forgetCachesDirectory();
    StdoutCapture log;
    repo.addTrace(kParis);
    EXPECT_TRUE(recordsOf(repo.getTracesAsDict()).empty());
    repo.clearTraces({});
    const auto why = "CachesDirectory.cpp:cachesDirectory() ERROR: Error while opening caches directory " +
                     home.dir().file("plain") + "/com.example.host : Not a directory!!";
    EXPECT_EQ(logLines(log.text()),
              (Lines{why, "TraceRepository.cpp:appendToFile No trace found to write trace", why, why}));
}

// The file is rewritten in place between two of our reads and comes out with the same
// inode, size and modification time: by another process of the application under the lock
// (a clock tick is coarser than two quick writes; only the change count tells), or by a
// tool that does not take it and puts the modification time back (`cp -p`, `rsync -t
// --inplace`, `touch -r`; only the change time, which no tool can set, tells).
TEST_F(TraceRepositoryTest, ARewriteIsSeenHoweverAlikeTheFileLooks) {
    const struct {
        const char* writer;
        bool takesTheLock;
        double stored;
        const char* rewritten;  // the latitude written over it, of the same length
    } cases[] = {{"another process of the application", true, 1, "3.0"},
                 {"a tool that restores the time", false, 5, "7.0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.writer);
        clearStoredTraces();
        repo.addTrace({c.stored, 2});
        ASSERT_EQ(recordsOf(repo.getTracesAsDict()).size(), 1u);  // the store's copy holds the file now
        struct stat before {};
        ASSERT_EQ(::stat(path().c_str(), &before), 0);
        // Such a tool comes later than the store's own write: the file system's clock has
        // moved on by then, which a file made now shows.
        ASSERT_TRUE(waitUntil(
            [&] {
                writeFile(home.cachesDir() + "/probe", "x");
                struct stat now {};
                return ::stat((home.cachesDir() + "/probe").c_str(), &now) == 0 &&
                       (now.st_ctim.tv_sec != before.st_ctim.tv_sec ||
                        now.st_ctim.tv_nsec != before.st_ctim.tv_nsec);
            },
            seconds(10)));
        {
            std::optional<platform::FileLock> lock;
            if (c.takesTheLock) {
                lock = platform::FileLock::lock(home.cachesDir() + "/backup.lock");
                ASSERT_TRUE(lock && lock->bump());
            }
            std::fstream file(path(), std::ios::in | std::ios::out);
            file << encoded(std::string("1496311200123;") + c.rewritten + ";2.0");
        }
        const timespec times[2] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(::utimensat(AT_FDCWD, path().c_str(), times, 0), 0);
        EXPECT_EQ(recordsOf(repo.getTracesAsDict()).at(0).at("lat"), c.rewritten);
    }
}

// While another process holds the lock past the wait, nothing changes the file: a removal
// fails and leaves its lines, a fix waits in memory and is written, in its order, by the
// next operation that has the lock.
TEST_F(TraceRepositoryTest, NoChangeGoesAheadWithoutTheLockBetweenProcesses) {
    struct Case {
        const char* name;
        std::function<void()> whileLocked;
        std::vector<std::string> latitudesAfter;  // once the lock is free again and one more fix came
    };
    std::vector<std::string> snapshotLines;
    const Case cases[] = {
        {"an append",
         [this] {
             repo.addTrace({5, 6});
         },
         {"1.0", "3.0", "5.0", "7.0"}},
        {"a removal", [&] { EXPECT_FALSE(repo.clearTraces(snapshotLines)); }, {"1.0", "3.0", "7.0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(path().c_str());
        repo.addTrace({1, 2});
        repo.addTrace({3, 4});
        snapshotLines = repo.getTracesAsDict().lines;
        const auto before = test::readFile(path());
        {
            auto other = platform::FileLock::lock(home.cachesDir() + "/backup.lock");
            ASSERT_TRUE(other);
            c.whileLocked();
            EXPECT_EQ(test::readFile(path()), before);
        }
        repo.addTrace({7, 8});
        std::vector<std::string> latitudes;
        for (const auto& record : recordsOf(repo.getTracesAsDict())) {
            latitudes.push_back(record.at("lat"));
        }
        EXPECT_EQ(latitudes, c.latitudesAfter);
    }
}

// What stop() and exit() log as not stored counts every sender's fixes still on their way
// (each engine's queue counts what it takes), also those of a sender gone since, until the
// store has them.
TEST_F(TraceRepositoryTest, CountsFixesOnTheirWayFromEverySenderUntilStored) {
    const auto before = repo.storeHeldFixes();
    auto first = repo.announcements();
    auto second = repo.announcements();
    first->store(2);
    second->store(1);
    EXPECT_EQ(repo.storeHeldFixes(), before + 3);
    repo.addTrace({1, 2}, TraceRepository::Arrival::announced);
    first.reset();
    EXPECT_EQ(repo.storeHeldFixes(), before + 2);
    repo.addTrace({3, 4}, TraceRepository::Arrival::announced);
    second.reset();
    repo.addTrace({5, 6}, TraceRepository::Arrival::announced);
    EXPECT_EQ(repo.storeHeldFixes(), before);
    const auto stored = content();
    EXPECT_EQ(std::count(stored.begin(), stored.end(), '\n'), 3);
}

// The store keeps the trace file open between appends. Replaced under it, it is let go for
// the file that the path names now; and a child made by fork() keeps no file of the store
// open.
TEST_F(TraceRepositoryTest, ATraceFileKeptOpenFollowsItsPathAndStaysOutOfAForkedChild) {
    const std::string lockPath = home.cachesDir() + "/backup.lock";
    repo.addTrace({1, 2});  // the trace file is now kept open

    // The trace file replaced: the next fix goes into the new one.
    writeFile(path() + ".new", encoded("1496311200000;3.0;4.0"));
    ASSERT_EQ(::rename((path() + ".new").c_str(), path().c_str()), 0);
    repo.addTrace({5, 6});
    std::vector<std::string> latitudes;
    for (const auto& record : recordsOf(repo.getTracesAsDict())) {
        latitudes.push_back(record.at("lat"));
    }
    EXPECT_EQ(latitudes, (std::vector<std::string>{"3.0", "5.0"}));

    // A forked child: neither the trace file nor the lock file is open in it.
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        int found = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            const auto target = std::filesystem::read_symlink(entry.path(), error).string();
            found += target == path() || target == lockPath;
        }
        // A file the child opens may take the number the parent's trace file had: a fix
        // stored in the child must still go to the trace file.
        const std::string other = path() + ".other";
        const int otherFd = ::open(other.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        repo.addTrace({9, 10});
        const bool stored = recordsOf(repo.getTracesAsDict()).back().at("lat") == "9.0" &&
                            std::filesystem::file_size(other) == 0;
        ::close(otherFd);
        ::_exit(found == 0 && stored ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(TraceRepositoryTest, ATornLastLineDoesNotSwallowTheNextFix) {
    const std::string torn = "MTQ5NjMxMTIw";  // a line cut short: no line feed
    store(std::string(kExampleLine) + torn);
    repo.addTrace({1, 2});
    EXPECT_EQ(content(), std::string(kExampleLine) + torn + "\n" + encoded("1496311200123;1.0;2.0"));
    EXPECT_EQ(recordsOf(repo.getTracesAsDict()).size(), 2u);

    // The same when the append first trims the file.
    std::string full;
    while (full.size() <= 1000) {
        full += kExampleLine;
    }
    store(full + torn);
    repo.addTrace({1, 2});
    const auto records = recordsOf(repo.getTracesAsDict());
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().at("lat"), "1.0");
    const auto tail = torn + "\n" + encoded("1496311200123;1.0;2.0");
    EXPECT_EQ(content().substr(content().size() - tail.size()), tail);
}

// A NUL byte inside a line (what a crash can leave in a block the file system had
// allocated but not yet written) makes the reader cut that line, line feed included.
// Rewriting the file must still keep the next line a line of its own.
TEST_F(TraceRepositoryTest, ALineCutAtANulByteIsNotGluedToTheNextWhenTheFileIsRewritten) {
    const std::string cut = encoded("1496311200123;7.0;7.0");
    const std::string withNul = cut.substr(0, cut.size() - 1) + std::string("\0\0\0\n", 4);
    const std::string next = encoded("1496311200123;8.0;8.0");
    std::string older;
    while (older.size() <= 1000) {
        older += kExampleLine;
    }
    store(older + withNul + next);
    const auto before = recordsOf(repo.getTracesAsDict());

    repo.addTrace({9, 9});  // trims the first line
    auto after = recordsOf(repo.getTracesAsDict());
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after[after.size() - 3].at("lat"), "7.0");
    EXPECT_EQ(after[after.size() - 2].at("lat"), "8.0");
    EXPECT_EQ(after.back().at("lat"), "9.0");

    // Removing what an upload sent rewrites the rest the same way.
    store(kExampleLine + withNul + next);
    repo.clearTraces({kExampleLine});
    after = recordsOf(repo.getTracesAsDict());
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].at("lat"), "7.0");
    EXPECT_EQ(after[1].at("lat"), "8.0");
}

TEST_F(TraceRepositoryTest, RemovesOnlyTheSentLines) {
    repo.addTrace({1, 1});
    repo.addTrace({2, 2});
    const auto sent = repo.getTracesAsDict();
    ASSERT_EQ(sent.lines.size(), 2u);
    repo.addTrace({3, 3});
    repo.clearTraces(sent.lines);
    EXPECT_EQ(content(), encoded("1496311200123;3.0;3.0"));

    // Everything sent: the file goes, as after clearTraces.
    {
        StdoutCapture log;
        repo.clearTraces(repo.getTracesAsDict().lines);
        EXPECT_FALSE(fileExists(path()));
        EXPECT_TRUE(log.text().empty()) << log.text();
    }
    // Nothing there any more: the same log line as clearTraces.
    StdoutCapture log;
    repo.clearTraces(sent.lines);
    EXPECT_EQ(logLines(log.text()), Lines{"TraceRepository.cpp:clearTraces() Traces file not available"});
}

TEST_F(TraceRepositoryTest, RemovesSentLinesThatSurvivedATrimOrAClear) {
    for (int i = 0; i < 25; ++i) {
        repo.addTrace({static_cast<double>(i), 0});
    }
    auto sent = repo.getTracesAsDict();
    // New fixes trim sent lines from the front meanwhile.
    repo.addTrace({100, 0});
    repo.addTrace({101, 0});
    repo.clearTraces(sent.lines);
    auto records = recordsOf(repo.getTracesAsDict());
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].at("lat"), "100.0");
    EXPECT_EQ(records[1].at("lat"), "101.0");

    // Another upload cleared the file and new fixes came: the sent lines are gone already.
    sent = repo.getTracesAsDict();
    clearStoredTraces();
    repo.addTrace({100, 0});
    repo.clearTraces(sent.lines);
    records = recordsOf(repo.getTracesAsDict());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].at("lat"), "100.0");

    // Unreadable lines that went along are removed too, and so is a torn line that
    // meanwhile got its line feed from the next append.
    store("garbage\n" + encoded("1;2;3") + "MTQ5");
    sent = repo.getTracesAsDict();
    repo.addTrace({7, 7});
    repo.clearTraces(sent.lines);
    EXPECT_EQ(content(), encoded("1496311200123;7.0;7.0"));
}

TEST_F(TraceRepositoryTest, AppendsFromManyThreadsNeverInterleaveWithTrimsOrReads) {
    constexpr int kThreads = 4, kFixes = 60;
    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!done) {
            const auto snapshot = repo.getTracesAsDict();
            for (const auto& line : snapshot.lines) {
                badReads += line.empty() || line.back() != '\n';
            }
            badReads += snapshot.recordLines.size() != snapshot.lines.size();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kFixes; ++i) {
                repo.addTrace({static_cast<double>(t), static_cast<double>(i)});
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    done = true;
    reader.join();
    EXPECT_EQ(badReads, 0);

    // The file holds the newest fixes: for each thread, its last ones, in its order.
    std::map<std::string, std::vector<int>> byThread;
    for (const auto& record : recordsOf(repo.getTracesAsDict())) {
        byThread[record.at("lat")].push_back(std::stoi(record.at("lng")));
    }
    // A thread that finished early may have had all its fixes trimmed away.
    ASSERT_FALSE(byThread.empty());
    for (const auto& [thread, fixes] : byThread) {
        for (std::size_t i = 0; i < fixes.size(); ++i) {
            EXPECT_EQ(fixes[i], kFixes - static_cast<int>(fixes.size()) + static_cast<int>(i)) << thread;
        }
    }
}

TEST_F(TraceRepositoryTest, UploadsWhileFixesArriveLoseNoFixAndSendNoneTwice) {
    // Writers hold back while 15 fixes are waiting, which keeps the file under the cap:
    // every fix must then end up either sent once or still stored.
    constexpr int kThreads = 4, kFixes = 50, kWaiting = 15;
    std::mutex mutex;
    std::condition_variable changed;
    int reserved = 0, added = 0, removed = 0;
    bool done = false, stalled = false;

    std::vector<TraceRecord> sentRecords;
    std::thread uploader([&] {
        for (;;) {
            {
                // An upload starts once something was stored since the last one.
                std::unique_lock<std::mutex> lock(mutex);
                if (!changed.wait_for(lock, seconds(20), [&] { return done || added > removed; })) {
                    stalled = true;
                    return;
                }
                if (done) {
                    return;
                }
            }
            const auto snapshot = repo.getTracesAsDict();
            repo.clearTraces(snapshot.lines);
            const auto records = recordsOf(snapshot);
            sentRecords.insert(sentRecords.end(), records.begin(), records.end());
            std::lock_guard<std::mutex> lock(mutex);
            removed += static_cast<int>(snapshot.lines.size());
            changed.notify_all();
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&, t] {
            for (int i = 0; i < kFixes; ++i) {
                {
                    std::unique_lock<std::mutex> lock(mutex);
                    if (!changed.wait_for(lock, seconds(20), [&] { return reserved - removed < kWaiting; })) {
                        stalled = true;
                        return;
                    }
                    ++reserved;
                }
                repo.addTrace({static_cast<double>(t), static_cast<double>(i)});
                std::lock_guard<std::mutex> lock(mutex);
                ++added;
                changed.notify_all();
            }
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    }
    uploader.join();
    ASSERT_FALSE(stalled);
    ASSERT_EQ(added, kThreads * kFixes);

    std::multiset<std::pair<std::string, std::string>> seen;
    auto all = sentRecords;
    const auto left = recordsOf(repo.getTracesAsDict());
    all.insert(all.end(), left.begin(), left.end());
    for (const auto& record : all) {
        seen.emplace(record.at("lat"), record.at("lng"));
    }
    std::multiset<std::pair<std::string, std::string>> expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kFixes; ++i) {
            expected.emplace(TraceCodec::formatCoordinate(t), TraceCodec::formatCoordinate(i));
        }
    }
    EXPECT_EQ(seen, expected);
}

}  // namespace
