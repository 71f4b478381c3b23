#pragma once

// Thread guarantees: every call is safe from any thread. `start` and `stop` schedule and
// cancel the sampling and upload timers on the calling thread's run loop, so call both on
// the thread that runs it (`RunLoop::run` or `runFor`); the timers fire only while it
// does. `addTrace`, `forcePush` and `applicationWillResignActive` hand their work to the
// library's one work queue, whose private thread "lumvex-queue" runs it one item at a time
// in call order, and return at once. Push callbacks arrive on the upload thread
// "lumvex-http" (on the work queue when an upload fails before anything is sent), never
// on the host's thread: keep them short and post anything longer to your own thread.
// Positions are fetched on "lumvex-gps" and delivered on the run loop of the thread that
// started the library. In a child made by fork() after the library made its threads, every call
// is refused (see the README's Threads section).

#include <LumvexSdk/Errors.h>
#include <LumvexSdk/Export.h>
#include <LumvexSdk/Location.h>
#include <LumvexSdk/LumvexConfiguration.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace lumvex {

/// How `Lumvex::shutdown` left what was stored.
enum class ShutdownOutcome {
    NOTHING_TO_SEND = 0,  ///< nothing was stored, nor a description to deliver
    DELIVERED = 1,        ///< the collection server accepted all of it
    KEPT = 2,             ///< not delivered within the bound: it stays stored for a later run
};

/// "NOTHING_TO_SEND", "DELIVERED" or "KEPT".
LUMVEX_API std::string to_string(ShutdownOutcome outcome);

/// Receives the outcome of one upload: no error on success, else why it failed.
/// Runs on the library's upload thread (or its work queue when the upload fails before
/// anything is sent), never on the host's thread; hop to your own thread if you need to.
using PushCallback = std::function<void(std::optional<LumvexException>)>;

/// What the offline store's bounds have dropped (see
/// `LumvexConfiguration::Builder::keepOffline`).
struct DroppedFixes {
    /// How many fixes were dropped, oldest first, for their age or for the count bound.
    std::uint64_t count = 0;
    /// When the first of them was dropped, in milliseconds since 1970; 0 when none was.
    std::int64_t sinceMs = 0;
};

class LumvexEngine;

/// The library's one entry point. Nothing it does throws.
// Only the public members are exported (see RunLoop.h).
class Lumvex {
public:
    /// The process-wide instance, made on first use.
    LUMVEX_API static Lumvex& shared();

    /// Starts sampling and periodic uploads. The timers run on this thread's run loop
    /// (`lumvex::RunLoop::current()`), so the caller must run it. Returns the reason on
    /// refusal: ALREADY_STARTED, INVALID_EMPTY_API_KEY, or ERROR (no configuration, a
    /// push frequency below 1 minute or too large, an `endpoint` that is not an absolute
    /// http or https URL ending in "/", no usable caches directory (see
    /// `platform::setCachesDirectory`), no thread for the work queue, or a child process
    /// made by fork()). A refused start changes nothing. Each refusal but ALREADY_STARTED
    /// is preceded by one log line naming its cause, written when the debug log is on or
    /// the refused configuration asks for it.
    LUMVEX_API std::optional<LumvexStartException> start(
        std::shared_ptr<const LumvexConfiguration> configuration);

    /// Stops the timers. Does nothing when not started.
    LUMVEX_API void stop();

    /// Whether the library is started right now.
    LUMVEX_API bool isStarted() const;

    /// Stores a fix that the host obtained itself; also while stopped. Returns at once.
    LUMVEX_API void addTrace(const Location& location);

    /// Uploads what is stored, later, on the library's queue, and reports to `callback`
    /// once. While stopped, or when nothing at all is stored, the callback is not called;
    /// when an earlier upload took what was stored, it gets that upload's outcome.
    LUMVEX_API void forcePush(PushCallback callback);

    /// Call when the application is about to leave the foreground: uploads like
    /// `forcePush`, logging a failure.
    LUMVEX_API void applicationWillResignActive();

    /// A service's stop in one step: stops the timers as `stop` does (no fix is sampled
    /// after it), stores the fixes handed over, uploads what is stored, and returns within
    /// about `bound` how that went. NOTHING_TO_SEND as soon as there is nothing to send;
    /// DELIVERED once the collection server accepted it; KEPT when the upload failed, was
    /// refused or did not end within `bound`, or the library was never started: the fixes
    /// stay stored for the next run (an upload still under way may yet deliver them).
    /// Uses the last start's configuration, also after `stop`. Call it on the thread that
    /// started the library, once its run loop no longer runs.
    LUMVEX_API ShutdownOutcome shutdown(std::chrono::milliseconds bound);

    /// What the offline store's bounds dropped so far, in this caches directory, across
    /// runs. All zero when none was, or the store was never turned on.
    LUMVEX_API DroppedFixes droppedFixes() const;

    Lumvex(const Lumvex&) = delete;
    Lumvex& operator=(const Lumvex&) = delete;

private:
    Lumvex();
    ~Lumvex();
    std::unique_ptr<LumvexEngine> engine_;
};

}  // namespace lumvex
