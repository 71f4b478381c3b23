#include <LumvexSdk/Lumvex.h>

#include "config/ConfigurationAccess.h"
#include "engine/LumvexEngine.h"
#include "platform/base/HostCode.h"
#include "platform/base/L.h"
#include "platform/base/Process.h"
#include "store/OfflineStore.h"

#include <utility>

namespace lumvex {

namespace {
// Whether the refusal in a forked child is logged while the debug log is off.
enum class RefusalLog {
    whenDebugLogOn,
    /// For a start whose configuration asks for the log, which it has not switched on yet.
    always,
};

// Out of line, so that every host call does not carry the logging's frame.
[[gnu::cold, gnu::noinline]] void logRefusedInForkedChild(const char* operation, RefusalLog log) {
    LUMVEX_LOG_ERROR_IF(log == RefusalLog::always, operation,
                        "LumvexSdk does not run in a child process made by fork()");
}

// Runs the host's call `operation`, and gives `failed` instead when it cannot run or throws:
// nothing crosses into the host as an exception. A child made by fork() has none of the
// parent's library threads, may find their locks held for good, and shares the parent's
// files and connections; the library stays out of its way there instead of blocking or
// sending the parent's fixes a second time.
template <typename Result, typename Call>
LUMVEX_CATCHES_FORCED_UNWIND Result hostCall(const char* operation, RefusalLog log, Result failed,
                                             Call&& call) {
    if (platform::isForkedChild()) {
        logRefusedInForkedChild(operation, log);
        return failed;
    }
    try {
        return std::forward<Call>(call)();
    }
    // A host thread that is being ended (pthread_cancel, pthread_exit from a handler) is
    // let go; that is not an exception of the library's.
    LUMVEX_PASS_FORCED_UNWIND
    catch (...) {
        return failed;
    }
}

// The same for a call that gives nothing back.
template <typename Call>
void hostCall(const char* operation, Call&& call) {
    hostCall(operation, RefusalLog::whenDebugLogOn, false, [&call] {
        std::forward<Call>(call)();
        return true;
    });
}
}  // namespace

Lumvex::Lumvex() : engine_(std::make_unique<LumvexEngine>()) {}

Lumvex::~Lumvex() = default;

Lumvex& Lumvex::shared() {
    // Lives for the whole process: its queue's worker must never be joined during exit.
    // Making it makes no thread (the queue's comes with the first work), so it cannot fail
    // for want of one. A plain `new` rather than NoDestructor, which could not reach the
    // private constructor of this public class.
    static Lumvex* instance = new Lumvex();
    return *instance;
}

std::optional<LumvexStartException> Lumvex::start(std::shared_ptr<const LumvexConfiguration> configuration) {
    const bool logAsked = configuration && detail::ConfigurationAccess::enableDebugLog(*configuration);
    return hostCall("start(_:)", logAsked ? RefusalLog::always : RefusalLog::whenDebugLogOn,
                    std::optional<LumvexStartException>(LumvexStartException::ERROR),
                    [&] { return engine_->start(std::move(configuration)); });
}

void Lumvex::stop() {
    hostCall("stop()", [&] { engine_->stop(); });
}

bool Lumvex::isStarted() const {
    // Nothing of the library runs in a forked child, whatever the parent had started.
    if (platform::isForkedChild()) {
        return false;
    }
    return engine_->isStarted();
}

void Lumvex::addTrace(const Location& location) {
    hostCall("addTrace(_:)", [&] { engine_->addTrace(location); });
}

void Lumvex::forcePush(PushCallback callback) {
    hostCall("forcePush(_:)", [&] { engine_->forcePush(std::move(callback)); });
}

ShutdownOutcome Lumvex::shutdown(std::chrono::milliseconds bound) {
    return hostCall("shutdown(_:)", RefusalLog::whenDebugLogOn, ShutdownOutcome::KEPT,
                    [&] { return engine_->shutdown(bound); });
}

DroppedFixes Lumvex::droppedFixes() const {
    return hostCall("droppedFixes()", RefusalLog::whenDebugLogOn, DroppedFixes{},
                    [] { return OfflineStore::shared().dropped(); });
}

std::string to_string(ShutdownOutcome outcome) {
    switch (outcome) {
        case ShutdownOutcome::NOTHING_TO_SEND:
            return "NOTHING_TO_SEND";
        case ShutdownOutcome::DELIVERED:
            return "DELIVERED";
        case ShutdownOutcome::KEPT:
            return "KEPT";
    }
    return "ShutdownOutcome(" + std::to_string(static_cast<int>(outcome)) + ")";
}

void Lumvex::applicationWillResignActive() {
    hostCall("applicationWillResignActive()", [&] { engine_->applicationWillResignActive(); });
}

}  // namespace lumvex
