#pragma once

// What the demo sets up around the host application: the development collector that
// receives the uploads, and a gpsd that reads a recorded track from a pseudo-terminal as
// if a GPS receiver were plugged in. None of this is part of embedding the library.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace demo {

/// A child process in a process group of its own (so the terminal's Ctrl-C reaches only
/// the demo, which then ends it in its own time). It gets SIGTERM when the demo dies,
/// even when the demo is killed.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    /// Starts `argv`; its stdin, stdout and stderr become `in`, `out` and `err` (-1: /dev/null).
    /// Returns false and sets `error` when it cannot.
    bool spawn(const std::vector<std::string>& argv, int in, int out, int err, std::string& error);
    /// SIGTERM, then SIGKILL if it has not ended within `grace`; reaps it. Returns its
    /// wait status (or -1 when it was not running).
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(3));
    /// Reaps it if it has ended by itself. Returns whether it has.
    bool exited(int* status = nullptr);
    bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

/// Reads a child's output line by line on a thread; every line is handed to `onLine`.
class LineTap {
public:
    LineTap(int fd, std::function<void(const std::string&)> onLine);
    ~LineTap();
    LineTap(const LineTap&) = delete;
    LineTap& operator=(const LineTap&) = delete;

    /// Waits until a line for which `match` holds has been read, or the output ends, or
    /// `timeout` passes. Returns whether such a line came.
    bool waitFor(const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout);
    /// Every line read so far.
    std::vector<std::string> lines() const;
    /// Waits until the output has ended (the writer closed it).
    void join();

private:
    void run();

    int fd_;
    std::function<void(const std::string&)> onLine_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool ended_ = false;
    std::thread thread_;
};

/// `lumvex-collector` on `host:port`, keeping its uploads in `database`.
class CollectorService {
public:
    CollectorService(std::string binary, std::string host, int port, std::string database);
    ~CollectorService();

    /// Starts it and waits until it listens. On failure `error` says why.
    bool start(std::string& error);
    /// Ends it; it prints what its database holds on the way out, and that is returned.
    std::vector<std::string> stop();

private:
    std::string binary_, host_, database_;
    int port_;
    Child child_;
    int lifeline_ = -1;  // its standard input: closing it tells it to end
    std::unique_ptr<LineTap> out_, err_;
    std::size_t linesBeforeStop_ = 0;
};

/// A pseudo-terminal with gpsd reading it, and a thread that writes a recorded NMEA track
/// into it at one epoch a second, stamped with the current time, over and over.
class GpsReplay {
public:
    explicit GpsReplay(std::vector<std::string> epochs);
    ~GpsReplay();

    /// Starts gpsd on a free port of 127.0.0.1 and the replay. On failure `error` says why.
    bool start(std::string& error);
    void stop();
    const std::string& port() const { return port_; }

    /// The epochs of an NMEA log: runs of sentences sharing one time of day. Empty when the
    /// file cannot be read or holds no positions.
    static std::vector<std::string> readTrack(const std::string& path);

private:
    void replay();

    std::vector<std::string> epochs_;
    std::string port_;
    int master_ = -1, slave_ = -1;
    Child gpsd_;
    std::unique_ptr<LineTap> log_;
    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

/// A moment as calendar date and time of day.
struct CivilTime {
    int year, month, day, hour, minute, second;
};

/// `seconds` since 1970 as a date and time without any time zone, by arithmetic alone. The
/// C library's time functions share time-zone state whose lock ThreadSanitizer does not
/// see, and the library resets that state (tzset) on its own thread, so the demo's
/// threads keep away from them.
CivilTime civilTime(long long seconds);

/// Whether something already listens on host:port.
bool portInUse(const std::string& host, int port);

/// A free TCP port on 127.0.0.1, as the system hands one out.
std::string freePort();

}  // namespace demo
