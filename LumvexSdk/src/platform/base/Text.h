#pragma once

// Thread guarantees: every function is safe from any thread; none keeps state between
// calls.

#include <optional>
#include <string>
#include <string_view>

namespace lumvex::platform {

/// Base64, RFC 4648 standard alphabet with padding, no line breaks.
std::string base64Encode(std::string_view bytes);
/// Strict decoding: padding required, nothing outside the alphabet. Nothing on failure.
std::optional<std::string> base64Decode(std::string_view text);

/// Whether `bytes` are well-formed UTF-8.
bool isValidUtf8(std::string_view bytes);
/// `bytes` with every ill-formed UTF-8 sequence replaced by U+FFFD.
std::string repairUtf8(std::string_view bytes);

/// `text` (well-formed UTF-8) without white space and line ends at either end: Unicode's
/// space separators, tab, U+000A to U+000D and U+0085.
std::string_view trimWhiteSpace(std::string_view text);
/// `text` without the ASCII spaces, tabs and line ends that pad what system files hold; any
/// other byte, even of ill-formed UTF-8, is kept.
std::string_view trimBlanks(std::string_view text);
/// `text` without its one final line feed, if it has one: the kernel's single-value files
/// end with one, which is not part of the value.
std::string withoutLineFeed(std::string text);

/// Character classes of the C locale, whatever locale the host has set.
bool isAsciiLetter(char c);
bool isAsciiDigit(char c);

}  // namespace lumvex::platform
