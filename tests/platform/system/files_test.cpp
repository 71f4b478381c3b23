#include "platform/system/Files.h"
#include "platform/base/Clock.h"
#include "platform/base/L.h"
#include "platform/base/Text.h"
#include "platform/system/Bundle.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/Identity.h"
#include "store/DeviceInfoRepository.h"
#include "store/TraceRepository.h"
#include "upload/PendingUpload.h"

#include "Collector.h"
#include "Stores.h"
#include "TestSupport.h"

#include <LumvexSdk/Platform.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

namespace fs = std::filesystem;
using namespace lumvex;
using namespace lumvex::test;

namespace {

unsigned modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 0777;
}

// Sets an environment variable for the life of the object, restoring it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
        platform::forgetCachesDirectory();
    }
    ~ScopedEnv() {
        old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_);
        platform::forgetCachesDirectory();
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace

TEST(CachesDirectory, IsTheBundleIdentifierUnderXdgCacheHomeAndPrivate) {
    IsolatedHome home;
    const auto dir = platform::cachesDirectory();
    ASSERT_TRUE(dir);
    EXPECT_EQ(*dir, home.cachesDir());
    EXPECT_TRUE(fs::is_directory(*dir));
    EXPECT_EQ(modeOf(*dir), 0700u);
}

namespace {
// Without an identifier the executable's name and the key name the store.
std::string fallbackStore(const std::string& key = "key") {
    platform::noteApiKey(key, platform::KeyUse::started);
    return platform::executableName() + "-" + platform::keyTag(key);
}
}  // namespace

TEST(CachesDirectory, FallsBackToHomeCacheAndTheExecutableNameWithTheKey) {
    IsolatedHome home;
    home.writeInfoPlist("");  // no CFBundleIdentifier
    const ScopedEnv homeEnv("HOME", home.dir().file("home").c_str());
    const auto name = fallbackStore();
    for (const char* xdg : {static_cast<const char*>(nullptr), "relative/cache"}) {
        const ScopedEnv noXdg("XDG_CACHE_HOME", xdg);
        const auto dir = platform::cachesDirectory();
        ASSERT_TRUE(dir);
        EXPECT_EQ(*dir, home.dir().file("home") + "/.cache/" + name);
        EXPECT_TRUE(fs::is_directory(*dir));
    }
}

// A store holds one key's fixes: an application keeps its folder for the key that first
// started with it, and another key gets a folder of its own. An identity given in code
// names the folder as an Info.plist's would.
TEST(CachesDirectory, AnIdentifiersFolderStaysWithTheFirstKeyThatStartedWithIt) {
    IsolatedHome home;
    platform::noteApiKey("first", platform::KeyUse::started);
    const auto own = platform::cachesDirectory();
    ASSERT_EQ(own, home.cachesDir());
    platform::claimStore(*own);
    platform::noteApiKey("second", platform::KeyUse::started);
    EXPECT_EQ(platform::cachesDirectory(), home.cachesDir() + "-" + platform::keyTag("second"));
    platform::noteApiKey("first", platform::KeyUse::built);  // after a start: not in force
    EXPECT_EQ(platform::cachesDirectory(), home.cachesDir() + "-" + platform::keyTag("second"));
    platform::noteApiKey("first", platform::KeyUse::started);
    EXPECT_EQ(platform::cachesDirectory(), home.cachesDir());
    platform::setApplicationIdentity("org.example.Tracker", "2.0");
    EXPECT_EQ(platform::cachesDirectory(), home.dir().file("cache") + "/org.example.Tracker");
}

TEST(CachesDirectory, MakesAnExistingLaxDirectoryPrivate) {
    IsolatedHome home;
    fs::create_directories(home.cachesDir());
    ::chmod(home.cachesDir().c_str(), 0755);
    ASSERT_TRUE(platform::cachesDirectory());
    EXPECT_EQ(modeOf(home.cachesDir()), 0700u);
}

TEST(CachesDirectory, IsNothingWhenItCannotBeCreated) {
    IsolatedHome home;
    writeFile(home.dir().file("file"), "x");
    const ScopedEnv xdg("XDG_CACHE_HOME", home.dir().file("file").c_str());
    EXPECT_FALSE(platform::cachesDirectory());
}

// What a run of the service host with exactly `environment` ended with, and what it logged.
struct HostRun {
    int status = -1;  // the exit status; -1 when it did not end by itself within 30 s
    std::string log;
};

HostRun runServiceHost(const std::string& bundleDir, const std::string& endpoint,
                       std::vector<std::string> environment, const std::string& logPath) {
    std::vector<std::string> args = {LUMVEX_SERVICE_HOST, bundleDir, endpoint};
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : environment) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, LUMVEX_SERVICE_HOST, &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    HostRun run;
    if (spawned != 0) {
        return run;
    }
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30))) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    } else if (WIFEXITED(status)) {
        run.status = WEXITSTATUS(status);
    }
    run.log = readFile(logPath);
    return run;
}

// The passwd entry's home, when this user can keep a cache there.
std::optional<std::string> usablePasswdHome() {
    const struct passwd* entry = ::getpwuid(::geteuid());
    if (!entry || !entry->pw_dir || entry->pw_dir[0] != '/' || ::access(entry->pw_dir, W_OK) != 0) {
        return std::nullopt;
    }
    return std::string(entry->pw_dir);
}

// A service started with a nearly empty environment (systemd without User=, `env -i`) keeps
// its fixes in the first place it can have, or refuses to start and says why; it never
// looks started while it drops every fix.
TEST(CachesDirectory, AServiceWithoutHomeStoresItsFixesOrRefusesToStart) {
    IsolatedHome home;
    // Unique, so that the run in the passwd home leaves nothing behind another run's.
    const std::string id = "com.example.service-test-" + std::to_string(::getpid());
    home.writeInfoPlist("<key>CFBundleIdentifier</key><string>" + id +
                        "</string><key>lumvex_api_key</key><string>key</string>");
    test::Collector collector;
    const auto systemd = home.dir().file("systemd-cache");
    const auto passwdHome = usablePasswdHome();
    struct Case {
        std::vector<std::string> environment;
        std::optional<std::string> cachesDir;  // nothing: the start is refused
        std::string why;
        // Where an earlier version, which put HOME before CACHE_DIRECTORY, left a fix (latitude
        // 2.5) and a recorded request (1.5): both must go out, and the directory stay empty.
        std::string earlier;
    };
    const auto userHome = home.dir().file("user-home");
    std::vector<Case> cases = {
        {{"CACHE_DIRECTORY=" + systemd + ":" + home.dir().file("second")}, systemd + "/" + id, "", ""},
        {{"HOME=/proc/lumvex-no-home"},
         std::nullopt,
         "Error while creating directory /proc/lumvex-no-home",
         ""},
        {{"HOME=" + userHome, "CACHE_DIRECTORY=" + home.dir().file("upgraded")},
         home.dir().file("upgraded") + "/" + id,
         "",
         userHome + "/.cache/" + id},
    };
    if (passwdHome) {
        cases.push_back({{}, *passwdHome + "/.cache/" + id, "", ""});
    } else {
        cases.push_back({{}, std::nullopt, "directory", ""});
    }
    std::size_t delivered = 0;
    for (auto& c : cases) {
        c.environment.insert(c.environment.begin(), "PATH=/usr/bin:/bin");
        SCOPED_TRACE(c.environment.back());
        if (!c.earlier.empty()) {
            fs::create_directories(c.earlier);
            writeFile(c.earlier + "/backup.lmx", platform::base64Encode("1496311200123;2.5;4.5") + "\n");
            UploadRequest recorded;
            recorded.url = collector.baseUrl() + "api/v1/key/send_locations";
            recorded.key = UploadRequest::newKey();
            recorded.body =
                R"({"devices_infos":{},"google_aid":"noid","locations":[{"timestamp":"2017-06-01T10:00:00Z",)"
                R"("lat":"1.5","lng":"3.5"}],"mac":"020000000000"})";
            recorded.format = PushFormat::LOCATION_ONLY;
            recorded.lines = {platform::base64Encode("1496311200000;1.5;3.5")};
            recorded.createdAtMs = platform::SystemClock().wallNowMilliseconds();
            writeFile(c.earlier + "/pending.lmx", PendingUpload::encode(recorded));
        }
        const auto run =
            runServiceHost(home.bundleDir(), collector.baseUrl(), c.environment, home.dir().file("host.log"));
        if (!c.cachesDir) {
            EXPECT_EQ(run.status, 3) << run.log;
            EXPECT_NE(run.log.find("LumvexEngine.cpp:start(_:):"), std::string::npos) << run.log;
            EXPECT_NE(run.log.find(" ERROR: "), std::string::npos) << run.log;
            EXPECT_NE(run.log.find(c.why), std::string::npos) << run.log;
            EXPECT_EQ(collector.uploads("key").size(), delivered);
            continue;
        }
        EXPECT_EQ(run.status, 0) << run.log;
        EXPECT_TRUE(fs::is_directory(*c.cachesDir)) << run.log;
        EXPECT_EQ(modeOf(*c.cachesDir), 0700u);
        const auto uploads = collector.uploads("key");
        std::vector<std::string> latitudes;
        for (auto i = delivered; i < uploads.size(); ++i) {
            for (const auto& location : uploads[i]["body"]["locations"]) {
                latitudes.push_back(location["lat"]);
            }
        }
        delivered = uploads.size();
        const std::vector<std::string> sent = c.earlier.empty()
                                                  ? std::vector<std::string>{"12.5"}
                                                  : std::vector<std::string>{"1.5", "2.5", "12.5"};
        EXPECT_EQ(latitudes, sent) << run.log;
        EXPECT_EQ(uploads.back()["body"]["locations"].back()["lng"], "34.5");
        if (!c.earlier.empty()) {
            EXPECT_FALSE(fs::exists(c.earlier + "/backup.lmx"));
            EXPECT_FALSE(fs::exists(c.earlier + "/pending.lmx"));
            EXPECT_NE(run.log.find("Carried "), std::string::npos) << run.log;
        }
        if (passwdHome && c.cachesDir->rfind(*passwdHome, 0) == 0) {
            fs::remove_all(*c.cachesDir);
        }
    }
}

TEST(WriteFileAtomically, ReplacesTheFileWithAPrivateOneAndLeavesNoTemporaryFile) {
    TempDir dir;
    const auto path = dir.file("target");
    writeFile(path, "old content that is longer");
    ::chmod(path.c_str(), 0644);
    ASSERT_TRUE(platform::writeFileAtomically(path, std::string("new\0content", 11)));
    EXPECT_EQ(readFile(path), std::string("new\0content", 11));
    EXPECT_EQ(modeOf(path), 0600u);
    ASSERT_TRUE(platform::writeFileAtomically(path, ""));
    EXPECT_EQ(readFile(path), "");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(WriteFileAtomically, LeavesTheTargetAndNoTemporaryFileOnFailure) {
    TempDir dir;
    std::string error;
    EXPECT_FALSE(platform::writeFileAtomically(dir.file("missing/target"), "x", &error));
    EXPECT_FALSE(error.empty());

    // A directory cannot be replaced by a file: the rename fails after the write.
    fs::create_directory(dir.file("occupied"));
    error.clear();
    EXPECT_FALSE(platform::writeFileAtomically(dir.file("occupied"), "x", &error));
    EXPECT_NE(error.find("replace"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_directory(dir.file("occupied")));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(CachesDirectory, ABundleIdentifierWithANulByteDoesNotLeadOutOfTheCacheHome) {
    // A binary property list's UTF-16 string can hold "..\0x\u00e9", which as a path is "..".
    IsolatedHome home;
    fs::copy_file(std::string(LUMVEX_TEST_FIXTURES) + "/plist/nul_in_identifier.plist",
                  home.bundleDir() + "/Info.plist", fs::copy_options::overwrite_existing);
    ASSERT_EQ(platform::Bundle::main().stringForKey("CFBundleIdentifier"), std::string("..\0x\xc3\xa9", 6));
    const auto name = fallbackStore();
    const auto dir = platform::cachesDirectory();
    ASSERT_TRUE(dir);
    EXPECT_EQ(*dir, home.dir().file("cache") + "/" + name);
}

TEST(WriteFileAtomically, LeftoverTemporariesOfAnInterruptedWriteCanBeRemoved) {
    TempDir dir;
    const auto target = dir.file("backup.lmx");
    writeFile(target, "kept");
    for (const char* name : {"backup.lmx.a1B2c3", "backup.lmx.ZZZZZZ"}) {
        writeFile(dir.file(name), "half a rewrite");
    }
    // Not what the write leaves: another file's, or another pattern.
    for (const char* name :
         {"specs.lmx.a1B2c3", "backup.lmx.a1B2c", "backup.lmx.a1B2c3d", "backup.lmx.a1-2c3"}) {
        writeFile(dir.file(name), "other");
    }
    EXPECT_EQ(platform::removeLeftoverTemporaries(target), 2u);
    EXPECT_EQ(readFile(target), "kept");
    std::size_t left = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        (void)entry;
        ++left;
    }
    EXPECT_EQ(left, 5u);
}

// ---- Hostile ground: what others may plant where our files and directory should be ----

TEST(CachesDirectory, IsSettledOnceSoARewrittenInfoPlistCannotMoveTheStores) {
    IsolatedHome home;
    ASSERT_EQ(platform::cachesDirectory(), home.cachesDir());
    for (const auto& replace : std::vector<std::function<void()>>{
             [&] { fs::remove(home.bundleDir() + "/Info.plist"); },
             [&] {
                 home.writeInfoPlist("<key>CFBundleIdentifier</key><string>com.example.other</string>");
             }}) {
        replace();
        EXPECT_EQ(platform::cachesDirectory(), home.cachesDir());
    }
    // A host that names another bundle gets that bundle's directory.
    platform::setMainBundleDirectory(home.bundleDir());
    EXPECT_EQ(platform::cachesDirectory(), home.dir().file("cache") + "/com.example.other");
}

TEST(CachesDirectory, AnIdentifierTooLongForAFileNameFallsBackAndARelativeHomeIsRefused) {
    IsolatedHome home;
    home.writeInfoPlist("<key>CFBundleIdentifier</key><string>" + std::string(256, 'a') + "</string>");
    const auto name = fallbackStore();
    EXPECT_EQ(platform::cachesDirectory(), home.dir().file("cache") + "/" + name);

    // A relative base would put the files wherever the host's working directory is.
    platform::setCachesDirectory("relative/home");
    L::writeLog = true;
    StdoutCapture log;
    EXPECT_FALSE(platform::cachesDirectory());
    L::writeLog = false;
    platform::setCachesDirectory("");
    EXPECT_NE(log.text().find("cachesDirectory():"), std::string::npos);
    EXPECT_FALSE(fs::exists("relative"));
}

TEST(CachesDirectory, ALinkOrAnotherUsersDirectoryIsRefusedAndLeftAsItIs) {
    IsolatedHome home;
    const auto shared = home.dir().file("shared");
    fs::create_directories(shared);
    ::chmod(shared.c_str(), 01777);
    fs::create_directories(home.dir().file("cache"));
    fs::create_directory_symlink(shared, home.cachesDir());
    L::writeLog = true;
    {
        StdoutCapture log;
        EXPECT_FALSE(platform::cachesDirectory());
        TraceRepository::shared().addTrace({1.0, 2.0});
        EXPECT_NE(log.text().find("ERROR: Caches directory " + home.cachesDir() + " is a symbolic link!!"),
                  std::string::npos);
    }
    struct stat st {};
    ASSERT_EQ(::stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 01777u) << "the link's target keeps its mode";
    EXPECT_TRUE(fs::is_empty(shared));

    if (::geteuid() != 0) {
        L::writeLog = false;
        GTEST_SKIP() << "giving a directory to another user needs root";
    }
    fs::remove(home.cachesDir());
    fs::create_directory(home.cachesDir());
    ::chmod(home.cachesDir().c_str(), 0777);
    ASSERT_EQ(::chown(home.cachesDir().c_str(), 65534, 65534), 0);  // nobody
    {
        StdoutCapture log;
        EXPECT_FALSE(platform::cachesDirectory());
        EXPECT_NE(
            log.text().find("ERROR: Caches directory " + home.cachesDir() + " belongs to another user!!"),
            std::string::npos);
    }
    L::writeLog = false;
    EXPECT_EQ(modeOf(home.cachesDir()), 0777u);
    EXPECT_TRUE(fs::is_empty(home.cachesDir()));
}

TEST(OwnFiles, ALinkOrAFifoAtAStoreFileIsNeitherFollowedNorWaitedOn) {
    IsolatedHome home;
    ASSERT_TRUE(platform::cachesDirectory());
    const auto outside = home.dir().file("outside");
    // Larger than the trace file's cap, so that an append would first trim it.
    const std::string precious(2000, 'x');
    auto& traces = TraceRepository::shared();
    auto& devices = DeviceInfoRepository::shared();

    for (const char* name : {"backup.lmx", "specs.lmx"}) {
        for (const bool fifo : {false, true}) {
            SCOPED_TRACE(std::string(name) + (fifo ? " as a FIFO" : " as a link"));
            const auto path = home.cachesDir() + "/" + name;
            writeFile(outside, precious);
            ::chmod(outside.c_str(), 0644);
            fs::remove(path);
            ASSERT_EQ(fifo ? ::mkfifo(path.c_str(), 0600) : ::symlink(outside.c_str(), path.c_str()), 0);

            L::writeLog = true;
            StdoutCapture log;
            std::vector<TraceRecord> read;
            EXPECT_TRUE(finishesWithoutBlocking(
                [&] {
                    traces.addTrace({1.0, 2.0});
                    read = recordsOf(traces.getTracesAsDict());
                    devices.needDeviceInfoUpdate(currentDescriptionRecord());
                },
                {path}));
            L::writeLog = false;
            EXPECT_EQ(read.empty(), std::string(name) == "backup.lmx");
            EXPECT_EQ(readFile(outside), precious);
            EXPECT_EQ(modeOf(outside), 0644u);
            if (std::string(name) == "backup.lmx") {
                EXPECT_NE(log.text().find("appendToFile:"), std::string::npos);
                EXPECT_NE(log.text().find("ERROR: Error while writing trace file by appending!!"),
                          std::string::npos);
            } else {
                EXPECT_NE(log.text().find("impossible to read device info file"), std::string::npos);
            }
            fs::remove(path);
            clearStoredTraces();
        }
    }
    // Replacing the record whole puts our own file where the link was; the target stays.
    fs::create_symlink(outside, home.cachesDir() + "/specs.lmx");
    devices.saveDeviceInfo(currentDescriptionText());
    EXPECT_FALSE(fs::is_symlink(home.cachesDir() + "/specs.lmx"));
    EXPECT_EQ(readFile(outside), precious);
}

// Within a scope, answers may come from what the kernel reported since the last scope: each
// change below, made between two scopes, must show in the second one exactly as a stat
// sees it, whether the file, its folder or a link to it changed.
TEST(FileChecksOnce, EveryKindOfChangeBetweenTwoScopesShowsInTheNext) {
    using platform::Changes;
    using platform::Links;
    const struct Case {
        const char* change;
        const char* name;  // in the case's folder
        Links links;
        Changes changes;
        std::function<void(const TempDir&)> make;
    } cases[] = {
        {"written in place, its times put back", "f", Links::follow, Changes::anyWrite,
         [](const TempDir& d) {
             struct stat before {};
             ::stat(d.file("f").c_str(), &before);
             std::fstream(d.file("f"), std::ios::in | std::ios::out) << "Y";
             const timespec times[2] = {before.st_atim, before.st_mtim};
             ::utimensat(AT_FDCWD, d.file("f").c_str(), times, 0);
         }},
        {"made private", "f", Links::follow, Changes::anyWrite,
         [](const TempDir& d) { ::chmod(d.file("f").c_str(), 0600); }},
        {"replaced", "f", Links::dontFollow, Changes::entriesOnly,
         [](const TempDir& d) { platform::writeFileAtomically(d.file("f"), "other"); }},
        {"removed", "f", Links::follow, Changes::entriesOnly,
         [](const TempDir& d) { ::unlink(d.file("f").c_str()); }},
        {"made where there was none", "new", Links::follow, Changes::entriesOnly,
         [](const TempDir& d) { writeFile(d.file("new"), "x"); }},
        {"its folder moved away and another put in its place", "dir/f", Links::follow, Changes::entriesOnly,
         [](const TempDir& d) {
             ::rename(d.file("dir").c_str(), d.file("old").c_str());
             fs::create_directory(d.file("dir"));
             writeFile(d.file("dir/f"), "x");
         }},
        {"a link to it pointed elsewhere", "link", Links::follow, Changes::anyWrite,
         [](const TempDir& d) {
             ::unlink(d.file("link").c_str());
             ::symlink("dir/f", d.file("link").c_str());
         }},
        {"replaced while linked elsewhere, looked at, then written in place", "f", Links::follow,
         Changes::anyWrite,
         [](const TempDir& d) {
             ::link(d.file("f").c_str(), d.file("keep").c_str());  // the old file lives on
             platform::writeFileAtomically(d.file("f"), "other");
             {
                 const platform::FileChecksOnce scope;
                 platform::fileIdentityOnce(d.file("f"));
             }
             std::ofstream(d.file("f"), std::ios::app) << "more";
         }},
        {"what a link names written in place", "link", Links::follow, Changes::anyWrite,
         [](const TempDir& d) { std::ofstream(d.file("f"), std::ios::app) << "more"; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.change);
        TempDir dir;
        fs::create_directory(dir.file("dir"));
        writeFile(dir.file("f"), "X");
        writeFile(dir.file("dir/f"), "in the folder");
        ::symlink("f", dir.file("link").c_str());
        const auto path = dir.file(c.name);
        for (int round = 0; round < 2; ++round) {
            const platform::FileChecksOnce scope;
            ASSERT_EQ(platform::fileIdentityOnce(path, c.links, c.changes).has_value(),
                      platform::fileIdentity(path, c.links).has_value());
        }
        c.make(dir);
        const platform::FileChecksOnce scope;
        const auto seen = platform::fileIdentityOnce(path, c.links, c.changes);
        const auto now = platform::fileIdentity(path, c.links);
        ASSERT_EQ(seen.has_value(), now.has_value());
        if (now) {
            EXPECT_TRUE(c.changes == Changes::anyWrite ? *seen == *now : seen->sameFileAs(*now));
        }
    }
}

// A forked child shares the parent's inotify descriptor: were it to read it, the parent
// would never learn of the change that the child's read took away.
TEST(FileChecksOnce, AForkedChildLeavesTheParentsNewsToTheParent) {
    TempDir dir;
    const auto path = dir.file("f");
    writeFile(path, "X");
    {
        const platform::FileChecksOnce scope;
        ASSERT_TRUE(platform::fileIdentityOnce(path));
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::ofstream(path, std::ios::app) << "more";
        const platform::FileChecksOnce scope;
        const auto seen = platform::fileIdentityOnce(path);
        ::_exit(seen && seen->size == 5 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const platform::FileChecksOnce scope;
    const auto seen = platform::fileIdentityOnce(path);
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->size, 5);
}
