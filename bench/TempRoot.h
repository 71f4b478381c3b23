#pragma once

// A fresh directory under the system's temporary folder for one benchmark program: its
// caches directory and host bundle, removed with their content when the program ends.

#include <LumvexSdk/Platform.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace lumvex::bench {

class TempRoot {
public:
    explicit TempRoot(const std::filesystem::path& base = std::filesystem::temp_directory_path()) {
        std::string pattern = (base / "lumvex-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        path_ = pattern;
    }
    ~TempRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A caches directory and a host bundle of their own, removed at exit. The caches directory
// exists from the start, since the benchmarks run in any order (interleaved, shuffled) and
// some write there before the library has made it.
class BenchHome {
public:
    BenchHome() {
        root_ = temp_.path();
        std::filesystem::create_directories(root_ + "/bundle");
        std::ofstream(root_ + "/bundle/Info.plist")
            << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
               "<key>CFBundleIdentifier</key><string>com.example.bench</string>"
               "<key>lumvex_api_key</key><string>key</string></dict></plist>\n";
        ::setenv("XDG_CACHE_HOME", (root_ + "/cache").c_str(), 1);
        lumvex::platform::setMainBundleDirectory(root_ + "/bundle");
        std::filesystem::create_directories(cachesDir());
    }
    std::string cachesDir() const { return root_ + "/cache/com.example.bench"; }

private:
    TempRoot temp_;
    std::string root_;
};

}  // namespace lumvex::bench
