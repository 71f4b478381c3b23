// A host process for the tests that need one of their own: ways of leaving, limits set on
// the process, and several processes sharing one store.
//
//   lumvex-host <bundle directory> exit <return|exit|static|locked|stop-locked>
//     hands 20 fixes to addTrace (latitude 1 to 20) and at once returns from main or calls
//     exit(); with "static", also a 21st from the destructor of a static object made
//     before the library was first reached. With "locked", 5 fixes and the debug log on;
//     with "stop-locked", the same followed by stop(), which must return within its bound.
//   lumvex-host <bundle directory> file-size <limit in bytes>
//     under that RLIMIT_FSIZE, with the debug log on, hands 40 fixes over and waits until
//     the library's queue has stored them.
//   lumvex-host <bundle directory> deep-callback <endpoint base URL>
//     forces an upload whose callback uses 4 MiB of stack.
//   lumvex-host <bundle directory> store-upload <endpoint base URL> <first> <count>
//     hands fixes numbered from the first on (latitude n, longitude n + 0.5) over one at a
//     time, each followed by a forced upload whose outcome it waits for.
//   lumvex-host <bundle directory> soak <endpoint base URL> <first> <count>
//     as store-upload, retrying a failed upload until it went, and keeping a ledger on
//     standard output for a soak that may kill it at any point: "h n" once addTrace(n)
//     returned, "w n" once every fix up to n is stored, sent or named in a log line that
//     gives it up ("l <line>"), "s <seconds>" for a clock step, "f <outcome>" for a fork,
//     "x" at the end. The soak steps its calendar clock with SIGRTMIN+1 (the value in
//     seconds) and makes it fork with SIGRTMIN (the value is how many milliseconds the
//     child lives). With a count of 0, it uploads until nothing is stored or recorded.
//   lumvex-host <bundle directory> append <first> <count>
//     stores fixes numbered from the first on straight into the store, as fast as it can.
//   lumvex-host <bundle directory> upload <endpoint base URL>
//     uploads whenever the trace file changes, until its standard input is closed; then
//     uploads what is left.
//   lumvex-host <bundle directory> keyed <endpoint base URL> <key> <latitude> <store|shutdown>
//     starts with the key given in code, hands one fix over, and stops, or shuts down and
//     prints the outcome.
//   lumvex-host <bundle directory> end-in-handler
//     with a log handler that ends every thread but the main one (pthread_exit), as an
//     interpreter ends its threads at exit, hands 20 fixes over and returns from main.
//   lumvex-host <bundle directory> end-in-callback <endpoint base URL>
//     starts, hands a fix over and forces an upload whose callback ends its thread; returns
//     from main once it was called.
//
// Exit status 0 when all went as described; a crash shows as a signal.

#include <LumvexSdk/LumvexSdk.h>

#include "EngineTestAccess.h"
#include "UploadTestAccess.h"
#include "engine/LumvexEngine.h"
#include "platform/base/Clock.h"
#include "platform/base/L.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/FileLock.h"
#include "store/TraceRepository.h"
#include "upload/PushRequest.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

bool fixFromDestructor = false;

// Made before main, and so before the library registers its exit handler: destroyed after
// that handler ran.
struct LateHost {
    ~LateHost() {
        if (fixFromDestructor) {
            lumvex::Lumvex::shared().addTrace({21.0, 21.5});
        }
    }
} lateHost;

// The engine behind the uploads; its queue tells when a forced upload found nothing to
// send, which reports to no callback.
lumvex::LumvexEngine& engine() {
    static auto* instance = new lumvex::LumvexEngine();
    return *instance;
}

bool startUploads(const std::string& endpoint, bool debugLog = false) {
    lumvex::PushRequestTestAccess::setDefaultEndpoint(endpoint);
    return !engine().start(lumvex::LumvexConfiguration::Builder()
                               .pushFormat(lumvex::PushFormat::LOCATION_ONLY)
                               .enableDebugLog(debugLog)
                               .build());
}

/// Forces an upload and waits for its outcome: nothing when there was nothing to send, or
/// no outcome came in time.
std::optional<bool> pushAndWait(const std::function<void()>& inCallback = nullptr) {
    struct Outcome {
        std::mutex mutex;
        std::condition_variable cv;
        std::optional<bool> succeeded;
    };
    auto outcome = std::make_shared<Outcome>();
    engine().forcePush([outcome, inCallback](std::optional<lumvex::LumvexException> error) {
        if (inCallback) {
            inCallback();
        }
        std::lock_guard<std::mutex> guard(outcome->mutex);
        outcome->succeeded = !error;
        outcome->cv.notify_all();
    });
    // Once the queue has run the request, an upload under way holds the turn until after
    // its callback; a free turn without an outcome means there was nothing to send.
    lumvex::LumvexEngineTestAccess::queue(engine())->drain(std::chrono::seconds(10));
    std::unique_lock<std::mutex> lock(outcome->mutex);
    outcome->cv.wait_for(lock, std::chrono::seconds(10), [&] {
        return outcome->succeeded.has_value() || lumvex::UploadContext::process().outbox.idle();
    });
    return outcome->succeeded;
}

[[gnu::noinline]] int useStack(std::size_t bytes) {
    // Touches one byte a page, so that every page of the frame is really used.
    volatile char* frame = static_cast<volatile char*>(__builtin_alloca(bytes));
    for (std::size_t i = 0; i < bytes; i += 4096) {
        frame[i] = static_cast<char>(i);
    }
    return frame[bytes / 2];
}

bool hasTraces() {
    return !lumvex::TraceRepository::shared().getTracesAsDict().lines.empty();
}

int uploadOnChange() {
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    const auto directory = lumvex::platform::cachesDirectory();
    if (watch < 0 || !directory ||
        ::inotify_add_watch(watch, directory->c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        return 5;
    }
    // The store is looked at once the watch is in place, and then after each batch of
    // events: a change made before the watch existed (writers that finished while this
    // process was still starting) raises no event, and waiting for one would wait forever.
    while (true) {
        if (hasTraces()) {
            pushAndWait();
        }
        pollfd fds[2] = {{watch, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            char byte;
            if (::read(STDIN_FILENO, &byte, 1) <= 0) {
                break;
            }
        }
        char events[4096];
        while (::read(watch, events, sizeof(events)) > 0) {
        }
    }
    // The writers are done: what they left goes out now.
    for (int attempt = 0; attempt < 20 && hasTraces(); ++attempt) {
        pushAndWait();
    }
    return hasTraces() ? 6 : 0;
}

// Ends the calling thread unless it is the main one, as an interpreter does to a thread
// that calls into it while it exits.
std::mutex endedMutex;
std::condition_variable threadEnded;
int endedThreads = 0;
void endUnlessMain() {
    if (::getpid() != static_cast<pid_t>(::syscall(SYS_gettid))) {
        {
            std::lock_guard<std::mutex> guard(endedMutex);
            ++endedThreads;
        }
        threadEnded.notify_all();
        ::pthread_exit(nullptr);
    }
}

int keyed(char** argv) {
    const std::string how = argv[6];
    auto& sdk = lumvex::Lumvex::shared();
    auto builder = lumvex::LumvexConfiguration::Builder().apiKey(argv[4]).endpoint(argv[3]);
    if (sdk.start(builder.pushFormat(lumvex::PushFormat::LOCATION_ONLY).build())) {
        return 3;
    }
    const double latitude = std::strtod(argv[5], nullptr);
    sdk.addTrace({latitude, latitude});
    if (how == "shutdown") {
        std::printf("%s\n", lumvex::to_string(sdk.shutdown(std::chrono::seconds(20))).c_str());
    } else {
        sdk.stop();
    }
    return 0;
}

// The soak's ledger: one write per line, so that what a host wrote before it was killed
// is whole in the pipe. A pipe, unlike a file, is not bounded by the file size limit that
// the soak sets to fill the disk.
void note(const std::string& line) {
    const std::string whole = line + "\n";
    if (::write(STDOUT_FILENO, whole.data(), whole.size()) < 0) {
        // The soak reads every line; a host whose soak is gone has no one to tell.
    }
}

// The lines with which the library gives up fixes it was handed; the soak counts them
// against the fixes it cannot find.
bool givesUpAFix(std::string_view line) {
    const auto has = [&](std::string_view text) { return line.find(text) != std::string_view::npos; };
    return (has(":appendToFile:") && (has("Error while writing trace file") || has("No trace found"))) ||
           has("The oldest fix waiting for the trace file's lock is dropped") ||
           has("fixes handed over were not stored in time");
}

// Calendar time that the soak steps, as an operator or a time daemon sets a system
// clock; monotonic time runs on undisturbed.
class SteppedClock final : public lumvex::platform::Clock {
public:
    TimePoint now() const override { return system_.now(); }
    WallTime wallNow() const override {
        return system_.wallNow() + std::chrono::milliseconds(offsetMs_.load());
    }
    std::int64_t wallNowMilliseconds() const override {
        return system_.wallNowMilliseconds() + offsetMs_.load();
    }
    void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, TimePoint deadline,
                   const std::function<bool()>& wake,
                   const std::weak_ptr<lumvex::platform::ClockListener>& listener) override {
        system_.waitUntil(lock, cv, deadline, wake, listener);
    }
    void step(std::int64_t ms) { offsetMs_ += ms; }

private:
    lumvex::platform::SystemClock system_;
    std::atomic<std::int64_t> offsetMs_{0};
};

bool endsWith(const char* text, std::size_t length, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return length >= n && std::memcmp(text + length - n, suffix, n) == 0;
}

// In a forked child: whether it shares an open lock file with its parent, and so the
// parent's locks. Only calls that are safe after a fork from a threaded process.
bool sharesALockFile() {
    for (int fd = 0; fd < 1024; ++fd) {
        char path[32] = "/proc/self/fd/";
        char digits[12];
        int length = 0;
        for (int rest = fd; rest > 0 || length == 0; rest /= 10) {
            digits[length++] = static_cast<char>('0' + rest % 10);
        }
        std::size_t at = std::strlen(path);
        while (length > 0) {
            path[at++] = digits[--length];
        }
        path[at] = '\0';
        char target[512];
        const auto n = ::readlink(path, target, sizeof(target));
        if (n > 0 && (endsWith(target, static_cast<std::size_t>(n), "/upload.lock") ||
                      endsWith(target, static_cast<std::size_t>(n), "/backup.lock"))) {
            return true;
        }
    }
    return false;
}

sigset_t soakSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGRTMIN);
    sigaddset(&set, SIGRTMIN + 1);
    return set;
}

// Takes the soak's clock steps and forks, until the process ends.
void serveSoakSignals(SteppedClock& clock) {
    const sigset_t set = soakSignals();
    for (;;) {
        siginfo_t info{};
        if (::sigwaitinfo(&set, &info) < 0) {
            continue;
        }
        const int value = info.si_value.sival_int;
        if (info.si_signo == SIGRTMIN + 1) {
            clock.step(std::int64_t{value} * 1000);
            note("s " + std::to_string(value));
            continue;
        }
        // A pre-forking daemon forks whenever it needs a worker; the soak aims at uploads.
        auto& outbox = lumvex::UploadContext::process().outbox;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (outbox.idle() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        const bool busy = !outbox.idle();
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(STDOUT_FILENO);  // the soak reads the ledger until every writer closed it
            const bool shares = sharesALockFile();
            ::usleep(static_cast<useconds_t>(value) * 1000);  // a worker's life
            ::_exit(shares ? 9 : 0);
        }
        int status = 0;
        while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
        const bool clean = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
        note(std::string("f ") +
             (child < 0 ? "failed"
              : clean   ? "clean"
                        : "shared-lock") +
             (busy ? " uploading" : " idle"));
    }
}

int soak(const std::string& endpoint, std::uint64_t first, std::uint64_t count) {
    // A full disk shows as a failed write, as on a full file system, rather than as a
    // signal that ends the process.
    ::signal(SIGXFSZ, SIG_IGN);
    static auto clock = std::make_shared<SteppedClock>();
    lumvex::platform::setClock(clock);
    lumvex::L::writeLog = true;
    // LUMVEX_SOAK_VERBOSE puts every line in the ledger, to follow a failing seed.
    static const bool verbose = std::getenv("LUMVEX_SOAK_VERBOSE") != nullptr;
    lumvex::platform::setLogHandler([](std::string_view line) {
        if (givesUpAFix(line)) {
            note("l " + std::string(line));
        } else if (verbose) {
            note("d " + std::string(line));
        }
    });
    std::thread(serveSoakSignals, std::ref(*clock)).detach();
    // The log lines that give fixes up come only with the debug log.
    if (!startUploads(endpoint, true)) {
        return 3;
    }
    const auto uploadLock = *lumvex::platform::cachesDirectory() + "/upload.lock";
    // Retries a failed upload (waiting for another process's upload to end first) until it
    // went: a host that outran failing uploads would grow the trace file past its size
    // bound, which drops the oldest fix by design and without a word.
    const auto uploadUntilDone = [&](std::chrono::seconds bound) {
        const auto until = std::chrono::steady_clock::now() + bound;
        while (pushAndWait() == false && std::chrono::steady_clock::now() < until) {
            lumvex::platform::FileLock::lock(uploadLock);
        }
    };
    for (std::uint64_t n = first; n < first + count; ++n) {
        engine().addTrace({static_cast<double>(n), static_cast<double>(n) + 0.5});
        note("h " + std::to_string(n));
        uploadUntilDone(std::chrono::seconds(30));
        if (lumvex::LumvexEngineTestAccess::queue(engine())->drain(std::chrono::seconds(10)) &&
            lumvex::TraceRepository::shared().storeHeldFixes() == 0) {
            note("w " + std::to_string(n));
        }
    }
    if (count == 0) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while ((hasTraces() || lumvex::UploadContext::process().outbox.hasRecord()) &&
               std::chrono::steady_clock::now() < until) {
            uploadUntilDone(std::chrono::seconds(10));
        }
    }
    engine().stop();
    note("x");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return 2;
    }
    if (std::strcmp(argv[2], "soak") == 0) {
        // Before the library starts a thread, so that only the soak's thread takes them.
        const sigset_t set = soakSignals();
        ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    }
    lumvex::platform::setMainBundleDirectory(argv[1]);
    const std::string mode = argv[2];
    auto& sdk = lumvex::Lumvex::shared();
    if (mode == "exit" && argc == 4) {
        const std::string how = argv[3];
        fixFromDestructor = how == "static";
        const bool locked = how == "locked" || how == "stop-locked";
        lumvex::L::writeLog = locked;
        for (int n = 1; n <= (locked ? 5 : 20); ++n) {
            sdk.addTrace({static_cast<double>(n), n + 0.5});
            if (how == "stop-locked" && n == 1) {
                // The rest come, and stop() with them, while the queue waits for the lock
                // for the first: the stop's bound ends in the middle of the next one's wait.
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            }
        }
        if (how == "stop-locked") {
            const auto began = std::chrono::steady_clock::now();
            sdk.stop();
            // Its bound is 2 s; the rest is room for a loaded machine.
            if (std::chrono::steady_clock::now() - began > std::chrono::milliseconds(3500)) {
                return 7;
            }
        }
        if (how == "exit") {
            std::exit(0);
        }
        return 0;
    }
    if (mode == "file-size" && argc == 4) {
        lumvex::L::writeLog = true;
        rlimit limit{};
        limit.rlim_cur = limit.rlim_max = std::strtoul(argv[3], nullptr, 10);
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) {
            return 5;
        }
        // Stored on the library's queue, waited for there.
        for (int n = 1; n <= 40; ++n) {
            engine().addTrace({static_cast<double>(n), n + 0.5});
        }
        return lumvex::LumvexEngineTestAccess::queue(engine())->drain(std::chrono::seconds(10)) ? 0 : 4;
    }
    if (mode == "deep-callback" && argc == 4) {
        if (!startUploads(argv[3])) {
            return 3;
        }
        engine().addTrace({1.0, 1.5});
        bool used = false;
        if (!pushAndWait([&used] { used = useStack(4 << 20) >= -128; })) {
            return 4;
        }
        engine().stop();
        return used ? 0 : 1;
    }
    if (mode == "store-upload" && argc == 6) {
        if (!startUploads(argv[3])) {
            return 3;
        }
        const std::uint64_t first = std::strtoull(argv[4], nullptr, 10);
        const std::uint64_t count = std::strtoull(argv[5], nullptr, 10);
        for (std::uint64_t n = first; n < first + count; ++n) {
            engine().addTrace({static_cast<double>(n), static_cast<double>(n) + 0.5});
            // A refusal (the other process was uploading) leaves the fix for a later upload;
            // the host waits for the other's upload to end, as a host storing a fix every few
            // seconds would, rather than outrun the trace file's size bound.
            if (pushAndWait() == false) {
                lumvex::platform::FileLock::lock(*lumvex::platform::cachesDirectory() + "/upload.lock");
            }
        }
        engine().stop();
        return 0;
    }
    if (mode == "soak" && argc == 6) {
        return soak(argv[3], std::strtoull(argv[4], nullptr, 10), std::strtoull(argv[5], nullptr, 10));
    }
    if (mode == "append" && argc == 5) {
        const std::uint64_t first = std::strtoull(argv[3], nullptr, 10);
        const std::uint64_t count = std::strtoull(argv[4], nullptr, 10);
        for (std::uint64_t n = first; n < first + count; ++n) {
            lumvex::TraceRepository::shared().addTrace(
                {static_cast<double>(n), static_cast<double>(n) + 0.5});
        }
        return 0;
    }
    if (mode == "keyed" && argc == 7) {
        return keyed(argv);
    }
    if (mode == "end-in-handler" && argc == 3) {
        lumvex::platform::setLogHandler([](std::string_view) { endUnlessMain(); });
        lumvex::L::writeLog = true;
        for (int n = 1; n <= 20; ++n) {
            sdk.addTrace({static_cast<double>(n), n + 0.5});
        }
        return 0;
    }
    if (mode == "end-in-callback" && argc == 4) {
        if (sdk.start(lumvex::LumvexConfiguration::Builder().apiKey("key").endpoint(argv[3]).build())) {
            return 3;
        }
        sdk.addTrace({1.0, 1.5});
        sdk.forcePush([](std::optional<lumvex::LumvexException>) { endUnlessMain(); });
        std::unique_lock<std::mutex> lock(endedMutex);
        return threadEnded.wait_for(lock, std::chrono::seconds(30), [] { return endedThreads > 0; }) ? 0 : 4;
    }
    if (mode == "upload" && argc == 4) {
        if (!startUploads(argv[3])) {
            return 3;
        }
        const int status = uploadOnChange();
        engine().stop();
        return status;
    }
    return 2;
}
