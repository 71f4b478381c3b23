#include "platform/Device.h"

#include "platform/Files.h"

#include "platform/Bundle.h"
#include "platform/Clock.h"

#include <sodium.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

namespace lumvex::platform {

namespace {

std::mutex& sourcesMutex() {
    static auto* m = new std::mutex;
    return *m;
}

DeviceSources& configuredSources() {
    static auto* sources = new DeviceSources;
    return *sources;
}

DeviceSources currentSources() {
    std::lock_guard<std::mutex> guard(sourcesMutex());
    return configuredSources();
}

std::string environmentValue(const DeviceSources& sources, const std::string& name) {
    if (sources.environment) {
        const auto it = sources.environment->find(name);
        return it == sources.environment->end() ? std::string() : it->second;
    }
    const char* value = std::getenv(name.c_str());
    return value ? std::string(value) : std::string();
}

// The system files read here are a few bytes long; anything much larger is not one of them.
constexpr std::size_t kMaxSystemFileBytes = 64 * 1024;

std::optional<std::string> readSystemFile(const DeviceSources& sources, const std::string& path) {
    // Every upload describes the device; these files seldom change, and a stat tells when
    // they did. The kernel's files under /proc show no change in their identity.
    if (path.rfind("/proc/", 0) == 0) {
        return readFileBounded(sources.root + path, kMaxSystemFileBytes);
    }
    return readFileCached(sources.root + path, kMaxSystemFileBytes);
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string withoutTrailingBlanks(std::string text) {
    while (!text.empty() && isBlank(text.back())) {
        text.pop_back();
    }
    return text;
}

std::string withoutLeadingBlanks(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && isBlank(text[i])) {
        ++i;
    }
    return text.substr(i);
}

// The kernel's single-value files end with one line feed, which is not part of the value.
std::string withoutLineFeed(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

bool isAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

// ---- os-release ----

// The value of a shell-style assignment's right-hand side, as os-release(5) allows it:
// double quotes (with \ escaping " \ $ `), single quotes (literal), or a bare word.
// Nothing when the quoting is broken.
std::optional<std::string> unquoteShellValue(const std::string& raw) {
    std::string out;
    std::size_t i = 0;
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '"') {
            ++i;
            bool closed = false;
            while (i < raw.size()) {
                const char d = raw[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\' && i + 1 < raw.size() &&
                    (raw[i + 1] == '"' || raw[i + 1] == '\\' || raw[i + 1] == '$' || raw[i + 1] == '`')) {
                    out.push_back(raw[i + 1]);
                    i += 2;
                    continue;
                }
                out.push_back(d);
                ++i;
            }
            if (!closed) {
                return std::nullopt;
            }
        } else if (c == '\'') {
            const auto end = raw.find('\'', i + 1);
            if (end == std::string::npos) {
                return std::nullopt;
            }
            out.append(raw, i + 1, end - i - 1);
            i = end + 1;
        } else if (c == '\\') {
            if (i + 1 >= raw.size()) {
                return std::nullopt;
            }
            out.push_back(raw[i + 1]);
            i += 2;
        } else if (c == ' ' || c == '\t') {
            return std::nullopt;  // an unquoted blank would end the word: not a single value
        } else {
            out.push_back(c);
            ++i;
        }
    }
    return out;
}

// The last well-formed assignment to `key`, as a shell sourcing the file would keep it.
std::optional<std::string> osReleaseValue(const std::string& text, const std::string& key) {
    std::optional<std::string> found;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const auto line = withoutTrailingBlanks(withoutLeadingBlanks(text.substr(start, end - start)));
        start = end + 1;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || line.compare(0, eq, key) != 0 || eq != key.size()) {
            continue;
        }
        if (auto value = unquoteShellValue(line.substr(eq + 1))) {
            found = std::move(value);
        }
    }
    return found;
}

// ---- chassis ----

// SMBIOS chassis types, as the kernel shows them (decimal, lock bit removed).
enum class Chassis { Unknown, Desktop, Laptop, Handheld, Server, Embedded, Tablet, Convertible, Detachable };

Chassis chassis(const DeviceSources& sources) {
    const auto text = readSystemFile(sources, "/sys/class/dmi/id/chassis_type");
    if (!text) {
        return Chassis::Unknown;
    }
    const auto value = withoutLineFeed(*text);
    if (value.empty() || value.size() > 3) {
        return Chassis::Unknown;
    }
    int type = 0;
    for (const char c : value) {
        if (!isAsciiDigit(c)) {
            return Chassis::Unknown;
        }
        type = type * 10 + (c - '0');
    }
    switch (type) {
        case 3:   // desktop
        case 4:   // low-profile desktop
        case 5:   // pizza box
        case 6:   // mini tower
        case 7:   // tower
        case 13:  // all in one
        case 15:  // space-saving
        case 16:  // lunch box
        case 24:  // sealed-case PC
        case 35:  // mini PC
        case 36:  // stick PC
            return Chassis::Desktop;
        case 8:   // portable
        case 9:   // laptop
        case 10:  // notebook
        case 14:  // sub-notebook
            return Chassis::Laptop;
        case 11:  // hand-held
            return Chassis::Handheld;
        case 17:  // main server chassis
        case 23:  // rack mount
        case 28:  // blade
        case 29:  // blade enclosure
            return Chassis::Server;
        case 33:  // IoT gateway
        case 34:  // embedded PC
            return Chassis::Embedded;
        case 30:
            return Chassis::Tablet;
        case 31:
            return Chassis::Convertible;
        case 32:
            return Chassis::Detachable;
        default:
            return Chassis::Unknown;
    }
}

// ---- time zone ----

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

// ---- machine id ----

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The 16 bytes of the machine id: 32 hexadecimal digits, then at most a line feed. An
// unset ("uninitialized", empty) or all-zero id is no id.
std::optional<std::string> machineId(const DeviceSources& sources) {
    const auto text = readSystemFile(sources, "/etc/machine-id");
    if (!text) {
        return std::nullopt;
    }
    const auto hex = withoutLineFeed(*text);
    if (hex.size() != 32) {
        return std::nullopt;
    }
    std::string bytes(16, '\0');
    bool allZero = true;
    for (std::size_t i = 0; i < 16; ++i) {
        const int hi = hexValue(hex[2 * i]);
        const int lo = hexValue(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        bytes[i] = static_cast<char>(hi * 16 + lo);
        allZero = allZero && bytes[i] == '\0';
    }
    if (allZero) {
        return std::nullopt;
    }
    return bytes;
}

}  // namespace

void setDeviceSources(DeviceSources sources) {
    std::lock_guard<std::mutex> guard(sourcesMutex());
    configuredSources() = std::move(sources);
}

void resetDeviceSources() {
    setDeviceSources(DeviceSources{});
}

std::string Device::systemVersion() {
    const auto sources = currentSources();
    // os-release(5): /etc/os-release takes precedence over the vendor's copy in /usr/lib.
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        const auto text = readSystemFile(sources, path);
        if (!text) {
            continue;
        }
        const auto version = osReleaseValue(*text, "VERSION_ID");
        if (version && !version->empty()) {
            return *version;
        }
        break;  // the file that exists decides; rolling releases have no VERSION_ID
    }
    const auto release = readSystemFile(sources, "/proc/sys/kernel/osrelease");
    return release ? withoutLineFeed(*release) : std::string();
}

std::string Device::model() {
    switch (chassis(currentSources())) {
        case Chassis::Desktop:
            return "Desktop";
        case Chassis::Laptop:
            return "Laptop";
        case Chassis::Handheld:
            return "Handheld";
        case Chassis::Server:
            return "Server";
        case Chassis::Embedded:
            return "Embedded";
        case Chassis::Tablet:
            return "Tablet";
        case Chassis::Convertible:
            return "Convertible";
        case Chassis::Detachable:
            return "Detachable";
        case Chassis::Unknown:
            break;
    }
    return "Computer";
}

std::string Device::name() {
    const auto sources = currentSources();
    // The kernel's host name is what gethostname() answers; "(none)" means it was never set.
    // On the real system one uname() gives it, where reading the file takes five calls.
    std::optional<std::string> kernel;
    if (struct utsname uts{}; sources.root.empty() && ::uname(&uts) == 0) {
        kernel = std::string(uts.nodename);
    } else {
        kernel = readSystemFile(sources, "/proc/sys/kernel/hostname");
    }
    if (kernel) {
        const auto name = withoutLineFeed(*kernel);
        if (!name.empty() && name != "(none)") {
            return name;
        }
    }
    // The static host name: the first line that is not a comment (hostname(5)).
    if (const auto text = readSystemFile(sources, "/etc/hostname")) {
        std::size_t start = 0;
        while (start < text->size()) {
            auto end = text->find('\n', start);
            if (end == std::string::npos) {
                end = text->size();
            }
            const auto line = withoutTrailingBlanks(withoutLeadingBlanks(text->substr(start, end - start)));
            start = end + 1;
            if (!line.empty() && line[0] != '#') {
                return line;
            }
        }
    }
    return {};
}

UserInterfaceIdiom Device::userInterfaceIdiom() {
    switch (chassis(currentSources())) {
        case Chassis::Tablet:
        case Chassis::Convertible:
        case Chassis::Detachable:
            return UserInterfaceIdiom::Pad;
        case Chassis::Handheld:
            return UserInterfaceIdiom::Phone;
        case Chassis::Desktop:
        case Chassis::Laptop:
        case Chassis::Server:
        case Chassis::Embedded:
            return UserInterfaceIdiom::Desktop;
        case Chassis::Unknown:
            break;
    }
    return UserInterfaceIdiom::Unspecified;
}

std::string Device::vendor() {
    // The same identity the caches directory uses: the bundle identifier, else the
    // executable's name.
    auto identifier = Bundle::main().stringForKey("CFBundleIdentifier").value_or("");
    if (identifier.empty()) {
        identifier = executableName();
    }
    // A one-component identifier has no vendor part; it stands for itself rather than
    // sharing one id with every other such host.
    const auto dot = identifier.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return identifier;
    }
    return identifier.substr(0, dot);
}

std::optional<std::string> Device::identifierForVendor() {
    const auto machine = machineId(currentSources());
    if (!machine || sodium_init() < 0) {
        return std::nullopt;
    }
    const auto vendorName = vendor();
    // Every upload sends the id; the two digests behind it are made again only when the
    // machine or the vendor changed.
    struct Kept {
        std::mutex mutex;
        std::string machine, vendor, id;  // guarded by mutex
    };
    static auto* kept = new Kept;  // never destroyed: uploads may be built during exit
    {
        std::lock_guard<std::mutex> guard(kept->mutex);
        if (!kept->id.empty() && kept->machine == *machine && kept->vendor == vendorName) {
            return kept->id;
        }
    }
    // systemd's app ids are 128-bit values; ours is the first half of the SHA-256 of the
    // vendor's UTF-8 bytes. That keeps it fixed for a vendor across runs and versions,
    // and different for different vendors.
    std::array<unsigned char, crypto_hash_sha256_BYTES> digest{};
    crypto_hash_sha256(digest.data(), reinterpret_cast<const unsigned char*>(vendorName.data()),
                       vendorName.size());
    const std::string appId(reinterpret_cast<const char*>(digest.data()), 16);
    auto id = appSpecificId(*machine, appId);
    if (id.empty()) {
        return std::nullopt;
    }
    std::lock_guard<std::mutex> guard(kept->mutex);
    kept->machine = *machine;
    kept->vendor = vendorName;
    kept->id = id;
    return id;
}

std::string appSpecificId(const std::string& machineIdBytes, const std::string& appId) {
    if (machineIdBytes.size() != 16 || appId.size() != 16 || sodium_init() < 0) {
        return {};
    }
    crypto_auth_hmacsha256_state state;
    std::array<unsigned char, crypto_auth_hmacsha256_BYTES> mac{};
    crypto_auth_hmacsha256_init(&state, reinterpret_cast<const unsigned char*>(machineIdBytes.data()),
                                machineIdBytes.size());
    crypto_auth_hmacsha256_update(&state, reinterpret_cast<const unsigned char*>(appId.data()), appId.size());
    crypto_auth_hmacsha256_final(&state, mac.data());
    sodium_memzero(&state, sizeof(state));
    // Version 4, variant 1 (RFC 4122), as a random UUID would be.
    mac[6] = static_cast<unsigned char>((mac[6] & 0x0F) | 0x40);
    mac[8] = static_cast<unsigned char>((mac[8] & 0x3F) | 0x80);
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(kDigits[mac[i] >> 4]);
        text.push_back(kDigits[mac[i] & 0x0F]);
    }
    sodium_memzero(mac.data(), mac.size());
    return text;
}

Locale Locale::current() {
    const auto sources = currentSources();
    for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const auto value = environmentValue(sources, variable);
        if (!value.empty()) {
            return fromName(value);
        }
    }
    return Locale();
}

Locale Locale::fromName(const std::string& name) {
    Locale locale;
    // A path names a locale definition, not a language.
    if (name.find('/') != std::string::npos) {
        return locale;
    }
    auto base = name.substr(0, name.find('@'));
    base = base.substr(0, base.find('.'));
    const auto underscore = base.find('_');
    const auto language = base.substr(0, underscore);
    // ISO 639 codes are two or three letters, which also sets "C" and "POSIX" aside.
    if (language.size() < 2 || language.size() > 3) {
        return locale;
    }
    for (const char c : language) {
        if (!isAsciiLetter(c)) {
            return locale;
        }
    }
    for (const char c : language) {
        locale.language_.push_back(static_cast<char>(c | 0x20));
    }
    if (underscore == std::string::npos) {
        return locale;
    }
    const auto region = base.substr(underscore + 1);
    bool letters = region.size() == 2;
    bool digits = region.size() == 3;
    for (const char c : region) {
        letters = letters && isAsciiLetter(c);
        digits = digits && isAsciiDigit(c);
    }
    if (letters) {
        for (const char c : region) {
            locale.region_.push_back(static_cast<char>(c & ~0x20));
        }
    } else if (digits) {
        locale.region_ = region;
    }
    return locale;
}

std::string TimeZone::currentIdentifier() {
    const auto sources = currentSources();
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
        const auto zone = withoutTrailingBlanks(withoutLeadingBlanks(text->substr(0, text->find('\n'))));
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
