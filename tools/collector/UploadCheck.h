#pragma once

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace collector {

/// The API key carried by an upload's request target "/api/v1/<key>/send_locations",
/// percent-decoded. Nothing when the target has another shape, a query, or a key that
/// does not decode.
std::optional<std::string> apiKeyFromTarget(const std::string& target);

/// Whether `text` is well-formed UTF-8 (no overlong forms, surrogates or values past
/// U+10FFFF).
bool isValidUtf8(const std::string& text);

/// `text` with every byte that is not part of well-formed UTF-8 replaced by U+FFFD.
std::string validUtf8(const std::string& text);

/// `text` for one line of a log or a terminal table: control characters (line feeds,
/// carriage returns, escapes, C1), the backslash and bytes that are not UTF-8 become "\xNN",
/// so that whatever a client sent, one event stays one line.
std::string escapedForLog(const std::string& text);

/// Checks that `body` is an upload: a JSON object with exactly "mac" (string),
/// "google_aid" (string), "locations" (array of objects with exactly the string members
/// "timestamp", "lat" and "lng") and "devices_infos" (an empty object, or the device
/// description: "is_tablet" a Boolean and ten string members).
/// Returns the parsed body, or sets `reason` and returns nothing.
std::optional<nlohmann::json> checkUpload(const std::string& body, std::string& reason);

}  // namespace collector
