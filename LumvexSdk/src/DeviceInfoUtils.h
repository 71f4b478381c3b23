#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace lumvex {

/// Describes the device and the host application in eleven values. It keeps nothing:
/// every call reads every value afresh.
class DeviceInfoUtils final {
public:
    /// "os_version", "device_brand", "device_id", "system_name", "app_version",
    /// "device_locale", "device_country", "timezone", "User-Agent", "device_name" (strings)
    /// and "is_tablet" (Boolean). Every key is always present.
    nlohmann::json getDeviceInfoAsDict() const;

    /// The description as compact JSON text, or "" when it cannot be written. Equal
    /// descriptions give byte-identical text, since stored copies are compared as text.
    std::string getDeviceInfo() const;

    /// The compact JSON text of a description as `getDeviceInfo` writes it; "" on failure.
    static std::string serialize(const nlohmann::json& description);

private:
    static std::string appVersion();
    static std::string lumvexSdkVersion();
};

}  // namespace lumvex
