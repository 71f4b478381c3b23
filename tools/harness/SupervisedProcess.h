#pragma once

// Thread guarantees: a SupervisedProcess is used from one thread at a time, and must be
// started from a thread that outlives the program (see below).

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace lumvex::harness {

/// A child program under a supervisor of its own: a forked copy of this process that waits
/// for the program, both in a process group of their own, so that a terminal's Ctrl-C
/// reaches only this process, which then ends the program in its own time.
///
/// When this process dies, however it dies (even SIGKILLed), the supervisor passes SIGTERM
/// on to the program and, if the program has not ended 3 seconds later, kills the whole
/// group. The kernel cannot tell the program directly: a daemon that gives up root (gpsd
/// does) loses its parent-death signal. The kernel's "parent" is the thread that called
/// `spawn`, so start programs from the main thread or another one that outlives them.
class SupervisedProcess {
public:
    /// The program's standard input, output and error; -1 is /dev/null. The descriptors
    /// stay the caller's: `spawn` neither keeps nor closes them.
    struct Streams {
        int in = -1;
        int out = -1;
        int err = -1;
    };

    SupervisedProcess() = default;
    ~SupervisedProcess();
    SupervisedProcess(const SupervisedProcess&) = delete;
    SupervisedProcess& operator=(const SupervisedProcess&) = delete;

    /// Starts `argv` (argv[0] is looked up in PATH unless it holds a slash), with
    /// `environment` ("NAME=value") taking precedence over this process's. Returns false
    /// and says why in `error` when it is already running or the program cannot be run.
    bool spawn(const std::vector<std::string>& argv, const Streams& streams, std::string& error,
               const std::vector<std::string>& environment = {});
    /// SIGTERM, then SIGKILL to the whole group if the program has not ended within `grace`;
    /// reaps it. Returns the supervisor's wait status, whose exit code is the program's (128
    /// plus the signal when one ended it), or -1 when it was not running.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(3));
    /// SIGKILL to the whole group at once, as a crash would end it; reaps it. Returns as `stop`.
    int kill();
    /// Reaps it if it has ended by itself. Returns whether it is not running (any more), and
    /// then its wait status in `status` if it ended just now.
    bool exited(int* status = nullptr);
    bool running() const { return pid_ > 0; }

private:
    int reap(bool force);

    pid_t pid_ = -1;  // the supervisor, which leads the group
};

}  // namespace lumvex::harness
