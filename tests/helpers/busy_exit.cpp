// A host that leaves while the library is busy: it queues many fixes and forced uploads
// against an endpoint that refuses connections, then exits at once, with work still
// queued and transfers still running.
//
//   lumvex-busy-exit <bundle directory> <endpoint base URL>
//
// It must end with status 0; a crash during exit shows as a signal.

#include <LumvexSdk/LumvexSdk.h>

#include "PushRequest.h"

#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    lumvex::platform::setMainBundleDirectory(argv[1]);
    lumvex::PushRequest::setDefaultEndpointForTesting(std::string(argv[2]));
    auto& sdk = lumvex::Lumvex::shared();
    if (sdk.start(
            lumvex::LumvexConfiguration::Builder().pushFormat(lumvex::PushFormat::LOCATION_ONLY).build())) {
        return 3;
    }
    for (int i = 0; i < 3000; ++i) {
        sdk.addTrace({1.0 + i * 1e-4, 2.0});
        sdk.forcePush(nullptr);
    }
    std::exit(0);
}
