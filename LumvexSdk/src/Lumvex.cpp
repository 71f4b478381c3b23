#include <LumvexSdk/Lumvex.h>

#include "LumvexEngine.h"

namespace lumvex {

Lumvex::Lumvex() : engine_(std::make_unique<LumvexEngine>()) {}

Lumvex::~Lumvex() = default;

Lumvex& Lumvex::shared() {
    // Lives for the whole process: its queue's worker must never be joined during exit.
    static Lumvex* instance = new Lumvex();
    return *instance;
}

std::optional<LumvexStartException> Lumvex::start(std::shared_ptr<const LumvexConfiguration> configuration) {
    try {
        return engine_->start(std::move(configuration));
    } catch (...) {
        return LumvexStartException::ERROR;
    }
}

void Lumvex::stop() {
    try {
        engine_->stop();
    } catch (...) {
    }
}

bool Lumvex::isStarted() const {
    return engine_->isStarted();
}

void Lumvex::addTrace(const Location& location) {
    try {
        engine_->addTrace(location);
    } catch (...) {
    }
}

void Lumvex::forcePush(PushCallback callback) {
    try {
        engine_->forcePush(std::move(callback));
    } catch (...) {
    }
}

void Lumvex::applicationWillResignActive() {
    try {
        engine_->applicationWillResignActive();
    } catch (...) {
    }
}

}  // namespace lumvex
