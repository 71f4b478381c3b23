#include "Gpsd.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern char** environ;

namespace lumvex::test {

namespace {

using SteadyClock = std::chrono::steady_clock;

int remainingMs(SteadyClock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

std::string gpsdBinary() {
    for (const char* candidate : {"/usr/sbin/gpsd", "/usr/local/sbin/gpsd", "/usr/bin/gpsd"}) {
        if (::access(candidate, X_OK) == 0) {
            return candidate;
        }
    }
    return "gpsd";
}

// A line-oriented client connection to gpsd, with deadlines on every read.
class Client {
public:
    Client(const std::string& host, const std::string& port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
        ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr);
        if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Client() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool ok() const { return fd_ >= 0; }
    bool send(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    }
    /// The next JSON object gpsd sends, or null when none comes before `deadline`.
    nlohmann::json next(SteadyClock::time_point deadline) {
        while (true) {
            const auto eol = buffer_.find('\n');
            if (eol != std::string::npos) {
                auto line = buffer_.substr(0, eol);
                buffer_.erase(0, eol + 1);
                auto json = nlohmann::json::parse(line, nullptr, false);
                if (json.is_object()) {
                    return json;
                }
                continue;
            }
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, remainingMs(deadline)) <= 0) {
                return nullptr;
            }
            char chunk[4096];
            const auto n = ::recv(fd_, chunk, sizeof(chunk), 0);
            if (n <= 0) {
                return nullptr;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_ = -1;
    std::string buffer_;
};

double nmeaDegrees(const std::string& value, const std::string& hemisphere, int degreeDigits) {
    const double degrees = std::stod(value.substr(0, static_cast<std::size_t>(degreeDigits)));
    const double minutes = std::stod(value.substr(static_cast<std::size_t>(degreeDigits)));
    const double result = degrees + minutes / 60.0;
    return (hemisphere == "S" || hemisphere == "W") ? -result : result;
}

std::vector<std::string> fields(const std::string& sentence) {
    std::vector<std::string> out;
    std::string body = sentence.substr(0, sentence.find('*'));
    std::stringstream in(body);
    std::string field;
    while (std::getline(in, field, ',')) {
        out.push_back(field);
    }
    if (!body.empty() && body.back() == ',') {
        out.emplace_back();
    }
    return out;
}

}  // namespace

FakeReceiver::FakeReceiver() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        return;
    }
    char name[128];
    if (::ptsname_r(master_, name, sizeof(name)) != 0) {
        return;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ >= 0) {
        termios raw{};
        if (::tcgetattr(slave_, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(slave_, TCSANOW, &raw);
        }
    }
}

FakeReceiver::~FakeReceiver() {
    if (slave_ >= 0) {
        ::close(slave_);
    }
    if (master_ >= 0) {
        ::close(master_);
    }
}

bool FakeReceiver::write(const std::string& nmea) {
    std::size_t done = 0;
    while (done < nmea.size()) {
        const auto n = ::write(master_, nmea.data() + done, nmea.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::vector<std::string> readNmeaEpochs(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> epochs;
    std::string line;
    std::string lastTime;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] != '$') {
            continue;
        }
        // Sentences without a time of day (GSA, GSV) belong to the epoch they follow.
        const auto f = fields(line);
        const std::string type = line.size() > 6 ? line.substr(3, 3) : "";
        const bool timed = (type == "GGA" || type == "RMC" || type == "ZDA") && f.size() > 1;
        if (epochs.empty() || (timed && f[1] != lastTime)) {
            epochs.emplace_back();
        }
        if (timed) {
            lastTime = f[1];
        }
        epochs.back() += line + "\r\n";
    }
    return epochs;
}

std::pair<double, double> positionOf(const std::string& nmea) {
    std::stringstream in(nmea);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > 6 && line.compare(3, 3, "GGA") == 0) {
            const auto f = fields(line);
            if (f.size() > 5 && !f[2].empty() && !f[4].empty()) {
                return {nmeaDegrees(f[2], f[3], 2), nmeaDegrees(f[4], f[5], 3)};
            }
        }
    }
    return {NAN, NAN};
}

std::string freeTcpPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    std::string port;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = std::to_string(ntohs(addr.sin_port));
    }
    ::close(fd);
    return port;
}

Gpsd::Gpsd(std::vector<std::string> devices, std::string port)
    : devices_(std::move(devices)), port_(std::move(port)) {}

Gpsd::~Gpsd() {
    stop();
}

bool Gpsd::start(std::chrono::milliseconds timeout) {
    if (running()) {
        return true;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return false;
    }
    // -N foreground, -n open the devices without waiting for a client, -b never write to
    // them, -s a fixed speed (no baud hunting on a pseudo-terminal), -D 3 logs "startup".
    std::vector<std::string> args = {gpsdBinary(), "-N", "-n", "-b", "-s", "38400", "-D", "3", "-S", port_};
    args.insert(args.end(), devices_.begin(), devices_.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    const int rc = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(pipeFds[0]);
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        log_.clear();
        logClosed_ = false;
    }
    logReader_ = std::thread([this, fd = pipeFds[0]] { readLog(fd); });

    std::unique_lock<std::mutex> lock(mutex_);
    const bool ready = cv_.wait_for(
        lock, timeout, [this] { return logClosed_ || log_.find("startup at") != std::string::npos; });
    const bool ok = ready && !logClosed_;
    lock.unlock();
    if (!ok) {
        stop();
    }
    return ok;
}

void Gpsd::readLog(int fd) {
    // Named so that measurements of the library's threads can leave it out.
    ::pthread_setname_np(::pthread_self(), "harness-gpsdlog");
    char chunk[4096];
    while (true) {
        const auto n = ::read(fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard<std::mutex> guard(mutex_);
        if (n <= 0) {
            logClosed_ = true;
            cv_.notify_all();
            break;
        }
        log_.append(chunk, static_cast<std::size_t>(n));
        cv_.notify_all();
    }
    ::close(fd);
}

std::string Gpsd::log() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return log_;
}

bool Gpsd::waitForLog(const std::string& needle, std::size_t times, std::chrono::milliseconds timeout) {
    const auto count = [&] {
        std::size_t n = 0;
        for (auto at = log_.find(needle); at != std::string::npos; at = log_.find(needle, at + 1)) {
            ++n;
        }
        return n;
    };
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return count() >= times || logClosed_; }) && count() >= times;
}

void Gpsd::stop() {
    reap(SIGTERM);
}

void Gpsd::kill() {
    reap(SIGKILL);
}

void Gpsd::reap(int signal) {
    if (pid_ > 0) {
        const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
        ::kill(pid_, signal);
        bool exited = false;
        if (pidfd >= 0) {
            pollfd pfd{pidfd, POLLIN, 0};
            exited = ::poll(&pfd, 1, 5000) > 0;
            ::close(pidfd);
        }
        if (!exited) {
            ::kill(pid_, SIGKILL);
        }
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }
    if (logReader_.joinable()) {
        logReader_.join();
    }
}

bool Gpsd::feed(FakeReceiver& receiver, const std::string& nmea,
                const std::function<bool(const nlohmann::json& tpv)>& reported,
                std::chrono::milliseconds timeout) {
    const auto deadline = SteadyClock::now() + timeout;
    Client client(host_, port_);
    if (!client.ok() || !client.send("?WATCH={\"enable\":true,\"json\":true};\n")) {
        return false;
    }
    // Only once gpsd confirms the watch will it pass on what the receiver says next.
    while (true) {
        const auto message = client.next(deadline);
        if (message.is_null()) {
            return false;
        }
        if (message.value("class", "") == "WATCH") {
            break;
        }
    }
    if (!receiver.write(nmea)) {
        return false;
    }
    while (true) {
        const auto message = client.next(deadline);
        if (message.is_null()) {
            return false;
        }
        if (message.value("class", "") == "TPV" && message.value("device", "") == receiver.devicePath() &&
            reported(message)) {
            return true;
        }
    }
}

bool Gpsd::feedFix(FakeReceiver& receiver, const std::string& nmea, double latitude, double longitude) {
    return feed(receiver, nmea, [&](const nlohmann::json& tpv) {
        return tpv.value("mode", 0) >= 2 && std::fabs(tpv.value("lat", 1000.0) - latitude) < 1e-7 &&
               std::fabs(tpv.value("lon", 1000.0) - longitude) < 1e-7;
    });
}

bool Gpsd::feedNoFix(FakeReceiver& receiver) {
    static const auto nofix = readNmeaEpochs(LUMVEX_TEST_FIXTURES "/nmea/nofix.nmea");
    return nofix.size() >= 2 && feed(receiver, nofix[0] + nofix[1],
                                     [](const nlohmann::json& tpv) { return tpv.value("mode", 0) == 1; });
}

}  // namespace lumvex::test
