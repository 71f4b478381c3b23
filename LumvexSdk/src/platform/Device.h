#pragma once

#include <map>
#include <optional>
#include <string>

namespace lumvex::platform {

/// Where the device layer reads the system. By default the real root and the process
/// environment; tests point both at fixtures so that no value depends on the machine.
struct DeviceSources {
    /// Prefix put before every system path ("/etc/os-release" is read as root +
    /// "/etc/os-release"). Empty for the real file system.
    std::string root;
    /// The variables the layer consults (locale and time zone). Nothing means the
    /// process environment.
    std::optional<std::map<std::string, std::string>> environment;
};

/// Replaces the sources for every later read; safe from any thread.
void setDeviceSources(DeviceSources sources);
/// Back to the real root and the process environment.
void resetDeviceSources();

/// The kind of user interface the device calls for.
enum class UserInterfaceIdiom { Unspecified, Phone, Pad, Desktop };

/// The current device, as the library describes it. Every call reads its sources afresh.
class Device final {
public:
    /// "VERSION_ID" of the os-release file, else the kernel release, else "".
    static std::string systemVersion();

    /// A name for the kind of machine ("Desktop", "Laptop", "Tablet", ...), taken from the
    /// firmware's chassis type. It names a kind, never one machine.
    static std::string model();

    /// The host name, "" when it cannot be read.
    static std::string name();

    /// Tablets, convertibles and detachables are `Pad`; hand-helds `Phone`; the usual
    /// desktop and laptop chassis `Desktop`; anything else `Unspecified`.
    static UserInterfaceIdiom userInterfaceIdiom();

    /// An id for this machine and the host's vendor: 36-character upper-case UUID text,
    /// stable across runs, different for each vendor, from which the machine id cannot be
    /// recovered. Nothing when the machine has no usable machine id.
    static std::optional<std::string> identifierForVendor();

    /// The vendor that `identifierForVendor` is keyed by: the host's bundle identifier
    /// without its last component.
    static std::string vendor();

    Device() = delete;
};

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

/// The current time zone: `TZ` when it names a zone, then the system's configured zone.
class TimeZone final {
public:
    /// The zone identifier, such as "Europe/Paris". "UTC" when the system configures no
    /// zone at all (what the C library then uses); "" when a zone is configured but its
    /// name cannot be found.
    static std::string currentIdentifier();

    TimeZone() = delete;
};

/// The app-specific id of `machineId` for `appId` (both 16 bytes), as systemd derives
/// it: the first half of HMAC-SHA256 keyed by the machine id over the app id, made a
/// version 4 UUID. Empty when either input has the wrong length.
std::string appSpecificId(const std::string& machineId, const std::string& appId);

}  // namespace lumvex::platform
