#pragma once

// Thread guarantees: every call is safe from any thread. `onLine` runs on the tap's own
// thread, one line at a time.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumvex::harness {

/// Reads a child's output line by line on a thread of its own until the writers close it,
/// keeping every line and handing each to `onLine` (which may be empty) as it comes.
class LineTap {
public:
    /// Takes `fd` over and closes it at the end. `threadName`, when given, names the thread
    /// (at most 15 characters); measurements leave out threads named "harness-...".
    LineTap(int fd, std::function<void(const std::string&)> onLine, const char* threadName = nullptr);
    ~LineTap();
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    /// Waits until `match` holds for a line, or the output ends, or `timeout` passes; `match`
    /// sees every line from the first, once each, in order. Returns whether it held.
    bool waitFor(const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout);
    /// Every line read so far; the last one may lack its line end once the output ended.
    std::vector<std::string> lines() const;
    /// Waits until the output has ended.
    void join();

private:
    void run(const char* threadName);

    int fd_;
    std::function<void(const std::string&)> onLine_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
    std::thread thread_;
    std::mutex joining_;
};

}  // namespace lumvex::harness
