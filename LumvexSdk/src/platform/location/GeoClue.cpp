#include "platform/location/GeoClue.h"

#include "platform/base/Guarded.h"
#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"
#include "platform/location/RequestWake.h"
#include "platform/system/Bundle.h"

#include <LumvexSdk/Platform.h>

#include <systemd/sd-bus.h>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

namespace lumvex::platform {

namespace {

constexpr const char* SERVICE = "org.freedesktop.GeoClue2";
constexpr const char* MANAGER_PATH = "/org/freedesktop/GeoClue2/Manager";
constexpr const char* MANAGER = "org.freedesktop.GeoClue2.Manager";
constexpr const char* CLIENT = "org.freedesktop.GeoClue2.Client";
constexpr const char* LOCATION = "org.freedesktop.GeoClue2.Location";
constexpr const char* PROPERTIES = "org.freedesktop.DBus.Properties";

// GeoClue's GClueAccuracyLevel values.
constexpr std::uint32_t LEVEL_COUNTRY = 1;
constexpr std::uint32_t LEVEL_CITY = 4;
constexpr std::uint32_t LEVEL_NEIGHBORHOOD = 5;
constexpr std::uint32_t LEVEL_STREET = 6;
constexpr std::uint32_t LEVEL_EXACT = 8;

// Stopping the client after the fix is a courtesy to GeoClue, which would also notice the
// connection closing; it must not hold the location thread for long.
constexpr std::uint64_t STOP_GRACE_USEC = 500 * 1000;

/// A fix as GeoClue hands it over, with the time its source took it.
struct GeoClueFix {
    Location location;
    /// Calendar time of the measurement, in microseconds since 1970.
    std::uint64_t takenAtMicros = 0;
};

using GeoClueFailure = SourceFailure;

/// How one request's conversation with GeoClue ended.
struct GeoClueOutcome {
    std::optional<GeoClueFix> fix;
    std::optional<GeoClueFailure> failure;
    bool abandoned = false;
};

// Set from any thread while a location thread may be opening a connection.
Guarded<std::string>& busAddress() {
    static NoDestructor<Guarded<std::string>> address;
    return *address;
}

std::uint64_t monotonicMicros() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

struct BusDeleter {
    // Not flushed: a flush first waits for the connection to be set up, which on a bus that
    // never answers takes sd-bus's authentication timeout of 90 s. Whatever a request still
    // wanted sent (a courtesy Stop) has been waited for by then, or abandoned.
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

/// A connection to the configured bus; the handshake completes as the caller processes it.
BusPtr openBus(std::string& error) {
    const std::string address = *busAddress().lock();
    sd_bus* bus = nullptr;
    int r;
    if (address.empty()) {
        // Without a system bus there is nothing to ask; finding that out through sd-bus
        // would page in some 450 KiB of its code for good, in a process that never uses it.
        struct stat socket {};
        if (!std::getenv("DBUS_SYSTEM_BUS_ADDRESS") && ::stat("/run/dbus/system_bus_socket", &socket) != 0) {
            error = "no system bus: " + std::string(std::strerror(errno));
            return nullptr;
        }
        r = sd_bus_open_system(&bus);
    } else {
        r = sd_bus_new(&bus);
        if (r >= 0) r = sd_bus_set_address(bus, address.c_str());
        if (r >= 0) r = sd_bus_set_bus_client(bus, 1);
        if (r >= 0) r = sd_bus_start(bus);
        if (r < 0 && bus) {
            sd_bus_unref(bus);
            bus = nullptr;
        }
    }
    if (r < 0) {
        error = std::string("no system bus: ") + std::strerror(-r);
        return nullptr;
    }
    return BusPtr(bus);
}

enum class Driven { DONE, STOPPED, DEADLINE, FAILED };

/// How long sd-bus may wait before it must look at its own call timeouts, which it keeps on
/// the real monotonic clock.
std::chrono::milliseconds busTimeout(sd_bus* bus) {
    std::uint64_t at = 0;
    if (sd_bus_get_timeout(bus, &at) <= 0 || at == UINT64_MAX) {
        return std::chrono::milliseconds::max();
    }
    const auto nowUsec = monotonicMicros();
    return std::chrono::milliseconds(at > nowUsec ? static_cast<long long>((at - nowUsec + 999) / 1000) : 0);
}

/// Processes `bus` until `done` holds, the installed clock reaches `deadline` or `wake`
/// says stop. Every call on the bus is asynchronous and ends here; `error` says why on FAILED.
template <typename Done>
Driven driveBus(sd_bus* bus, Clock::TimePoint deadline, RequestWake& wake, Done done, std::string& error) {
    while (true) {
        int r;
        while ((r = sd_bus_process(bus, nullptr)) > 0) {
            if (done()) {
                return Driven::DONE;
            }
        }
        if (r < 0) {
            error = std::string("lost the bus: ") + std::strerror(-r);
            return Driven::FAILED;
        }
        if (done()) {
            return Driven::DONE;
        }
        const int events = sd_bus_get_events(bus);
        switch (pollWithWake(sd_bus_get_fd(bus), static_cast<short>(events < 0 ? POLLIN : events), deadline,
                             wake, busTimeout(bus))) {
            case PollResult::READY:
                break;
            case PollResult::STOPPED:
                return Driven::STOPPED;
            case PollResult::DEADLINE:
                return Driven::DEADLINE;
            case PollResult::FAILED:
                error = std::string("poll: ") + std::strerror(errno);
                return Driven::FAILED;
        }
    }
}

bool isError(const sd_bus_error* error, const char* name) {
    return sd_bus_error_has_name(error, name) != 0;
}

std::string describe(const sd_bus_error* error) {
    if (error && error->message && *error->message) {
        return error->message;
    }
    return error && error->name ? error->name : "unknown error";
}

// A refusal is the operator's to mend (the agent's settings, the desktop id), so it names
// the bus error as GeoClue gave it.
std::string describeWithName(const sd_bus_error* error) {
    const std::string name = error && error->name ? error->name : "unknown error";
    return error && error->message && *error->message ? name + ": " + error->message : name;
}

/// One request's conversation with GeoClue. Every call is asynchronous; `run` drives the
/// connection until the outcome is settled.
class Session {
public:
    Session(sd_bus* bus, std::string desktopId, std::uint32_t level, std::uint64_t notBefore)
        : bus_(bus), desktopId_(std::move(desktopId)), level_(level), notBefore_(notBefore) {}

    ~Session() {
        for (auto* slot : slots_) {
            sd_bus_slot_unref(slot);
        }
    }

    GeoClueOutcome run(Clock::TimePoint deadline, RequestWake& wake) {
        // NameOwnerChanged tells when GeoClue leaves the bus during the request.
        if (sd_bus_match_signal_async(bus_, slot(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "NameOwnerChanged", &Session::onOwnerChanged,
                                      nullptr, this) < 0 ||
            sd_bus_set_method_call_timeout(bus_, callTimeout(deadline)) < 0 ||
            !call(MANAGER_PATH, MANAGER, "CreateClient", &Session::onClientCreated)) {
            return failure(GeoClueFailure::Kind::LOST, "cannot send to GeoClue");
        }
        if (!drive(deadline, wake, [this] { return settled(); })) {
            outcome_.abandoned = outcome_.abandoned || wake.stopping();
            if (!outcome_.abandoned && !settled()) {
                outcome_.failure =
                    GeoClueFailure{GeoClueFailure::Kind::NO_FIX, "no location from GeoClue in time"};
            }
        }
        stopClient(wake);
        return outcome_;
    }

private:
    using Handler = int (*)(sd_bus_message*, void*, sd_bus_error*);

    sd_bus_slot** slot() {
        slots_.push_back(nullptr);
        return &slots_.back();
    }

    bool settled() const { return outcome_.fix || outcome_.failure || outcome_.abandoned; }

    GeoClueOutcome failure(GeoClueFailure::Kind kind, std::string description) {
        outcome_.failure = GeoClueFailure{kind, std::move(description)};
        return outcome_;
    }

    void fail(GeoClueFailure::Kind kind, std::string description) {
        if (!settled()) {
            // The location job reports a refusal only as location services being off.
            if (kind == GeoClueFailure::Kind::REFUSED) {
                LUMVEX_LOG_ERROR("requestLocation()", description);
            }
            outcome_.failure = GeoClueFailure{kind, std::move(description)};
        }
    }

    /// The bound of one call, in real time: what is left of the request, at least a moment.
    static std::uint64_t callTimeout(Clock::TimePoint deadline) {
        const auto left = deadline - platform::clock()->now();
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
        return static_cast<std::uint64_t>(std::max<long long>(micros, 1000));
    }

    bool call(const std::string& path, const char* interface, const char* member, Handler handler) {
        return sd_bus_call_method_async(bus_, slot(), SERVICE, path.c_str(), interface, member, handler, this,
                                        nullptr) >= 0;
    }

    bool setProperty(const char* name, const char* type, const void* value) {
        sd_bus_message* m = nullptr;
        int r = sd_bus_message_new_method_call(bus_, &m, SERVICE, clientPath_.c_str(), PROPERTIES, "Set");
        if (r >= 0) r = sd_bus_message_append(m, "s", CLIENT);
        if (r >= 0) r = sd_bus_message_append(m, "s", name);
        if (r >= 0) r = sd_bus_message_open_container(m, 'v', type);
        if (r >= 0) r = sd_bus_message_append_basic(m, type[0], value);
        if (r >= 0) r = sd_bus_message_close_container(m);
        if (r >= 0) r = sd_bus_call_async(bus_, slot(), m, &Session::onSetupReply, this, 0);
        sd_bus_message_unref(m);
        return r >= 0;
    }

    /// Processes the connection until `done` holds, the deadline passes or the caller wants
    /// it to end. Returns whether `done` came to hold.
    template <typename Done>
    bool drive(Clock::TimePoint deadline, RequestWake& wake, Done done) {
        std::string error;
        switch (driveBus(bus_, deadline, wake, done, error)) {
            case Driven::DONE:
                return true;
            case Driven::STOPPED:
                outcome_.abandoned = true;
                return false;
            case Driven::DEADLINE:
                return false;
            case Driven::FAILED:
                break;
        }
        fail(GeoClueFailure::Kind::LOST, error);
        return done();
    }

    void stopClient(RequestWake& wake) {
        if (!started_ || stopped_) {
            return;
        }
        sd_bus_message* m = nullptr;
        if (sd_bus_message_new_method_call(bus_, &m, SERVICE, clientPath_.c_str(), CLIENT, "Stop") < 0) {
            return;
        }
        const int r = sd_bus_call_async(bus_, slot(), m, &Session::onStopped, this, STOP_GRACE_USEC);
        sd_bus_message_unref(m);
        if (r < 0) {
            return;
        }
        // The call's own timeout bounds this in real time, the grace on the installed clock
        // too, and the caller can end it at once.
        const auto saved = outcome_;
        drive(platform::clock()->now() + std::chrono::microseconds(STOP_GRACE_USEC), wake,
              [this] { return stopped_; });
        outcome_ = saved;
    }

    static int onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Session*>(userdata);
        const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
        if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) >= 0 && name &&
            std::strcmp(name, SERVICE) == 0 && (!newOwner || !*newOwner)) {
            self->fail(GeoClueFailure::Kind::LOST, "GeoClue left the bus");
            self->stopped_ = true;  // nobody is left to stop
        }
        return 0;
    }

    static int onClientCreated(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Session*>(userdata);
        const sd_bus_error* error = sd_bus_message_get_error(m);
        if (error) {
            if (isError(error, SD_BUS_ERROR_ACCESS_DENIED)) {
                self->fail(GeoClueFailure::Kind::REFUSED,
                           "GeoClue refused a client: " + describeWithName(error));
            } else if (isError(error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                       isError(error, SD_BUS_ERROR_NAME_HAS_NO_OWNER)) {
                self->fail(GeoClueFailure::Kind::UNREACHABLE, "GeoClue is not on the system bus");
            } else if (isError(error, SD_BUS_ERROR_NO_REPLY) || isError(error, SD_BUS_ERROR_TIMEOUT)) {
                self->fail(GeoClueFailure::Kind::NO_FIX, "no location from GeoClue in time");
            } else {
                self->fail(GeoClueFailure::Kind::LOST, "GeoClue failed to make a client: " + describe(error));
            }
            return 0;
        }
        const char* path = nullptr;
        if (sd_bus_message_read(m, "o", &path) < 0 || !path) {
            self->fail(GeoClueFailure::Kind::LOST, "GeoClue answered CreateClient with no client");
            return 0;
        }
        self->clientPath_ = path;
        const char* id = self->desktopId_.c_str();
        const std::uint32_t level = self->level_;
        // Sent back to back: the bus keeps their order, so the match is in place before Start
        // can make GeoClue signal a location.
        if (sd_bus_match_signal_async(self->bus_, self->slot(), nullptr, path, CLIENT, "LocationUpdated",
                                      &Session::onLocationUpdated, nullptr, self) < 0 ||
            !self->setProperty("DesktopId", "s", id) ||
            !self->setProperty("RequestedAccuracyLevel", "u", &level) ||
            sd_bus_call_method_async(self->bus_, self->slot(), SERVICE, path, CLIENT, "Start",
                                     &Session::onStarted, self, nullptr) < 0) {
            self->fail(GeoClueFailure::Kind::LOST, "cannot send to GeoClue");
        }
        return 0;
    }

    static int onSetupReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Session*>(userdata);
        if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
            self->classifyStartError(error, "GeoClue refused the client's settings: ");
        }
        return 0;
    }

    static int onStarted(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Session*>(userdata);
        if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
            self->classifyStartError(error, "GeoClue did not start the client: ");
            return 0;
        }
        self->started_ = true;
        return 0;
    }

    void classifyStartError(const sd_bus_error* error, const std::string& what) {
        if (isError(error, SD_BUS_ERROR_ACCESS_DENIED)) {
            fail(GeoClueFailure::Kind::REFUSED,
                 "GeoClue refused location to \"" + desktopId_ + "\": " + describeWithName(error));
        } else if (isError(error, SD_BUS_ERROR_NO_REPLY) || isError(error, SD_BUS_ERROR_TIMEOUT)) {
            fail(GeoClueFailure::Kind::NO_FIX, "no location from GeoClue in time");
        } else {
            fail(GeoClueFailure::Kind::LOST, what + describe(error));
        }
    }

    static int onLocationUpdated(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Session*>(userdata);
        const char *oldPath = nullptr, *newPath = nullptr;
        if (self->settled() || sd_bus_message_read(m, "oo", &oldPath, &newPath) < 0 || !newPath) {
            return 0;
        }
        sd_bus_message* call = nullptr;
        int r = sd_bus_message_new_method_call(self->bus_, &call, SERVICE, newPath, PROPERTIES, "GetAll");
        if (r >= 0) r = sd_bus_message_append(call, "s", LOCATION);
        if (r >= 0) r = sd_bus_call_async(self->bus_, self->slot(), call, &Session::onLocation, self, 0);
        sd_bus_message_unref(call);
        if (r < 0) {
            self->fail(GeoClueFailure::Kind::LOST, "cannot read GeoClue's location");
        }
        return 0;
    }

    static int onLocation(sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Session*>(userdata);
        if (self->settled()) {
            return 0;
        }
        if (const sd_bus_error* error = sd_bus_message_get_error(m)) {
            // The location object can be replaced before we read it; the next signal brings
            // its successor.
            (void)error;
            return 0;
        }
        double latitude = NAN, longitude = NAN;
        std::uint64_t seconds = 0, micros = 0;
        if (sd_bus_message_enter_container(m, 'a', "{sv}") < 0) {
            return 0;
        }
        while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
            const char* key = nullptr;
            if (sd_bus_message_read(m, "s", &key) < 0 || !key) {
                return 0;
            }
            int r;
            if (std::strcmp(key, "Latitude") == 0) {
                r = sd_bus_message_read(m, "v", "d", &latitude);
            } else if (std::strcmp(key, "Longitude") == 0) {
                r = sd_bus_message_read(m, "v", "d", &longitude);
            } else if (std::strcmp(key, "Timestamp") == 0) {
                r = sd_bus_message_read(m, "v", "(tt)", &seconds, &micros);
            } else {
                r = sd_bus_message_skip(m, "v");
            }
            if (r < 0 || sd_bus_message_exit_container(m) < 0) {
                return 0;
            }
        }
        if (!std::isfinite(latitude) || !std::isfinite(longitude) || std::fabs(latitude) > 90.0 ||
            std::fabs(longitude) > 180.0) {
            return 0;
        }
        const std::uint64_t takenAt = seconds * 1000000u + micros;
        // A location older than one an earlier request delivered is GeoClue's stale cache.
        // Its times have whole seconds only, so an equal time may well be a new fix.
        if (takenAt != 0 && takenAt < self->notBefore_) {
            return 0;
        }
        GeoClueFix fix;
        fix.location.latitude = latitude;
        fix.location.longitude = longitude;
        fix.takenAtMicros = takenAt;
        self->outcome_.fix = fix;
        return 0;
    }

    static int onStopped(sd_bus_message*, void* userdata, sd_bus_error*) {
        static_cast<Session*>(userdata)->stopped_ = true;
        return 0;
    }

    sd_bus* const bus_;
    const std::string desktopId_;
    const std::uint32_t level_;
    const std::uint64_t notBefore_;
    std::string clientPath_;
    std::vector<sd_bus_slot*> slots_;
    bool started_ = false;
    bool stopped_ = false;
    GeoClueOutcome outcome_;
};

}  // namespace

std::uint32_t geoClueAccuracyLevel(double metres) {
    // GeoClue's level is a ceiling, not a hint: at country level it never powers up a
    // receiver. An accuracy beyond any region's size states no need at all, and so must not
    // shut the precise sources out.
    if (!(metres >= 0.0) || metres <= 100.0 || metres > 1000.0 * 1000.0) {
        return LEVEL_EXACT;
    }
    if (metres <= 1000.0) {
        return LEVEL_STREET;
    }
    if (metres <= 5000.0) {
        return LEVEL_NEIGHBORHOOD;
    }
    if (metres <= 20000.0) {
        return LEVEL_CITY;
    }
    return LEVEL_COUNTRY;
}

namespace {

/// One request on a connection of its own, until the installed clock reaches `deadline`.
GeoClueOutcome requestGeoClueFix(const std::string& desktopId, std::uint32_t accuracyLevel,
                                 std::uint64_t notBeforeMicros, Clock::TimePoint deadline,
                                 RequestWake& wake) {
    std::string error;
    auto bus = openBus(error);
    if (!bus) {
        GeoClueOutcome outcome;
        outcome.failure = GeoClueFailure{GeoClueFailure::Kind::UNREACHABLE, error};
        return outcome;
    }
    Session session(bus.get(), desktopId, accuracyLevel, notBeforeMicros);
    return session.run(deadline, wake);
}

/// Whether the bus offers GeoClue (its name is owned or can be activated), asked until the
/// installed clock reaches `deadline`; nothing when `wake` ended it first. A bus that does
/// not answer in time offers nothing.
std::optional<bool> geoClueOffered(Clock::TimePoint deadline, RequestWake& wake) {
    std::string error;
    auto bus = openBus(error);
    if (!bus) {
        return false;
    }
    struct Asked {
        int hasOwner = -1;  // -1 until answered, then 0 or 1
        bool activatable = false;
        bool listed = false;
    } asked;
    const auto onHasOwner = [](sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* a = static_cast<Asked*>(userdata);
        int has = 0;
        a->hasOwner = !sd_bus_message_get_error(m) && sd_bus_message_read(m, "b", &has) >= 0 && has ? 1 : 0;
        return 0;
    };
    const auto onActivatable = [](sd_bus_message* m, void* userdata, sd_bus_error*) {
        auto* a = static_cast<Asked*>(userdata);
        a->listed = true;
        char** names = nullptr;
        if (!sd_bus_message_get_error(m) && sd_bus_message_read_strv(m, &names) >= 0 && names) {
            for (char** n = names; *n; ++n) {
                a->activatable = a->activatable || std::strcmp(*n, SERVICE) == 0;
                std::free(*n);
            }
            std::free(names);
        }
        return 0;
    };
    // Both asked at once: a system bus usually starts GeoClue on demand, so its name is free
    // until first use. Each call ends by the deadline, as a reply or sd-bus's own timeout.
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - platform::clock()->now()).count();
    sd_bus_set_method_call_timeout(bus.get(), static_cast<std::uint64_t>(std::max<long long>(left, 1000)));
    sd_bus_slot* slots[2] = {nullptr, nullptr};
    if (sd_bus_call_method_async(bus.get(), &slots[0], "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "NameHasOwner", onHasOwner, &asked, "s",
                                 SERVICE) < 0 ||
        sd_bus_call_method_async(bus.get(), &slots[1], "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                 "org.freedesktop.DBus", "ListActivatableNames", onActivatable, &asked,
                                 "") < 0) {
        sd_bus_slot_unref(slots[0]);
        sd_bus_slot_unref(slots[1]);
        return false;
    }
    const auto driven = driveBus(
        bus.get(), deadline, wake,
        [&asked] { return asked.hasOwner == 1 || (asked.hasOwner == 0 && asked.listed); }, error);
    sd_bus_slot_unref(slots[0]);
    sd_bus_slot_unref(slots[1]);
    if (driven == Driven::STOPPED) {
        return std::nullopt;
    }
    return asked.hasOwner == 1 || asked.activatable;
}

// What `useGeoClue` named the application; empty for the executable's name.
Guarded<std::string>& configuredDesktopId() {
    static NoDestructor<Guarded<std::string>> desktopId;
    return *desktopId;
}

std::string currentDesktopId() {
    auto desktopId = configuredDesktopId().with([](const std::string& id) { return id; });
    if (desktopId.empty()) {
        desktopId = executableName();
    }
    return desktopId.empty() ? "lumvex" : desktopId;
}

/// GeoClue as one manager's thread asks it: it remembers the measurement time of the last
/// fix it delivered, so that GeoClue's cache of an earlier one is not taken for a new fix.
class GeoClueSource final : public LocationSource {
public:
    std::string describe() const override { return "GeoClue, as \"" + currentDesktopId() + "\""; }

    SourceOutcome request(const SourceRequest& request, RequestWake& wake) override {
        auto result = requestGeoClueFix(currentDesktopId(), geoClueAccuracyLevel(request.desiredAccuracy),
                                        notBefore(), request.deadline, wake);
        SourceOutcome outcome{std::nullopt, std::move(result.failure), result.abandoned};
        if (result.fix && !result.abandoned) {
            lastClock_ = platform::clock();
            lastAt_ = lastClock_->now();
            lastWallAt_ = lastClock_->wallNow();
            // A time ahead of our calendar (a receiver whose clock ran ahead, corrected
            // since) is remembered as this second: kept as it came, it would make every
            // later fix look like GeoClue's cache of an older one until the calendar caught
            // up. GeoClue's times have whole seconds, so the next one may read this second.
            const auto wallSeconds =
                std::chrono::duration_cast<std::chrono::seconds>(lastWallAt_.time_since_epoch()).count();
            lastFix_ = result.fix->takenAtMicros;
            if (wallSeconds > 0) {
                lastFix_ = std::min(lastFix_, static_cast<std::uint64_t>(wallSeconds) * 1000000u);
            }
            outcome.fix = SourceFixes{{result.fix->location}, std::nullopt};
            if (result.fix->takenAtMicros != 0) {
                outcome.fix->takenAt = Clock::WallTime(std::chrono::duration_cast<Clock::WallTime::duration>(
                    std::chrono::microseconds(result.fix->takenAtMicros)));
            }
        }
        return outcome;
    }

private:
    /// The measurement time before which a location of GeoClue's is the cache of an earlier
    /// one: the last fix's, moved back by as much as the calendar was set back since it came.
    /// GeoClue stamps its locations with the same calendar, so after a correction backwards
    /// its fresh locations are older than the last one, by the calendar; the monotonic clock
    /// tells how much time really passed.
    std::uint64_t notBefore() const {
        const auto clock = platform::clock();
        if (lastFix_ == 0 || clock != lastClock_) {
            return lastFix_;
        }
        const auto passed = clock->now() - lastAt_;
        const auto calendarPassed = clock->wallNow() - lastWallAt_;
        const auto setBack =
            std::chrono::duration_cast<std::chrono::microseconds>(passed - calendarPassed).count();
        if (setBack <= 0) {
            return lastFix_;
        }
        const auto back = static_cast<std::uint64_t>(setBack);
        return back >= lastFix_ ? 0 : lastFix_ - back;
    }

    std::uint64_t lastFix_ = 0;
    // When the last fix came, on the clock that was installed then.
    std::shared_ptr<Clock> lastClock_;
    Clock::TimePoint lastAt_{};
    Clock::WallTime lastWallAt_{};
};

}  // namespace

const LocationSourceKind& geoClueSourceKind() {
    static NoDestructor<LocationSourceKind> kind(LocationSourceKind{
        [] { return std::make_unique<GeoClueSource>(); },
        [](Clock::TimePoint deadline, RequestWake& wake) { return geoClueOffered(deadline, wake); },
        [] { configuredDesktopId().with([](std::string& id) { id.clear(); }); },
    });
    return *kind;
}

void useGeoClue(std::string desktopId) {
    configuredDesktopId().with([&](std::string& id) { id = std::move(desktopId); });
    useLocationSource(geoClueSourceKind());
}

void setGeoClueBusAddress(std::string address) {
    busAddress().with([&](std::string& a) { a = std::move(address); });
}

}  // namespace lumvex::platform
