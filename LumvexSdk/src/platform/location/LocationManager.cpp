#include "platform/location/LocationManager.h"

#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/RunLoop.h"
#include "platform/base/Thread.h"
#include "platform/location/LocationSource.h"
#include "platform/location/LocationSourceKind.h"
#include "platform/location/RequestWake.h"

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <iterator>
#include <map>
#include <system_error>
#include <thread>
#include <utility>
#include <variant>

namespace lumvex {
namespace platform {

namespace {

std::atomic<bool> servicesEnabled{true};

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
    // What `useGpsd`, `useGeoClue` or the automatic choice settled on; none until then.
    const LocationSourceKind* chosen LUMVEX_GUARDED_BY(mutex) = nullptr;
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

using Outcome = std::variant<SourceFixes, LocationError>;

/// The registered kind the system offers, asked in turn for at most a second in all; nothing
/// when `wake` ended the question first. The earliest registered, gpsd, is the last resort.
const LocationSourceKind* firstOffered(RequestWake& wake) {
    const auto deadline = platform::clock()->now() + std::chrono::seconds(1);
    const auto kinds = registeredLocationSources();
    for (const auto* kind : kinds) {
        if (!kind->offered) {
            return kind;
        }
        const auto offered = kind->offered(deadline, wake);
        if (!offered) {
            return nullptr;
        }
        if (*offered) {
            return kind;
        }
    }
    return kinds.back();
}

/// Settles the automatic choice the first time a request needs it: GeoClue when the system
/// bus offers it, as on phones and desktops, else gpsd at its default address. Nothing when
/// `wake` ended the question to the bus first.
const LocationSourceKind* currentChoice(RequestWake& wake) {
    auto& s = service();
    {
        MutexLock guard(s.mutex);
        if (s.chosen) {
            return s.chosen;
        }
    }
    const auto* offered = firstOffered(wake);
    if (!offered) {
        return nullptr;
    }
    MutexLock guard(s.mutex);
    if (!s.chosen) {  // unless the host chose meanwhile
        s.chosen = offered;
    }
    return s.chosen;
}

void announce(const LocationSource& source) {
    auto& s = service();
    {
        MutexLock guard(s.mutex);
        if (s.announced) {
            return;
        }
        s.announced = true;
    }
    LUMVEX_LOG("requestLocation()", "Location source: " + source.describe());
}

/// From the next request on, every manager asks `kind` (none: chooses again), names it in
/// the log once, and forgets the last fix.
void choose(const LocationSourceKind* kind) {
    auto& s = service();
    MutexLock guard(s.mutex);
    s.chosen = kind;
    s.announced = false;
    s.lastFix = LastFix{};
}

}  // namespace

/// The thread that asks the location source for one manager. It sleeps on a condition
/// variable between requests and, during one, in poll(2) on the source's connection and an
/// eventfd that wakes it when the manager goes away or a virtual clock moves. Without a
/// thread (`askHere`), the same for a caller that waits for its answer.
class LocationManager::Worker final : public ClockListener,
                                      public RequestWake,
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

    /// One request on the calling thread, for a worker that has no thread of its own;
    /// nothing when it was abandoned (see `shutdown`). Its fixes are remembered, with the
    /// serial returned beside them.
    std::optional<std::pair<Outcome, std::uint64_t>> askHere(Clock::TimePoint deadline, double accuracy) {
        {
            MutexLock guard(mutex_);
            if (stop_) {
                return std::nullopt;
            }
        }
        listenToClock();
        auto outcome = ask(SourceRequest{deadline, accuracy});
        if (!outcome || stopping()) {
            return std::nullopt;
        }
        std::uint64_t serial = 0;
        if (auto* fixes = std::get_if<SourceFixes>(&*outcome)) {
            serial = rememberFix(fixes->locations.front(), fixes->takenAt);
        }
        return std::make_pair(std::move(*outcome), serial);
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
        listenToClock();
    }

    void clockAdvanced() override { wake(); }

    int fd() const override { return wakeFd_; }

    bool stopping() override {
        MutexLock guard(mutex_);
        return stop_;
    }

    bool enterUninterruptible() override {
        MutexLock guard(mutex_);
        if (stop_) {
            return false;
        }
        connecting_ = true;
        return true;
    }

    void leaveUninterruptible() override {
        MutexLock guard(mutex_);
        connecting_ = false;
    }

private:
    /// A virtual clock tells its listeners when it moves; that is how the deadline is seen
    /// without the clock's time passing in reality. A wait that is already satisfied
    /// registers the listener and returns at once.
    void listenToClock() {
        std::mutex m;
        std::condition_variable cv;
        std::unique_lock<std::mutex> lock(m);
        platform::clock()->waitUntil(
            lock, cv, Clock::TimePoint::min(), [] { return true; },
            std::weak_ptr<ClockListener>(shared_from_this()));
    }

    void wake() {
        if (wakeFd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const auto n = ::write(wakeFd_, &one, sizeof(one));
        }
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
            const SourceRequest request{deadline_, accuracy_};
            lock.unlock();
            auto outcome = ask(request);
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
        if (auto* fixes = std::get_if<SourceFixes>(&outcome)) {
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
            if (const auto* fixes = std::get_if<SourceFixes>(&outcome)) {
                manager->setDeliveredSerial(serial);
                delegate->didUpdateLocations(*manager, fixes->locations);
            } else {
                delegate->didFailWithError(*manager, std::get<LocationError>(outcome));
            }
        });
    }

    /// One request to the chosen source; nothing when the manager went away meanwhile.
    std::optional<Outcome> ask(const SourceRequest& request) {
        const auto* kind = currentChoice(*this);
        if (!kind) {
            return std::nullopt;
        }
        auto& source = sources_[kind];
        if (!source) {
            source = kind->make();
        }
        announce(*source);
        auto result = source->request(request, *this);
        if (result.abandoned) {
            return std::nullopt;
        }
        if (result.fix) {
            return Outcome(std::move(*result.fix));
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

    // Only the worker's thread touches these: a source of each kind it was told to use, kept
    // for as long as it lives (gpsd's resolved address, GeoClue's last fix).
    std::map<const LocationSourceKind*, std::unique_ptr<LocationSource>> sources_;
};

bool LocationManager::locationServicesEnabled() {
    return servicesEnabled.load();
}

LocationManager::LocationManager() : loop_(detail::RunLoopAccess::current()) {}

LocationManager::~LocationManager() {
    if (worker_) {
        worker_->shutdown();
    }
    if (here_) {
        here_->shutdown();
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

std::optional<LocationManager::Answer> LocationManager::requestLocationHere() {
    if (!locationServicesEnabled()) {
        return Answer{
            {}, 0, LocationError{LocationError::Code::SERVICES_DISABLED, "Location services are disabled"}};
    }
    std::shared_ptr<Worker> here;
    Clock::TimePoint deadline;
    double accuracy;
    {
        MutexLock guard(mutex_);
        if (!here_) {
            here_ = std::make_shared<Worker>(weak_from_this(), loop_);
        }
        here = here_;
        deadline = platform::clock()->now() + requestTimeout_;
        accuracy = desiredAccuracy_;
    }
    auto outcome = here->askHere(deadline, accuracy);
    if (!outcome) {
        return std::nullopt;
    }
    if (auto* fixes = std::get_if<SourceFixes>(&outcome->first)) {
        setDeliveredSerial(outcome->second);
        return Answer{std::move(fixes->locations), outcome->second, std::nullopt};
    }
    return Answer{{}, 0, std::move(std::get<LocationError>(outcome->first))};
}

void LocationManager::abandonRequests() {
    std::shared_ptr<Worker> here;
    {
        MutexLock guard(mutex_);
        if (!here_) {
            // Made stopped, so that a request that comes after this finds it so.
            here_ = std::make_shared<Worker>(weak_from_this(), loop_);
        }
        here = here_;
    }
    here->shutdown();
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

void useLocationSource(const LocationSourceKind& kind) {
    choose(&kind);
}

void chooseLocationSourceAutomatically() {
    for (const auto* kind : registeredLocationSources()) {
        if (kind->forget) {
            kind->forget();
        }
    }
    choose(nullptr);
}

}  // namespace platform
}  // namespace lumvex
