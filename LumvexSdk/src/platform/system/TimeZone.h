#pragma once

// The current time zone, by the name the device description reports it under.
//
// Thread guarantees: safe from any thread, as long as the host does not change the process
// environment meanwhile (getenv() and tzset() read it, as every time function does). It
// never changes the process's zone. Nothing calls back.

#include <string>

namespace lumvex::platform {

/// The current time zone: `TZ` when it names a zone, then the system's configured zone.
class TimeZone final {
public:
    /// The zone identifier, such as "Europe/Paris". "UTC" when the system configures no
    /// zone at all (what the C library then uses); "" when a zone is configured but its
    /// name cannot be found.
    static std::string currentIdentifier();

    /// Has the C library's local time functions (localtime_r) use the zone configured now,
    /// as tzset() does; without asking the system when neither `TZ` nor the system's zone
    /// file changed since the last call (see `fileIdentityOnce`).
    static void loadCurrent();

    TimeZone() = delete;
};

}  // namespace lumvex::platform
