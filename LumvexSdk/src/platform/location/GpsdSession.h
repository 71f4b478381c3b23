#pragma once

// Threads: a session belongs to the one thread that makes its requests, and nothing in it
// may be touched from another; it starts no thread and calls back nothing. The caller's
// other threads reach a request under way only through its `RequestWake`. The address
// that `useGpsd` sets may be set from any thread.

#include <LumvexSdk/Location.h>

#include "platform/base/Clock.h"
#include "platform/location/LocationSource.h"
#include "platform/location/LocationSourceKind.h"
#include "platform/location/RequestWake.h"

#include <sys/socket.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct gps_data_t;

namespace lumvex::platform {

/// Where gpsd listens.
struct GpsdAddress {
    std::string host = "localhost";
    std::string port = "2947";

    bool operator==(const GpsdAddress& other) const { return host == other.host && port == other.port; }
    bool operator!=(const GpsdAddress& other) const { return !(*this == other); }
    /// "host:port", as the log and error texts name it.
    std::string describe() const { return host + ":" + port; }
};

/// Why gpsd gave no fix: UNREACHABLE, LOST or NO_FIX.
using GpsdFailure = SourceFailure;
/// How one request to gpsd ended.
using GpsdOutcome = SourceOutcome;

/// The gpsd source: the kind every manager asks at the address `useGpsd` set (gpsd's
/// default until then), and the one the automatic choice falls back on.
const LocationSourceKind& gpsdSourceKind();

/// Conversations with gpsd, one request at a time: connect, activate the receivers and ask
/// for the fixes they hold, stream reports only if none has one, and hang up as soon as
/// the request is settled. libgps decodes the reports; the socket is ours, so that the
/// address is resolved once rather than at every request. Once connected, a request waits
/// in one poll(2) on the socket and the caller's wake descriptor, bounded by its deadline on
/// the installed clock.
class GpsdSession final : public LocationSource {
public:
    /// What one request may read before it gives up on a gpsd that floods it. A request
    /// normally reads a few kilobytes: the greeting, the device list and a poll answer, plus
    /// a report or two a second from each receiver while it waits for a fix.
    static constexpr std::size_t MAX_BYTES_PER_REQUEST = 256 * 1024;

    GpsdSession();
    ~GpsdSession() override;
    GpsdSession(const GpsdSession&) = delete;
    GpsdSession& operator=(const GpsdSession&) = delete;

    /// "gpsd at host:port".
    std::string describe() const override;
    /// One request to gpsd at the address `useGpsd` set; runs on the calling thread until it
    /// is settled, the installed clock reaches the deadline or `wake` ends it.
    GpsdOutcome request(const SourceRequest& request, RequestWake& wake) override;

private:
    struct Endpoint {
        sockaddr_storage address;
        socklen_t length;
    };
    enum class Phase {
        /// Asking for the fixes the receivers hold: position reports are not yet asked for.
        POLLING,
        /// No receiver had a fix: reports stream until one has.
        STREAMING,
    };
    /// Where one request's reading of gpsd's answers stands.
    struct Conversation {
        int fd;
        const std::string& where;
        Phase phase = Phase::POLLING;
        bool skipping = false;  // inside a line too long to keep
        // A source that answers polls without ever acknowledging a watch, as gpsd does, and
        // hangs up after an answer with no position in it has lost no connection: it had no
        // position to give.
        bool answeredWithoutFix = false;
        bool watched = false;
        std::size_t filled = 0;  // kept from the last read: the start of a line
        std::size_t read = 0;    // in this request
    };

    /// Whether `address` has endpoints to try, looking it up again when it is due.
    bool resolve(const GpsdAddress& address);
    /// A connected, non-blocking socket, or -1 with `outcome` saying why.
    int connect(const GpsdAddress& address, RequestWake& wake, GpsdOutcome& outcome);
    GpsdOutcome converse(int fd, const std::string& where, Clock::TimePoint deadline, RequestWake& wake);
    /// Reads the lines that `received` more bytes completed; the outcome when they settle
    /// the request.
    std::optional<GpsdOutcome> take(Conversation& conversation, std::size_t received);
    std::optional<GpsdOutcome> takeLine(Conversation& conversation, char* line, char* end);
    /// Decodes one line from gpsd; fixes when it settles the request. `pollWithoutFix` is
    /// set when it was a poll answer in which no receiver had a fix.
    std::optional<SourceFixes> decode(char* line, char* end, Phase phase, bool& pollWithoutFix);
    /// The report that starts at `object`, if it is a position fix.
    std::optional<Location> unpackFix(char* object, char* end, std::optional<Clock::WallTime>& takenAt);

    // Resolved once; again when the address changes, or when connecting failed and the
    // lookup is old enough to be worth repeating.
    GpsdAddress resolvedFor_;
    std::vector<Endpoint> endpoints_;
    Clock::TimePoint resolvedAt_{};
    bool stale_ = true;

    // libgps's report is about 24 KB: kept here, made once, rather than on the stack of the
    // thread that converses.
    std::unique_ptr<gps_data_t> report_;
    std::vector<char> input_;
};

}  // namespace lumvex::platform
