#pragma once

// The identifier for the vendor: how `Device::identifierForVendor()` and `Device::vendor()`
// (declared with the rest of the device in Device.h, defined in VendorId.cpp) derive an id
// from the machine id that cannot be traced back to it.
//
// Thread guarantees: every call is safe from any thread; the last id made is kept under a
// lock of its own. Nothing calls back.

#include <string>

namespace lumvex::platform {

/// The app-specific id of `machineId` for `appId` (both 16 bytes), as systemd derives
/// it: the first half of HMAC-SHA256 keyed by the machine id over the app id, made a
/// version 4 UUID. Empty when either input has the wrong length.
std::string appSpecificId(const std::string& machineId, const std::string& appId);

}  // namespace lumvex::platform
