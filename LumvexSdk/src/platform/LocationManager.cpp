#include "platform/LocationManager.h"

#include "L.h"
#include "platform/GeoClue.h"
#include "platform/GpsdSession.h"
#include "platform/NoDestructor.h"
#include "platform/RunLoop.h"
#include "platform/Thread.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <iterator>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

namespace lumvex {
namespace platform {

namespace {

std::atomic<bool> servicesEnabled{true};

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
    Mutex mutex;
    Source source LUMVEX_GUARDED_BY(mutex) = Source::AUTOMATIC;
    GpsdAddress address LUMVEX_GUARDED_BY(mutex);
    std::string desktopId LUMVEX_GUARDED_BY(mutex);
    bool announced LUMVEX_GUARDED_BY(mutex) = false;  // the source in use has been named in the log
    LastFix lastFix LUMVEX_GUARDED_BY(mutex);
    std::uint64_t serials LUMVEX_GUARDED_BY(mutex) = 0;
};

ServiceState& service() {
    static NoDestructor<ServiceState> state;
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
    MutexLock guard(s.mutex);
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
    const LastFix fix = [&s] {
        MutexLock guard(s.mutex);
        return s.lastFix;
    }();
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

// What a request delivers: the fixes, with the measurement time of the first if known.
struct Fixes {
    std::vector<Location> locations;
    std::optional<Clock::WallTime> takenAt;
};

using Outcome = std::variant<Fixes, LocationError>;

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
/// bus offers it, as on phones and desktops, else gpsd at its default address. Nothing when
/// `stopping` ended the question to the bus first (see `geoClueOffered`).
std::optional<Choice> currentChoice(int wakeFd, const std::function<bool()>& stopping) {
    auto& s = service();
    {
        MutexLock guard(s.mutex);
        if (s.source != Source::AUTOMATIC) {
            return Choice{s.source, s.address, s.desktopId};
        }
    }
    const auto offered = geoClueOffered(platform::clock()->now() + std::chrono::seconds(1), wakeFd, stopping);
    if (!offered) {
        return std::nullopt;
    }
    const bool geoClue = *offered;
    MutexLock guard(s.mutex);
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
        MutexLock guard(s.mutex);
        if (s.announced) {
            return;
        }
        s.announced = true;
    }
    if (choice.source == Source::GEOCLUE) {
        LUMVEX_LOG("requestLocation()", "Location source: GeoClue, as \"" + choice.desktopId + "\"");
    } else {
        LUMVEX_LOG("requestLocation()", "Location source: gpsd at " + choice.address.describe());
    }
}

}  // namespace

/// The thread that asks the location source for one manager. It sleeps on a condition
/// variable between requests and, during one, in poll(2) on the source's connection and an
/// eventfd that wakes it when the manager goes away or a virtual clock moves.
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
            MutexLock guard(mutex_);
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
            MutexLock guard(mutex_);
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

    bool stopping() {
        MutexLock guard(mutex_);
        return stop_;
    }

    void run() {
        // So that a host's debugger, top -H and crash reports tell whose thread this is.
        ::pthread_setname_np(::pthread_self(), "lumvex-gps");
        MutexLock lock(mutex_);
        while (true) {
            while (!stop_ && !requested_) {
                cv_.wait(lock.native());
            }
            if (stop_) {
                return;
            }
            const auto deadline = deadline_;
            const auto accuracy = accuracy_;
            lock.unlock();
            std::optional<Outcome> outcome;
            if (const auto choice = currentChoice(wakeFd_, [this] { return stopping(); })) {
                announce(*choice);
                outcome = choice->source == Source::GEOCLUE
                              ? askGeoClue(choice->desktopId, accuracy, deadline)
                              : askGpsd(choice->address, deadline);
            }
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

    /// One request to GeoClue; nothing when the manager went away meanwhile.
    std::optional<Outcome> askGeoClue(const std::string& desktopId, double accuracy,
                                      Clock::TimePoint deadline) {
        const auto level = geoClueAccuracyLevel(accuracy);
        auto result = requestGeoClueFix(desktopId, level, geoClueNotBefore(), deadline, wakeFd_,
                                        [this] { return stopping(); });
        if (result.abandoned) {
            return std::nullopt;
        }
        if (result.fix) {
            lastGeoClueFix_ = result.fix->takenAtMicros;
            lastGeoClueClock_ = platform::clock();
            lastGeoClueAt_ = lastGeoClueClock_->now();
            lastGeoClueWallAt_ = lastGeoClueClock_->wallNow();
            Fixes fixes{{result.fix->location}, std::nullopt};
            if (result.fix->takenAtMicros != 0) {
                fixes.takenAt = Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
                    std::chrono::microseconds(result.fix->takenAtMicros)));
            }
            return Outcome(std::move(fixes));
        }
        return failedWith(*result.failure);
    }

    /// The measurement time before which a location of GeoClue's is the cache of an earlier
    /// one: the last fix's, moved back by as much as the calendar was set back since it came.
    /// GeoClue stamps its locations with the same calendar, so after a correction backwards
    /// its fresh locations are older than the last one, by the calendar; the monotonic clock
    /// tells how much time really passed.
    std::uint64_t geoClueNotBefore() const {
        const auto clock = platform::clock();
        if (lastGeoClueFix_ == 0 || clock != lastGeoClueClock_) {
            return lastGeoClueFix_;
        }
        const auto passed = clock->now() - lastGeoClueAt_;
        const auto calendarPassed = clock->wallNow() - lastGeoClueWallAt_;
        const auto setBack =
            std::chrono::duration_cast<std::chrono::microseconds>(passed - calendarPassed).count();
        if (setBack <= 0) {
            return lastGeoClueFix_;
        }
        const auto back = static_cast<std::uint64_t>(setBack);
        return back >= lastGeoClueFix_ ? 0 : lastGeoClueFix_ - back;
    }

    /// One request to gpsd; nothing when the manager went away meanwhile.
    std::optional<Outcome> askGpsd(const GpsdAddress& address, Clock::TimePoint deadline) {
        GpsdInterrupts interrupts;
        interrupts.wakeFd = wakeFd_;
        interrupts.stopping = [this] { return stopping(); };
        interrupts.blocking = [this](bool entering) {
            MutexLock guard(mutex_);
            if (entering && stop_) {
                return false;
            }
            connecting_ = entering;
            return true;
        };
        auto result = gpsd_.requestFixes(address, deadline, interrupts);
        if (result.abandoned) {
            return std::nullopt;
        }
        if (result.fix) {
            return Outcome(Fixes{std::move(result.fix->locations), result.fix->takenAt});
        }
        return failedWith(*result.failure);
    }

    /// The error the delegate hears for a source's failure, whichever source it was.
    static Outcome failedWith(const SourceFailure& failure) {
        using Code = LocationError::Code;
        // In the order of SourceFailure::Kind: refused, unreachable, lost, no fix.
        static constexpr Code codes[] = {Code::SERVICES_DISABLED, Code::SERVICE_UNREACHABLE,
                                         Code::CONNECTION_LOST, Code::LOCATION_UNKNOWN};
        static_assert(std::size(codes) == static_cast<std::size_t>(SourceFailure::Kind::NO_FIX) + 1);
        return Outcome(LocationError{codes[static_cast<std::size_t>(failure.kind)], failure.description});
    }

    const std::weak_ptr<LocationManager> owner_;
    const std::weak_ptr<RunLoopImpl> loop_;
    int wakeFd_ = -1;
    Thread thread_;

    Mutex mutex_;
    std::condition_variable cv_;
    bool stop_ LUMVEX_GUARDED_BY(mutex_) = false;
    bool requested_ LUMVEX_GUARDED_BY(mutex_) = false;
    // Inside a name lookup or connect, which nothing interrupts.
    bool connecting_ LUMVEX_GUARDED_BY(mutex_) = false;
    Clock::TimePoint deadline_ LUMVEX_GUARDED_BY(mutex_){};
    double accuracy_ LUMVEX_GUARDED_BY(mutex_) = LocationManager::ACCURACY_BEST;

    // Only the worker's thread touches these: the conversations with gpsd, and the
    // measurement time of the last GeoClue fix.
    GpsdSession gpsd_;
    std::uint64_t lastGeoClueFix_ = 0;
    // When the last GeoClue fix came, on the clock that was installed then.
    std::shared_ptr<Clock> lastGeoClueClock_;
    Clock::TimePoint lastGeoClueAt_{};
    Clock::WallTime lastGeoClueWallAt_{};
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
    MutexLock guard(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<LocationManagerDelegate> LocationManager::delegate() const {
    MutexLock guard(mutex_);
    return delegate_.lock();
}

void LocationManager::setDesiredAccuracy(double metres) {
    MutexLock guard(mutex_);
    desiredAccuracy_ = metres;
}

double LocationManager::desiredAccuracy() const {
    MutexLock guard(mutex_);
    return desiredAccuracy_;
}

void LocationManager::setMaximumFixAge(Clock::TimePoint::duration age) {
    MutexLock guard(mutex_);
    maximumFixAge_ = age;
}

Clock::TimePoint::duration LocationManager::maximumFixAge() const {
    MutexLock guard(mutex_);
    return maximumFixAge_;
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
    MutexLock guard(mutex_);
    deliveredSerial_ = serial;
    ++deliveries_;
}

std::uint64_t LocationManager::deliveredSerial() const {
    MutexLock guard(mutex_);
    return deliveredSerial_;
}

std::uint64_t LocationManager::deliveries() const {
    MutexLock guard(mutex_);
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
        MutexLock guard(mutex_);
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
    MutexLock guard(s.mutex);
    s.source = Source::GPSD;
    s.address = GpsdAddress{host, port};
    s.announced = false;
    // A fix from another gpsd is not what this one holds.
    s.lastFix = LastFix{};
}

void chooseLocationSourceAutomatically() {
    auto& s = service();
    MutexLock guard(s.mutex);
    s.source = Source::AUTOMATIC;
    s.address = GpsdAddress{};
    s.desktopId.clear();
    s.announced = false;
    s.lastFix = LastFix{};
}

void useGeoClue(std::string desktopId) {
    auto& s = service();
    MutexLock guard(s.mutex);
    s.source = Source::GEOCLUE;
    s.desktopId = desktopId.empty() ? executableName() : std::move(desktopId);
    s.announced = false;
    s.lastFix = LastFix{};
}

}  // namespace platform
}  // namespace lumvex
