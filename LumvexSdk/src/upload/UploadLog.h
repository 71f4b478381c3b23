#pragma once

// The lines an upload writes. Whichever part of the upload writes one, it names the
// upload's entry point and its file, as it always has: hosts filter their logs on them.

#include "platform/base/L.h"

namespace lumvex {

/// The operation that an upload's lines name.
inline constexpr const char* SEND_PUSH = "sendPush(_:callback:)";

}  // namespace lumvex

/// Logs `message` under `func` as the upload's entry point's file.
#define LUMVEX_UPLOAD_LOG(func, message) ::lumvex::L::debug((message), __LINE__, "PushRequest.cpp", (func))
/// The same at `level`, one of LogLevel's names.
#define LUMVEX_UPLOAD_LOG_AT(level, func, message) \
    ::lumvex::L::debug(::lumvex::L::Level::level, (message), __LINE__, "PushRequest.cpp", (func))
/// Logs the error form of `text` so.
#define LUMVEX_UPLOAD_LOG_ERROR(func, text) LUMVEX_UPLOAD_LOG(func, ::lumvex::L::error(text))
