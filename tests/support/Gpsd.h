#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumvex::test {

/// A pseudo-terminal that gpsd reads as a GPS receiver; the test writes NMEA into it.
class FakeReceiver {
public:
    FakeReceiver();
    ~FakeReceiver();
    FakeReceiver(const FakeReceiver&) = delete;
    FakeReceiver& operator=(const FakeReceiver&) = delete;

    /// The device path to give gpsd.
    const std::string& devicePath() const { return path_; }
    /// Writes `nmea` as the receiver's output.
    bool write(const std::string& nmea);

private:
    int master_ = -1;
    int slave_ = -1;  // kept open so the terminal outlives gpsd closing it
    std::string path_;
};

/// The NMEA epochs of a recorded log: runs of consecutive sentences that share one time of
/// day, each ending in CR LF, in the order of the log.
std::vector<std::string> readNmeaEpochs(const std::string& path);

/// A TCP port on 127.0.0.1 that the OS reported free a moment ago.
std::string freeTcpPort();

/// A gpsd of the test's own, in the foreground, reading `devices`, on its own port. Every
/// process it starts is ended and reaped by `stop`, `kill` or the destructor.
class Gpsd {
public:
    explicit Gpsd(std::vector<std::string> devices, std::string port = freeTcpPort());
    ~Gpsd();
    Gpsd(const Gpsd&) = delete;
    Gpsd& operator=(const Gpsd&) = delete;

    /// Launches gpsd and waits until it has opened its devices and serves clients.
    bool start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// SIGTERM, then reaps it (SIGKILL if it does not end in time).
    void stop();
    /// SIGKILL, then reaps it: a gpsd that dies without a goodbye.
    void kill();
    bool running() const { return pid_ > 0; }

    const std::string& host() const { return host_; }
    const std::string& port() const { return port_; }
    /// What gpsd wrote to its standard error so far, for failure messages.
    std::string log() const;
    /// Waits until gpsd's log holds `needle` `times` times (it logs every client command).
    bool waitForLog(const std::string& needle, std::size_t times = 1,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

    /// Writes `nmea` into `receiver` and waits until gpsd reports, for that device, a TPV for
    /// which `reported` holds. Returns whether it did in time.
    bool feed(FakeReceiver& receiver, const std::string& nmea,
              const std::function<bool(const nlohmann::json& tpv)>& reported,
              std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// `feed`, waiting for a fix at (latitude, longitude).
    bool feedFix(FakeReceiver& receiver, const std::string& nmea, double latitude, double longitude);
    /// `feed` of the recorded receiver that has no fix yet (fixtures/nmea/nofix.nmea), waiting
    /// until gpsd reports it without one.
    bool feedNoFix(FakeReceiver& receiver);

private:
    void reap(int signal);
    void readLog(int fd);

    std::vector<std::string> devices_;
    std::string host_ = "127.0.0.1";
    std::string port_;
    pid_t pid_ = -1;
    std::thread logReader_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::string log_;
    bool logClosed_ = false;
};

/// The latitude and longitude of the first GGA sentence in `nmea`, in degrees.
std::pair<double, double> positionOf(const std::string& nmea);

}  // namespace lumvex::test
