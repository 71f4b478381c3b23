// lumvex-minimal: the smallest service that embeds LumvexSdk. It takes its key and endpoint
// from code, samples positions from gpsd, and on SIGTERM (systemd's stop) or SIGINT makes a
// last upload of what it stored, stops the library and exits with status 0.
//
//   lumvex-minimal [endpoint]   (default: the development collector, http://127.0.0.1:8710/)

#include <LumvexSdk/LumvexSdk.h>

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

int main(int argc, char** argv) {
    // Blocked before any thread exists, so every thread inherits the mask and only the
    // waiting thread below takes the signals: a handler could not stop a run loop safely.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

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

    // The last upload. Its callback does not come when there is nothing to send, so the
    // wait for it is bounded.
    library.forcePush([&loop](std::optional<lumvex::LumvexException> error) {
        std::printf("lumvex-minimal: last upload: %s\n", lumvex::to_string(error).c_str());
        std::fflush(stdout);
        loop.stop();
    });
    loop.runFor(std::chrono::seconds(10));
    library.stop();
    return 0;
}
