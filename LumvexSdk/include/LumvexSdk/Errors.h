#pragma once

// Thread guarantees: every call is safe from any thread; the two categories are made once,
// on first use, and never destroyed.

#include <LumvexSdk/Export.h>

#include <optional>
#include <string>
#include <system_error>

namespace lumvex {

/// Why `Lumvex::start` refused to start. The value is the case index.
///
/// `ERROR` collides with a macro of the same name that some C headers and code bases
/// define (`#define ERROR 0`, <windows.h>): once such a macro is defined, the case can no
/// longer be spelled. Keep the macro out of this header's way, and compare by value where
/// it is in force:
///
///     #pragma push_macro("ERROR")
///     #undef ERROR
///     #include <LumvexSdk/LumvexSdk.h>
///     #pragma pop_macro("ERROR")
///     ...
///     if (refused == lumvex::LumvexStartException{0}) { ... }  // ERROR
enum class LumvexStartException { ERROR = 0, ALREADY_STARTED = 1, INVALID_EMPTY_API_KEY = 2 };

/// Why an upload failed, as passed to a push callback. The value is the case index.
enum class LumvexException { PUSH_FAILED = 0, JSON_SERIALIZATION_FAILED = 1 };

/// Error categories named "LumvexSdk.LumvexStartException" and "LumvexSdk.LumvexException";
/// an error code's value is the case index, and its `message()` names the case, says what
/// it means and, for a refused start, that the log line before it names the cause.
LUMVEX_API const std::error_category& lumvexStartExceptionCategory() noexcept;
LUMVEX_API const std::error_category& lumvexExceptionCategory() noexcept;

LUMVEX_API std::error_code make_error_code(LumvexStartException e) noexcept;
LUMVEX_API std::error_code make_error_code(LumvexException e) noexcept;

/// The reflecting text of an error, such as "LumvexSdk.LumvexException.PUSH_FAILED".
LUMVEX_API std::string to_string(LumvexStartException e);
LUMVEX_API std::string to_string(LumvexException e);

/// "Optional(" + the text + ")", or "nil" when there is no error.
LUMVEX_API std::string to_string(const std::optional<LumvexStartException>& e);
LUMVEX_API std::string to_string(const std::optional<LumvexException>& e);

}  // namespace lumvex

namespace std {
template <>
struct is_error_code_enum<lumvex::LumvexStartException> : true_type {};
template <>
struct is_error_code_enum<lumvex::LumvexException> : true_type {};
}  // namespace std
