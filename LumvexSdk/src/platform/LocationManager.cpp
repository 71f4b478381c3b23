#include "platform/LocationManager.h"

#include "L.h"
#include "platform/GeoClue.h"
#include "platform/RunLoop.h"
#include "platform/Thread.h"

#include <gps.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
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

enum class Source { AUTOMATIC, GPSD, GEOCLUE };

// The freshest fix this process obtained from the location service. Its receipt time is only
// meaningful on the clock that took it, so a fix taken under another clock (a test's virtual
// one) counts as none.
struct LastFix {
    Location location;
    Clock::TimePoint at;
    std::weak_ptr<Clock> clock;
    // When the receiver measured it, if the service said; a fix can be much older than its
    // receipt when a request waited long for it.
    std::optional<Clock::WallTime> takenAt;
    Clock::WallTime receivedAt{};  // calendar time of receipt
    std::uint64_t serial = 0;
    bool valid = false;
};

struct ServiceState {
    std::mutex mutex;
    Source source = Source::AUTOMATIC;
    GpsdAddress address;
    std::string desktopId;
    bool announced = false;  // the source in use has been named in the log
    LastFix lastFix;
    std::uint64_t serials = 0;
};

ServiceState& service() {
    static auto* state = new ServiceState;
    return *state;
}

/// Records a fix and returns its serial. A fix that repeats the last one is the same fix: it
/// keeps its serial and its age. It repeats it when it is at the same place and was measured
/// at the same time, or, when the last one came without its time (gpsd's first report of a
/// fix may lack the date), before the last one was received.
std::uint64_t rememberFix(const Location& location, std::optional<Clock::WallTime> takenAt) {
    auto clock = platform::clock();
    const auto at = clock->now();
    const auto wallNow = clock->wallNow();
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    auto& last = s.lastFix;
    const bool samePlace = last.valid && last.clock.lock() == clock &&
                           last.location.latitude == location.latitude &&
                           last.location.longitude == location.longitude;
    if (samePlace && takenAt && (last.takenAt ? *last.takenAt == *takenAt : *takenAt <= last.receivedAt)) {
        if (!last.takenAt) {
            last.takenAt = takenAt;
        }
        return last.serial;
    }
    s.lastFix = LastFix{location, at, clock, takenAt, wallNow, ++s.serials, true};
    return s.lastFix.serial;
}

std::optional<LocationManager::Fix> freshFix(Clock::TimePoint::duration maximumAge) {
    auto clock = platform::clock();
    const auto now = clock->now();
    const auto wallNow = clock->wallNow();
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    const auto& fix = s.lastFix;
    if (!fix.valid || fix.clock.lock() != clock || now < fix.at) {
        return std::nullopt;
    }
    auto age = now - fix.at;
    // The measurement's own time counts where it is plausible; a receiver whose calendar is
    // ahead of ours says nothing about the fix's age.
    if (fix.takenAt && *fix.takenAt <= wallNow) {
        age = std::max<Clock::TimePoint::duration>(
            age, std::chrono::duration_cast<Clock::TimePoint::duration>(wallNow - *fix.takenAt));
    }
    if (age >= maximumAge) {
        return std::nullopt;
    }
    return LocationManager::Fix{fix.location, fix.serial};
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian), by arithmetic alone: the C
// library's calendar functions share time-zone state with the host.
long long daysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

// gpsd's "time": ISO 8601 in UTC, e.g. "2024-06-15T09:30:00.000Z".
std::optional<Clock::WallTime> timeFromTpv(const nlohmann::json& tpv) {
    const auto time = tpv.find("time");
    if (time == tpv.end() || !time->is_string()) {
        return std::nullopt;
    }
    const auto& text = time->get_ref<const std::string&>();
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%lf", &year, &month, &day, &hour, &minute, &second) !=
            6 ||
        month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || !(second >= 0) ||
        second >= 61) {
        return std::nullopt;
    }
    const long long days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const auto micros = static_cast<long long>(std::llround(second * 1e6)) +
                        ((days * 24 + hour) * 60 + minute) * 60LL * 1000000LL;
    return Clock::WallTime(
        std::chrono::duration_cast<Clock::WallTime::duration>(std::chrono::microseconds(micros)));
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

// What a request delivers: the fixes, with the measurement time of the first if known.
struct Fixes {
    std::vector<Location> locations;
    std::optional<Clock::WallTime> takenAt;
};

using Outcome = std::variant<Fixes, LocationError>;

// What one gpsd request may read before it gives up on a gpsd that floods it. A request
// normally reads a few kilobytes: the greeting, the device list and a poll answer, plus a
// report or two a second from each receiver while it waits for a fix.
constexpr std::size_t MAX_GPSD_BYTES_PER_REQUEST = 256 * 1024;

// Where the location thread gets its fixes, and the name the log gives it.
struct Choice {
    Source source;
    GpsdAddress address;
    std::string desktopId;
};

std::string executableName() {
    char path[4096];
    const auto n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0) {
        return "lumvex";
    }
    std::string text(path, static_cast<std::size_t>(n));
    return text.substr(text.rfind('/') + 1);
}

/// Settles the automatic choice the first time a request needs it: GeoClue when the system
/// bus offers it, as on phones and desktops, else gpsd at its default address.
Choice currentChoice() {
    auto& s = service();
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.source != Source::AUTOMATIC) {
            return Choice{s.source, s.address, s.desktopId};
        }
    }
    const bool geoClue = geoClueOffered(std::chrono::seconds(1));
    std::lock_guard<std::mutex> guard(s.mutex);
    if (s.source == Source::AUTOMATIC) {  // unless the host chose meanwhile
        s.source = geoClue ? Source::GEOCLUE : Source::GPSD;
        if (geoClue && s.desktopId.empty()) {
            s.desktopId = executableName();
        }
    }
    return Choice{s.source, s.address, s.desktopId};
}

void announce(const Choice& choice) {
    auto& s = service();
    {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (s.announced) {
            return;
        }
        s.announced = true;
    }
    if (choice.source == Source::GEOCLUE) {
        LUMVEX_LOG("requestLocation()", "Location source: GeoClue, as \"" + choice.desktopId + "\"");
    } else {
        LUMVEX_LOG("requestLocation()", "Location source: gpsd at " + describeAddress(choice.address));
    }
}

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
        thread_ = Thread([self = shared_from_this()] { self->run(); });
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

    void request(Clock::TimePoint deadline, double accuracy) {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            if (requested_) {
                return;  // the outstanding request answers this one too
            }
            requested_ = true;
            deadline_ = deadline;
            accuracy_ = accuracy;
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
        // So that a host's debugger, top -H and crash reports tell whose thread this is.
        ::pthread_setname_np(::pthread_self(), "lumvex-gps");
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            cv_.wait(lock, [this] { return stop_ || requested_; });
            if (stop_) {
                return;
            }
            const auto deadline = deadline_;
            const auto accuracy = accuracy_;
            lock.unlock();
            const auto choice = currentChoice();
            announce(choice);
            auto outcome = choice.source == Source::GEOCLUE ? askGeoClue(choice.desktopId, accuracy, deadline)
                                                            : exchange(choice.address, deadline);
            lock.lock();
            requested_ = false;
            if (stop_ || !outcome) {
                return;
            }
            deliver(std::move(*outcome));
        }
    }

    void deliver(Outcome outcome) {
        std::uint64_t serial = 0;
        if (auto* fixes = std::get_if<Fixes>(&outcome)) {
            serial = rememberFix(fixes->locations.front(), fixes->takenAt);
        }
        auto loop = loop_.lock();
        if (!loop) {
            return;  // the thread that made the manager has ended
        }
        loop->post([owner = owner_, outcome = std::move(outcome), serial] {
            auto manager = owner.lock();
            if (!manager) {
                return;
            }
            auto delegate = manager->delegate();
            if (!delegate) {
                return;
            }
            if (const auto* fixes = std::get_if<Fixes>(&outcome)) {
                manager->setDeliveredSerial(serial);
                delegate->didUpdateLocations(*manager, fixes->locations);
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

    /// One request to GeoClue; nothing when the manager went away meanwhile.
    std::optional<Outcome> askGeoClue(const std::string& desktopId, double accuracy,
                                      Clock::TimePoint deadline) {
        const auto level = geoClueAccuracyLevel(accuracy);
        auto result = requestGeoClueFix(desktopId, level, lastGeoClueFix_, deadline, wakeFd_,
                                        [this] { return stopping(); });
        if (result.abandoned) {
            return std::nullopt;
        }
        if (result.fix) {
            lastGeoClueFix_ = result.fix->takenAtMicros;
            Fixes fixes{{result.fix->location}, std::nullopt};
            if (result.fix->takenAtMicros != 0) {
                fixes.takenAt = Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
                    std::chrono::microseconds(result.fix->takenAtMicros)));
            }
            return Outcome(std::move(fixes));
        }
        const auto& failure = *result.failure;
        LocationError::Code code = LocationError::Code::CONNECTION_LOST;
        switch (failure.kind) {
            case GeoClueFailure::Kind::REFUSED:
                code = LocationError::Code::SERVICES_DISABLED;
                break;
            case GeoClueFailure::Kind::UNREACHABLE:
                code = LocationError::Code::SERVICE_UNREACHABLE;
                break;
            case GeoClueFailure::Kind::LOST:
                code = LocationError::Code::CONNECTION_LOST;
                break;
            case GeoClueFailure::Kind::NO_FIX:
                code = LocationError::Code::LOCATION_UNKNOWN;
                break;
        }
        return Outcome(LocationError{code, failure.description});
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
                Fixes fixes;
                if (const auto tpv = json.find("tpv"); tpv != json.end() && tpv->is_array()) {
                    for (const auto& report : *tpv) {
                        if (auto fix = fixFromTpv(report)) {
                            if (fixes.locations.empty()) {
                                fixes.takenAt = timeFromTpv(report);
                            }
                            fixes.locations.push_back(*fix);
                        }
                    }
                }
                if (!fixes.locations.empty()) {
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
                    return Outcome(Fixes{{*fix}, timeFromTpv(json)});
                }
            }
            return std::nullopt;
        };
        std::vector<char> message(16 * 1024);
        std::size_t read = 0;
        while (true) {
            int n;
            while ((n = ::gps_read(&data, message.data(), static_cast<int>(message.size()))) > 0) {
                read += static_cast<std::size_t>(n);
                if (read > MAX_GPSD_BYTES_PER_REQUEST) {
                    return Outcome(LocationError{LocationError::Code::CONNECTION_LOST,
                                                 "gpsd at " + where + " sent more than " +
                                                     std::to_string(MAX_GPSD_BYTES_PER_REQUEST / 1024) +
                                                     " KB without a fix"});
                }
                // Only polls and position reports can settle a request; the rest (sky views,
                // device lists, errors) is skipped without parsing it.
                const bool settles = std::strstr(message.data(), "\"class\":\"POLL\"") != nullptr ||
                                     std::strstr(message.data(), "\"class\":\"TPV\"") != nullptr;
                if (settles) {
                    if (auto outcome = handle(message.data())) {
                        return outcome;
                    }
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
    Thread thread_;

    std::mutex mutex_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool requested_ = false;
    bool connecting_ = false;  // inside gps_open
    Clock::TimePoint deadline_{};
    double accuracy_ = LocationManager::ACCURACY_BEST;

    // Only the worker's thread touches it: the measurement time of the last GeoClue fix.
    std::uint64_t lastGeoClueFix_ = 0;
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
    if (auto fix = recentFix()) {
        return fix->location;
    }
    return std::nullopt;
}

std::optional<LocationManager::Fix> LocationManager::recentFix() const {
    if (!locationServicesEnabled()) {
        return std::nullopt;
    }
    return freshFix(maximumFixAge());
}

void LocationManager::setDeliveredSerial(std::uint64_t serial) {
    std::lock_guard<std::mutex> guard(mutex_);
    deliveredSerial_ = serial;
    ++deliveries_;
}

std::uint64_t LocationManager::deliveredSerial() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return deliveredSerial_;
}

std::uint64_t LocationManager::deliveries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return deliveries_;
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
    double accuracy;
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
        accuracy = desiredAccuracy_;
    }
    worker->request(deadline, accuracy);
}

void setLocationServicesEnabled(bool enabled) {
    servicesEnabled.store(enabled);
}

void useGpsd(const std::string& host, const std::string& port) {
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.source = Source::GPSD;
    s.address = GpsdAddress{host, port};
    s.announced = false;
    // A fix from another gpsd is not what this one holds.
    s.lastFix = LastFix{};
}

void chooseLocationSourceAutomatically() {
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.source = Source::AUTOMATIC;
    s.address = GpsdAddress{};
    s.desktopId.clear();
    s.announced = false;
    s.lastFix = LastFix{};
}

void useGeoClue(std::string desktopId) {
    auto& s = service();
    std::lock_guard<std::mutex> guard(s.mutex);
    s.source = Source::GEOCLUE;
    s.desktopId = desktopId.empty() ? executableName() : std::move(desktopId);
    s.announced = false;
    s.lastFix = LastFix{};
}

}  // namespace platform
}  // namespace lumvex
