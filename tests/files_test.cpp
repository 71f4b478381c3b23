#include "platform/Files.h"
#include "DeviceInfoRepository.h"
#include "L.h"
#include "TraceRepository.h"
#include "platform/Bundle.h"

#include "TestSupport.h"

#include <LumvexSdk/Platform.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
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

TEST(CachesDirectory, FallsBackToHomeCacheAndTheExecutableName) {
    IsolatedHome home;
    home.writeInfoPlist("");  // no CFBundleIdentifier
    const ScopedEnv homeEnv("HOME", home.dir().file("home").c_str());
    for (const char* xdg : {static_cast<const char*>(nullptr), "relative/cache"}) {
        const ScopedEnv noXdg("XDG_CACHE_HOME", xdg);
        const auto dir = platform::cachesDirectory();
        ASSERT_TRUE(dir);
        EXPECT_EQ(*dir, home.dir().file("home") + "/.cache/" + platform::executableName());
        EXPECT_TRUE(fs::is_directory(*dir));
    }
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
    const auto dir = platform::cachesDirectory();
    ASSERT_TRUE(dir);
    EXPECT_EQ(*dir, home.dir().file("cache") + "/" + platform::executableName());
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
    platform::forgetCachesDirectory();
    EXPECT_EQ(platform::cachesDirectory(), home.dir().file("cache") + "/" + platform::executableName());

    const ScopedEnv noXdg("XDG_CACHE_HOME", nullptr);
    const ScopedEnv relativeHome("HOME", "relative/home");
    L::writeLog = true;
    StdoutCapture log;
    EXPECT_FALSE(platform::cachesDirectory());
    L::writeLog = false;
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
                    read = traces.getTracesAsDict();
                    devices.needDeviceInfoUpdate();
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
            traces.clearTraces();
        }
    }
    // Replacing the record whole puts our own file where the link was; the target stays.
    fs::create_symlink(outside, home.cachesDir() + "/specs.lmx");
    devices.saveDeviceInfo();
    EXPECT_FALSE(fs::is_symlink(home.cachesDir() + "/specs.lmx"));
    EXPECT_EQ(readFile(outside), precious);
}
