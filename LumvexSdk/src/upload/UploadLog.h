#pragma once

// The lines an upload writes. Whichever stage of the upload writes one, it names the
// upload's operation, `sendPush(_:callback:)`, with the file and line where the upload was
// handed to the outbox: hosts filter their logs on them, and the pair points at the
// operation the line is about.

#include "platform/base/L.h"

#include <cstdint>

namespace lumvex {

/// The operation that an upload's lines name.
inline constexpr const char* SEND_PUSH = "sendPush(_:callback:)";

/// Where an upload was asked for: the file and line its lines name.
struct LogSite {
    const char* file;
    std::int64_t line;
};

}  // namespace lumvex

/// Logs `message` under `func` at the upload's `site`.
#define LUMVEX_UPLOAD_LOG(site, func, message) ::lumvex::L::debug((message), (site).line, (site).file, (func))
/// The same at `level`, one of LogLevel's names.
#define LUMVEX_UPLOAD_LOG_AT(level, site, func, message) \
    ::lumvex::L::debug(::lumvex::L::Level::level, (message), (site).line, (site).file, (func))
/// Logs the error form of `text` so.
#define LUMVEX_UPLOAD_LOG_ERROR(site, func, text) LUMVEX_UPLOAD_LOG(site, func, ::lumvex::L::error(text))
