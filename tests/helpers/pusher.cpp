// A host that stores a few fixes and uploads once, for the crash tests: the test kills it
// at chosen moments of the upload, then runs it again to upload what was left.
//
//   lumvex-pusher <bundle directory> <endpoint base URL> <first number> <count>
//
// It stores fixes numbered from the first number on (latitude n, longitude n + 0.5), then
// makes one forced upload and waits for its outcome. Exit status: 0 when the upload
// succeeded or there was nothing to send, 1 when it failed, 4 when no outcome came.

#include <LumvexSdk/LumvexSdk.h>

#include "UploadTestAccess.h"
#include "store/TraceRepository.h"
#include "upload/PushRequest.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    if (argc != 5) {
        return 2;
    }
    lumvex::platform::setMainBundleDirectory(argv[1]);
    lumvex::PushRequestTestAccess::setDefaultEndpoint(std::string(argv[2]));
    const std::uint64_t first = std::strtoull(argv[3], nullptr, 10);
    const std::uint64_t count = std::strtoull(argv[4], nullptr, 10);
    auto& store = lumvex::TraceRepository::shared();
    for (std::uint64_t n = first; n < first + count; ++n) {
        store.addTrace(lumvex::Location{static_cast<double>(n), static_cast<double>(n) + 0.5});
    }
    if (store.getTracesAsDict().recordLines.empty()) {
        return 0;
    }
    auto& sdk = lumvex::Lumvex::shared();
    if (sdk.start(
            lumvex::LumvexConfiguration::Builder().pushFormat(lumvex::PushFormat::LOCATION_ONLY).build())) {
        return 3;
    }
    std::mutex mutex;
    std::condition_variable done;
    std::optional<bool> succeeded;
    sdk.forcePush([&](std::optional<lumvex::LumvexException> error) {
        std::lock_guard<std::mutex> guard(mutex);
        succeeded = !error;
        done.notify_all();
    });
    std::unique_lock<std::mutex> lock(mutex);
    if (!done.wait_for(lock, std::chrono::seconds(30), [&] { return succeeded.has_value(); })) {
        std::_Exit(4);
    }
    const int status = *succeeded ? 0 : 1;
    lock.unlock();
    sdk.stop();
    return status;
}
