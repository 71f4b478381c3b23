#pragma once

// Thread guarantees: safe from any thread. `writeLog` is atomic, and each line reaches
// standard output in one write, or the host's handler in one call, so lines from different
// threads never mix. The handler may be replaced while other threads log: a line goes
// wholly to the old handler or wholly to the new one.

#include "platform/base/HostCode.h"

#include <LumvexSdk/Platform.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

namespace lumvex {

/// The debug log: one line per call on standard output while `writeLog` is on.
/// Line format: <file name>:<operation>:<line> <message>
class L final {
public:
    using Level = platform::LogLevel;
    using Handler = std::function<void(Level, std::string_view)>;

    static std::atomic<bool> writeLog;

    /// Writes the line whole, in one write under the stream's lock, so that lines from
    /// different threads never mix. Does nothing, not even formatting, while off. An error
    /// line (see `error`) has the error level, any other the info level.
    static void debug(std::string_view message, std::int64_t line, std::string_view fileName,
                      std::string_view funcName);
    /// The same at a level of the caller's choice.
    static void debug(Level level, std::string_view message, std::int64_t line, std::string_view fileName,
                      std::string_view funcName);

    /// Writes the line whatever the switch says: for the reason of a refused start, which
    /// comes before the switch is set from the configuration.
    static void write(std::string_view message, std::int64_t line, std::string_view fileName,
                      std::string_view funcName);

    /// Sends every line to `handler`, without its line feed, instead of standard output;
    /// an empty one restores standard output. Returns once no other thread is inside the
    /// handler it replaced.
    static void setHandler(Handler handler);

    /// "ERROR: " + text + "!!"
    static std::string error(std::string_view text);

    /// While `sink` is set on this thread, the causes of refusals that it logs (see
    /// LUMVEX_LOG_ERROR_IF) are also kept there, whatever the switch says: how a caller
    /// that gets no log (the C interface's start) learns why. nullptr stops it.
    static void keepRefusals(std::string* sink);
    static void noteRefusal(std::string_view cause);

    L() = delete;
};

/// Runs `work`, and logs what it throws as the error "<failure> : <what>" under `func`
/// instead of letting it go further: the library runs host code (timer actions, completion
/// handlers) on threads whose end would end the host. The line is logged with the
/// caller's file and line. A forced unwind goes on: the thread is being ended.
template <typename Work>
LUMVEX_CATCHES_FORCED_UNWIND void runLoggingFailure(Work& work, std::string_view func, const char* failure,
                                                    std::int64_t line = __builtin_LINE(),
                                                    const char* file = __builtin_FILE()) {
    try {
        work();
    }
    LUMVEX_PASS_FORCED_UNWIND
    catch (const std::exception& e) {
        L::debug(L::error(std::string(failure) + " : " + e.what()), line, file, func);
    }
    catch (...) {
        L::debug(L::error(failure), line, file, func);
    }
}

}  // namespace lumvex

/// Logs `message` with the caller's file and line under the operation name `func`.
#define LUMVEX_LOG(func, message) ::lumvex::L::debug((message), __LINE__, __FILE__, (func))
/// The same at `level`, one of LogLevel's names (LEVEL_DEBUG, ...).
#define LUMVEX_LOG_AT(level, func, message) \
    ::lumvex::L::debug(::lumvex::L::Level::level, (message), __LINE__, __FILE__, (func))
/// Logs the error form of `text`.
#define LUMVEX_LOG_ERROR(func, text) LUMVEX_LOG(func, ::lumvex::L::error(text))
/// Logs the error form of `text` when the switch is on, and also while it is off when
/// `show` holds.
#define LUMVEX_LOG_ERROR_IF(show, func, text)                                                 \
    do {                                                                                      \
        const std::string lumvexCause_ = (text);                                              \
        ::lumvex::L::noteRefusal(lumvexCause_);                                               \
        if ((show) || ::lumvex::L::writeLog.load(std::memory_order_relaxed)) {                \
            ::lumvex::L::write(::lumvex::L::error(lumvexCause_), __LINE__, __FILE__, (func)); \
        }                                                                                     \
    } while (false)
