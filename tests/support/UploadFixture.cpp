#include "UploadFixture.h"

#include "platform/base/L.h"
#include "platform/system/Device.h"
#include "store/TraceRepository.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace lumvex::test {

namespace {
std::string xmlEscape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}
}  // namespace

void UploadFixture::SetUp() {
    L::writeLog = true;
    putSystemFile("/etc/os-release", "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
    putSystemFile("/proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
    putSystemFile("/proc/sys/kernel/hostname", "ada-laptop\n");
    putSystemFile("/sys/class/dmi/id/chassis_type", "9\n");
    putSystemFile("/etc/timezone", "Europe/Paris\n");
    putSystemFile("/etc/machine-id", "5f3c1e0a9b7d4c2e8f6a1b3d5c7e9f01\n");
}

void UploadFixture::TearDown() {
    platform::resetDeviceSources();
    L::writeLog = false;
}

std::shared_ptr<const LumvexConfiguration> UploadFixture::configuration(PushFormat format, PushRegion region,
                                                                        const std::string& apiKey,
                                                                        std::int64_t pushFrequency) {
    home_.writeInfoPlist(
        "<key>CFBundleIdentifier</key><string>com.example.host</string>"
        "<key>CFBundleShortVersionString</key><string>2.4.0</string>"
        "<key>lumvex_api_key</key><string>" +
        xmlEscape(apiKey) + "</string>");
    return LumvexConfiguration::Builder()
        .pushFormat(format)
        .pushRegion(region)
        .pushFrequency(pushFrequency)
        .enableDebugLog(true)
        .build();
}

void UploadFixture::putSystemFile(const std::string& path, const std::string& content) {
    const fs::path full = root_.path() + path;
    fs::create_directories(full.parent_path());
    writeFile(full.string(), content);
    applySources();
}

void UploadFixture::removeSystemFile(const std::string& path) {
    fs::remove(root_.path() + path);
    applySources();
}

void UploadFixture::applySources() {
    platform::setDeviceSources(
        platform::DeviceSources{root_.path(), std::map<std::string, std::string>{{"LANG", "fr_FR.UTF-8"}}});
}

void UploadFixture::addTraces(int count) {
    for (int i = 0; i < count; ++i) {
        TraceRepository::shared().addTrace(Location{48.85 + i * 0.001, 2.29 + i * 0.001});
    }
}

std::optional<std::string> UploadFixture::contentOf(const std::string& path) const {
    if (!fileExists(path)) {
        return std::nullopt;
    }
    return readFile(path);
}

}  // namespace lumvex::test
