#include "engine/LumvexEngine.h"

#include "config/ConfigurationAccess.h"
#include "engine/PushJob.h"
#include "engine/TraceJob.h"
#include "platform/base/HostCode.h"
#include "platform/base/L.h"
#include "platform/net/UrlSession.h"
#include "platform/system/Bundle.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/FileLock.h"
#include "platform/system/Identity.h"
#include "store/OfflineStore.h"
#include "store/TraceRepository.h"
#include "upload/Outbox.h"
#include "upload/PushRequest.h"
#include "upload/UploadRequest.h"

#include <atomic>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <string>

namespace lumvex {

using detail::ConfigurationAccess;

namespace {

// Runs `drain`, the queue's stores of what was handed over, and the fixes the trace store
// holds for want of its lock, all within `bound`: a lock wait takes only what is left of
// it, also the worker's. Logs under `operation` how many fixes were not stored: those still
// held or on their way, counted at one moment, since the queue's worker may go on storing
// or holding what the drain left.
void storeWithin(std::chrono::milliseconds bound, const char* operation, TraceRepository& traces,
                 const std::function<void()>& drain) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    platform::FileLock::WaitBound shared(deadline);
    TraceRepository::DrainBound everywhere(traces, deadline);
    drain();
    const auto notStored = traces.storeHeldFixes();
    if (notStored > 0) {
        LUMVEX_LOG_ERROR(operation, std::to_string(notStored) + " fixes handed over were not stored in time");
    }
}

}  // namespace

LumvexEngine::LumvexEngine()
    : context_(UploadContext::process()),
      announced_(context_.traces.announcements()),
      queue_(std::make_shared<platform::SerialQueue>()) {
    // A host that returns from main or calls exit() right after handing fixes over still
    // has them stored, or is told how many are not.
    queue_->finishDurableAtExit([&traces = context_.traces](const std::function<std::size_t()>& drain) {
        storeWithin(platform::SerialQueue::EXIT_TIMEOUT, "exit()", traces, [&drain] { drain(); });
    });
}

LumvexEngine::~LumvexEngine() {
    stop();
}

namespace {

// What is wrong with an endpoint that `isValidEndpoint` refused.
std::string endpointProblem(const std::string& endpoint) {
    if (endpoint.empty()) {
        return "The endpoint is empty";
    }
    const auto quoted = "The endpoint \"" + endpoint + "\" ";
    if (endpoint.back() != '/') {
        return quoted + "does not end with \"/\"";
    }
    if (endpoint.find_first_of("?#") != std::string::npos) {
        return quoted + "has a query or a fragment";
    }
    return quoted + "is not an absolute http or https URL";
}

// Why the configuration's API key is empty: the host's own empty key, or which Info.plist
// was read and what it lacked.
std::string emptyKeyProblem(const LumvexConfiguration& configuration) {
    if (ConfigurationAccess::apiKeyFromHost(configuration)) {
        return "The API key is empty: the host gave an empty one with apiKey(\"\")";
    }
    const auto bundle = platform::Bundle::main();
    const auto path = bundle.infoPlistPath();
    if (!bundle.hasInfoDictionary()) {
        return "The API key is empty: no Info.plist with a dictionary could be read at " + path;
    }
    const auto value = bundle.infoValue("lumvex_api_key");
    if (!value.present) {
        return "The API key is empty: " + path + " has no \"lumvex_api_key\"";
    }
    if (!value.string) {
        return "The API key is empty: \"lumvex_api_key\" in " + path + " is not a string";
    }
    if (value.string->empty()) {
        return "The API key is empty: \"lumvex_api_key\" is empty in " + path;
    }
    return "The API key is empty: the configuration was built before " + path + " held a \"lumvex_api_key\"";
}

// Says once per process that the host named no identity, and what to call.
void logIdentityFallbackOnce(const std::string& directory) {
    static std::atomic<bool> said{false};
    if (platform::applicationIdentifier() || said.exchange(true)) {
        return;
    }
    LUMVEX_LOG_AT(LEVEL_WARNING, "start(_:)",
                  "No application identifier (no Info.plist with CFBundleIdentifier): the store is " +
                      directory +
                      ", named after the executable and the API key, and app_version is empty; call "
                      "lumvex::platform::setApplicationIdentity(identifier, version) to name them");
}

}  // namespace

std::optional<LumvexStartException> LumvexEngine::start(
    std::shared_ptr<const LumvexConfiguration> configuration) {
    platform::MutexLock guard(mutex_);
    if (isStarted_) {
        return LumvexStartException::ALREADY_STARTED;
    }
    // A refusal comes before the switch is set from the configuration, and leaves it as it
    // was; a configuration that asks for the log gets the reason all the same, so that a
    // first start that fails is not silent.
    if (!configuration) {
        LUMVEX_LOG_ERROR_IF(false, "start(_:)", "No configuration was given");
        return LumvexStartException::ERROR;
    }
    const bool show = ConfigurationAccess::enableDebugLog(*configuration);
    if (ConfigurationAccess::apiKey(*configuration).empty()) {
        LUMVEX_LOG_ERROR_IF(show, "start(_:)", emptyKeyProblem(*configuration));
        return LumvexStartException::INVALID_EMPTY_API_KEY;
    }
    // A period of zero or less would make a timer that never rests, and one that does not
    // fit in seconds has no meaning.
    const auto frequency = ConfigurationAccess::pushFrequency(*configuration);
    if (frequency < 1 || frequency > std::numeric_limits<std::int64_t>::max() / 60) {
        LUMVEX_LOG_ERROR_IF(show, "start(_:)",
                            "The push frequency " + std::to_string(frequency) +
                                " is not a number of minutes from 1 to " +
                                std::to_string(std::numeric_limits<std::int64_t>::max() / 60));
        return LumvexStartException::ERROR;
    }
    const auto& endpoint = ConfigurationAccess::endpoint(*configuration);
    if (endpoint && !ConfigurationAccess::isValidEndpoint(*endpoint)) {
        LUMVEX_LOG_ERROR_IF(show, "start(_:)", endpointProblem(*endpoint));
        return LumvexStartException::ERROR;
    }
    const auto offlineDays = ConfigurationAccess::offlineDays(*configuration);
    const auto offlineFixes = ConfigurationAccess::offlineMaxFixes(*configuration);
    const bool keepsOffline = offlineDays != 0;
    // The builder marks a value out of range; the host learns of it here, with the cause.
    if (offlineDays < 0) {
        LUMVEX_LOG_ERROR_IF(show, "start(_:)",
                            "keepOffline takes 1 to " +
                                std::to_string(LumvexConfiguration::MAX_OFFLINE_DAYS) + " days and 1 to " +
                                std::to_string(LumvexConfiguration::MAX_OFFLINE_FIXES) + " fixes, or both 0");
        return LumvexStartException::ERROR;
    }
    const auto batchSize = ConfigurationAccess::maxBatchSize(*configuration);
    if (batchSize < 1) {
        LUMVEX_LOG_ERROR_IF(
            show, "start(_:)",
            "maxBatchSize takes 1 to " + std::to_string(LumvexConfiguration::MAX_BATCH_SIZE) + " fixes");
        return LumvexStartException::ERROR;
    }
    // From here on fixes are stored for this key; a host without an identifier has its
    // store named after it.
    platform::noteApiKey(ConfigurationAccess::apiKey(*configuration), platform::KeyUse::started);
    // Without a place for the fixes every one of them would be dropped while the library
    // looked as if it ran.
    std::string why;
    const auto directory = platform::cachesDirectory(why);
    if (!directory) {
        LUMVEX_LOG_ERROR_IF(show, "start(_:)", why);
        return LumvexStartException::ERROR;
    }
    platform::claimStore(*directory);
    // Timer ticks would have nowhere to go without the queue's thread; a start that cannot
    // have it is refused rather than left half working.
    if (!queue_->prepare()) {
        LUMVEX_LOG_ERROR_IF(show, "start(_:)", "The work queue's thread cannot be made");
        return LumvexStartException::ERROR;
    }
    // The HTTP layer itself is set up by the first upload, on the queue. Its exit handler
    // is registered here, on the host's thread, so that the host's own exit handlers, and
    // the end of main, are ordered after it rather than racing with that set-up.
    platform::UrlSession::shared();
    L::writeLog.store(ConfigurationAccess::enableDebugLog(*configuration));
    logIdentityFallbackOnce(*directory);
    std::optional<OfflineStore::Capacity> capacity;
    if (keepsOffline) {
        capacity = OfflineStore::Capacity{std::chrono::hours(24) * offlineDays,
                                          static_cast<std::uint64_t>(offlineFixes)};
    }
    OfflineStore::shared().configure(capacity, static_cast<std::size_t>(batchSize), context_.traces);
    startJobs(configuration, frequency * 60);
    isStarted_ = true;
    return std::nullopt;
}

void LumvexEngine::startJobs(const std::shared_ptr<const LumvexConfiguration>& configuration,
                             std::int64_t pushInterval) {
    configuration_ = configuration;
    if (ConfigurationAccess::pushFormat(*configuration) != PushFormat::DEVICE_INFO_ONLY) {
        traceJob_ = TraceJob::create(TRACE_INTERVAL_SECONDS, queue_, context_.traces);
        traceJob_->startJob();
    }
    pushJob_ = std::make_shared<PushJob>(context_, configuration, pushInterval, queue_);
    pushJob_->startJob();
}

void LumvexEngine::stop() {
    // What addTrace accepted is on disk when stop returns, or counted in a log line; queued
    // uploads are not waited for.
    storeWithin(platform::SerialQueue::EXIT_TIMEOUT, "stop()", context_.traces,
                [this] { queue_->finishDurable(platform::SerialQueue::EXIT_TIMEOUT); });
    platform::MutexLock guard(mutex_);
    if (!isStarted_) {
        return;
    }
    stopJobs();
    isStarted_ = false;
}

void LumvexEngine::stopJobs() {
    for (auto* job : {&traceJob_, &pushJob_}) {
        if (*job) {
            (*job)->stopTimer();
            job->reset();
        }
    }
}

bool LumvexEngine::isStarted() const {
    platform::MutexLock guard(mutex_);
    return isStarted_;
}

void LumvexEngine::logDropped(const char* operation) {
    LUMVEX_LOG_ERROR(operation, "The work queue has no thread, the work is dropped");
}

void LumvexEngine::forcePush(PushCallback&& callback) {
    // Taken now: an upload that ends before this one runs may carry what is stored now.
    const auto askedAt = context_.outbox.outcomesSoFar();
    // The host's code: what it throws ends here, and a thread it ends goes (see HostCode.h).
    PushCallback guarded;
    if (callback) {
        guarded = [callback = std::move(callback)](std::optional<LumvexException> error) {
            platform::callHostCode([&] { callback(error); });
        };
    }
    enqueue("forcePush(_:)",
            [this, askedAt, callback = std::move(guarded)]() mutable { push(std::move(callback), askedAt); });
}

namespace {

// Whether an upload now would find nothing to send: no recorded request, no fix and no
// changed description, as `format` counts them.
bool nothingToUpload(const UploadContext& context, PushFormat format) {
    if (context.outbox.hasRecord()) {
        return false;
    }
    const auto contents = UploadContents::gather(format, context);
    return contents.lines.empty() && !contents.batch && !contents.description;
}

// Where `shutdown` learns how its upload went, from whichever thread tells.
struct ShutdownWait {
    std::mutex mutex;
    std::condition_variable told;
    std::optional<ShutdownOutcome> outcome;

    void tell(ShutdownOutcome value) {
        std::lock_guard<std::mutex> guard(mutex);
        outcome = value;
        told.notify_all();
    }
};

std::chrono::milliseconds until(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(left),
                    std::chrono::milliseconds(0));
}

}  // namespace

ShutdownOutcome LumvexEngine::shutdown(std::chrono::milliseconds bound) {
    // Real time, as the exit's finishing: the bound is the host's (a service manager's stop
    // timeout), not the library's timers'.
    const auto deadline = std::chrono::steady_clock::now() + std::max(bound, std::chrono::milliseconds(0));
    std::shared_ptr<const LumvexConfiguration> configuration;
    {
        platform::MutexLock guard(mutex_);
        // No tick after this: nothing is stored after the last upload.
        if (isStarted_) {
            stopJobs();
            isStarted_ = false;
        }
        configuration = configuration_;  // the last start's, also after a stop
    }
    // What addTrace accepted is stored before the upload reads the store.
    queue_->finishDurable(until(deadline));
    auto wait = std::make_shared<ShutdownWait>();
    const auto askedAt = context_.outbox.outcomesSoFar();
    const auto format = configuration ? ConfigurationAccess::pushFormat(*configuration)
                                      : PushFormat::LOCATION_AND_DEVICE_INFO;
    enqueue("shutdown(_:)", [this, wait, configuration, askedAt, format] {
        if (nothingToUpload(context_, format)) {
            wait->tell(ShutdownOutcome::NOTHING_TO_SEND);
            return;
        }
        if (!configuration) {
            LUMVEX_LOG_AT(LEVEL_WARNING, "shutdown(_:)",
                          "Never started: what is stored is kept for a later run");
            wait->tell(ShutdownOutcome::KEPT);
            return;
        }
        PushRequest().sendPush(
            context_, *configuration,
            [wait](std::optional<LumvexException> error) {
                wait->tell(error ? ShutdownOutcome::KEPT : ShutdownOutcome::DELIVERED);
            },
            askedAt);
    });
    std::unique_lock<std::mutex> lock(wait->mutex);
    // Ended by the outcome or the bound; an upload still under way then goes on, and what
    // it carries stays stored until it is delivered.
    wait->told.wait_until(lock, deadline, [&wait] { return wait->outcome.has_value(); });
    return wait->outcome.value_or(ShutdownOutcome::KEPT);
}

void LumvexEngine::enqueue(const char* operation, platform::Task&& work) {
    if (!queue_->async(std::move(work))) {
        logDropped(operation);
    }
}

void LumvexEngine::applicationWillResignActive() {
    forcePush([](std::optional<LumvexException> error) {
        if (error) {
            LUMVEX_LOG_ERROR("applicationWillResignActive()",
                             "Failed to push when app will resign active: " + to_string(error));
        }
    });
}

void LumvexEngine::push(PushCallback callback, std::uint64_t askedAt) {
    std::shared_ptr<const LumvexConfiguration> configuration;
    {
        platform::MutexLock guard(mutex_);
        if (isStarted_) {
            configuration = configuration_;
        }
    }
    if (!configuration) {
        LUMVEX_LOG_AT(LEVEL_WARNING, "forcePush(_:)", "Impossible to push because sdk is not started");
        return;
    }
    PushRequest().sendPush(context_, *configuration, std::move(callback), askedAt);
}

}  // namespace lumvex
