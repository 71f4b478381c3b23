#pragma once

#include <chrono>
#include <string>

namespace lumvex::test {

/// Sends what the process writes to standard output into a temporary file while alive,
/// so that a test can wait for a line that another thread writes.
class StdoutFile {
public:
    StdoutFile();
    ~StdoutFile();
    StdoutFile(const StdoutFile&) = delete;
    StdoutFile& operator=(const StdoutFile&) = delete;

    /// Everything written so far.
    std::string text() const;
    /// Waits until the output holds `needle`.
    bool waitFor(const std::string& needle,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    std::string path_;
    int saved_ = -1;
};

}  // namespace lumvex::test
