#include "FakeReceiver.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace lumvex::harness {

FakeReceiver::FakeReceiver() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128];
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name, sizeof name) != 0) {
        error_ = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return;
    }
    path_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (slave_ >= 0 && ::tcgetattr(slave_, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
    }
}

FakeReceiver::~FakeReceiver() {
    for (const int fd : {slave_, master_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool FakeReceiver::write(const std::string& nmea) {
    std::size_t done = 0;
    while (done < nmea.size()) {
        const auto n = ::write(master_, nmea.data() + done, nmea.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace lumvex::harness
