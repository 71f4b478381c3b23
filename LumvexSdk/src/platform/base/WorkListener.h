#pragma once

// Thread guarantees: the listener is called on whichever thread did the work or posted the
// task, with no lock of the library held, possibly on several threads at once. Installing
// one is safe from any thread.

#include <atomic>

namespace lumvex::platform {

/// A hook for code that waits on the library's threads from outside, such as a test that
/// runs a loop until something is stored: it is told whenever work may have changed what
/// it looks at, so that it can sleep instead of polling.
///
/// It is called after a serial queue's work item has run, after a run loop's task or timer
/// action has run, and when a task is posted to a run loop. Work that ends elsewhere (on
/// the location or upload thread, say) does not call it.
///
/// None is installed in production; each of those places then pays one relaxed atomic load.
using WorkListener = void (*)();

/// Installs `listener`, or removes it with nullptr. A call already under way may still
/// reach the previous listener after this returns, so a listener must stay callable for
/// the rest of the process: a plain function, not one bound to an object's life.
void setWorkListener(WorkListener listener);

namespace detail {
extern std::atomic<WorkListener> workListener;
}

/// Tells the installed listener, if any, that work has run or was posted.
inline void notifyWorkListener() {
    if (const WorkListener listener = detail::workListener.load(std::memory_order_relaxed)) {
        listener();
    }
}

}  // namespace lumvex::platform
