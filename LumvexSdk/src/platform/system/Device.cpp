#include "platform/system/Device.h"

#include "platform/base/Text.h"
#include "platform/system/DeviceSources.h"

#include <sys/utsname.h>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>

namespace lumvex::platform {

namespace {

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
// Read in place: every upload describes the device, and most lines are other keys.
std::optional<std::string> osReleaseValue(std::string_view text, std::string_view key) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::optional<std::string> found;
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        auto line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && isBlank(line.front())) {
            line.remove_prefix(1);
        }
        while (!line.empty() && isBlank(line.back())) {
            line.remove_suffix(1);
        }
        // Comments and other keys never match: `key` holds neither '#' nor '='.
        if (line.size() <= key.size() || line[key.size()] != '=' || line.compare(0, key.size(), key) != 0) {
            continue;
        }
        if (auto value = unquoteShellValue(std::string(line.substr(key.size() + 1)))) {
            found = std::move(value);
        }
    }
    return found;
}

// ---- chassis ----

// SMBIOS chassis types, as the kernel shows them (decimal, lock bit removed).
enum class Chassis { Unknown, Desktop, Laptop, Handheld, Server, Embedded, Tablet, Convertible, Detachable };

Chassis chassis(const DeviceSources& sources) {
    // The firmware's tables do not change while the system runs: read once. (The kernel's
    // folder for them is reached through a link, which FileWatch.h does not follow, so a
    // body would otherwise look at it every time.)
    std::optional<std::string> text;
    if (sources.root.empty()) {
        static const auto firmware = readSystemFile(sources, "/sys/class/dmi/id/chassis_type");
        text = firmware;
    } else {
        text = readSystemFile(sources, "/sys/class/dmi/id/chassis_type");
    }
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

}  // namespace

std::string Device::systemVersion() {
    const auto sources = currentDeviceSources();
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
    // In the order of `Chassis`; an unknown chassis is just a computer.
    static constexpr const char* names[] = {"Computer", "Desktop", "Laptop",      "Handheld",  "Server",
                                            "Embedded", "Tablet",  "Convertible", "Detachable"};
    static_assert(std::size(names) == static_cast<std::size_t>(Chassis::Detachable) + 1);
    return names[static_cast<std::size_t>(chassis(currentDeviceSources()))];
}

std::string Device::name() {
    const auto sources = currentDeviceSources();
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
            const auto line = std::string(trimBlanks(std::string_view(*text).substr(start, end - start)));
            start = end + 1;
            if (!line.empty() && line[0] != '#') {
                return line;
            }
        }
    }
    return {};
}

UserInterfaceIdiom Device::userInterfaceIdiom() {
    switch (chassis(currentDeviceSources())) {
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

}  // namespace lumvex::platform
