/* LumvexSdk's C interface: plain C99, for hosts in C and for every language that reaches a
 * library through a C foreign-function interface (Python's ctypes, Go's cgo, Rust, Java's
 * FFM). It is exported from the same libLumvexSdk.so as the C++ interface and drives the
 * same one library per process.
 *
 * Conventions:
 *   - Nothing is thrown or longjmp'd across it; failures are `lumvex_error` codes, each with
 *     a text (`lumvex_error_text`).
 *   - Every string passed in is copied before the call returns; the caller keeps its own.
 *   - Strings passed out are the library's, valid for the life of the process, unless a
 *     function says otherwise.
 *   - Each callback says on which thread it runs. Callbacks run on the library's threads:
 *     keep them short, do not call lumvex_stop, lumvex_start or lumvex_shutdown from them,
 *     and hop to your own thread for anything longer. Ending the thread inside a callback
 *     (pthread_exit, an interpreter ending its threads at exit) is allowed.
 *   - Thread safety: every function is safe from any thread, except where it says which
 *     thread it belongs to (start, stop, shutdown and the run loop's).
 */
#ifndef LUMVEXSDK_LUMVEX_H
#define LUMVEXSDK_LUMVEX_H

#include <stddef.h>
#include <stdint.h>

#if defined(LUMVEX_BUILDING_LIBRARY)
#define LUMVEX_C_API __attribute__((visibility("default")))
#else
#define LUMVEX_C_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a call or an upload came to. The values are stable. */
typedef enum lumvex_error {
    LUMVEX_OK = 0,
    LUMVEX_ERROR_START_REFUSED = 1,         /* start refused; the reason says why */
    LUMVEX_ERROR_ALREADY_STARTED = 2,       /* start while started */
    LUMVEX_ERROR_INVALID_EMPTY_API_KEY = 3, /* start without an API key */
    LUMVEX_ERROR_PUSH_FAILED = 4,           /* an upload failed; its fixes stay stored */
    LUMVEX_ERROR_JSON_SERIALIZATION_FAILED = 5,
    LUMVEX_ERROR_INVALID_ARGUMENT = 6, /* a NULL where a value is needed, an unknown enum value */
    LUMVEX_ERROR_OUT_OF_MEMORY = 7
} lumvex_error;

/* The text of `error`, e.g. "the API key is empty"; never NULL. */
LUMVEX_C_API const char* lumvex_error_text(lumvex_error error);

typedef enum lumvex_push_format {
    LUMVEX_PUSH_FORMAT_LOCATION_AND_DEVICE_INFO = 0,
    LUMVEX_PUSH_FORMAT_LOCATION_ONLY = 1,
    LUMVEX_PUSH_FORMAT_DEVICE_INFO_ONLY = 2
} lumvex_push_format;

typedef enum lumvex_push_region { LUMVEX_PUSH_REGION_EU = 0, LUMVEX_PUSH_REGION_US = 1 } lumvex_push_region;

/* How lumvex_shutdown left what was stored. */
typedef enum lumvex_shutdown_outcome {
    LUMVEX_SHUTDOWN_NOTHING_TO_SEND = 0, /* nothing was stored */
    LUMVEX_SHUTDOWN_DELIVERED = 1,       /* the collection server accepted all of it */
    LUMVEX_SHUTDOWN_KEPT = 2             /* not delivered within the bound: kept for a later run */
} lumvex_shutdown_outcome;

typedef enum lumvex_log_level {
    LUMVEX_LOG_LEVEL_ERROR = 0,
    LUMVEX_LOG_LEVEL_WARNING = 1,
    LUMVEX_LOG_LEVEL_INFO = 2,
    LUMVEX_LOG_LEVEL_DEBUG = 3
} lumvex_log_level;

/* ---- Configuration ---------------------------------------------------------------- */

/* A configuration being made: the C form of LumvexConfiguration::Builder. Use one from one
 * thread at a time; lumvex_start copies what it needs, so it may be freed right after. */
typedef struct lumvex_config lumvex_config;

/* A configuration with the defaults (region EU, location and device info, one upload a
 * day, debug log off, the build's endpoint, no key); NULL when out of memory. */
LUMVEX_C_API lumvex_config* lumvex_config_new(void);
/* Frees it; NULL does nothing. */
LUMVEX_C_API void lumvex_config_free(lumvex_config* config);
/* The API key uploads are made under. */
LUMVEX_C_API lumvex_error lumvex_config_set_api_key(lumvex_config* config, const char* key);
/* An absolute http or https base URL ending in "/"; checked by lumvex_start. */
LUMVEX_C_API lumvex_error lumvex_config_set_endpoint(lumvex_config* config, const char* base_url);
/* Minutes between periodic uploads; checked by lumvex_start (1 and above). */
LUMVEX_C_API lumvex_error lumvex_config_set_push_frequency(lumvex_config* config, int64_t minutes);
LUMVEX_C_API lumvex_error lumvex_config_set_push_format(lumvex_config* config, lumvex_push_format format);
LUMVEX_C_API lumvex_error lumvex_config_set_push_region(lumvex_config* config, lumvex_push_region region);
/* Non-zero switches the debug log on from the start. */
LUMVEX_C_API lumvex_error lumvex_config_set_debug_log(lumvex_config* config, int enabled);
/* The application's identifier (names its store) and version (sent as app_version), for a
 * host without an Info.plist; taken at lumvex_start, before anything is stored. Fixes
 * handed over before that go where the identity then in force puts them. */
LUMVEX_C_API lumvex_error lumvex_config_set_identity(lumvex_config* config, const char* identifier,
                                                     const char* version);

/* Keeps fixes while uploads fail: up to `days` days and `max_fixes` fixes, uploaded oldest
 * first in requests of at most `max_batch_size` fixes (0: the default, 1000). Both bounds 0
 * leave it off; other values below 1 are refused by lumvex_start. See the README's
 * "Days offline". */
LUMVEX_C_API lumvex_error lumvex_config_keep_offline(lumvex_config* config, int64_t days, int64_t max_fixes,
                                                     int64_t max_batch_size);

/* ---- Lifecycle ---------------------------------------------------------------------- */

/* Starts sampling and periodic uploads with `config`. Call it on the thread whose run loop
 * the host runs (see the run loop below); the timers fire there. LUMVEX_OK, or why not:
 * LUMVEX_ERROR_ALREADY_STARTED, LUMVEX_ERROR_INVALID_EMPTY_API_KEY or
 * LUMVEX_ERROR_START_REFUSED. When `reason` is not NULL, the cause of a refusal is written
 * into it, cut to `reason_size` bytes with its NUL (an empty string on success). */
LUMVEX_C_API lumvex_error lumvex_start(const lumvex_config* config, char* reason, size_t reason_size);
/* Stops the timers; the fixes handed over are stored before it returns. On the thread that
 * started the library. */
LUMVEX_C_API void lumvex_stop(void);
/* Non-zero while started. */
LUMVEX_C_API int lumvex_is_started(void);
/* A service's stop in one step: stops, uploads what is stored and returns within about
 * `bound_ms` milliseconds how that went. On the thread that started the library, once its
 * run loop no longer runs. */
LUMVEX_C_API lumvex_shutdown_outcome lumvex_shutdown(int64_t bound_ms);

/* ---- Fixes and uploads -------------------------------------------------------------- */

/* Stores a fix the host obtained itself (WGS 84 degrees); also while stopped. Returns at
 * once. */
LUMVEX_C_API void lumvex_add_trace(double latitude, double longitude);
/* What the offline store's bounds dropped so far: how many fixes, and since when (the
 * first drop, in milliseconds since 1970; 0 when none). Either pointer may be NULL. */
LUMVEX_C_API void lumvex_dropped_fixes(uint64_t* count, int64_t* since_ms);

/* An upload's outcome: LUMVEX_OK, LUMVEX_ERROR_PUSH_FAILED or
 * LUMVEX_ERROR_JSON_SERIALIZATION_FAILED. Runs on the library's upload thread
 * "lumvex-http" (on its work queue "lumvex-queue" when the upload fails before anything is
 * sent), never on the caller's. */
typedef void (*lumvex_push_callback)(lumvex_error outcome, void* user_data);

/* Uploads what is stored, later, and calls `callback` (which may be NULL) once with
 * `user_data`. While stopped, or when nothing at all is stored, it is never called: free
 * what `user_data` points to elsewhere in that case (lumvex_shutdown tells both apart). */
LUMVEX_C_API void lumvex_force_push(lumvex_push_callback callback, void* user_data);
/* For a host whose runtime is ending (an interpreter at exit): push callbacks not called
 * yet are dropped and never called, now or later; returns once none is running. Uploads go
 * on. lumvex_force_push calls after it are not reported either. */
LUMVEX_C_API void lumvex_forget_push_callbacks(void);

/* Call when the application leaves the foreground: uploads like lumvex_force_push. */
LUMVEX_C_API void lumvex_application_will_resign_active(void);

/* ---- Log ------------------------------------------------------------------------------ */

/* One debug log line, without its line feed, valid during the call. Runs on whichever
 * thread logs (the host's, "lumvex-queue", "lumvex-http", "lumvex-gps"), possibly on
 * several at once. */
typedef void (*lumvex_log_handler)(lumvex_log_level level, const char* line, void* user_data);

/* Sends the debug log to `handler` with `user_data` instead of standard output; NULL
 * restores standard output. Returns once no other thread is inside the old handler, so its
 * user data may be freed then. A host whose runtime ends before the process (an
 * interpreter) sets NULL before it does: the exit still stores fixes, and logs. */
LUMVEX_C_API void lumvex_set_log_handler(lumvex_log_handler handler, void* user_data);

/* ---- Platform knobs (before lumvex_start) -------------------------------------------- */

/* The base directory of the library's store; NULL or "" for the default (XDG_CACHE_HOME,
 * CACHE_DIRECTORY, HOME/.cache). */
LUMVEX_C_API void lumvex_set_caches_directory(const char* path);
/* The directory whose Info.plist is the host's. */
LUMVEX_C_API void lumvex_set_main_bundle_directory(const char* path);
/* Positions from gpsd at host:port (NULL for "localhost", "2947"). */
LUMVEX_C_API void lumvex_use_gpsd(const char* host, const char* port);
/* Positions from GeoClue, asking as `desktop_id` (NULL or "" for the executable's name). */
LUMVEX_C_API void lumvex_use_geoclue(const char* desktop_id);
/* The "location services enabled" switch; on by default. */
LUMVEX_C_API void lumvex_set_location_services_enabled(int enabled);

/* ---- Run loops ------------------------------------------------------------------------ */

/* The timers of lumvex_start run on the run loop of the thread that called it, and only
 * while that loop runs: by lumvex_run_loop_run_for, or driven from the host's own event
 * loop (GLib, epoll, asyncio) by watching lumvex_run_loop_descriptor for reading, waking
 * after lumvex_run_loop_next_timeout_ms and then calling lumvex_run_loop_run_pending. */
typedef struct lumvex_run_loop lumvex_run_loop;

/* The calling thread's run loop, made on first use; it lives as long as the thread. NULL
 * when out of memory. */
LUMVEX_C_API lumvex_run_loop* lumvex_run_loop_current(void);
/* A descriptor that becomes readable when work waits; do not read or close it. -1 when the
 * system has none to give. Safe from any thread. */
LUMVEX_C_API int lumvex_run_loop_descriptor(lumvex_run_loop* loop);
/* Milliseconds the host may wait before lumvex_run_loop_run_pending: 0 when work waits, -1
 * when only the descriptor needs watching. Safe from any thread. */
LUMVEX_C_API int64_t lumvex_run_loop_next_timeout_ms(lumvex_run_loop* loop);
/* Runs the posted tasks and the due timers, then returns; never waits. On the loop's own
 * thread. */
LUMVEX_C_API void lumvex_run_loop_run_pending(lumvex_run_loop* loop);
/* Runs the loop for at most `duration_ms` milliseconds, or until lumvex_run_loop_stop. On
 * the loop's own thread. */
LUMVEX_C_API void lumvex_run_loop_run_for(lumvex_run_loop* loop, int64_t duration_ms);
/* Makes lumvex_run_loop_run_for return soon (also the next one, when none runs now). Safe
 * from any thread, not from a signal handler. */
LUMVEX_C_API void lumvex_run_loop_stop(lumvex_run_loop* loop);

/* ---- Version -------------------------------------------------------------------------- */

/* The library's version, e.g. "1.0.0". */
LUMVEX_C_API const char* lumvex_version(void);

#ifdef __cplusplus
}
#endif

#endif /* LUMVEXSDK_LUMVEX_H */
