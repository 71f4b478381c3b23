#include "BuildConfig.h"
#include "platform/base/L.h"
#include "platform/base/Text.h"
#include "platform/system/CachesDirectory.h"
#include "store/DeviceInfoRepository.h"
#include "upload/DeviceInfoUtils.h"

#include "FakeSystem.h"
#include "Stores.h"
#include "TestSupport.h"

#include <LumvexSdk/Platform.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using lumvex::test::currentDescriptionRecord;
using lumvex::test::currentDescriptionText;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

namespace lumvex {
namespace {

// A whole machine in a temporary root, a private environment, and a host bundle and
// caches directory of its own.
class DeviceInfoTest : public ::testing::Test {
protected:
    void SetUp() override {
        L::writeLog = true;
        system_.put("/etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
        system_.put("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
        system_.put("/proc/sys/kernel/hostname", "ada-laptop\n");
        system_.put("/sys/class/dmi/id/chassis_type", "9\n");
        system_.put("/etc/timezone", "Europe/Paris\n");
        system_.put("/etc/machine-id", "5f3c1e0a9b7d4c2e8f6a1b3d5c7e9f01\n");
        system_.setEnv("LANG", "fr_FR.UTF-8");
        setAppVersion("3.2.1");
    }
    void TearDown() override { L::writeLog = false; }

    void setAppVersion(const std::string& version) {
        home_.writeInfoPlist(
            "<key>CFBundleIdentifier</key><string>com.example.host</string>"
            "<key>CFBundleShortVersionString</key><string>" +
            version + "</string>");
    }
    std::string specsPath() const { return home_.cachesDir() + "/specs.lmx"; }

    test::FakeSystem system_;
    test::IsolatedHome home_;
};

TEST_F(DeviceInfoTest, DescribesTheDeviceInElevenValues) {
    const auto info = DeviceInfoUtils().getDeviceInfoAsDict();
    const nlohmann::json expected = {
        {"os_version", "12"},
        {"device_brand", "apple"},
        {"device_id", "Laptop"},
        {"system_name", "iOS"},
        {"app_version", "3.2.1"},
        {"device_locale", "fr"},
        {"device_country", "FR"},
        {"timezone", "Europe/Paris"},
        {"User-Agent", std::string("ios/") + LUMVEX_VERSION_STRING},
        {"device_name", "ada-laptop"},
        {"is_tablet", false},
    };
    EXPECT_EQ(info, expected);
    EXPECT_EQ(info.size(), 11u);

    const auto text = DeviceInfoUtils().getDeviceInfo();
    EXPECT_EQ(nlohmann::json::parse(text), expected);
    EXPECT_THAT(text, Not(ContainsRegex("[\n ]:|: |, |\n"))) << "compact: " << text;
    EXPECT_EQ(DeviceInfoUtils().getDeviceInfo(), text) << "byte-identical while nothing changes";
}

TEST_F(DeviceInfoTest, KeepsEveryKeyWhenSourcesAreMissing) {
    system_.setEnv("LANG", "de");
    home_.writeInfoPlist("<key>CFBundleIdentifier</key><string>com.example.host</string>");
    auto info = DeviceInfoUtils().getDeviceInfoAsDict();
    EXPECT_EQ(info["device_locale"], "de");
    EXPECT_EQ(info["device_country"], "") << "a locale without a region";
    EXPECT_EQ(info["app_version"], "") << "a host without a version";

    system_.setEnv("LANG", "C");
    info = DeviceInfoUtils().getDeviceInfoAsDict();
    EXPECT_EQ(info["device_locale"], "");
    EXPECT_EQ(info["device_country"], "");
    EXPECT_EQ(info.size(), 11u);
}

TEST_F(DeviceInfoTest, IsTabletOnlyForTabletChassis) {
    for (const auto& [chassis, tablet] : std::vector<std::pair<std::string, bool>>{{"30\n", true},
                                                                                   {"31\n", true},
                                                                                   {"32\n", true},
                                                                                   {"11\n", false},
                                                                                   {"3\n", false},
                                                                                   {"x\n", false}}) {
        system_.put("/sys/class/dmi/id/chassis_type", chassis);
        EXPECT_EQ(DeviceInfoUtils().getDeviceInfoAsDict()["is_tablet"], tablet) << chassis;
    }
}

// A host name is whatever bytes the administrator set. Left as they are, the JSON writer
// would refuse them, and the description could then never be sent nor recorded.
TEST_F(DeviceInfoTest, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    system_.put("/proc/sys/kernel/hostname", "caf\xE9-\xFF\xFE\n");
    const auto info = DeviceInfoUtils().getDeviceInfoAsDict();
    EXPECT_EQ(info["device_name"], "caf\xEF\xBF\xBD-\xEF\xBF\xBD\xEF\xBF\xBD");
    const auto text = DeviceInfoUtils().getDeviceInfo();
    ASSERT_FALSE(text.empty());
    EXPECT_TRUE(platform::isValidUtf8(text));

    auto& repository = DeviceInfoRepository::shared();
    EXPECT_TRUE(repository.needDeviceInfoUpdate(currentDescriptionRecord()));
    repository.saveDeviceInfo(currentDescriptionText());
    EXPECT_FALSE(repository.needDeviceInfoUpdate(currentDescriptionRecord()));
}

TEST_F(DeviceInfoTest, WithoutARecordTheDescriptionIsSent) {
    auto& repository = DeviceInfoRepository::shared();
    test::StdoutCapture capture;
    EXPECT_TRUE(repository.needDeviceInfoUpdate(currentDescriptionRecord()));
    EXPECT_THAT(capture.text(), ContainsRegex("^DeviceInfoRepository\\.cpp:readDeviceInfoFile\\(\\):[0-9]+ "
                                              "impossible to read device info file\n$"));
    EXPECT_FALSE(test::fileExists(specsPath()));

    test::writeFile(specsPath(), "");
    EXPECT_TRUE(repository.needDeviceInfoUpdate(currentDescriptionRecord())) << "an empty record";
}

TEST_F(DeviceInfoTest, ASavedDescriptionIsRecordedPrivatelyAndMatches) {
    auto& repository = DeviceInfoRepository::shared();
    repository.saveDeviceInfo(currentDescriptionText());

    const auto content = test::readFile(specsPath());
    EXPECT_EQ(content, platform::base64Encode(DeviceInfoUtils().getDeviceInfo()));
    EXPECT_EQ(platform::base64Decode(content), DeviceInfoUtils().getDeviceInfo());
    struct stat st {};
    ASSERT_EQ(::stat(specsPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(fs::directory_iterator(home_.cachesDir()), fs::directory_iterator()), 1)
        << "no temporary file left beside it";

    test::StdoutCapture capture;
    EXPECT_FALSE(repository.needDeviceInfoUpdate(currentDescriptionRecord()));
    EXPECT_FALSE(repository.needDeviceInfoUpdate(currentDescriptionRecord()));
    EXPECT_EQ(capture.text(), "") << "a successful check logs nothing";
}

TEST_F(DeviceInfoTest, ARecordIsComparedExactly) {
    auto& repository = DeviceInfoRepository::shared();
    repository.saveDeviceInfo(currentDescriptionText());
    const auto saved = test::readFile(specsPath());

    for (const auto& altered : {saved + "\n", saved + " ", " " + saved, saved.substr(0, saved.size() - 1),
                                std::string(saved.size(), 'A'), std::string("\xFF") + saved}) {
        test::writeFile(specsPath(), altered);
        EXPECT_TRUE(repository.needDeviceInfoUpdate(currentDescriptionRecord())) << altered;
        EXPECT_TRUE(repository.needDeviceInfoUpdate(currentDescriptionRecord())) << "until the next save";
    }
    repository.saveDeviceInfo(currentDescriptionText());
    EXPECT_FALSE(repository.needDeviceInfoUpdate(currentDescriptionRecord()));
}

TEST_F(DeviceInfoTest, AnyChangedValueCallsForAnUpdate) {
    const std::vector<std::pair<const char*, std::function<void()>>> changes = {
        {"system version", [&] { system_.put("/etc/os-release", "VERSION_ID=\"13\"\n"); }},
        {"model and idiom", [&] { system_.put("/sys/class/dmi/id/chassis_type", "30\n"); }},
        {"model only", [&] { system_.put("/sys/class/dmi/id/chassis_type", "31\n"); }},
        {"host name", [&] { system_.put("/proc/sys/kernel/hostname", "ada-laptop2\n"); }},
        {"host name case", [&] { system_.put("/proc/sys/kernel/hostname", "Ada-laptop2\n"); }},
        {"language", [&] { system_.setEnv("LANG", "en_FR.UTF-8"); }},
        {"region", [&] { system_.setEnv("LANG", "en_GB.UTF-8"); }},
        {"region removed", [&] { system_.setEnv("LANG", "en"); }},
        {"time zone", [&] { system_.setEnv("TZ", "Europe/Berlin"); }},
        {"host version", [&] { setAppVersion("3.2.2"); }},
    };
    auto& repository = DeviceInfoRepository::shared();
    for (const auto& [what, change] : changes) {
        repository.saveDeviceInfo(currentDescriptionText());
        ASSERT_FALSE(repository.needDeviceInfoUpdate(currentDescriptionRecord())) << what;
        const auto before = DeviceInfoUtils().getDeviceInfo();
        change();
        EXPECT_NE(DeviceInfoUtils().getDeviceInfo(), before) << what;
        EXPECT_TRUE(repository.needDeviceInfoUpdate(currentDescriptionRecord())) << what;
    }
}

TEST_F(DeviceInfoTest, WithoutACachesDirectoryNothingIsReadOrWritten) {
    platform::setCachesDirectory("relative/cache");
    auto& repository = DeviceInfoRepository::shared();
    test::StdoutCapture capture;
    const bool need = repository.needDeviceInfoUpdate(currentDescriptionRecord());
    repository.saveDeviceInfo(currentDescriptionText());
    const auto log = capture.text();
    platform::setCachesDirectory("");

    EXPECT_TRUE(need);
    EXPECT_THAT(
        log, ContainsRegex("^CachesDirectory\\.cpp:cachesDirectory\\(\\):[0-9]+ ERROR: The caches directory "
                           "given by the host is not an absolute path: relative/cache!!\n"
                           "DeviceInfoRepository\\.cpp:readDeviceInfoFile\\(\\):[0-9]+ "
                           "Device info file not found\n"));
    EXPECT_FALSE(test::fileExists(specsPath()));
}

// The write fails for real: the new record is larger than the process may write to a
// file. That works for root too, where permissions would not stop it.
TEST_F(DeviceInfoTest, AFailedWriteKeepsThePreviousRecordAndLogsAnError) {
    auto& repository = DeviceInfoRepository::shared();
    repository.saveDeviceInfo(currentDescriptionText());
    const auto previous = test::readFile(specsPath());
    ASSERT_FALSE(previous.empty());

    system_.put("/proc/sys/kernel/hostname", std::string(16 * 1024, 'h') + "\n");
    constexpr rlim_t kLimit = 4096;  // more than the log line, less than the new record
    ASSERT_GT(platform::base64Encode(DeviceInfoUtils().getDeviceInfo()).size(), kLimit);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    std::string log;
    {
        test::StdoutCapture capture;
        rlimit small = old;
        small.rlim_cur = kLimit;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        repository.saveDeviceInfo(currentDescriptionText());
        ::setrlimit(RLIMIT_FSIZE, &old);
        log = capture.text();
    }
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_THAT(log, ContainsRegex("^DeviceInfoRepository\\.cpp:writeToFile:[0-9]+ "
                                   "ERROR: Error while writing device info file : [^\n]+!!\n$"));
    EXPECT_THAT(log, HasSubstr("File too large"));
    EXPECT_EQ(test::readFile(specsPath()), previous);
    EXPECT_EQ(std::distance(fs::directory_iterator(home_.cachesDir()), fs::directory_iterator()), 1)
        << "the temporary file is gone";
    EXPECT_TRUE(repository.needDeviceInfoUpdate(currentDescriptionRecord()))
        << "so the description is sent again";
}

// The check runs on the work queue while a save may finish on the upload's completion
// thread; the check must never see a half-written record.
TEST_F(DeviceInfoTest, AConcurrentSaveIsSeenWholeOrNotAtAll) {
    auto& repository = DeviceInfoRepository::shared();
    repository.saveDeviceInfo(currentDescriptionText());
    L::writeLog = false;
    std::atomic<bool> done{false};
    std::thread saver([&] {
        for (int i = 0; i < 100; ++i) {
            repository.saveDeviceInfo(currentDescriptionText());
        }
        done = true;
    });
    int checks = 0;
    int updates = 0;
    while (!done || checks == 0) {
        updates += repository.needDeviceInfoUpdate(currentDescriptionRecord()) ? 1 : 0;
        ++checks;
    }
    saver.join();
    EXPECT_EQ(updates, 0) << "of " << checks << " checks";
}

}  // namespace
}  // namespace lumvex
