#pragma once

#include <LumvexSdk/Lumvex.h>

#include "BaseJob.h"
#include "platform/SerialQueue.h"

#include <memory>
#include <mutex>
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

    void addTrace(const Location& location);
    void forcePush(PushCallback&& callback);
    void applicationWillResignActive();

    const std::shared_ptr<platform::SerialQueue>& queue() const { return queue_; }
    std::shared_ptr<BaseJob> traceJob() const;
    std::shared_ptr<BaseJob> pushJob() const;

private:
    void startJobs(const std::shared_ptr<const LumvexConfiguration>& configuration,
                   std::int64_t pushInterval);
    void stopJobs();
    void push(PushCallback callback);
    /// Hands `work` to the queue, or logs under `operation` that it was dropped.
    void enqueue(const char* operation, std::function<void()>&& work);

    const std::shared_ptr<platform::SerialQueue> queue_;
    // Written by start and stop on the host's thread, read by work on the queue.
    mutable std::mutex mutex_;
    bool isStarted_ = false;
    std::shared_ptr<const LumvexConfiguration> configuration_;
    std::shared_ptr<BaseJob> traceJob_;
    std::shared_ptr<BaseJob> pushJob_;
};

}  // namespace lumvex
