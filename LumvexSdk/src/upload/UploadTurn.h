#pragma once

// Thread guarantees: an upload's turn runs on one thread at a time, the one its turn came
// on or the completion thread of its request; it is shared only with its own requests'
// completions.

#include <LumvexSdk/Lumvex.h>

#include "upload/PushRequest.h"
#include "upload/UploadContext.h"
#include "upload/UploadQueue.h"
#include "upload/UploadRequest.h"

#include <memory>
#include <optional>
#include <string>

namespace lumvex {

/// One upload's turn, from the moment it may send until it has told its host: whether a
/// recorded request goes first, the new request from what the stores hold, and whom to
/// tell what.
class UploadTurn final : public std::enable_shared_from_this<UploadTurn> {
public:
    UploadTurn(UploadContext context, PushRequest builder,
               std::shared_ptr<const LumvexConfiguration> configuration, PushCallback callback);

    /// `before`: what the upload that had the turn before told its host; an upload that
    /// waited behind it and finds nothing left tells its own host the same.
    Step start(const Told& before);

private:
    /// Why a recorded request is not to be sent again, if it is not.
    std::optional<std::string> staleness(const UploadRequest& recorded) const;
    /// The recorded request as it was; once delivered, what was stored since follows.
    Step resend(UploadRequest recorded);
    /// A new request from what the stores hold now.
    Step sendStored();
    /// The new request, recorded before it goes out.
    Step sendNew(UploadRequest request);
    Step finish(std::optional<LumvexException> outcome);

    const UploadContext context_;
    const PushRequest builder_;
    const std::shared_ptr<const LumvexConfiguration> configuration_;
    const PushCallback callback_;
    Told nothingLeft_;  // what to tell the host when nothing is left to send
};

}  // namespace lumvex
