#include "platform/LocationManager.h"

#include "platform/RunLoop.h"

#include <gps.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

namespace lumvex {
namespace platform {

namespace {

std::atomic<bool> servicesEnabled{true};

struct GpsdAddress {
    std::string host = "localhost";
    std::string port = "2947";
};

// The freshest fix this process obtained from gpsd. Its time is only meaningful on the clock
// that took it, so a fix taken under another clock (a test's virtual one) counts as none.
struct LastFix {
    Location location;
    Clock::TimePoint at;
    std::weak_ptr<Clock> clock;
    bool valid = false;
};

struct ServiceState {
    std::mutex mutex;
    GpsdAddress address;
    LastFix lastFix;
};

ServiceState& service() {
    static auto* state = new ServiceState;
    return *state;
}

GpsdAddress gpsdAddress() {
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.address;
}

void rememberFix(const Location& location) {
    auto clock = platform::clock();
    const auto at = clock->now();
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.lastFix = LastFix{location, at, clock, true};
}

std::optional<Location> freshFix(Clock::TimePoint::duration maximumAge) {
    auto clock = platform::clock();
    const auto now = clock->now();
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    const auto& fix = s.lastFix;
    if (!fix.valid || fix.clock.lock() != clock || now < fix.at) {
        return std::nullopt;
    }
    if (now - fix.at >= maximumAge) {
        return std::nullopt;
    }
    return fix.location;
}

// A fix counts when the receiver has at least a 2D solution and a real position.
std::optional<Location> fixFromTpv(const nlohmann::json& tpv) {
    if (!tpv.is_object()) {
        return std::nullopt;
    }
    const auto mode = tpv.find("mode");
    const auto lat = tpv.find("lat");
    const auto lon = tpv.find("lon");
    if (mode == tpv.end() || !mode->is_number_integer() || mode->get<int>() < MODE_2D) {
        return std::nullopt;
    }
    if (lat == tpv.end() || lon == tpv.end() || !lat->is_number() || !lon->is_number()) {
        return std::nullopt;
    }
    const double latitude = lat->get<double>();
    const double longitude = lon->get<double>();
    if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90.0 ||
        std::fabs(longitude) > 180.0) {
        return std::nullopt;
    }
    Location location;
    location.latitude = latitude;
    location.longitude = longitude;
    return location;
}

std::string describeAddress(const GpsdAddress& address) {
    return address.host + ":" + address.port;
}

using Outcome = std::variant<std::vector<Location>, LocationError>;

}  // namespace

/// The thread that talks to gpsd for one manager. It sleeps on a condition variable between
/// requests and, during one, in poll(2) on the gpsd socket and an eventfd that wakes it when
/// the manager goes away or a virtual clock moves.
class LocationManager::Worker final : public ClockListener,
                                      public std::enable_shared_from_this<LocationManager::Worker> {
public:
    Worker(std::weak_ptr<LocationManager> owner, std::weak_ptr<RunLoopImpl> loop)
        : owner_(std::move(owner)), loop_(std::move(loop)) {
        wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }

    ~Worker() override {
        if (wakeFd_ >= 0) {
            ::close(wakeFd_);
        }
    }

    void start() {
        thread_ = std::thread([self = shared_from_this()] { self->run(); });
    }

    /// Ends the thread; an exchange under way is abandoned.
    void shutdown() {
        bool connecting;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            stop_ = true;
            connecting = connecting_;
            cv_.notify_all();
        }
        wake();
        if (!thread_.joinable()) {
            return;
        }
        if (connecting) {
            // Name lookup and connect cannot be interrupted and may take as long as the network
            // lets them, and the manager may be going away on the engine's queue. The thread
            // owns what it uses and ends by itself once they return.
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    void request(Clock::TimePoint deadline) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (requested_) {
                return;  // the outstanding request answers this one too
            }
            requested_ = true;
            deadline_ = deadline;
            cv_.notify_all();
        }
        // A virtual clock tells its listeners when it moves; that is how the deadline is seen
        // without the clock's time passing in reality. A wait that is already satisfied
        // registers the listener and returns at once.
        std::mutex m;
        std::condition_variable cv;
        std::unique_lock<std::mutex> lock(m);
        platform::clock()->waitUntil(
            lock, cv, Clock::TimePoint::min(), [] { return true; },
            std::weak_ptr<ClockListener>(shared_from_this()));
    }

    void clockAdvanced() override { wake(); }

private:
    void wake() {
        if (wakeFd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof(one));
        }
    }

    void clearWake() {
        std::uint64_t value = 0;
        [[maybe_unused]] const auto n = ::read(wakeFd_, &value, sizeof(value));
    }

    bool stopping() {
        std::lock_guard<std::mutex> guard(mutex_);
        return stop_;
    }

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            cv_.wait(lock, [this] { return stop_ || requested_; });
            if (stop_) {
                return;
            }
            const auto deadline = deadline_;
            lock.unlock();
            auto outcome = exchange(gpsdAddress(), deadline);
            lock.lock();
            requested_ = false;
            if (stop_ || !outcome) {
                return;
            }
            deliver(std::move(*outcome));
        }
    }

    void deliver(Outcome outcome) {
        if (auto* fixes = std::get_if<std::vector<Location>>(&outcome)) {
            rememberFix(fixes->front());
        }
        auto loop = loop_.lock();
        if (!loop) {
            return;  // the thread that made the manager has ended
        }
        loop->post([owner = owner_, outcome = std::move(outcome)] {
            auto manager = owner.lock();
            if (!manager) {
                return;
            }
            auto delegate = manager->delegate();
            if (!delegate) {
                return;
            }
            if (const auto* fixes = std::get_if<std::vector<Location>>(&outcome)) {
                delegate->didUpdateLocations(*manager, *fixes);
            } else {
                delegate->didFailWithError(*manager, std::get<LocationError>(outcome));
            }
        });
    }

    static bool sendCommand(int fd, const std::string& command) {
        // send(2) with MSG_NOSIGNAL: a gpsd that has just gone away must not raise SIGPIPE in
        // the host's process.
        const auto n = ::send(fd, command.data(), command.size(), MSG_NOSIGNAL);
        return n == static_cast<ssize_t>(command.size());
    }

    /// One conversation with gpsd; nothing when the manager went away meanwhile.
    std::optional<Outcome> exchange(const GpsdAddress& address, Clock::TimePoint deadline) {
        const auto where = describeAddress(address);
        gps_data_t data{};
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (stop_) {
                return std::nullopt;
            }
            connecting_ = true;
        }
        const int opened = ::gps_open(address.host.c_str(), address.port.c_str(), &data);
        const int openError = errno;
        {
            std::lock_guard<std::mutex> guard(mutex_);
            connecting_ = false;
        }
        if (opened != 0) {
            return Outcome(
                LocationError{LocationError::Code::SERVICE_UNREACHABLE,
                              "Cannot connect to gpsd at " + where + ": " + ::gps_errstr(openError)});
        }
        auto outcome = converse(data, where, deadline);
        ::gps_close(&data);
        return outcome;
    }

    std::optional<Outcome> converse(gps_data_t& data, const std::string& where, Clock::TimePoint deadline) {
        const int fd = data.gps_fd;
        const auto lost = [&where] {
            return Outcome(LocationError{LocationError::Code::CONNECTION_LOST,
                                         "Lost the connection to gpsd at " + where});
        };
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            return lost();
        }
        // Watching without reports makes gpsd activate its receivers; the poll then answers
        // at once with the fix each of them holds. Reports are streamed only when none has one.
        if (!sendCommand(fd, "?WATCH={\"enable\":true};?POLL;\n")) {
            return lost();
        }
        bool streaming = false;
        // What one message from gpsd settles: a fix, a lost connection, or nothing yet.
        const auto handle = [&](const char* text) -> std::optional<Outcome> {
            const auto json = nlohmann::json::parse(text, nullptr, false);
            if (!json.is_object()) {
                return std::nullopt;
            }
            const auto cls = json.value("class", std::string());
            if (cls == "POLL") {
                std::vector<Location> fixes;
                if (const auto tpv = json.find("tpv"); tpv != json.end() && tpv->is_array()) {
                    for (const auto& report : *tpv) {
                        if (auto fix = fixFromTpv(report)) {
                            fixes.push_back(*fix);
                        }
                    }
                }
                if (!fixes.empty()) {
                    return Outcome(std::move(fixes));
                }
                if (!streaming) {
                    // The second poll covers a fix that came in before the reports began.
                    if (!sendCommand(fd, "?WATCH={\"enable\":true,\"json\":true};?POLL;\n")) {
                        return lost();
                    }
                    streaming = true;
                }
            } else if (cls == "TPV" && streaming) {
                if (auto fix = fixFromTpv(json)) {
                    return Outcome(std::vector<Location>{*fix});
                }
            }
            return std::nullopt;
        };
        std::vector<char> message(16 * 1024);
        while (true) {
            int n;
            while ((n = ::gps_read(&data, message.data(), static_cast<int>(message.size()))) > 0) {
                if (auto outcome = handle(message.data())) {
                    return outcome;
                }
                if (platform::clock()->now() >= deadline) {
                    break;  // a chatty gpsd must not stretch the request past its time
                }
            }
            if (n < 0) {
                return lost();
            }
            if (stopping()) {
                return std::nullopt;
            }
            const auto now = platform::clock()->now();
            if (now >= deadline) {
                return Outcome(LocationError{LocationError::Code::LOCATION_UNKNOWN,
                                             "No location fix from gpsd at " + where + " in time"});
            }
            const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
            const int timeout = static_cast<int>(std::min<long long>(remaining, INT_MAX));
            pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
            const int ready = ::poll(fds, 2, timeout);
            if (ready < 0 && errno != EINTR) {
                return lost();
            }
            if (ready > 0 && (fds[1].revents & POLLIN)) {
                clearWake();
            }
            if (ready > 0 && (fds[0].revents & (POLLERR | POLLNVAL))) {
                return lost();
            }
        }
    }

    const std::weak_ptr<LocationManager> owner_;
    const std::weak_ptr<RunLoopImpl> loop_;
    int wakeFd_ = -1;
    std::thread thread_;

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool requested_ = false;
    bool connecting_ = false;  // inside gps_open
    Clock::TimePoint deadline_{};
};

bool LocationManager::locationServicesEnabled() {
    return servicesEnabled.load();
}

LocationManager::LocationManager() : loop_(detail::RunLoopAccess::current()) {}

LocationManager::~LocationManager() {
    if (worker_) {
        worker_->shutdown();
    }
}

void LocationManager::setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) {
    std::lock_guard<std::mutex> guard(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<LocationManagerDelegate> LocationManager::delegate() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return delegate_.lock();
}

void LocationManager::setDesiredAccuracy(double metres) {
    std::lock_guard<std::mutex> guard(mutex_);
    desiredAccuracy_ = metres;
}

double LocationManager::desiredAccuracy() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return desiredAccuracy_;
}

void LocationManager::setMaximumFixAge(Clock::TimePoint::duration age) {
    std::lock_guard<std::mutex> guard(mutex_);
    maximumFixAge_ = age;
}

Clock::TimePoint::duration LocationManager::maximumFixAge() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return maximumFixAge_;
}

void LocationManager::setRequestTimeout(Clock::TimePoint::duration timeout) {
    std::lock_guard<std::mutex> guard(mutex_);
    requestTimeout_ = timeout;
}

std::optional<Location> LocationManager::location() const {
    if (!locationServicesEnabled()) {
        return std::nullopt;
    }
    return freshFix(maximumFixAge());
}

void LocationManager::postFailure(LocationError error) {
    // Reported like any other outcome: later, on the manager's run loop.
    if (auto loop = loop_.lock()) {
        loop->post([owner = weak_from_this(), error = std::move(error)] {
            auto manager = owner.lock();
            if (!manager) {
                return;
            }
            if (auto delegate = manager->delegate()) {
                delegate->didFailWithError(*manager, error);
            }
        });
    }
}

void LocationManager::requestLocation() {
    if (!locationServicesEnabled()) {
        postFailure(LocationError{LocationError::Code::SERVICES_DISABLED, "Location services are disabled"});
        return;
    }
    std::shared_ptr<Worker> worker;
    Clock::TimePoint deadline;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!worker_) {
            auto created = std::make_shared<Worker>(weak_from_this(), loop_);
            try {
                created->start();
            } catch (const std::system_error& e) {
                postFailure(LocationError{LocationError::Code::SERVICE_UNREACHABLE,
                                          std::string("Cannot start talking to gpsd: ") + e.what()});
                return;
            }
            worker_ = std::move(created);
        }
        worker = worker_;
        deadline = platform::clock()->now() + requestTimeout_;
    }
    worker->request(deadline);
}

void setLocationServicesEnabled(bool enabled) {
    servicesEnabled.store(enabled);
}

void useGpsd(const std::string& host, const std::string& port) {
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.address = GpsdAddress{host, port};
    // A fix from another gpsd is not what this one holds.
    s.lastFix = LastFix{};
}

}  // namespace platform
}  // namespace lumvex
