#pragma once

// Thread guarantees: made and started on the thread whose run loop is to tick (see
// `BaseJob`). Each tick's upload starts on the job's serial queue; `onPushCompleted` runs
// where the upload reports, on the upload thread or on that queue. The job's only state is
// the configuration, which never changes after construction.

#include "engine/BaseJob.h"
#include "upload/UploadContext.h"

#include <LumvexSdk/Lumvex.h>

#include <memory>
#include <optional>

namespace lumvex {

/// Uploads on every tick: one upload request with the configuration of the start that
/// made the job. A failure is only logged; the next tick is the next attempt.
class PushJob final : public BaseJob {
public:
    /// `interval` is in seconds; the uploads go through `context`.
    PushJob(UploadContext context, std::shared_ptr<const LumvexConfiguration> configuration,
            std::int64_t interval, std::shared_ptr<platform::SerialQueue> queue);

    void onTimeInBackgroundThread() override;

private:
    /// What the job does with an upload's outcome.
    static void onPushCompleted(std::optional<LumvexException> error);

    const UploadContext context_;
    const std::shared_ptr<const LumvexConfiguration> configuration_;
};

}  // namespace lumvex
