// The C interface: each function turns C values into the C++ API's and back, and lets no
// exception out (a C caller has no way to catch one). Thread guarantees as in lumvex.h.

#include <LumvexSdk/LumvexSdk.h>
#include <LumvexSdk/lumvex.h>

#include "platform/base/HostCode.h"
#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>

struct lumvex_config {
    std::optional<std::string> apiKey;
    std::optional<std::string> endpoint;
    std::int64_t pushFrequency = lumvex::LumvexConfiguration::DEFAULT_PUSH_FREQUENCY;
    lumvex::PushFormat pushFormat = lumvex::PushFormat::LOCATION_AND_DEVICE_INFO;
    lumvex::PushRegion pushRegion = lumvex::PushRegion::EU;
    bool debugLog = false;
    std::optional<std::string> identifier;
    std::string version;
    std::int64_t offlineDays = 0;
    std::int64_t offlineMaxFixes = 0;
    std::int64_t maxBatchSize = lumvex::LumvexConfiguration::DEFAULT_MAX_BATCH_SIZE;
};

namespace {

using lumvex::platform::callHostCode;

// Runs `call`, giving `failed` for what it throws: out of memory, mostly.
template <typename Result, typename Call>
LUMVEX_CATCHES_FORCED_UNWIND Result guarded(Result failed, Call&& call) {
    try {
        return call();
    }
    LUMVEX_PASS_FORCED_UNWIND
    catch (...) {
        return failed;
    }
}

template <typename Call>
void guardedVoid(Call&& call) {
    guarded(0, [&] {
        call();
        return 0;
    });
}

// A C string as the C++ API takes it; nothing for NULL.
std::optional<std::string> text(const char* value) {
    return value ? std::optional<std::string>(value) : std::nullopt;
}

lumvex_error codeOf(const std::optional<lumvex::LumvexException>& error) {
    if (!error) {
        return LUMVEX_OK;
    }
    return *error == lumvex::LumvexException::JSON_SERIALIZATION_FAILED
               ? LUMVEX_ERROR_JSON_SERIALIZATION_FAILED
               : LUMVEX_ERROR_PUSH_FAILED;
}

lumvex_error codeOf(lumvex::LumvexStartException refusal) {
    switch (refusal) {
        case lumvex::LumvexStartException::ALREADY_STARTED:
            return LUMVEX_ERROR_ALREADY_STARTED;
        case lumvex::LumvexStartException::INVALID_EMPTY_API_KEY:
            return LUMVEX_ERROR_INVALID_EMPTY_API_KEY;
        default:
            return LUMVEX_ERROR_START_REFUSED;
    }
}

// Copies `value` into the caller's `buffer` of `size` bytes, cut to fit, with its NUL.
void copyOut(const std::string& value, char* buffer, std::size_t size) {
    if (!buffer || size == 0) {
        return;
    }
    const std::size_t n = std::min(value.size(), size - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
}

// The C hosts' push callbacks, until the host's runtime ends (lumvex_forget_push_callbacks):
// after that no callback may enter it, and none may still be inside it.
struct PushCallbacks {
    std::mutex mutex;
    std::condition_variable left;
    bool forgotten = false;  // guarded by mutex
    int running = 0;         // guarded by mutex
};

PushCallbacks& pushCallbacks() {
    // The upload thread may report while the process exits.
    static lumvex::platform::NoDestructor<PushCallbacks> callbacks;
    return *callbacks;
}

void tell(lumvex_push_callback callback, lumvex_error outcome, void* userData) {
    auto& callbacks = pushCallbacks();
    {
        std::lock_guard<std::mutex> guard(callbacks.mutex);
        if (callbacks.forgotten) {
            return;
        }
        ++callbacks.running;
    }
    // Counted out also when the callback ends this thread.
    struct Out {
        PushCallbacks& callbacks;
        ~Out() {
            std::lock_guard<std::mutex> guard(callbacks.mutex);
            if (--callbacks.running == 0) {
                callbacks.left.notify_all();
            }
        }
    } out{callbacks};
    callback(outcome, userData);
}

template <typename Setter>
lumvex_error set(lumvex_config* config, Setter&& setter) {
    if (!config) {
        return LUMVEX_ERROR_INVALID_ARGUMENT;
    }
    return guarded(LUMVEX_ERROR_OUT_OF_MEMORY, [&] { return setter(*config); });
}

}  // namespace

extern "C" {

const char* lumvex_error_text(lumvex_error error) {
    switch (error) {
        case LUMVEX_OK:
            return "no error";
        case LUMVEX_ERROR_START_REFUSED:
            return "the start was refused: the reason, or the debug log, says why";
        case LUMVEX_ERROR_ALREADY_STARTED:
            return "the library is started already";
        case LUMVEX_ERROR_INVALID_EMPTY_API_KEY:
            return "the API key is empty";
        case LUMVEX_ERROR_PUSH_FAILED:
            return "the upload failed; its fixes stay stored for the next one";
        case LUMVEX_ERROR_JSON_SERIALIZATION_FAILED:
            return "the upload could not be written as JSON";
        case LUMVEX_ERROR_INVALID_ARGUMENT:
            return "an argument is missing or out of range";
        case LUMVEX_ERROR_OUT_OF_MEMORY:
            return "out of memory";
    }
    return "unknown error";
}

lumvex_config* lumvex_config_new(void) {
    return new (std::nothrow) lumvex_config();
}

void lumvex_config_free(lumvex_config* config) {
    delete config;
}

lumvex_error lumvex_config_set_api_key(lumvex_config* config, const char* key) {
    if (!key) {
        return LUMVEX_ERROR_INVALID_ARGUMENT;
    }
    return set(config, [key](lumvex_config& c) {
        c.apiKey = key;
        return LUMVEX_OK;
    });
}

lumvex_error lumvex_config_set_endpoint(lumvex_config* config, const char* baseUrl) {
    return set(config, [baseUrl](lumvex_config& c) {
        c.endpoint = text(baseUrl);
        return LUMVEX_OK;
    });
}

lumvex_error lumvex_config_set_push_frequency(lumvex_config* config, int64_t minutes) {
    return set(config, [minutes](lumvex_config& c) {
        c.pushFrequency = minutes;
        return LUMVEX_OK;
    });
}

lumvex_error lumvex_config_set_push_format(lumvex_config* config, lumvex_push_format format) {
    return set(config, [format](lumvex_config& c) {
        if (format < LUMVEX_PUSH_FORMAT_LOCATION_AND_DEVICE_INFO ||
            format > LUMVEX_PUSH_FORMAT_DEVICE_INFO_ONLY) {
            return LUMVEX_ERROR_INVALID_ARGUMENT;
        }
        c.pushFormat = static_cast<lumvex::PushFormat>(format);
        return LUMVEX_OK;
    });
}

lumvex_error lumvex_config_set_push_region(lumvex_config* config, lumvex_push_region region) {
    return set(config, [region](lumvex_config& c) {
        if (region != LUMVEX_PUSH_REGION_EU && region != LUMVEX_PUSH_REGION_US) {
            return LUMVEX_ERROR_INVALID_ARGUMENT;
        }
        c.pushRegion = static_cast<lumvex::PushRegion>(region);
        return LUMVEX_OK;
    });
}

lumvex_error lumvex_config_set_debug_log(lumvex_config* config, int enabled) {
    return set(config, [enabled](lumvex_config& c) {
        c.debugLog = enabled != 0;
        return LUMVEX_OK;
    });
}

lumvex_error lumvex_config_set_identity(lumvex_config* config, const char* identifier, const char* version) {
    return set(config, [identifier, version](lumvex_config& c) {
        c.identifier = text(identifier);
        c.version = version ? version : "";
        return LUMVEX_OK;
    });
}

lumvex_error lumvex_config_keep_offline(lumvex_config* config, int64_t days, int64_t maxFixes,
                                        int64_t maxBatchSize) {
    return set(config, [days, maxFixes, maxBatchSize](lumvex_config& c) {
        c.offlineDays = days;
        c.offlineMaxFixes = maxFixes;
        c.maxBatchSize =
            maxBatchSize == 0 ? lumvex::LumvexConfiguration::DEFAULT_MAX_BATCH_SIZE : maxBatchSize;
        return LUMVEX_OK;
    });
}

lumvex_error lumvex_start(const lumvex_config* config, char* reason, size_t reasonSize) {
    copyOut("", reason, reasonSize);
    if (!config) {
        copyOut(lumvex_error_text(LUMVEX_ERROR_INVALID_ARGUMENT), reason, reasonSize);
        return LUMVEX_ERROR_INVALID_ARGUMENT;
    }
    return guarded(LUMVEX_ERROR_OUT_OF_MEMORY, [&] {
        if (config->identifier) {
            lumvex::platform::setApplicationIdentity(*config->identifier, config->version);
        }
        lumvex::LumvexConfiguration::Builder builder;
        builder.pushFormat(config->pushFormat)
            .pushRegion(config->pushRegion)
            .pushFrequency(config->pushFrequency)
            .enableDebugLog(config->debugLog)
            .keepOffline(config->offlineDays, config->offlineMaxFixes)
            .maxBatchSize(config->maxBatchSize);
        if (config->apiKey) {
            builder.apiKey(*config->apiKey);
        }
        if (config->endpoint) {
            builder.endpoint(*config->endpoint);
        }
        std::string cause;
        lumvex::L::keepRefusals(&cause);
        const auto refused = lumvex::Lumvex::shared().start(builder.build());
        lumvex::L::keepRefusals(nullptr);
        if (!refused) {
            return LUMVEX_OK;
        }
        const auto code = codeOf(*refused);
        copyOut(cause.empty() ? lumvex_error_text(code) : cause, reason, reasonSize);
        return code;
    });
}

void lumvex_stop(void) {
    lumvex::Lumvex::shared().stop();
}

int lumvex_is_started(void) {
    return lumvex::Lumvex::shared().isStarted() ? 1 : 0;
}

lumvex_shutdown_outcome lumvex_shutdown(int64_t boundMs) {
    const auto outcome = lumvex::Lumvex::shared().shutdown(std::chrono::milliseconds(boundMs));
    return static_cast<lumvex_shutdown_outcome>(outcome);
}

void lumvex_add_trace(double latitude, double longitude) {
    lumvex::Lumvex::shared().addTrace({latitude, longitude});
}

void lumvex_dropped_fixes(uint64_t* count, int64_t* sinceMs) {
    const auto dropped = lumvex::Lumvex::shared().droppedFixes();
    if (count) {
        *count = dropped.count;
    }
    if (sinceMs) {
        *sinceMs = dropped.sinceMs;
    }
}

void lumvex_force_push(lumvex_push_callback callback, void* userData) {
    guardedVoid([&] {
        lumvex::PushCallback told;
        if (callback) {
            told = [callback, userData](std::optional<lumvex::LumvexException> error) {
                tell(callback, codeOf(error), userData);
            };
        }
        lumvex::Lumvex::shared().forcePush(std::move(told));
    });
}

void lumvex_forget_push_callbacks(void) {
    auto& callbacks = pushCallbacks();
    std::unique_lock<std::mutex> lock(callbacks.mutex);
    callbacks.forgotten = true;
    // Ended by the callbacks under way returning (or ending their threads).
    callbacks.left.wait(lock, [&callbacks] { return callbacks.running == 0; });
}

void lumvex_application_will_resign_active(void) {
    lumvex::Lumvex::shared().applicationWillResignActive();
}

void lumvex_set_log_handler(lumvex_log_handler handler, void* userData) {
    guardedVoid([&] {
        if (!handler) {
            lumvex::platform::setLogHandlerWithLevel(nullptr);
            return;
        }
        lumvex::platform::setLogHandlerWithLevel(
            [handler, userData](lumvex::platform::LogLevel level, std::string_view line) {
                const std::string copy(line);  // with its NUL
                handler(static_cast<lumvex_log_level>(level), copy.c_str(), userData);
            });
    });
}

void lumvex_set_caches_directory(const char* path) {
    guardedVoid([&] { lumvex::platform::setCachesDirectory(path ? path : ""); });
}

void lumvex_set_main_bundle_directory(const char* path) {
    guardedVoid([&] { lumvex::platform::setMainBundleDirectory(path ? path : ""); });
}

void lumvex_use_gpsd(const char* host, const char* port) {
    guardedVoid([&] { lumvex::platform::useGpsd(host ? host : "localhost", port ? port : "2947"); });
}

void lumvex_use_geoclue(const char* desktopId) {
    guardedVoid([&] { lumvex::platform::useGeoClue(desktopId ? desktopId : ""); });
}

void lumvex_set_location_services_enabled(int enabled) {
    lumvex::platform::setLocationServicesEnabled(enabled != 0);
}

lumvex_run_loop* lumvex_run_loop_current(void) {
    return guarded<lumvex_run_loop*>(
        nullptr, [] { return reinterpret_cast<lumvex_run_loop*>(&lumvex::RunLoop::current()); });
}

int lumvex_run_loop_descriptor(lumvex_run_loop* loop) {
    return loop ? reinterpret_cast<lumvex::RunLoop*>(loop)->eventDescriptor() : -1;
}

int64_t lumvex_run_loop_next_timeout_ms(lumvex_run_loop* loop) {
    if (!loop) {
        return -1;
    }
    const auto next = reinterpret_cast<lumvex::RunLoop*>(loop)->nextTimeout();
    return next ? static_cast<int64_t>(next->count()) : -1;
}

void lumvex_run_loop_run_pending(lumvex_run_loop* loop) {
    if (loop) {
        guardedVoid([loop] { reinterpret_cast<lumvex::RunLoop*>(loop)->runPending(); });
    }
}

void lumvex_run_loop_run_for(lumvex_run_loop* loop, int64_t durationMs) {
    if (loop) {
        guardedVoid([loop, durationMs] {
            reinterpret_cast<lumvex::RunLoop*>(loop)->runFor(std::chrono::milliseconds(durationMs));
        });
    }
}

void lumvex_run_loop_stop(lumvex_run_loop* loop) {
    if (loop) {
        reinterpret_cast<lumvex::RunLoop*>(loop)->stop();
    }
}

const char* lumvex_version(void) {
    return lumvex::versionString();
}

}  // extern "C"
