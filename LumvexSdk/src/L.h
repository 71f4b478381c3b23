#pragma once

// Thread guarantees: safe from any thread. `writeLog` is atomic, and each line reaches
// standard output in one write, so lines from different threads never mix.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace lumvex {

/// The debug log: one line per call on standard output while `writeLog` is on.
/// Line format: <file name>:<operation>:<line> <message>
class L final {
public:
    static std::atomic<bool> writeLog;

    /// Writes the line whole, in one write under the stream's lock, so that lines from
    /// different threads never mix. Does nothing, not even formatting, while off.
    static void debug(std::string_view message, std::int64_t line, std::string_view fileName,
                      std::string_view funcName);

    /// "ERROR: " + text + "!!"
    static std::string error(std::string_view text);

    L() = delete;
};

}  // namespace lumvex

/// Logs `message` with the caller's file and line under the operation name `func`.
#define LUMVEX_LOG(func, message) ::lumvex::L::debug((message), __LINE__, __FILE__, (func))
/// Logs the error form of `text`.
#define LUMVEX_LOG_ERROR(func, text) LUMVEX_LOG(func, ::lumvex::L::error(text))
