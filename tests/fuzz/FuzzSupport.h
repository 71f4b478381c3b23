#pragma once

// What the fuzz targets share: a private scratch directory on a memory file system when
// there is one (the library flushes every rewrite to disk, which would otherwise slow
// each run to the disk's pace), plain file writes, and a check that ends the run as a
// crash, so that libFuzzer keeps the input that broke it.

#include <LumvexSdk/Platform.h>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

namespace lumvex::fuzz {

inline const std::string& scratchDirectory() {
    // Never destroyed: the exit handler that removes the directory runs after static
    // destructors would have run.
    static const std::string* path = [] {
        const bool shm = ::access("/dev/shm", W_OK) == 0;
        std::string pattern =
            (shm ? std::string("/dev/shm") : std::filesystem::temp_directory_path().string()) +
            "/lumvex-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratchDirectory(), ec);
        });
        return new std::string(pattern);
    }();
    return *path;
}

inline void writeBytes(const std::string& path, const char* data, std::size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
    FUZZ_CHECK(out.good());
}

// Points the caches directory and the main bundle into the scratch directory, as a host
// with the bundle identifier "com.example.fuzz" would have them. Gives the caches
// directory.
inline std::string isolateHome() {
    const auto& root = scratchDirectory();
    const auto bundle = root + "/bundle";
    std::filesystem::create_directories(bundle);
    const std::string plist =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key><string>com.example.fuzz</string>"
        "</dict></plist>\n";
    writeBytes(bundle + "/Info.plist", plist.data(), plist.size());
    ::setenv("XDG_CACHE_HOME", (root + "/cache").c_str(), 1);
    platform::setMainBundleDirectory(bundle);
    const auto caches = root + "/cache/com.example.fuzz";
    std::filesystem::create_directories(caches);
    return caches;
}

}  // namespace lumvex::fuzz
