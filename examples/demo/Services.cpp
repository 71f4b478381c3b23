#include "Services.h"

#include "Nmea.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace demo {

// ---- CollectorService -------------------------------------------------------------------

CollectorService::CollectorService(std::string binary, std::string host, int port, std::string database)
    : binary_(std::move(binary)), host_(std::move(host)), database_(std::move(database)), port_(port) {}

CollectorService::~CollectorService() {
    stop();
}

bool CollectorService::start(std::string& error) {
    int out[2], err[2], in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    const bool spawned = child_.spawn({binary_, "--host", host_, "--port", std::to_string(port_), "--db",
                                       database_, "--until-stdin-closes"},
                                      {in[0], out[1], err[1]}, error);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    lifeline_ = in[1];
    out_ = std::make_unique<lumvex::harness::LineTap>(out[0], [](const std::string& line) {
        // Each upload as it arrives; the summary at the end is printed by the demo.
        if (line.rfind("upload #", 0) == 0 || line.rfind("rejected", 0) == 0) {
            std::printf("[collector] %s\n", line.c_str());
            std::fflush(stdout);
        }
    });
    err_ = std::make_unique<lumvex::harness::LineTap>(err[0], nullptr);
    if (!spawned) {
        return false;
    }
    const bool listening = out_->waitFor(
        [](const std::string& line) { return line.rfind("lumvex-collector listening on", 0) == 0; },
        std::chrono::seconds(10));
    if (!listening) {
        stop();
        const auto complaints = err_->lines();
        error = complaints.empty() ? "it did not start listening within 10 seconds" : complaints.front();
        return false;
    }
    linesBeforeStop_ = out_->lines().size();
    return true;
}

std::vector<std::string> CollectorService::stop() {
    if (!child_.running()) {
        return {};
    }
    // The collector ends by itself once its input closes; the signal is the fallback.
    ::close(lifeline_);
    lifeline_ = -1;
    child_.stop(std::chrono::seconds(5));
    out_->join();
    err_->join();
    const auto all = out_->lines();
    std::vector<std::string> tail;
    for (std::size_t i = linesBeforeStop_; i < all.size(); ++i) {
        if (all[i].rfind("upload #", 0) != 0 && all[i].rfind("rejected", 0) != 0) {
            tail.push_back(all[i]);
        }
    }
    return tail;
}

// ---- GpsReplay --------------------------------------------------------------------------

GpsReplay::GpsReplay(std::vector<std::string> epochs)
    : epochs_(std::move(epochs)), gpsd_({receiver_.devicePath()}) {}

GpsReplay::~GpsReplay() {
    stop();
}

bool GpsReplay::start(std::string& error) {
    if (!receiver_.error().empty()) {
        error = receiver_.error();
        return false;
    }
    if (!gpsd_.start(&error)) {
        return false;
    }
    writer_ = std::thread([this] { replay(); });
    return true;
}

void GpsReplay::replay() {
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    for (std::size_t i = 0; !stopping_; i = (i + 1) % epochs_.size()) {
        const std::string out = lumvex::harness::restamped(epochs_[i], std::chrono::system_clock::now());
        lock.unlock();
        receiver_.write(out);
        lock.lock();
        next += std::chrono::seconds(1);
        wake_.wait_until(lock, next, [this] { return stopping_; });
    }
}

void GpsReplay::stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (writer_.joinable()) {
        writer_.join();
    }
    gpsd_.stop();
}

// ---- ports ------------------------------------------------------------------------------

bool portInUse(const std::string& host, int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
        ::close(fd);
        return false;
    }
    // A listener answers. (Connections that linger in TIME_WAIT do not count: the
    // collector binds over them.)
    const bool busy = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return busy;
}

}  // namespace demo
