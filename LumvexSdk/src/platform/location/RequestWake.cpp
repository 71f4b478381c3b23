#include "platform/location/RequestWake.h"

#include <poll.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace lumvex::platform {

PollResult pollWithWake(int fd, short events, Clock::TimePoint deadline, RequestWake& wake,
                        std::chrono::milliseconds limit) {
    if (wake.stopping()) {
        return PollResult::STOPPED;
    }
    const auto now = platform::clock()->now();
    if (now >= deadline) {
        return PollResult::DEADLINE;
    }
    const auto remaining = std::min(std::chrono::ceil<std::chrono::milliseconds>(deadline - now), limit);
    pollfd fds[2] = {{fd, events, 0}, {wake.fd(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(remaining.count(), INT_MAX)));
    if (ready < 0) {
        return errno == EINTR ? PollResult::READY : PollResult::FAILED;
    }
    if (fds[1].revents & POLLIN) {
        std::uint64_t value = 0;
        [[maybe_unused]] const auto n = ::read(wake.fd(), &value, sizeof(value));
    }
    if (fds[0].revents & POLLNVAL) {
        errno = EBADF;
        return PollResult::FAILED;
    }
    return PollResult::READY;
}

}  // namespace lumvex::platform
