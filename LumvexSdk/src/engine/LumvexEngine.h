#pragma once

// Thread guarantees: every call is safe from any thread. `start` and `stop` schedule and
// cancel the jobs' timers on the calling thread's run loop, so a host calls both on the
// thread that runs it. `addTrace`, `forcePush` and `applicationWillResignActive` only hand
// their work to the serial queue and return; push callbacks arrive on the upload thread,
// or on the queue when the upload fails before it is sent.

#include <LumvexSdk/Lumvex.h>

#include "engine/BaseJob.h"
#include "platform/base/SerialQueue.h"
#include "platform/base/ThreadAnnotations.h"
#include "upload/UploadContext.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>

namespace lumvex {

/// The running state of the library: started or not, the configuration in force, the two
/// periodic jobs and the serial queue on which their work and the host's deferred
/// requests run.
class LumvexEngine final {
public:
    static constexpr std::int64_t TRACE_INTERVAL_SECONDS = 10;

    LumvexEngine();
    ~LumvexEngine();

    /// Nothing on success, else why the start was refused; a refusal changes nothing.
    std::optional<LumvexStartException> start(std::shared_ptr<const LumvexConfiguration> configuration);
    void stop();
    bool isStarted() const;

    /// Inline, as the host's calls into it: the host pays for every call and frame on the
    /// way to the queue.
    void addTrace(const Location& location) {
        // No started check: a fix handed over while stopped is kept all the same.
        auto& traces = context_.traces;
        if (!queue_->asyncDurable(
                [location, &traces] { traces.addTrace(location, TraceRepository::Arrival::announced); },
                announced_.get())) {
            logDropped("addTrace(_:)");
        }
    }
    void forcePush(PushCallback&& callback);
    void applicationWillResignActive();

    /// Stops, stores what was handed over, uploads what is stored, and says within about
    /// `bound` how that went (see `Lumvex::shutdown`).
    ShutdownOutcome shutdown(std::chrono::milliseconds bound);

private:
    friend struct LumvexEngineTestAccess;

    void startJobs(const std::shared_ptr<const LumvexConfiguration>& configuration, std::int64_t pushInterval)
        LUMVEX_REQUIRES(mutex_);
    void stopJobs() LUMVEX_REQUIRES(mutex_);
    void push(PushCallback callback, std::uint64_t askedAt);
    // Out of line, so that the host's call does not carry the logging's frame.
    [[gnu::cold, gnu::noinline]] static void logDropped(const char* operation);
    /// Hands `work` to the queue, or logs under `operation` that it was dropped.
    void enqueue(const char* operation, platform::Task&& work);

    // The stores that its jobs and uploads use: the process's own.
    const UploadContext context_;
    // The fixes that addTrace handed to the queue, counted by the queue as it takes each.
    const std::shared_ptr<std::atomic<std::uint64_t>> announced_;
    const std::shared_ptr<platform::SerialQueue> queue_;
    // Written by start and stop on the host's thread, read by work on the queue.
    mutable platform::Mutex mutex_;
    bool isStarted_ LUMVEX_GUARDED_BY(mutex_) = false;
    std::shared_ptr<const LumvexConfiguration> configuration_ LUMVEX_GUARDED_BY(mutex_);
    std::shared_ptr<BaseJob> traceJob_ LUMVEX_GUARDED_BY(mutex_);
    std::shared_ptr<BaseJob> pushJob_ LUMVEX_GUARDED_BY(mutex_);
};

}  // namespace lumvex
