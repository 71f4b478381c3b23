#pragma once

// Thread guarantees: plain references to objects that are safe from any thread.

#include "store/DeviceInfoRepository.h"
#include "store/TraceRepository.h"

namespace lumvex {

class Outbox;

/// The stores an upload reads and settles, and the outbox it goes through. The engine hands
/// its own down to its jobs and uploads, so that none of them reaches for a process-wide
/// object itself.
struct UploadContext {
    TraceRepository& traces;
    DeviceInfoRepository& devices;
    Outbox& outbox;

    /// The process's own: the stores of the caches directory and the one outbox that every
    /// engine of the process shares, since they share those files. Made here, with the
    /// first need, and never destroyed: an answer may still arrive while the process exits.
    static UploadContext process();
};

}  // namespace lumvex
