#pragma once

// Thread guarantees: the file's operations are safe from any thread; one lock serialises
// them. Only the upload whose turn it is uses them.

#include "platform/base/ThreadAnnotations.h"
#include "upload/UploadRequest.h"

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace lumvex {

/// The record of the upload request whose outcome is not known yet, in "pending.lmx" beside
/// the stores: written just before the request goes out (a request whose record cannot be
/// written is not sent), removed once the answer has been acted on. It keeps the request's
/// exact bytes and key, so a retry after a lost answer is byte for byte the first attempt
/// and a server that honours the key keeps its fixes once.
///
/// A record lives at most `MAX_AGE`, and only for the push format, endpoint and API key it
/// was made under; the upload gives it up otherwise (see Outbox). Failures are logged. The
/// outbox owns the one object of its caches directory.
class PendingUpload final {
public:
    /// The record left by an earlier attempt, if any. One that cannot be read, or that is
    /// not in the form `save` writes (over `MAX_BYTES`, nested deeper than a body is, a
    /// field that does not decode), is logged, removed and never looked at again: the trace
    /// file still holds its fixes.
    std::optional<UploadRequest> load();

    /// Records `request`, replacing any earlier record whole and durably. False, with a
    /// log line, when it could not be written.
    bool save(const UploadRequest& request);

    /// Removes the record durably. False, with a log line, when it is still there.
    bool discard();

    /// The file's content for `request`, and back; nothing when `text` is not such a content.
    static std::string encode(const UploadRequest& request);
    static std::optional<UploadRequest> decode(std::string_view text);

    static constexpr const char* FILENAME = "pending.lmx";
    /// How long a record is resent before it is given up.
    static constexpr std::chrono::hours MAX_AGE{72};
    /// What a record can weigh: the store reads a trace file of 256 KiB at most, and a body
    /// and its lines made of one are well below this.
    static constexpr std::size_t MAX_BYTES = 4 * 1024 * 1024;

private:
    // Held for all work on the file.
    platform::Mutex mutex_;
    // Whether this process has cleared what killed processes left of their rewrites.
    bool tidied_ LUMVEX_GUARDED_BY(mutex_) = false;
};

}  // namespace lumvex
