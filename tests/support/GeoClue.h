#pragma once

#include "SupervisedProcess.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace lumvex::test {

/// An NMEA receiver on a Unix socket, the way GeoClue's network NMEA source reads one: each
/// connection gets the next epoch of the track at once, then one more a second, with times
/// rewritten to now (GeoClue drops a fix older than the last one it saw). The connection is
/// held open at the end of the track, since GeoClue gives the socket up on EOF.
class NmeaFeeder {
public:
    /// The feeder thread's name; measurements leave out threads named "harness-...".
    static constexpr const char* THREAD_NAME = "harness-nmea";

    NmeaFeeder(std::string socketPath, std::vector<std::string> epochs);
    ~NmeaFeeder();
    NmeaFeeder(const NmeaFeeder&) = delete;
    NmeaFeeder& operator=(const NmeaFeeder&) = delete;

    bool start();
    void stop();
    /// Stamps what is sent from now on with the current time plus `offset`, as a receiver
    /// whose clock was set that far off would.
    void setClockOffset(std::chrono::seconds offset);
    /// The positions sent so far, in order.
    std::vector<std::pair<double, double>> sent() const;

private:
    struct Connection {
        int fd;
        std::chrono::steady_clock::time_point next;
    };

    void run();
    /// Sends the next epoch on `connection`, if one is left, and sets when the next is due.
    void sendNext(Connection& connection);
    /// How long poll(2) may wait: until the first connection is due; no bound without one.
    static int timeoutFor(const std::vector<Connection>& connections);

    std::string path_;
    std::vector<std::string> epochs_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::pair<double, double>> sent_;
    bool stop_ = false;
    std::chrono::seconds offset_{0};
    std::size_t nextEpoch_ = 0;  // only the feeder's thread touches it
};

/// A real GeoClue on a private system-like bus: dbus-daemon, GeoClue in private mount and
/// network namespaces with the test's configuration bind-mounted over its own (nothing under
/// /etc changes for anyone else), the packaged demo agent, and an NMEA feeder.
/// Needs root and the packages of scripts/install-deps.sh; `start` says why it cannot run.
class GeoClueService {
public:
    /// The desktop id that the configuration allows, and one that it refuses.
    static constexpr const char* ALLOWED_ID = "lumvex-test-client";
    static constexpr const char* REFUSED_ID = "lumvex-refused-client";

    /// `epochs` feed the NMEA source; with none, GeoClue has no source that gives a fix.
    explicit GeoClueService(std::vector<std::string> epochs);
    ~GeoClueService();
    GeoClueService(const GeoClueService&) = delete;
    GeoClueService& operator=(const GeoClueService&) = delete;

    /// Starts everything; empty on success, else why not (the test skips when the machine
    /// lacks something, and fails otherwise).
    std::string start();
    /// Whether what kept `start` from succeeding is the machine's, not the code's.
    bool unavailable() const { return unavailable_; }
    /// Stops the GeoClue daemon alone (it leaves the bus), or starts it again.
    void stopDaemon();
    bool startDaemon();

    const std::string& busAddress() const { return busAddress_; }
    NmeaFeeder* feeder() { return feeder_.get(); }
    /// The daemons' logs, for failure messages.
    std::string logs() const;

private:
    // GeoClue holds every CreateClient, without a bound, until an agent of the caller's user
    // has registered. The service counts as up only once GeoClue answers one: a test's
    // request then meets GeoClue's answer, not the agent's start-up, however loaded the
    // machine.
    static constexpr std::chrono::seconds AGENT_WAIT{30};

    /// Starts dbus-daemon and waits for its socket; empty on success, else why not.
    std::string startBus();
    bool waitForGeoClue(std::chrono::milliseconds timeout);
    /// Whether GeoClue answered a client of ours within `timeout` of real time.
    bool waitForAgent(std::chrono::seconds timeout);

    std::vector<std::string> epochs_;
    std::string dir_;
    std::string busAddress_;
    harness::SupervisedProcess bus_, daemon_, agent_;
    std::unique_ptr<NmeaFeeder> feeder_;
    bool unavailable_ = false;
};

}  // namespace lumvex::test
