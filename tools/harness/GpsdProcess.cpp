#include "GpsdProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lumvex::harness {

namespace {

std::string gpsdBinary() {
    for (const char* candidate : {"/usr/sbin/gpsd", "/usr/local/sbin/gpsd", "/usr/bin/gpsd"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "gpsd";
}

std::size_t occurrences(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace

std::string freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::string port;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = std::to_string(ntohs(address.sin_port));
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

GpsdProcess::GpsdProcess(std::vector<std::string> devices, std::string port)
    : devices_(std::move(devices)), port_(std::move(port)) {}

GpsdProcess::~GpsdProcess() {
    stop();
}

bool GpsdProcess::start(std::string* error, std::chrono::milliseconds timeout) {
    if (running()) {
        return true;
    }
    std::string why;
    int log[2];
    if (::pipe2(log, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
    } else {
        // -N stay in the foreground, -n read the devices before any client asks, -b never
        // write to them, -s a fixed speed (a pseudo-terminal has none to hunt for), -D 3 logs
        // "startup" and every client command.
        std::vector<std::string> argv = {gpsdBinary(), "-N", "-n", "-b", "-s",
                                         "38400",      "-D", "3",  "-S", port_};
        argv.insert(argv.end(), devices_.begin(), devices_.end());
        const bool spawned = process_.spawn(argv, {-1, -1, log[1]}, why);
        ::close(log[1]);
        log_.reset();
        log_ = std::make_unique<LineTap>(log[0], nullptr, "harness-gpsdlog");
        const auto started = [](const std::string& line) {
            return line.find("startup at") != std::string::npos;
        };
        if (spawned && !log_->waitFor(started, timeout)) {
            stop();
            const auto lines = log_->lines();
            why = "gpsd did not start" + (lines.empty() ? std::string() : ": " + lines.back());
        }
    }
    if (!why.empty() && error) {
        *error = why;
    }
    return why.empty();
}

void GpsdProcess::stop() {
    process_.stop(std::chrono::seconds(5));
    if (log_) {
        log_->join();
    }
}

void GpsdProcess::kill() {
    process_.kill();
    if (log_) {
        log_->join();
    }
}

std::string GpsdProcess::log() const {
    std::string text;
    if (log_) {
        for (const auto& line : log_->lines()) {
            text += line + "\n";
        }
    }
    return text;
}

bool GpsdProcess::waitForLog(const std::string& needle, std::size_t times,
                             std::chrono::milliseconds timeout) const {
    std::size_t seen = 0;
    return log_ && log_->waitFor(
                       [&](const std::string& line) {
                           seen += occurrences(line, needle);
                           return seen >= times;
                       },
                       timeout);
}

}  // namespace lumvex::harness
