#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace lumvex::test {

/// A fresh directory under the system's temporary folder, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

/// Points the library's caches directory (XDG_CACHE_HOME) and main bundle at a fresh
/// temporary folder for the life of the object.
class IsolatedHome {
public:
    IsolatedHome();
    ~IsolatedHome();
    const TempDir& dir() const { return dir_; }
    /// The directory that holds the library's files ("backup.lmx", "specs.lmx").
    std::string cachesDir() const;
    /// Writes an XML Info.plist into the bundle directory from `entries`, the inner XML
    /// of its root dictionary (e.g. "<key>lumvex_api_key</key><string>k</string>").
    void writeInfoPlist(const std::string& entries) const;
    std::string bundleDir() const { return dir_.file("bundle"); }

private:
    TempDir dir_;
    std::string oldXdg_;
    bool hadXdg_ = false;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
void appendToFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

/// Captures what the process writes to standard output (the debug log) while alive.
class StdoutCapture {
public:
    StdoutCapture();
    ~StdoutCapture();
    /// Stops capturing (once) and returns everything captured.
    std::string text();

private:
    bool active_ = true;
    std::string text_;
};

/// Waits until `condition` holds, checking it every couple of milliseconds, up to `timeout`.
/// Returns whether it held. Nothing wakes it early: where the thing waited for can say when
/// it is done, wait on a `Signal` instead.
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// How long a stress loop keeps going: `fallback` by default, longer locally with
/// LUMVEX_STRESS_SECONDS (whole seconds, above zero).
std::chrono::milliseconds stressBudget(std::chrono::milliseconds fallback);

/// Runs `work` on a thread of its own and tells whether it finished within `timeout`.
/// When it did not, the FIFOs at `fifos` are opened from the other end so that work
/// blocked on one of them is let go, and the thread is joined before returning.
bool finishesWithoutBlocking(const std::function<void()>& work, const std::vector<std::string>& fifos,
                             std::chrono::milliseconds timeout = std::chrono::seconds(5));

/// A child process running `argv` (argv[0] is the program's path), with the test's
/// environment. With `input`, its standard input is a pipe that `closeInput` closes; its
/// standard output is kept when `keepOutput`, else shared with the test's.
class ChildProcess {
public:
    explicit ChildProcess(std::vector<std::string> argv, bool input = false, bool keepOutput = false);
    /// Kills a child still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void closeInput();
    /// Waits up to `timeout` for the child to end (killing it then) and gives its status
    /// as waitpid does, -1 when it had to be killed; its output is read meanwhile.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    const std::string& output() const { return output_; }

private:
    int pid_ = -1;
    int input_ = -1;
    int outputFd_ = -1;
    std::string output_;
};

/// A latch-like flag that a callback on another thread sets and a test waits on.
class Signal {
public:
    void notify();
    bool wait(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    int count() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    int count_ = 0;
};

}  // namespace lumvex::test
