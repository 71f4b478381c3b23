#include "platform/base/WorkListener.h"

namespace lumvex::platform {

namespace detail {
std::atomic<WorkListener> workListener{nullptr};
}

void setWorkListener(WorkListener listener) {
    detail::workListener.store(listener, std::memory_order_relaxed);
}

}  // namespace lumvex::platform
