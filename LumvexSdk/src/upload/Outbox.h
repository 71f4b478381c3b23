#pragma once

// Thread guarantees: every call is safe from any thread; one lock guards the outbox's state,
// and no stage of an upload runs under it. An upload runs on one thread at a time: the one
// that handed it over or that ended the upload before it, then the session's completion
// thread once a request of it is answered. Where its host is told is decided in `tell`.

#include <LumvexSdk/Lumvex.h>

#include "platform/base/ThreadAnnotations.h"
#include "platform/net/UrlSession.h"
#include "platform/system/FileLock.h"
#include "upload/PendingUpload.h"
#include "upload/PushRequest.h"
#include "upload/UploadContext.h"
#include "upload/UploadLog.h"
#include "upload/UploadRequest.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace lumvex {

/// The uploads of every engine that shares one caches directory: one in flight at a time,
/// in call order, through one URL session, each as a run of stages:
///
///     idle ─▶ resend the recorded request ─▶ send what is stored ─▶ settle ─▶ hand on ─▶ idle
///                  │ (none, given up, or          ▲        │ (nothing to send)   ▲
///                  │  delivered and settled)      │        └─────────────────────┘
///                  └──────────────────────────────┘
///
/// It keeps what lives from one upload to the next: the recorded request ("pending.lmx")
/// and how long it has been known, whose turn it is, the key of a delivered request whose
/// fixes are still to be removed, how many uploads have told their host an outcome (for
/// `forcePush` calls that wait behind another upload), the lock that keeps the uploads of
/// other processes apart ("upload.lock"), and the session its requests go through.
///
/// Two uploads in flight at once would both carry the lines that neither has removed yet,
/// and an endpoint that never answers would otherwise pile up one socket per push.
class Outbox final {
public:
    explicit Outbox(platform::UrlSession& session);
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    /// One upload of what `context`'s stores hold, made by `builder` under `configuration`,
    /// told to `callback` (see `PushRequest::sendPush`). `askedAt`: `outcomesSoFar()` when
    /// the host asked; an upload that ended since carried what was stored then. `site`:
    /// what the upload's log lines name. Runs now when no upload has the turn, else once
    /// the uploads before it ended. What a stage throws when run now ends the turn and goes
    /// on to the caller.
    void send(const UploadContext& context, const PushRequest& builder,
              const LumvexConfiguration& configuration, PushCallback callback,
              std::optional<std::uint64_t> askedAt, LogSite site);

    /// How many uploads have told their host an outcome so far.
    std::uint64_t outcomesSoFar() const;
    /// Whether no upload is in flight or waiting its turn.
    bool idle() const;
    /// Whether a request is recorded whose answer is not acted on yet: an upload now would
    /// send it again, whatever else is stored.
    bool hasRecord();

private:
    /// What an upload told its host, and whether it came from an answer (its own request's,
    /// or one it waited behind): such an outcome reaches the host on the upload thread.
    struct Outcome {
        std::optional<LumvexException> error;
        bool answered = false;
    };
    /// Nothing: no callback was made.
    using Told = std::optional<Outcome>;

    struct Upload;
    /// How a stage left the upload: with a request in flight, whose answer carries the
    /// upload on, or done, having told its host what `told` says.
    struct Step {
        bool inFlight = false;
        Told told;
    };

    // The stages. Each says, on every way out, what the host is told.
    Step begin(const std::shared_ptr<Upload>& upload);
    Step resendRecorded(const std::shared_ptr<Upload>& upload, UploadRequest recorded);
    Step sendStored(const std::shared_ptr<Upload>& upload);
    Step sendNew(const std::shared_ptr<Upload>& upload, UploadRequest request);
    /// Posts `request`; its answer is acted on, then `after` continues, on the completion
    /// thread.
    enum class After { sendStored, finish };
    Step post(const std::shared_ptr<Upload>& upload, UploadRequest request, platform::Url url, After after);
    void answered(const std::shared_ptr<Upload>& upload, const UploadRequest& request, After after,
                  const std::optional<platform::UrlResponseData>& data,
                  const std::optional<platform::HttpUrlResponse>& response,
                  const std::optional<platform::UrlError>& error);
    /// What the answer means for the stores and the record, and the host's outcome.
    std::optional<LumvexException> act(const Upload& upload, const UploadRequest& request,
                                       const std::optional<platform::UrlResponseData>& data,
                                       const std::optional<platform::HttpUrlResponse>& response,
                                       const std::optional<platform::UrlError>& error);
    /// After a 200: removes exactly the fixes the request carried, records its description,
    /// then ends its record. Until all of that succeeded the record stays, marked delivered,
    /// so that those fixes never go out under another key. False until then.
    bool settle(const Upload& upload, const UploadRequest& request);
    /// Ends the record for good, logging `why`; its fixes go out in a new request.
    void giveUp(const Upload& upload, const std::string& why);
    /// Why a recorded request is not to be sent again, if it is not.
    std::optional<std::string> staleness(const Upload& upload, const UploadRequest& recorded);
    std::optional<platform::Url> parseUrl(const Upload& upload, const std::string& text) const;
    /// Tells the host `outcome` and ends the upload's stages.
    Step finish(const Upload& upload, Outcome outcome);
    /// Calls `callback` with `outcome` on the thread the outcome belongs on.
    void tell(const PushCallback& callback, const Outcome& outcome);
    /// Hands the turn to the uploads that waited, one after the other on this thread until
    /// one has a request in flight, or frees it. A loop, so that any number of waiting
    /// uploads costs no stack. Lets nothing escape but a forced unwind (a push callback
    /// that ends its thread).
    void handOn(Told told);
    /// The turn among the processes that share the caches directory, held for this one's
    /// turn. Not waited for: the other's upload may take as long as the network does. 0
    /// when held, else the errno why not (EWOULDBLOCK: another process holds it).
    int takeTurnAcrossProcesses();

    platform::UrlSession& session_;
    PendingUpload pending_;

    /// How long a record has been known: its age by the calendar when first seen, then by
    /// the monotonic clock, so that a clock step alone never gives it up.
    struct KnownRecord {
        std::string key;
        std::int64_t createdAtMs = 0;
        std::chrono::steady_clock::time_point seenAt;
        std::int64_t ageWhenSeenMs = 0;
    };

    mutable platform::Mutex mutex_;
    bool busy_ LUMVEX_GUARDED_BY(mutex_) = false;
    std::deque<std::shared_ptr<Upload>> waiting_ LUMVEX_GUARDED_BY(mutex_);
    std::optional<std::string> deliveredKey_ LUMVEX_GUARDED_BY(mutex_);
    std::uint64_t toldCount_ LUMVEX_GUARDED_BY(mutex_) = 0;
    Told lastTold_ LUMVEX_GUARDED_BY(mutex_);
    std::optional<platform::FileLock> acrossProcesses_ LUMVEX_GUARDED_BY(mutex_);
    std::optional<KnownRecord> known_ LUMVEX_GUARDED_BY(mutex_);
};

}  // namespace lumvex
