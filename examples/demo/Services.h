#pragma once

// What the demo sets up around the host application: the development collector that
// receives the uploads, and a gpsd that reads a recorded track from a pseudo-terminal as
// if a GPS receiver were plugged in. None of this is part of embedding the library.
//
// Thread guarantees: both services are started and stopped on the main thread, which
// outlives their processes; the collector's upload lines are printed from a thread of its
// own.

#include "FakeReceiver.h"
#include "GpsdProcess.h"
#include "LineTap.h"
#include "SupervisedProcess.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace demo {

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
    lumvex::harness::SupervisedProcess child_;
    int lifeline_ = -1;  // its standard input: closing it tells it to end
    std::unique_ptr<lumvex::harness::LineTap> out_, err_;
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
    const std::string& port() const { return gpsd_.port(); }

private:
    void replay();

    std::vector<std::string> epochs_;
    lumvex::harness::FakeReceiver receiver_;
    lumvex::harness::GpsdProcess gpsd_;
    std::thread writer_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

/// Whether something already listens on host:port.
bool portInUse(const std::string& host, int port);

}  // namespace demo
