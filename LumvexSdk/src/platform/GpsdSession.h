#pragma once

// Threads: a session belongs to the one thread that calls `requestFixes`, and nothing in it
// may be touched from another; it starts no thread and calls back nothing. The caller's
// other threads reach a request under way only through the wake descriptor and the
// `stopping` and `blocking` functions they hand in, which the session calls on its own
// thread.

#include <LumvexSdk/Lumvex.h>

#include "platform/Clock.h"
#include "platform/LocationSource.h"

#include <sys/socket.h>

#include <cstddef>
#include <functional>
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

/// The fixes gpsd's receivers held, in gpsd's order, and when the first was measured if gpsd
/// said so.
struct GpsdFixes {
    std::vector<Location> locations;
    std::optional<Clock::WallTime> takenAt;
};

/// Why gpsd gave no fix: UNREACHABLE, LOST or NO_FIX.
using GpsdFailure = SourceFailure;
/// How one request to gpsd ended.
using GpsdOutcome = SourceOutcome<GpsdFixes>;

/// What a request needs from its caller to be ended early.
struct GpsdInterrupts {
    /// Readable when the caller wants attention: it is going away, or a virtual clock moved.
    int wakeFd = -1;
    /// Whether the caller wants the request abandoned.
    std::function<bool()> stopping;
    /// Called with true before a name lookup or a connect, which nothing can interrupt, and
    /// with false after it. Returning false on entry abandons the request instead.
    std::function<bool(bool entering)> blocking;
};

/// Conversations with gpsd, one request at a time: connect, activate the receivers and ask
/// for the fixes they hold, stream reports only if none has one, and hang up as soon as
/// the request is settled. libgps decodes the reports; the socket is ours, so that the
/// address is resolved once rather than at every request. Once connected, a request waits
/// in one poll(2) on the socket and the caller's wake descriptor, bounded by its deadline on
/// the installed clock.
class GpsdSession {
public:
    /// What one request may read before it gives up on a gpsd that floods it. A request
    /// normally reads a few kilobytes: the greeting, the device list and a poll answer, plus
    /// a report or two a second from each receiver while it waits for a fix.
    static constexpr std::size_t MAX_BYTES_PER_REQUEST = 256 * 1024;

    GpsdSession();
    ~GpsdSession();
    GpsdSession(const GpsdSession&) = delete;
    GpsdSession& operator=(const GpsdSession&) = delete;

    /// One request; runs on the calling thread until it is settled, the installed clock
    /// reaches `deadline` or `interrupts` end it.
    GpsdOutcome requestFixes(const GpsdAddress& address, Clock::TimePoint deadline,
                             const GpsdInterrupts& interrupts);

private:
    struct Endpoint {
        sockaddr_storage address;
        socklen_t length;
    };
    enum class Wait { READY, DEADLINE, STOPPED, FAILED };

    Wait waitFor(int fd, short events, Clock::TimePoint deadline, const GpsdInterrupts& interrupts);
    /// A connected, non-blocking socket, or -1 with `outcome` saying why.
    int connect(const GpsdAddress& address, const GpsdInterrupts& interrupts, GpsdOutcome& outcome);
    GpsdOutcome converse(int fd, const std::string& where, Clock::TimePoint deadline,
                         const GpsdInterrupts& interrupts);
    /// Decodes one line from gpsd; fixes when it settles the request. `pollWithoutFix` is
    /// set when it was a poll answer in which no receiver had a fix.
    std::optional<GpsdFixes> decode(char* line, char* end, bool streaming, bool& pollWithoutFix);
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
