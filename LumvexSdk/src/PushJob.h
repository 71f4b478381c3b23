#pragma once

#include "BaseJob.h"

#include <LumvexSdk/Lumvex.h>

#include <memory>
#include <optional>

namespace lumvex {

/// Uploads on every tick: one upload request with the configuration of the start that
/// made the job. A failure is only logged; the next tick is the next attempt.
class PushJob final : public BaseJob {
public:
    /// `interval` is in seconds.
    PushJob(std::shared_ptr<const LumvexConfiguration> configuration, std::int64_t interval,
            std::shared_ptr<platform::SerialQueue> queue);

    void onTimeInBackgroundThread() override;

    const std::shared_ptr<const LumvexConfiguration>& configuration() const { return configuration_; }

    /// What the job does with an upload's outcome.
    static void onPushCompleted(std::optional<LumvexException> error);

private:
    const std::shared_ptr<const LumvexConfiguration> configuration_;
};

}  // namespace lumvex
