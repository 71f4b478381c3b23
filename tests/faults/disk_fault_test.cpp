// The two stores on a disk that fails them: a caches directory that cannot be written or
// cannot be made, a directory standing where the trace file should be, and a full disk.
// Each fault must give its log line, keep what was already stored, and go away without a
// trace once the disk is usable again.
//
// The tests run as root, for whom file modes stop nothing, so the faults are real mounts
// (a read-only bind mount, a small tmpfs) inside a mount namespace private to this test
// process. Where mounting is not permitted, those tests are skipped and say so.

#include "Stores.h"
#include "TestSupport.h"
#include "UploadFixture.h"
#include "platform/base/L.h"
#include "platform/system/CachesDirectory.h"
#include "store/DeviceInfoRepository.h"
#include "store/TraceRepository.h"
#include "upload/Outbox.h"
#include "upload/PushRequest.h"
#include "upload/UploadContext.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

using namespace lumvex;
using namespace lumvex::test;

namespace {

// Mounts made from here on are seen by this process alone and vanish with it.
bool privateMounts() {
    static const bool ok =
        ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return ok;
}

std::vector<std::string> temporaries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
            const std::string name = entry->d_name;
            if (name.rfind("backup.lmx.", 0) == 0 || name.rfind("specs.lmx.", 0) == 0) {
                names.push_back(name);
            }
        }
        ::closedir(d);
    }
    return names;
}

class DiskFaultTest : public testing::Test {
protected:
    void SetUp() override {
        L::writeLog = true;
        setAppVersion("1.0");
    }
    void TearDown() override { L::writeLog = false; }

    std::string caches() const { return home.cachesDir(); }
    std::string tracePath() const { return caches() + "/backup.lmx"; }
    std::string specsPath() const { return caches() + "/specs.lmx"; }

    // The host's version is part of the device description: changing it changes what
    // the device store must record.
    void setAppVersion(const std::string& version) const {
        home.writeInfoPlist(
            "<key>CFBundleIdentifier</key><string>com.example.host</string>"
            "<key>CFBundleShortVersionString</key><string>" +
            version + "</string>");
    }

    // Stores `count` fixes numbered from `first` (latitude n, longitude 0.5).
    static void addFixes(int first, int count) {
        for (int n = first; n < first + count; ++n) {
            traces.addTrace(Location{static_cast<double>(n), 0.5});
        }
    }

    // The latitudes of the stored fixes, oldest first.
    static std::vector<std::string> storedLatitudes() {
        std::vector<std::string> lats;
        for (const auto& record : recordsOf(traces.getTracesAsDict())) {
            lats.push_back(record.at("lat"));
        }
        return lats;
    }

    static std::vector<std::string> latitudes(int first, int count) {
        std::vector<std::string> lats;
        for (int n = first; n < first + count; ++n) {
            lats.push_back(std::to_string(n) + ".0");
        }
        return lats;
    }

    // Whether one line of `log` is the store's `message` for `operation`.
    static bool logged(const std::string& log, const std::string& operation, const std::string& message) {
        std::istringstream in(log);
        for (std::string line; std::getline(in, line);) {
            if (line.find(":" + operation + ":") != std::string::npos &&
                line.find(message) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    // Fills what is left of the file system with the file "filler".
    void fillDisk() const {
        const int fd = ::open((caches() + "/filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        const std::string block(4096, 'x');
        while (::write(fd, block.data(), block.size()) > 0) {
        }
        EXPECT_EQ(errno, ENOSPC);
        while (::write(fd, block.data(), 1) > 0) {
        }
        ::close(fd);
    }

    IsolatedHome home;
    static inline TraceRepository& traces = TraceRepository::shared();
    static inline DeviceInfoRepository& devices = DeviceInfoRepository::shared();
};

TEST_F(DiskFaultTest, ReadOnlyCachesDirectoryKeepsBothFilesAndRecovers) {
    if (!privateMounts()) {
        GTEST_SKIP() << "mount namespaces are not permitted here: " << std::strerror(errno);
    }
    addFixes(1, 40);  // past the size cap, so the next append trims
    devices.saveDeviceInfo(currentDescriptionText());
    const auto before = storedLatitudes();
    const auto storedTraces = readFile(tracePath());
    const auto storedSpecs = readFile(specsPath());
    ASSERT_GT(storedTraces.size(), 1000u);

    ASSERT_EQ(::mount(caches().c_str(), caches().c_str(), nullptr, MS_BIND, nullptr), 0)
        << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, caches().c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr), 0)
        << std::strerror(errno);
    setAppVersion("2.0");
    {
        StdoutCapture capture;
        addFixes(100, 1);
        devices.saveDeviceInfo(currentDescriptionText());
        // An upload that succeeded cannot take its lines away: they are sent again rather
        // than lost.
        const auto sent = traces.getTracesAsDict().lines;
        traces.clearTraces({sent.front()});
        clearStoredTraces();
        const auto log = capture.text();
        // The trace file's lock cannot be opened there: nothing changes the file, and the
        // fix waits in memory.
        EXPECT_TRUE(logged(log, "lock()", "ERROR: Cannot open the lock file ")) << log;
        EXPECT_TRUE(logged(log, "writeToFile", "ERROR: Error while writing device info file : ")) << log;
        EXPECT_NE(log.find("Read-only file system"), std::string::npos) << log;
    }
    EXPECT_EQ(readFile(tracePath()), storedTraces);
    EXPECT_EQ(storedLatitudes(), before);
    EXPECT_EQ(readFile(specsPath()), storedSpecs);
    EXPECT_TRUE(devices.needDeviceInfoUpdate(currentDescriptionRecord()))
        << "the new description was not recorded";

    ASSERT_EQ(::umount(caches().c_str()), 0) << std::strerror(errno);
    addFixes(200, 1);
    devices.saveDeviceInfo(currentDescriptionText());
    // The fix handed over while the file could not be written goes first.
    auto expected = std::vector<std::string>(before.begin() + 2, before.end());
    expected.push_back("100.0");
    expected.push_back("200.0");
    EXPECT_EQ(storedLatitudes(), expected);
    EXPECT_FALSE(devices.needDeviceInfoUpdate(currentDescriptionRecord()));
    EXPECT_TRUE(temporaries(caches()).empty());
}

TEST_F(DiskFaultTest, FileWhereTheCachesDirectoryShouldBe) {
    const auto parent = std::filesystem::path(caches()).parent_path();
    std::filesystem::create_directories(parent);
    writeFile(caches(), "not a directory");
    {
        StdoutCapture capture;
        addFixes(1, 1);
        EXPECT_TRUE(recordsOf(traces.getTracesAsDict()).empty());
        EXPECT_TRUE(devices.needDeviceInfoUpdate(currentDescriptionRecord()));
        devices.saveDeviceInfo(currentDescriptionText());
        clearStoredTraces();
        const auto log = capture.text();
        EXPECT_TRUE(logged(log, "appendToFile", "No trace found to write trace")) << log;
        EXPECT_TRUE(logged(log, "readDeviceInfoFile()", "Device info file not found")) << log;
    }
    EXPECT_EQ(readFile(caches()), "not a directory");

    std::filesystem::remove(caches());
    addFixes(2, 1);
    devices.saveDeviceInfo(currentDescriptionText());
    EXPECT_EQ(storedLatitudes(), latitudes(2, 1));
    EXPECT_FALSE(devices.needDeviceInfoUpdate(currentDescriptionRecord()));
}

TEST_F(DiskFaultTest, DirectoryWhereTheTraceFileShouldBe) {
    devices.saveDeviceInfo(currentDescriptionText());
    const auto storedSpecs = readFile(specsPath());
    std::filesystem::create_directories(tracePath());
    writeFile(tracePath() + "/kept", "someone else's");
    {
        StdoutCapture capture;
        addFixes(1, 3);
        EXPECT_TRUE(recordsOf(traces.getTracesAsDict()).empty());
        EXPECT_TRUE(traces.getTracesAsDict().lines.empty());
        traces.clearTraces({"x\n"});
        const auto log = capture.text();
        EXPECT_TRUE(logged(log, "appendToFile", "ERROR: Error while writing trace file by appending!!"))
            << log;
        EXPECT_TRUE(logged(log, "getTracesAsDict()", "Impossible to read traces file")) << log;
        EXPECT_TRUE(logged(log, "removeTraces(_:)", "ERROR: Error while writing trace file!!")) << log;
    }
    EXPECT_EQ(readFile(tracePath() + "/kept"), "someone else's");
    EXPECT_TRUE(temporaries(caches()).empty());
    // The device store beside it is not disturbed.
    EXPECT_EQ(readFile(specsPath()), storedSpecs);
    EXPECT_FALSE(devices.needDeviceInfoUpdate(currentDescriptionRecord()));

    std::filesystem::remove_all(tracePath());
    addFixes(4, 2);
    EXPECT_EQ(storedLatitudes(), latitudes(4, 2));
}

TEST_F(DiskFaultTest, FullDiskLosesNothingStoredAndNeverLeavesHalfALine) {
    if (!privateMounts()) {
        GTEST_SKIP() << "mount namespaces are not permitted here: " << std::strerror(errno);
    }
    ASSERT_TRUE(platform::cachesDirectory());
    ASSERT_EQ(::mount("tmpfs", caches().c_str(), "tmpfs", 0, "size=64k,mode=0700"), 0)
        << std::strerror(errno);
    addFixes(1, 25);
    devices.saveDeviceInfo(currentDescriptionText());
    const auto storedSpecs = readFile(specsPath());

    fillDisk();

    // Fixes still fit in the trace file's last block until it is full; the trim that
    // needs a new file fails every time, and the first append that needs a new block
    // fails whole.
    setAppVersion("2.0");
    int stored = 25;
    std::string log;
    {
        StdoutCapture capture;
        devices.saveDeviceInfo(currentDescriptionText());
        log += capture.text();
    }
    const std::string failed = "ERROR: Error while writing trace file by appending!!";
    for (int n = 26; n < 200; ++n) {
        StdoutCapture capture;
        addFixes(n, 1);
        const auto text = capture.text();
        log += text;
        if (text.find(failed) != std::string::npos) {
            break;
        }
        ++stored;
    }
    EXPECT_TRUE(logged(log, "writeToFile", "ERROR: Error while writing device info file : ")) << log;
    EXPECT_NE(log.find("No space left on device"), std::string::npos) << log;
    EXPECT_TRUE(logged(log, "deleteFirstLine()", "ERROR: Error while writing trace file!!")) << log;
    ASSERT_TRUE(logged(log, "appendToFile", "ERROR: Error while writing trace file by appending!!"))
        << "the disk never filled up";
    const auto content = readFile(tracePath());
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(content.back(), '\n') << "a failed append left part of its line";
    EXPECT_EQ(storedLatitudes(), latitudes(1, stored));
    EXPECT_EQ(readFile(specsPath()), storedSpecs);
    EXPECT_TRUE(devices.needDeviceInfoUpdate(currentDescriptionRecord()));

    // Space again: the stores pick up where they were.
    ASSERT_EQ(::unlink((caches() + "/filler").c_str()), 0);
    addFixes(500, 1);
    devices.saveDeviceInfo(currentDescriptionText());
    auto expected = latitudes(2, stored - 1);
    expected.push_back("500.0");
    EXPECT_EQ(storedLatitudes(), expected);
    EXPECT_FALSE(devices.needDeviceInfoUpdate(currentDescriptionRecord()));
    EXPECT_TRUE(temporaries(caches()).empty());
    ::umount2(caches().c_str(), MNT_DETACH);
}

// The server kept an upload, but the disk is full when its fixes are to be removed: the
// record stays, marked delivered, so that no upload sends those fixes again under any key;
// once there is room, they are removed and only the newer fix goes.
TEST_F(DiskFaultTest, FullDiskAtTheRemovalAfterA200SendsNoFixTwice) {
    if (!privateMounts()) {
        GTEST_SKIP() << "mount namespaces are not permitted here: " << std::strerror(errno);
    }
    ASSERT_TRUE(platform::cachesDirectory());
    ASSERT_EQ(::mount("tmpfs", caches().c_str(), "tmpfs", 0, "size=64k,mode=0700"), 0)
        << std::strerror(errno);
    home.writeInfoPlist(
        "<key>CFBundleIdentifier</key><string>com.example.host</string>"
        "<key>lumvex_api_key</key><string>disk-key</string>");
    const auto configuration = LumvexConfiguration::Builder().pushFormat(PushFormat::LOCATION_ONLY).build();
    Collector collector;
    ManualServer server;
    auto push = [&](PushOutcome& outcome) {
        PushRequest(server.baseUrl(), server.baseUrl())
            .sendPush(UploadContext::process(), *configuration, outcome.callback());
    };
    addFixes(1, 3);
    PushOutcome first;
    push(first);
    ASSERT_TRUE(server.acceptRequest());
    addFixes(4, 1);  // arrives meanwhile, so the removal has to rewrite the file
    fillDisk();
    ASSERT_EQ(server.forwardTo(collector).status, 200);
    server.respond(200);
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(first.error(), std::nullopt);
    ASSERT_TRUE(waitUntil([] { return UploadContext::process().outbox.idle(); }));
    EXPECT_TRUE(fileExists(caches() + "/pending.lmx"));

    PushOutcome stillFull;
    push(stillFull);
    ASSERT_TRUE(stillFull.wait());
    EXPECT_EQ(stillFull.error(), LumvexException::PUSH_FAILED);
    EXPECT_FALSE(server.connectionWaiting(std::chrono::milliseconds(0)));

    ASSERT_EQ(::unlink((caches() + "/filler").c_str()), 0);
    PushOutcome roomAgain;
    push(roomAgain);
    ASSERT_TRUE(server.acceptRequest());
    ASSERT_EQ(server.forwardTo(collector).status, 200);
    server.respond(200);
    ASSERT_TRUE(roomAgain.wait());
    EXPECT_EQ(roomAgain.error(), std::nullopt);
    ASSERT_TRUE(waitUntil([] { return UploadContext::process().outbox.idle(); }));

    std::vector<std::string> onServer;
    for (const auto& upload : collector.uploads()) {
        for (const auto& location : upload["body"]["locations"]) {
            onServer.push_back(location["lat"].get<std::string>());
        }
    }
    EXPECT_EQ(onServer, latitudes(1, 4));
    EXPECT_FALSE(fileExists(tracePath()));
    EXPECT_FALSE(fileExists(caches() + "/pending.lmx"));
    ::umount2(caches().c_str(), MNT_DETACH);
}

}  // namespace
