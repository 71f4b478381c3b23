#pragma once

// Thread guarantees: `start`, `stop` and `kill` are called from one thread, one that
// outlives gpsd (see SupervisedProcess). `log` and `waitForLog` may also be called from
// others, but not while `start` runs: it replaces the log.

#include "LineTap.h"
#include "SupervisedProcess.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace lumvex::harness {

/// A TCP port on 127.0.0.1 that the OS reported free a moment ago; empty when it would not.
std::string freeTcpPort();

/// A gpsd of its own, in the foreground, reading `devices`, serving clients on its own port
/// of 127.0.0.1, under a supervisor that ends it with its starter.
class GpsdProcess {
public:
    explicit GpsdProcess(std::vector<std::string> devices, std::string port = freeTcpPort());
    ~GpsdProcess();
    GpsdProcess(const GpsdProcess&) = delete;
    GpsdProcess& operator=(const GpsdProcess&) = delete;

    /// Launches gpsd and waits until it has opened its devices and serves clients; true at
    /// once when it runs already. On failure it is stopped again, and `error` (if given)
    /// says why.
    bool start(std::string* error = nullptr, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// SIGTERM, then reaps it (SIGKILL if it does not end in time).
    void stop();
    /// SIGKILL, then reaps it: a gpsd that dies without a goodbye.
    void kill();
    bool running() const { return process_.running(); }

    const std::string& host() const { return host_; }
    const std::string& port() const { return port_; }
    /// What gpsd has written to its standard error since it was last started, for failure
    /// messages.
    std::string log() const;
    /// Waits until gpsd's log holds `needle` `times` times (at -D 3 it logs every client
    /// command), or gpsd has ended, or `timeout` passes. Returns whether it does.
    bool waitForLog(const std::string& needle, std::size_t times = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    std::vector<std::string> devices_;
    std::string host_ = "127.0.0.1";
    std::string port_;
    SupervisedProcess process_;
    std::unique_ptr<LineTap> log_;
};

}  // namespace lumvex::harness
