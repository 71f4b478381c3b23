#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumvex::platform {

/// The application's caches directory: `$XDG_CACHE_HOME` (else `$HOME/.cache`), then the
/// main bundle's "CFBundleIdentifier" (else the executable's name). Created with mode
/// 0700 when missing. Nothing when it cannot be had.
std::optional<std::string> cachesDirectory();

/// Replaces the file at `path` with `data`: written to a temporary file beside it (mode
/// 0600), flushed to disk, then renamed over the target, so a reader sees the old or the
/// new content. On failure the target is untouched and `error` says why.
bool writeFileAtomically(const std::string& path, std::string_view data, std::string* error = nullptr);

/// Removes the temporary files that interrupted `writeFileAtomically(path, ...)` calls left
/// beside `path` (a process killed between creating one and renaming it). Gives how many.
std::size_t removeLeftoverTemporaries(const std::string& path);

/// The whole content of the file at `path`, or nothing when it cannot be read or is
/// larger than `maxBytes` (files we read whole are small; a huge one is not ours).
std::optional<std::string> readFileBounded(const std::string& path, std::size_t maxBytes);

/// Base64, RFC 4648 standard alphabet with padding, no line breaks.
std::string base64Encode(std::string_view bytes);
/// Strict decoding: padding required, nothing outside the alphabet. Nothing on failure.
std::optional<std::string> base64Decode(std::string_view text);

/// Whether `bytes` are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);
/// `bytes` with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view bytes);

}  // namespace lumvex::platform
