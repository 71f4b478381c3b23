// A host that leaves while the library is busy, in one of two ways:
//
//   lumvex-busy-exit <bundle directory> <endpoint base URL>
//     queues many fixes and forced uploads against an endpoint that refuses connections,
//     then exits at once, with work still queued and transfers still running;
//   lumvex-busy-exit <bundle directory> <endpoint base URL> resign
//     says that the application resigns active and forces an upload, both failing, and
//     exits while the failure is still being reported (and its error formatted).
//
// It must end with status 0; a crash during exit shows as a signal.

#include <LumvexSdk/LumvexSdk.h>

#include "UploadTestAccess.h"
#include "upload/PushRequest.h"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        return 2;
    }
    const bool resign = argc == 4 && std::string(argv[3]) == "resign";
    lumvex::platform::setMainBundleDirectory(argv[1]);
    lumvex::PushRequestTestAccess::setDefaultEndpoint(std::string(argv[2]));
    auto& sdk = lumvex::Lumvex::shared();
    if (sdk.start(
            lumvex::LumvexConfiguration::Builder().pushFormat(lumvex::PushFormat::LOCATION_ONLY).build())) {
        return 3;
    }
    if (resign) {
        // The resign upload fails first. The forced one behind it fails too, and its
        // callback lets the process exit, then formats its error a moment later, as a
        // host's slow logging would, while exit handlers run.
        std::mutex mutex;
        std::condition_variable cv;
        bool reported = false;
        sdk.addTrace({1.0, 2.0});
        sdk.applicationWillResignActive();
        sdk.forcePush([&](std::optional<lumvex::LumvexException> error) {
            {
                std::lock_guard<std::mutex> guard(mutex);
                reported = true;
                cv.notify_all();
            }
            std::mutex pause;
            std::condition_variable never;
            std::unique_lock<std::mutex> lock(pause);
            never.wait_for(lock, std::chrono::milliseconds(20));
            if (lumvex::to_string(error).empty()) {
                std::abort();
            }
        });
        std::unique_lock<std::mutex> lock(mutex);
        if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return reported; })) {
            return 4;
        }
        std::exit(0);
    }
    for (int i = 0; i < 300; ++i) {
        sdk.addTrace({1.0 + i * 1e-4, 2.0});
        sdk.forcePush(nullptr);
    }
    std::exit(0);
}
