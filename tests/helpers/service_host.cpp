// A host as a service runs it, for the tests of where the library keeps its files when the
// environment is nearly empty (a systemd unit, `env -i`):
//
//   lumvex-service-host <bundle directory> <endpoint base URL>
//
// It starts the library with the debug log on, hands over one fix (latitude 12.5,
// longitude 34.5) and forces one upload. Exit status: 0 when the upload succeeded, 1 when
// it failed, 3 when the start was refused (the reason is in the log on standard output),
// 4 when no outcome came.

#include <LumvexSdk/LumvexSdk.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    lumvex::platform::setMainBundleDirectory(argv[1]);
    auto& sdk = lumvex::Lumvex::shared();
    const auto configuration = lumvex::LumvexConfiguration::Builder()
                                   .pushFormat(lumvex::PushFormat::LOCATION_ONLY)
                                   .endpoint(argv[2])
                                   .enableDebugLog(true)
                                   .build();
    if (sdk.start(configuration)) {
        return 3;
    }
    std::mutex mutex;
    std::condition_variable done;
    std::optional<bool> succeeded;
    sdk.addTrace(lumvex::Location{12.5, 34.5});
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
