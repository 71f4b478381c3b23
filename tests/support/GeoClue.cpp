#include "GeoClue.h"

#include "Gpsd.h"

#include <systemd/sd-bus.h>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace lumvex::test {

namespace {

using SteadyClock = std::chrono::steady_clock;

const char* const GEOCLUE = "/usr/libexec/geoclue";
const char* const AGENT = "/usr/libexec/geoclue-2.0/demos/agent";

// A system-like bus: default deny, with GeoClue's packaged policy, no activation.
const char* const BUS_CONFIG =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=@DIR@/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Properties"/>
    <allow send_destination="org.freedesktop.DBus" send_interface="org.freedesktop.DBus.Peer"/>
  </policy>
  <include>/etc/dbus-1/system.d/org.freedesktop.GeoClue2.conf</include>
  <include>/etc/dbus-1/system.d/org.freedesktop.GeoClue2.Agent.conf</include>
</busconfig>
)";

// GeoClue 2.6 calls every key of its stock file mandatory. NMEA comes from the feeder's
// socket only; the web source points at a closed port (and the daemon has no network).
// It holds CreateClient until an agent of the caller's user is there: the demo agent.
const char* const GEOCLUE_CONFIG = R"([agent]
whitelist=geoclue-demo-agent

[network-nmea]
enable=true
nmea-socket=@DIR@/nmea.sock

[3g]
enable=false

[cdma]
enable=false

[modem-gps]
enable=false

[wifi]
enable=false
url=http://127.0.0.1:9/geolocate
submit-data=false
submission-url=http://127.0.0.1:9/submit
submission-nick=geoclue

[compass]
enable=false

[lumvex-test-client]
allowed=true
system=true
users=

[lumvex-refused-client]
allowed=false
system=false
users=
)";

std::string replaceDir(std::string text, const std::string& dir) {
    for (auto at = text.find("@DIR@"); at != std::string::npos; at = text.find("@DIR@", at)) {
        text.replace(at, 5, dir);
    }
    return text;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The GGA and RMC sentences of `epoch`, stamped with the current time; GeoClue reads no
// others.
std::string stampedNow(const std::string& epoch, std::chrono::seconds offset) {
    std::istringstream in(harness::restamped(epoch, std::chrono::system_clock::now() + offset));
    std::string out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() > 6 && (line.compare(3, 3, "GGA") == 0 || line.compare(3, 3, "RMC") == 0)) {
            out += line + "\n";  // the line keeps its CR
        }
    }
    return out;
}

/// Starts `argv` with its output and errors appended to `logPath`.
bool spawnLogged(harness::SupervisedProcess& process, const std::vector<std::string>& argv,
                 const std::vector<std::string>& environment, const std::string& logPath) {
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (log < 0) {
        return false;
    }
    std::string error;
    const bool spawned = process.spawn(argv, {-1, log, log}, error, environment);
    if (!spawned) {
        const std::string line = error + "\n";
        [[maybe_unused]] const auto n = ::write(log, line.data(), line.size());
    }
    ::close(log);
    return spawned;
}

}  // namespace

// ---- NmeaFeeder -----------------------------------------------------------------------------

NmeaFeeder::NmeaFeeder(std::string socketPath, std::vector<std::string> epochs)
    : path_(std::move(socketPath)), epochs_(std::move(epochs)) {}

NmeaFeeder::~NmeaFeeder() {
    stop();
}

bool NmeaFeeder::start() {
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (listenFd_ < 0 || wakeFd_ < 0 || path_.size() >= sizeof(addr.sun_path)) {
        return false;
    }
    std::strcpy(addr.sun_path, path_.c_str());
    ::unlink(path_.c_str());
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
}

void NmeaFeeder::stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
        }
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof(one));
        thread_.join();
    }
    for (int* fd : {&listenFd_, &wakeFd_}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

std::vector<std::pair<double, double>> NmeaFeeder::sent() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sent_;
}

void NmeaFeeder::setClockOffset(std::chrono::seconds offset) {
    std::lock_guard<std::mutex> guard(mutex_);
    offset_ = offset;
}

void NmeaFeeder::sendNext(Connection& connection) {
    if (nextEpoch_ < epochs_.size()) {
        const auto text = stampedNow(epochs_[nextEpoch_], [this] {
            std::lock_guard<std::mutex> guard(mutex_);
            return offset_;
        }());
        if (::send(connection.fd, text.data(), text.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(text.size())) {
            std::lock_guard<std::mutex> guard(mutex_);
            sent_.push_back(positionOf(epochs_[nextEpoch_]));
            ++nextEpoch_;
        }
    }
    connection.next = SteadyClock::now() + std::chrono::seconds(1);
}

int NmeaFeeder::timeoutFor(const std::vector<Connection>& connections) {
    int timeout = -1;
    for (const auto& c : connections) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(c.next - SteadyClock::now()).count();
        timeout = timeout < 0 ? static_cast<int>(std::max<long long>(left, 0))
                              : std::min(timeout, static_cast<int>(std::max<long long>(left, 0)));
    }
    return timeout;
}

void NmeaFeeder::run() {
    ::pthread_setname_np(::pthread_self(), THREAD_NAME);
    std::vector<Connection> connections;
    while (true) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (stop_) {
                break;
            }
        }
        std::vector<pollfd> fds = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        for (const auto& c : connections) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), timeoutFor(connections)) < 0 && errno != EINTR) {
            break;
        }
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                connections.push_back({fd, SteadyClock::now()});
                sendNext(connections.back());
            }
        }
        for (std::size_t i = 0; i < connections.size();) {
            const auto revents = i + 2 < fds.size() ? fds[i + 2].revents : 0;
            char buffer[256];
            if ((revents & (POLLHUP | POLLERR)) ||
                ((revents & POLLIN) &&
                 ::recv(connections[i].fd, buffer, sizeof(buffer), MSG_DONTWAIT) <= 0)) {
                ::close(connections[i].fd);
                connections.erase(connections.begin() + static_cast<long>(i));
                fds.erase(fds.begin() + static_cast<long>(i) + 2);
                continue;
            }
            if (SteadyClock::now() >= connections[i].next) {
                sendNext(connections[i]);
            }
            ++i;
        }
    }
    for (const auto& c : connections) {
        ::close(c.fd);
    }
}

// ---- GeoClueService ---------------------------------------------------------------------------

GeoClueService::GeoClueService(std::vector<std::string> epochs) : epochs_(std::move(epochs)) {}

GeoClueService::~GeoClueService() {
    agent_.stop();
    daemon_.stop();
    if (feeder_) {
        feeder_->stop();  // after GeoClue: it gives the socket up for good when it sees EOF
    }
    bus_.stop();
    if (!dir_.empty()) {
        std::system(("rm -rf '" + dir_ + "'").c_str());
    }
}

std::string GeoClueService::logs() const {
    std::string text;
    for (const char* name : {"bus.log", "geoclue.log", "agent.log"}) {
        text += std::string("--- ") + name + "\n" + readFile(dir_ + "/" + name);
    }
    return text;
}

std::string GeoClueService::start() {
    unavailable_ = true;
    if (::geteuid() != 0) {
        return "GeoClue runs in a mount namespace of its own, which needs root";
    }
    for (const char* binary : {GEOCLUE, AGENT, "/usr/bin/dbus-daemon", "/usr/bin/unshare"}) {
        if (::access(binary, X_OK) != 0) {
            return std::string(binary) + " is missing (scripts/install-deps.sh installs it)";
        }
    }
    unavailable_ = false;
    char templ[] = "/tmp/lumvex-geoclue.XXXXXX";
    if (!::mkdtemp(templ)) {
        return std::string("mkdtemp: ") + std::strerror(errno);
    }
    dir_ = templ;
    if (!writeFile(dir_ + "/bus.conf", replaceDir(BUS_CONFIG, dir_)) ||
        !writeFile(dir_ + "/geoclue.conf", replaceDir(GEOCLUE_CONFIG, dir_))) {
        return "cannot write the configuration";
    }
    busAddress_ = "unix:path=" + dir_ + "/system_bus_socket";
    if (auto why = startBus(); !why.empty()) {
        return why;
    }
    // The feeder listens before GeoClue first connects, and stays until GeoClue is gone.
    if (!epochs_.empty()) {
        feeder_ = std::make_unique<NmeaFeeder>(dir_ + "/nmea.sock", epochs_);
        if (!feeder_->start()) {
            return "cannot listen on the NMEA socket";
        }
    }
    if (!startDaemon()) {
        const auto log = readFile(dir_ + "/geoclue.log");
        if (log.find("unshare failed") != std::string::npos ||
            log.find("Operation not permitted") != std::string::npos) {
            unavailable_ = true;
            return "no privilege for a private mount namespace: " + log;
        }
        return "GeoClue did not take its name on the bus\n" + logs();
    }
    if (!spawnLogged(agent_, {AGENT}, {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_}, dir_ + "/agent.log")) {
        return "cannot start the demo agent";
    }
    if (!waitForAgent(AGENT_WAIT)) {
        return "GeoClue did not answer a client within " + std::to_string(AGENT_WAIT.count()) + " s\n" +
               logs();
    }
    return "";
}

std::string GeoClueService::startBus() {
    // The socket's appearance in the directory says the bus is up.
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (watch < 0 || ::inotify_add_watch(watch, dir_.c_str(), IN_CREATE) < 0) {
        return std::string("inotify: ") + std::strerror(errno);
    }
    if (!spawnLogged(bus_, {"/usr/bin/dbus-daemon", "--nofork", "--config-file=" + dir_ + "/bus.conf"}, {},
                     dir_ + "/bus.log")) {
        ::close(watch);
        return "cannot start dbus-daemon";
    }
    const auto deadline = SteadyClock::now() + std::chrono::seconds(10);
    while (::access((dir_ + "/system_bus_socket").c_str(), F_OK) != 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
        if (bus_.exited() || left <= 0) {
            ::close(watch);
            return "dbus-daemon did not come up\n" + logs();
        }
        pollfd pfd{watch, POLLIN, 0};
        // Bounded by a short slice too: the daemon dying creates nothing.
        if (::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 100))) > 0) {
            char events[4096];
            [[maybe_unused]] const auto n = ::read(watch, events, sizeof(events));
        }
    }
    ::close(watch);
    return "";
}

bool GeoClueService::startDaemon() {
    const std::string script =
        "mount --bind \"$1\" /etc/geoclue/geoclue.conf && GSETTINGS_BACKEND=memory exec " +
        std::string(GEOCLUE) + " --timeout=0";
    if (!spawnLogged(daemon_,
                     {"/usr/bin/unshare", "--mount", "--net", "--propagation", "private", "/bin/sh", "-c",
                      script, "sh", dir_ + "/geoclue.conf"},
                     {"DBUS_SYSTEM_BUS_ADDRESS=" + busAddress_}, dir_ + "/geoclue.log")) {
        return false;
    }
    // Started again, GeoClue holds clients until the agent, still running, has registered anew.
    return waitForGeoClue(std::chrono::seconds(10)) && (!agent_.running() || waitForAgent(AGENT_WAIT));
}

void GeoClueService::stopDaemon() {
    daemon_.stop();
}

bool GeoClueService::waitForGeoClue(std::chrono::milliseconds timeout) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        return false;
    }
    sd_bus_set_address(bus, busAddress_.c_str());
    sd_bus_set_bus_client(bus, 1);
    bool ready = false;
    const auto deadline = SteadyClock::now() + timeout;
    // GeoClue taking its name and changing its accuracy level are signals: each one ends
    // the wait below, and the state is read afresh.
    if (sd_bus_start(bus) >= 0 &&
        sd_bus_add_match(bus, nullptr,
                         "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged'", nullptr,
                         nullptr) >= 0 &&
        sd_bus_add_match(
            bus, nullptr,
            "type='signal',interface='org.freedesktop.DBus.Properties',member='PropertiesChanged',"
            "path='/org/freedesktop/GeoClue2/Manager'",
            nullptr, nullptr) >= 0) {
        while (!ready && !daemon_.exited() && SteadyClock::now() < deadline) {
            sd_bus_error error{};  // SD_BUS_ERROR_NULL, which is a C compound literal
            sd_bus_message* reply = nullptr;
            // 8 (exact) means the NMEA source is up; without a feeder, owning the name will do.
            std::uint32_t level = 0;
            if (sd_bus_call_method(bus, "org.freedesktop.GeoClue2", "/org/freedesktop/GeoClue2/Manager",
                                   "org.freedesktop.DBus.Properties", "Get", &error, &reply, "ss",
                                   "org.freedesktop.GeoClue2.Manager", "AvailableAccuracyLevel") >= 0 &&
                sd_bus_message_read(reply, "v", "u", &level) >= 0) {
                ready = feeder_ ? level == 8 : true;
            }
            sd_bus_message_unref(reply);
            sd_bus_error_free(&error);
            if (!ready) {
                while (sd_bus_process(bus, nullptr) > 0) {
                }
                const auto left =
                    std::chrono::duration_cast<std::chrono::microseconds>(deadline - SteadyClock::now());
                // A short slice as well: the daemon dying sends nothing on this bus.
                sd_bus_wait(bus, static_cast<std::uint64_t>(std::clamp<long long>(left.count(), 0, 100000)));
            }
        }
    }
    sd_bus_flush_close_unref(bus);
    return ready;
}

bool GeoClueService::waitForAgent(std::chrono::seconds timeout) {
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0) {
        return false;
    }
    sd_bus_set_address(bus, busAddress_.c_str());
    sd_bus_set_bus_client(bus, 1);
    bool answered = false;
    if (sd_bus_start(bus) >= 0 &&
        sd_bus_set_method_call_timeout(
            bus, static_cast<std::uint64_t>(std::chrono::microseconds(timeout).count())) >= 0) {
        sd_bus_error error{};
        sd_bus_message* reply = nullptr;
        const char* path = nullptr;
        if (sd_bus_call_method(bus, "org.freedesktop.GeoClue2", "/org/freedesktop/GeoClue2/Manager",
                               "org.freedesktop.GeoClue2.Manager", "CreateClient", &error, &reply, "") >= 0 &&
            sd_bus_message_read(reply, "o", &path) >= 0 && path) {
            answered = true;
            sd_bus_error_free(&error);
            // Not needed past this answer: the tests' clients are their own.
            sd_bus_call_method(bus, "org.freedesktop.GeoClue2", "/org/freedesktop/GeoClue2/Manager",
                               "org.freedesktop.GeoClue2.Manager", "DeleteClient", &error, nullptr, "o",
                               path);
        }
        sd_bus_message_unref(reply);
        sd_bus_error_free(&error);
    }
    sd_bus_flush_close_unref(bus);
    return answered;
}

}  // namespace lumvex::test
