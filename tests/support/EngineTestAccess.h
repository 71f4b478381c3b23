#pragma once

// What the engine and its jobs keep private, for the tests that check their state.

#include "engine/BaseJob.h"
#include "engine/LumvexEngine.h"
#include "engine/TraceJob.h"

#include <cstdint>
#include <memory>

namespace lumvex {

struct LumvexEngineTestAccess {
    static const std::shared_ptr<platform::SerialQueue>& queue(const LumvexEngine& engine) {
        return engine.queue_;
    }
    static std::shared_ptr<BaseJob> traceJob(const LumvexEngine& engine) {
        platform::MutexLock guard(engine.mutex_);
        return engine.traceJob_;
    }
    static std::shared_ptr<BaseJob> pushJob(const LumvexEngine& engine) {
        platform::MutexLock guard(engine.mutex_);
        return engine.pushJob_;
    }
};

struct BaseJobTestAccess {
    static std::int64_t interval(const BaseJob& job) { return job.interval_; }
    static bool hasTimer(const BaseJob& job) {
        platform::MutexLock guard(job.mutex_);
        return job.timer_ != nullptr;
    }
};

struct TraceJobTestAccess {
    static platform::LocationManager& locationManager(const TraceJob& job) { return *job.locationManager_; }
};

}  // namespace lumvex
