#include "platform/system/TimeZone.h"

#include "platform/base/Clock.h"
#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Text.h"
#include "platform/system/DeviceSources.h"
#include "platform/system/Files.h"

#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string_view>

namespace lumvex::platform {

namespace {

// An IANA-style zone name: slash-separated components of letters, digits and . _ + -,
// none of them empty, "." or "..". POSIX rules ("CET-1CEST,M3.5.0,M10.5.0/3",
// "<+03>-3") and paths are refused, because they are not identifiers.
bool isZoneName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name.front() == '/' || name.back() == '/') {
        return false;
    }
    std::size_t start = 0;
    while (start <= name.size()) {
        auto end = name.find('/', start);
        if (end == std::string::npos) {
            end = name.size();
        }
        const auto component = name.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") {
            return false;
        }
        for (const char c : component) {
            if (!isAsciiLetter(c) && !isAsciiDigit(c) && c != '.' && c != '_' && c != '+' && c != '-') {
                return false;
            }
        }
        start = end + 1;
    }
    return true;
}

// The zone named by a path into the time zone database ("/usr/share/zoneinfo/Europe/Paris",
// "../usr/share/zoneinfo/posix/Europe/Paris"), or nothing.
std::optional<std::string> zoneFromDatabasePath(const std::string& path) {
    // Not a std::string: a static with a destructor is gone while a library thread may
    // still describe the device during exit.
    constexpr std::string_view marker = "zoneinfo/";
    std::size_t at = std::string::npos;
    for (auto pos = path.find(marker); pos != std::string::npos; pos = path.find(marker, pos + 1)) {
        if (pos == 0 || path[pos - 1] == '/') {
            at = pos;
        }
    }
    if (at == std::string::npos) {
        return std::nullopt;
    }
    auto zone = path.substr(at + marker.size());
    // The "posix" and "right" trees hold the same zones under the same names.
    for (const char* tree : {"posix/", "right/"}) {
        if (zone.rfind(tree, 0) == 0) {
            zone.erase(0, std::strlen(tree));
            break;
        }
    }
    if (!isZoneName(zone)) {
        return std::nullopt;
    }
    return zone;
}

std::optional<std::string> zoneFromTz(const std::string& tz) {
    std::string value = tz;
    if (!value.empty() && value.front() == ':') {
        value.erase(0, 1);
    }
    if (!value.empty() && value.front() == '/') {
        return zoneFromDatabasePath(value);
    }
    if (!isZoneName(value)) {
        return std::nullopt;
    }
    return value;
}

// Whether the C library finds zone data for `tz`, which names `zone`: the file it gives, or
// the zone's file in the database (TZDIR, else the system's).
bool zoneDataExists(const DeviceSources& sources, const std::string& tz, const std::string& zone) {
    const std::string value = !tz.empty() && tz.front() == ':' ? tz.substr(1) : tz;
    std::string file;
    if (!value.empty() && value.front() == '/') {
        file = sources.root + value;
    } else {
        const auto tzdir = environmentValue(sources, "TZDIR");
        file = (tzdir.empty() ? sources.root + "/usr/share/zoneinfo" : sources.root + tzdir) + "/" + zone;
    }
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The zone the C library renders local time in, named by its current offset from UTC:
// "GMT" for none, else "GMT+0530" or "GMT-0300".
std::string fixedOffsetName() {
    ::tzset();
    const auto now = static_cast<std::time_t>(clock()->wallNowMilliseconds() / 1000);
    std::tm local{};
    if (!::localtime_r(&now, &local) || local.tm_gmtoff == 0) {
        return "GMT";
    }
    const long offset = local.tm_gmtoff;
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "GMT%c%02ld%02ld", offset < 0 ? '-' : '+', minutes / 60 % 100,
                  minutes % 60);
    return buffer;
}

}  // namespace

void TimeZone::loadCurrent() {
    struct Loaded {
        bool fromFile = false;
        std::optional<FileIdentity> file;
    };
    static NoDestructor<Guarded<Loaded>> loaded;
    // With TZ set, tzset() reads nothing while TZ keeps the value it last loaded. Without
    // it, tzset() looks at the zone file at every call, which a body need not do while the
    // file is known unchanged.
    if (std::getenv("TZ") != nullptr) {
        loaded->with([](Loaded& state) { state.fromFile = false; });
        ::tzset();
        return;
    }
    const auto file = fileIdentityOnce("/etc/localtime");
    loaded->with([&](Loaded& state) {
        if (!state.fromFile || state.file != file) {
            ::tzset();
            state.fromFile = true;
            state.file = file;
        }
    });
}

std::string TimeZone::currentIdentifier() {
    const auto sources = currentDeviceSources();
    const auto tz = environmentValue(sources, "TZ");
    if (!tz.empty()) {
        // Time stamps are rendered by the C library in the zone TZ gives it. A rule string,
        // or a name the zone database does not hold (the C library then uses UTC), has no
        // zone name to send, so the offset it renders with is sent instead: naming any
        // other zone would keep the server from getting back to UTC.
        if (const auto zone = zoneFromTz(tz); zone && zoneDataExists(sources, tz, *zone)) {
            return *zone;
        }
        return fixedOffsetName();
    }
    if (const auto text = readSystemFile(sources, "/etc/timezone")) {
        const auto zone = std::string(trimBlanks(std::string_view(*text).substr(0, text->find('\n'))));
        if (isZoneName(zone)) {
            return zone;
        }
    }
    const auto link = sources.root + "/etc/localtime";
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof(target) - 1);
    if (n < 0) {
        // Without /etc/localtime the C library keeps time in UTC.
        return errno == ENOENT ? std::string("UTC") : std::string();
    }
    return zoneFromDatabasePath(std::string(target, static_cast<std::size_t>(n))).value_or("");
}

}  // namespace lumvex::platform
