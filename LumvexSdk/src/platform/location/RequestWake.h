#pragma once

// Thread guarantees: a location request runs wholly on the thread that asked for it; its
// caller's other threads reach it only through the wake descriptor, which any thread may
// make readable. `pollWithWake` runs on the request's thread and calls the wake's functions
// there.

#include "platform/base/Clock.h"

#include <chrono>

namespace lumvex::platform {

/// How the caller of a location request ends it early. The request looks at `stopping`
/// whenever the descriptor becomes readable, and brackets what nothing can interrupt.
class RequestWake {
public:
    virtual ~RequestWake() = default;
    /// Readable when the caller wants attention: it is going away, or a virtual clock moved.
    /// -1 when there is none; the request then ends by its deadline only.
    virtual int fd() const = 0;
    /// Whether the caller wants the request abandoned.
    virtual bool stopping() = 0;
    /// Called before a name lookup or a connect, which nothing can interrupt; false abandons
    /// the request instead.
    virtual bool enterUninterruptible() = 0;
    /// Called once the lookup or connect has returned.
    virtual void leaveUninterruptible() = 0;
};

enum class PollResult {
    /// `fd` is ready, failed or hung up (the next call on it says which), or the wait was
    /// woken: look again.
    READY,
    /// The installed clock reached the deadline.
    DEADLINE,
    /// The caller wants the request abandoned.
    STOPPED,
    /// poll(2) failed, or `fd` is not open; errno says why.
    FAILED,
};

/// One wait of a request: in poll(2) on `fd` (for `events`) and the wake descriptor, until
/// one is ready, the installed clock reaches `deadline` or `limit` passes in real time. A
/// virtual clock does not pass in reality, which is why its moves come through the wake.
PollResult pollWithWake(int fd, short events, Clock::TimePoint deadline, RequestWake& wake,
                        std::chrono::milliseconds limit = std::chrono::milliseconds::max());

}  // namespace lumvex::platform
