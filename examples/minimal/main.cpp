// lumvex-minimal: the smallest service that embeds LumvexSdk. It takes its identity, key and
// endpoint from code, samples positions from gpsd, and on SIGTERM (systemd's stop) or SIGINT
// shuts the library down with a last upload of what it stored and exits with status 0.
//
//   lumvex-minimal [endpoint]   (default: the development collector, http://127.0.0.1:8710/)

#include <LumvexSdk/LumvexSdk.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <thread>

int main(int argc, char** argv) {
    // Blocked before any thread exists, so every thread inherits the mask and only the
    // waiting thread below takes the signals: a handler could not stop a run loop safely.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    // Without an Info.plist: names the store and fills the uploads' app_version.
    lumvex::platform::setApplicationIdentity("org.example.Minimal", "1.0.0");
    // Or lumvex::platform::useGeoClue("org.example.Tracker") on a desktop or phone.
    lumvex::platform::useGpsd("localhost", "2947");
    auto configuration = lumvex::LumvexConfiguration::Builder()
                             .apiKey("minimal-example-key")
                             .endpoint(argc > 1 ? argv[1] : "http://127.0.0.1:8710/")
                             .pushFrequency(60)
                             .enableDebugLog(true)
                             .build();
    auto& library = lumvex::Lumvex::shared();
    if (auto refused = library.start(configuration)) {
        std::fprintf(stderr, "lumvex-minimal: not started: %s\n", lumvex::to_string(*refused).c_str());
        return 1;
    }

    lumvex::RunLoop& loop = lumvex::RunLoop::current();
    std::thread signalWaiter([&loop, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        loop.stop();  // safe from any thread, and also before run() is entered
    });
    std::printf("lumvex-minimal: started\n");
    std::fflush(stdout);
    loop.run();  // the library's timers fire here until a stop signal comes
    signalWaiter.join();

    // Stops sampling, uploads what is stored and says how that went, well within systemd's
    // stop timeout (TimeoutStopSec=30). What is not delivered stays stored for the next run.
    const auto outcome = library.shutdown(std::chrono::seconds(20));
    std::printf("lumvex-minimal: shutdown: %s\n", lumvex::to_string(outcome).c_str());
    return 0;
}
