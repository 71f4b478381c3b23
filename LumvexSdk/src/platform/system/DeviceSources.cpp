#include "platform/system/DeviceSources.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"
#include "platform/system/Files.h"

#include <cstdlib>

namespace lumvex::platform {

namespace {

Guarded<DeviceSources>& configuredSources() {
    static NoDestructor<Guarded<DeviceSources>> sources;
    return *sources;
}

// The system files read here are a few bytes long; anything much larger is not one of them.
constexpr std::size_t kMaxSystemFileBytes = 64 * 1024;

}  // namespace

void setDeviceSources(DeviceSources sources) {
    configuredSources().with([&](DeviceSources& configured) { configured = std::move(sources); });
}

void resetDeviceSources() {
    setDeviceSources(DeviceSources{});
}

DeviceSources currentDeviceSources() {
    return configuredSources().with([](const DeviceSources& configured) { return configured; });
}

std::string environmentValue(const DeviceSources& sources, const std::string& name) {
    if (sources.environment) {
        const auto it = sources.environment->find(name);
        return it == sources.environment->end() ? std::string() : it->second;
    }
    const char* value = std::getenv(name.c_str());
    return value ? std::string(value) : std::string();
}

std::optional<std::string> readSystemFile(const DeviceSources& sources, const std::string& path) {
    // Every upload describes the device; these files seldom change, and a stat tells when
    // they did. The kernel's files under /proc show no change in their identity.
    if (path.rfind("/proc/", 0) == 0) {
        return readFileBounded(sources.root + path, kMaxSystemFileBytes);
    }
    return readFileCached(sources.root + path, kMaxSystemFileBytes);
}

}  // namespace lumvex::platform
