#include <LumvexSdk/Lumvex.h>

#include "ConfigurationAccess.h"
#include "L.h"
#include "LumvexEngine.h"
#include "platform/Process.h"

namespace lumvex {

namespace {
// Out of line, so that every host call does not carry the logging's frame.
[[gnu::cold, gnu::noinline]] void logRefusedInForkedChild(const char* operation, bool show) {
    LUMVEX_LOG_ERROR_IF(show, operation, "LumvexSdk does not run in a child process made by fork()");
}

// A child made by fork() has none of the parent's library threads, may find their locks
// held for good, and shares the parent's files and connections; the library stays out of
// its way there instead of blocking or sending the parent's fixes a second time.
// `show` writes the line even while the debug log is off: for a start whose configuration
// asks for the log.
bool refusedInForkedChild(const char* operation, bool show = false) {
    if (!platform::isForkedChild()) {
        return false;
    }
    logRefusedInForkedChild(operation, show);
    return true;
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
    if (refusedInForkedChild("start(_:)",
                             configuration && detail::ConfigurationAccess::enableDebugLog(*configuration))) {
        return LumvexStartException::ERROR;
    }
    try {
        return engine_->start(std::move(configuration));
    } catch (...) {
        return LumvexStartException::ERROR;
    }
}

void Lumvex::stop() {
    if (refusedInForkedChild("stop()")) {
        return;
    }
    try {
        engine_->stop();
    } catch (...) {
    }
}

bool Lumvex::isStarted() const {
    // Nothing of the library runs in a forked child, whatever the parent had started.
    if (platform::isForkedChild()) {
        return false;
    }
    return engine_->isStarted();
}

void Lumvex::addTrace(const Location& location) {
    if (refusedInForkedChild("addTrace(_:)")) {
        return;
    }
    try {
        engine_->addTrace(location);
    } catch (...) {
    }
}

void Lumvex::forcePush(PushCallback callback) {
    if (refusedInForkedChild("forcePush(_:)")) {
        return;
    }
    try {
        engine_->forcePush(std::move(callback));
    } catch (...) {
    }
}

void Lumvex::applicationWillResignActive() {
    if (refusedInForkedChild("applicationWillResignActive()")) {
        return;
    }
    try {
        engine_->applicationWillResignActive();
    } catch (...) {
    }
}

}  // namespace lumvex
