#pragma once

// Thread guarantees: plain references to objects that are safe from any thread.

#include "DeviceInfoRepository.h"
#include "TraceRepository.h"
#include "platform/UrlSession.h"

namespace lumvex {

/// What an upload works with: the two stores it reads and settles, and the session that
/// carries its requests. The engine hands its own down to its jobs and uploads, so that
/// none of them reaches for a process-wide object itself.
struct UploadContext {
    TraceRepository& traces;
    DeviceInfoRepository& devices;
    platform::UrlSession& session;

    /// The process's own: the stores of the caches directory and the shared session.
    static UploadContext process() {
        return {TraceRepository::shared(), DeviceInfoRepository::shared(), platform::UrlSession::shared()};
    }
};

}  // namespace lumvex
