#pragma once

// Where the device layer reads the system: the file system's root and the environment.
//
// Thread guarantees: every call is safe from any thread. A read takes a copy of the sources
// under a lock, so a test that replaces them while a library thread describes the device
// gives that thread either the old sources or the new ones, never a mix. Nothing calls back.

#include <map>
#include <optional>
#include <string>

namespace lumvex::platform {

/// Where the device layer reads the system. By default the real root and the process
/// environment; tests point both at fixtures so that no value depends on the machine.
struct DeviceSources {
    /// Prefix put before every system path ("/etc/os-release" is read as root +
    /// "/etc/os-release"). Empty for the real file system.
    std::string root;
    /// The variables the layer consults (locale and time zone). Nothing means the
    /// process environment.
    std::optional<std::map<std::string, std::string>> environment;
};

/// Replaces the sources for every later read; safe from any thread.
void setDeviceSources(DeviceSources sources);
/// Back to the real root and the process environment.
void resetDeviceSources();

/// The sources as they are now, copied, so that one description reads one set throughout.
DeviceSources currentDeviceSources();

/// The variable `name` from the sources' environment, "" when it is unset.
std::string environmentValue(const DeviceSources& sources, const std::string& name);

/// The whole of the small system file at `path` (a path on the real system, put under the
/// sources' root), or nothing when it cannot be read.
std::optional<std::string> readSystemFile(const DeviceSources& sources, const std::string& path);

}  // namespace lumvex::platform
