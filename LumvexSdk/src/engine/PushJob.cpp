#include "engine/PushJob.h"

#include "platform/base/L.h"
#include "upload/PushRequest.h"

namespace lumvex {

PushJob::PushJob(UploadContext context, std::shared_ptr<const LumvexConfiguration> configuration,
                 std::int64_t interval, std::shared_ptr<platform::SerialQueue> queue)
    : BaseJob(interval, std::move(queue)), context_(context), configuration_(std::move(configuration)) {}

void PushJob::onTimeInBackgroundThread() {
    // A tick enqueued before a stop still uploads: the job does not ask the engine.
    if (configuration_) {
        PushRequest().sendPush(context_, *configuration_, &PushJob::onPushCompleted);
    }
}

void PushJob::onPushCompleted(std::optional<LumvexException> error) {
    if (error) {
        LUMVEX_LOG_ERROR("onTimeInBackgroundThread()", "Push failed: " + to_string(error));
    }
}

}  // namespace lumvex
