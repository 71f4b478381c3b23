#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace lumvex::test {

/// Sends what the process writes to standard output into a temporary file while alive, so
/// that a test can read a log line that another thread is still writing, or wait for it.
/// What it captured goes on to the real standard output when it ends, so that a failing
/// test still shows its log.
class StdoutFile {
public:
    StdoutFile();
    ~StdoutFile();
    StdoutFile(const StdoutFile&) = delete;
    StdoutFile& operator=(const StdoutFile&) = delete;

    /// Everything written so far.
    std::string text() const;
    /// How many times `needle` occurs in `text()`.
    std::size_t count(const std::string& needle) const;
    /// Waits until the output holds `needle`.
    bool waitFor(const std::string& needle,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    std::string path_;
    int saved_ = -1;
};

}  // namespace lumvex::test
