// Arbitrary system files and locale variables under a scratch root: every value of the
// device description must come out well-formed, and the description must always be one
// JSON object with its eleven members.
//
// An input is fields separated by the byte 0x1E (record separator), in the order of
// kSources below; an empty or missing field leaves that source out.

#include "FuzzSupport.h"
#include "platform/system/Device.h"
#include "platform/system/Locale.h"
#include "platform/system/TimeZone.h"
#include "upload/DeviceInfoUtils.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

using namespace lumvex;

namespace {

// A system file under the root, or (with a leading "$") a variable, or the time zone link.
const char* const kSources[] = {
    "/etc/os-release",
    "/usr/lib/os-release",
    "/proc/sys/kernel/osrelease",
    "/sys/class/dmi/id/chassis_type",
    "/proc/sys/kernel/hostname",
    "/etc/hostname",
    "/etc/machine-id",
    "/etc/timezone",
    "@/etc/localtime",
    "$LC_ALL",
    "$LC_MESSAGES",
    "$LANG",
    "$TZ",
};

std::string root;

bool isLower(char c) {
    return c >= 'a' && c <= 'z';
}
bool isUpper(char c) {
    return c >= 'A' && c <= 'Z';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isHex(char c) {
    return isDigit(c) || (c >= 'A' && c <= 'F');
}

bool wellFormedRegion(const std::string& region) {
    if (region.empty()) {
        return true;
    }
    if (region.size() == 2) {
        return isUpper(region[0]) && isUpper(region[1]);
    }
    return region.size() == 3 && isDigit(region[0]) && isDigit(region[1]) && isDigit(region[2]);
}

bool wellFormedUuid(const std::string& id) {
    if (id.size() != 36) {
        return false;
    }
    for (std::size_t i = 0; i < id.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? id[i] != '-' : !isHex(id[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::isolateHome();
    root = fuzz::scratchDirectory() + "/root";
    for (const char* dir : {"/etc", "/usr/lib", "/proc/sys/kernel", "/sys/class/dmi/id"}) {
        std::filesystem::create_directories(root + dir);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> fields;
    for (std::size_t start = 0; start <= input.size();) {
        auto end = input.find('\x1e', start);
        if (end == std::string_view::npos) {
            end = input.size();
        }
        fields.push_back(input.substr(start, end - start));
        start = end + 1;
    }

    platform::DeviceSources sources{root, std::map<std::string, std::string>{}};
    std::error_code ec;
    for (std::size_t i = 0; i < std::size(kSources); ++i) {
        const std::string source = kSources[i];
        const std::string_view value = i < fields.size() ? fields[i] : std::string_view();
        if (source[0] == '$') {
            if (!value.empty()) {
                (*sources.environment)[source.substr(1)] = std::string(value);
            }
        } else if (source[0] == '@') {
            const auto link = root + source.substr(1);
            std::filesystem::remove(link, ec);
            const std::string target(value.substr(0, value.find('\0')));
            if (!target.empty()) {
                std::filesystem::create_symlink(target, link, ec);
            }
        } else {
            const auto path = root + source;
            std::filesystem::remove(path, ec);
            if (!value.empty()) {
                fuzz::writeBytes(path, value.data(), value.size());
            }
        }
    }
    platform::setDeviceSources(sources);

    const auto locale = platform::Locale::current();
    const auto& language = locale.languageCode();
    FUZZ_CHECK(language.empty() || language.size() == 2 || language.size() == 3);
    for (const char c : language) {
        FUZZ_CHECK(isLower(c));
    }
    FUZZ_CHECK(wellFormedRegion(locale.regionCode()));
    FUZZ_CHECK(language.empty() ? locale.regionCode().empty() : true);

    if (const auto id = platform::Device::identifierForVendor()) {
        FUZZ_CHECK(wellFormedUuid(*id));
    }
    const auto zone = platform::TimeZone::currentIdentifier();
    // A zone is a name, never a path that could lead anywhere.
    FUZZ_CHECK(zone.empty() || zone.front() != '/');
    FUZZ_CHECK(zone != ".." && zone.rfind("../", 0) != 0 && zone.find("/../") == std::string::npos);

    const auto text = DeviceInfoUtils().getDeviceInfo();
    FUZZ_CHECK(!text.empty());
    const auto json = nlohmann::json::parse(text, nullptr, false);
    FUZZ_CHECK(json.is_object() && json.size() == 11);
    FUZZ_CHECK(json.at("is_tablet").is_boolean());
    FUZZ_CHECK(json.dump() == text);
    return 0;
}
