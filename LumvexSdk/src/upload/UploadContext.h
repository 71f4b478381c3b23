#pragma once

// Thread guarantees: plain references to objects that are safe from any thread.

#include "store/DeviceInfoRepository.h"
#include "store/TraceRepository.h"

namespace lumvex {

/// The stores an upload reads and settles. The engine hands its own down to its jobs and
/// uploads, so that none of them reaches for a process-wide store itself.
///
/// The HTTP session is not among them: libcurl's set-up is process-wide, and the session
/// is made, with its exit handler, when the engine starts on the host's thread.
struct UploadContext {
    TraceRepository& traces;
    DeviceInfoRepository& devices;

    /// The process's own: the stores of the caches directory.
    static UploadContext process() { return {TraceRepository::shared(), DeviceInfoRepository::shared()}; }
};

}  // namespace lumvex
