#pragma once

// The user's locale: the language and region the device description reports.
//
// Thread guarantees: every call is safe from any thread. A `Locale` is a plain value;
// `current()` reads the environment afresh each time. Nothing calls back.

#include <string>

namespace lumvex::platform {

/// The user's locale, from the POSIX variables (`LC_ALL`, then `LC_MESSAGES`, then
/// `LANG`; the first one set and non-empty decides).
class Locale final {
public:
    static Locale current();

    /// The ISO 639 language code in lower case, "" when there is none (C and POSIX
    /// included).
    const std::string& languageCode() const { return language_; }
    /// The region code (two upper-case letters or three digits), "" when there is none.
    const std::string& regionCode() const { return region_; }

    /// Splits a locale name of the form language[_REGION][.codeset][@modifier].
    static Locale fromName(const std::string& name);

private:
    std::string language_;
    std::string region_;
};

}  // namespace lumvex::platform
