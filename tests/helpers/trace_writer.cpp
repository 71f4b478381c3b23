// A host process that does nothing but store fixes, for the crash tests: it appends fixes
// numbered from a first number on (latitude n, longitude n + 0.5) and, once each append
// has returned, writes n to standard output as 8 raw bytes, so that whoever kills it
// knows which appends had completed.
//
//   lumvex-trace-writer <bundle directory> <first number> [<count>]
//
// Without a count it appends until it is killed. The caches directory comes from the
// environment (XDG_CACHE_HOME), as for any host.

#include "store/TraceRepository.h"

#include <LumvexSdk/Platform.h>

#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool report(std::uint64_t n) {
    const char* p = reinterpret_cast<const char*>(&n);
    std::size_t left = sizeof(n);
    while (left > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, p, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        p += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    lumvex::platform::setMainBundleDirectory(argv[1]);
    const std::uint64_t first = std::strtoull(argv[2], nullptr, 10);
    const std::uint64_t count = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : UINT64_MAX;
    auto& store = lumvex::TraceRepository::shared();
    for (std::uint64_t i = 0; i < count; ++i) {
        const auto n = first + i;
        store.addTrace(lumvex::Location{static_cast<double>(n), static_cast<double>(n) + 0.5});
        if (!report(n)) {
            return 1;
        }
    }
    return 0;
}
