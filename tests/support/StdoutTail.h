#pragma once

#include <string>

namespace lumvex::test {

/// Sends standard output to a file for the life of the object, and lets a test read what was
/// written so far, while it is still being written (for waiting on a log line). What it
/// captured is passed on to the real standard output when it ends.
class StdoutTail {
public:
    StdoutTail();
    ~StdoutTail();
    StdoutTail(const StdoutTail&) = delete;
    StdoutTail& operator=(const StdoutTail&) = delete;

    /// Everything written to standard output since construction.
    std::string text() const;
    /// How many times `needle` occurs in `text()`.
    std::size_t count(const std::string& needle) const;

private:
    int saved_ = -1;
    std::string path_;
};

}  // namespace lumvex::test
