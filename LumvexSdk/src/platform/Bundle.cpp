#include "platform/Bundle.h"

#include <LumvexSdk/Platform.h>

#include <plist/plist.h>

#include <unistd.h>
#include <climits>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>

namespace lumvex {
namespace platform {

namespace {

std::mutex& bundleMutex() {
    static auto* m = new std::mutex;
    return *m;
}

std::string& configuredDirectory() {
    static auto* dir = new std::string;
    return *dir;
}

std::string executablePath() {
    char buffer[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Largest Info.plist we accept; a real one is a few kilobytes.
constexpr std::uintmax_t kMaxPlistBytes = 4u * 1024u * 1024u;

PlistPtr readInfoDictionary(const std::string& directory) {
    std::ifstream in(directory + "/Info.plist", std::ios::binary);
    if (!in) {
        return nullptr;
    }
    std::string data;
    char chunk[8192];
    while (in.read(chunk, sizeof(chunk)) || in.gcount() > 0) {
        data.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (data.size() > kMaxPlistBytes) {
            return nullptr;
        }
    }
    if (data.empty()) {
        return nullptr;
    }
    plist_t root = nullptr;
    plist_from_memory(data.data(), static_cast<uint32_t>(data.size()), &root);
    PlistPtr owned(root);
    if (!root || plist_get_node_type(root) != PLIST_DICT) {
        return nullptr;
    }
    return owned;
}

}  // namespace

std::string executableDirectory() {
    const auto path = executablePath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string executableName() {
    const auto path = executablePath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void setMainBundleDirectory(const std::string& path) {
    std::lock_guard<std::mutex> guard(bundleMutex());
    configuredDirectory() = path;
}

Bundle Bundle::main() {
    {
        std::lock_guard<std::mutex> guard(bundleMutex());
        if (!configuredDirectory().empty()) {
            return Bundle(configuredDirectory());
        }
    }
    return Bundle(executableDirectory());
}

bool Bundle::hasInfoDictionary() const {
    return readInfoDictionary(directory_) != nullptr;
}

InfoValue Bundle::infoValue(const std::string& key) const {
    InfoValue value;
    auto dict = readInfoDictionary(directory_);
    if (!dict) {
        return value;
    }
    plist_t item = plist_dict_get_item(static_cast<plist_t>(dict.get()), key.c_str());
    if (!item) {
        return value;
    }
    value.present = true;
    if (plist_get_node_type(item) == PLIST_STRING) {
        uint64_t length = 0;
        const char* text = plist_get_string_ptr(item, &length);
        if (text) {
            value.string = std::string(text, static_cast<std::size_t>(length));
        }
    }
    return value;
}

std::optional<std::string> Bundle::stringForKey(const std::string& key) const {
    return infoValue(key).string;
}

}  // namespace platform
}  // namespace lumvex
