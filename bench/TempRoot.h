#pragma once

// A fresh directory under the system's temporary folder for one benchmark program: its
// caches directory and host bundle, removed with their content when the program ends.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
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

}  // namespace lumvex::bench
