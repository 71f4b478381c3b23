#pragma once

// The device description that uploads carry: eleven values about the device and the host.
//
// Thread guarantees: every call is safe from any thread. The values are read afresh on the
// calling thread; `describe()` shares the last description it made, under a lock, and
// hands out an immutable one. Nothing calls back.

#include <nlohmann/json.hpp>

#include <memory>
#include <string>

namespace lumvex {

/// Describes the device and the host application in eleven values. Every call reads every
/// value afresh; `describe()` alone keeps something: the last description it made, which
/// it hands out again while no value has changed.
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

    /// A description with its JSON text, as `serialize` writes it, and that text's Base64
    /// form, as the device info store records it.
    struct Description {
        nlohmann::json dict;
        std::string text;
        std::string record;
    };

    /// The current description. Its values are read afresh; the objects and texts made of
    /// them are kept, and made again only when a value changed, since every upload needs
    /// them and making them cost more than writing the rest of the body.
    std::shared_ptr<const Description> describe() const;

private:
    struct Values;
    static Values readValues();
    static nlohmann::json dictOf(const Values& values);
    static std::string appVersion();
    static std::string lumvexSdkVersion();
};

}  // namespace lumvex
