#include "upload/DeviceInfoUtils.h"

#include "BuildConfig.h"
#include "platform/base/Guarded.h"
#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Text.h"
#include "platform/system/Device.h"
#include "platform/system/Identity.h"
#include "platform/system/Locale.h"
#include "platform/system/TimeZone.h"

#include <array>
#include <cstddef>
#include <exception>
#include <optional>

namespace lumvex {

namespace {
// A host name or a property list value may hold bytes that are not UTF-8. The JSON writer
// refuses those, and since the description goes into every upload, one bad byte would
// make every later upload fail; replacing them keeps the rest of the value.
nlohmann::json text(const std::string& value) {
    return platform::repairUtf8(value);
}
}  // namespace

// The values a description is made of, as read, before any repair. The texts sit in one
// array, so that comparing two reads compares every one of them, whatever is added.
struct DeviceInfoUtils::Values {
    enum Text : std::size_t { OS_VERSION, MODEL, APP_VERSION, LANGUAGE, REGION, TIME_ZONE, NAME, COUNT };
    std::array<std::string, COUNT> texts;
    bool isTablet = false;

    const std::string& operator[](Text which) const { return texts[which]; }
    bool operator==(const Values& o) const { return texts == o.texts && isTablet == o.isTablet; }
};

DeviceInfoUtils::Values DeviceInfoUtils::readValues() {
    const auto locale = platform::Locale::current();
    Values values;
    values.texts = {platform::Device::systemVersion(),
                    platform::Device::model(),
                    appVersion(),
                    locale.languageCode(),
                    locale.regionCode(),
                    platform::TimeZone::currentIdentifier(),
                    platform::Device::name()};
    values.isTablet = platform::Device::userInterfaceIdiom() == platform::UserInterfaceIdiom::Pad;
    return values;
}

nlohmann::json DeviceInfoUtils::dictOf(const Values& values) {
    // nlohmann::json keeps object members sorted by key, so equal descriptions always
    // serialise to the same bytes whatever the order of insertion.
    nlohmann::json info = nlohmann::json::object();
    info["os_version"] = text(values[Values::OS_VERSION]);
    info["device_brand"] = "apple";
    info["device_id"] = text(values[Values::MODEL]);
    info["system_name"] = "iOS";
    info["app_version"] = text(values[Values::APP_VERSION]);
    info["device_locale"] = text(values[Values::LANGUAGE]);
    info["device_country"] = text(values[Values::REGION]);
    info["timezone"] = text(values[Values::TIME_ZONE]);
    info["User-Agent"] = text("ios/" + lumvexSdkVersion());
    info["device_name"] = text(values[Values::NAME]);
    info["is_tablet"] = values.isTablet;
    return info;
}

nlohmann::json DeviceInfoUtils::getDeviceInfoAsDict() const {
    return dictOf(readValues());
}

std::shared_ptr<const DeviceInfoUtils::Description> DeviceInfoUtils::describe() const {
    struct Kept {
        std::optional<Values> values;
        std::shared_ptr<const Description> description;
    };
    static platform::NoDestructor<platform::Guarded<Kept>> kept;  // uploads may be built during exit
    auto values = readValues();
    {
        auto last = kept->lock();
        if (last->values == values) {
            return last->description;
        }
    }
    auto made = std::make_shared<Description>();
    made->dict = dictOf(values);
    made->text = serialize(made->dict);
    made->record = platform::base64Encode(made->text);
    auto last = kept->lock();
    last->values = std::move(values);
    last->description = made;
    return made;
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
    return platform::applicationVersion();
}

std::string DeviceInfoUtils::lumvexSdkVersion() {
    return LUMVEX_VERSION_STRING;
}

}  // namespace lumvex
