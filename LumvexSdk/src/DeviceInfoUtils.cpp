#include "DeviceInfoUtils.h"

#include "BuildConfig.h"
#include "L.h"
#include "platform/Bundle.h"
#include "platform/Device.h"
#include "platform/Files.h"

#include <exception>

namespace lumvex {

namespace {
// A host name or a property list value may hold bytes that are not UTF-8. The JSON writer
// refuses those, and since the description goes into every upload, one bad byte would
// make every later upload fail; replacing them keeps the rest of the value.
nlohmann::json text(const std::string& value) {
    return platform::repairUtf8(value);
}
}  // namespace

nlohmann::json DeviceInfoUtils::getDeviceInfoAsDict() const {
    const auto locale = platform::Locale::current();
    // nlohmann::json keeps object members sorted by key, so equal descriptions always
    // serialise to the same bytes whatever the order of insertion.
    nlohmann::json info = nlohmann::json::object();
    info["os_version"] = text(platform::Device::systemVersion());
    info["device_brand"] = "apple";
    info["device_id"] = text(platform::Device::model());
    info["system_name"] = "iOS";
    info["app_version"] = text(appVersion());
    info["device_locale"] = text(locale.languageCode());
    info["device_country"] = text(locale.regionCode());
    info["timezone"] = text(platform::TimeZone::currentIdentifier());
    info["User-Agent"] = text("ios/" + lumvexSdkVersion());
    info["device_name"] = text(platform::Device::name());
    info["is_tablet"] = platform::Device::userInterfaceIdiom() == platform::UserInterfaceIdiom::Pad;
    return info;
}

std::string DeviceInfoUtils::getDeviceInfo() const {
    return serialize(getDeviceInfoAsDict());
}

std::string DeviceInfoUtils::serialize(const nlohmann::json& description) {
    std::string serialised;
    try {
        serialised = description.dump();
    } catch (const nlohmann::json::exception& error) {
        LUMVEX_LOG_ERROR("getDeviceInfo()", error.what());
        return {};
    } catch (const std::exception&) {
        return {};
    }
    return platform::isValidUtf8(serialised) ? serialised : std::string();
}

std::string DeviceInfoUtils::appVersion() {
    // No fallback is defined for a host without a version; an empty one still lets the
    // description be sent and compared.
    return platform::Bundle::main().stringForKey("CFBundleShortVersionString").value_or("");
}

std::string DeviceInfoUtils::lumvexSdkVersion() {
    return LUMVEX_VERSION_STRING;
}

}  // namespace lumvex
