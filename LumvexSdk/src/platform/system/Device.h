#pragma once

// The device itself: its system version, the kind of machine, its host name, and the id it
// has for the host's vendor (that one is made in VendorId.cpp).
//
// Thread guarantees: every call is safe from any thread and reads the sources that
// DeviceSources.h sets afresh; the vendor id keeps the last one it made under a lock of its
// own. Nothing calls back.

#include "platform/system/DeviceSources.h"

#include <optional>
#include <string>

namespace lumvex::platform {

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

}  // namespace lumvex::platform
