#include "store/DeviceInfoRepository.h"

#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"
#include "platform/base/Text.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/Files.h"

#include <cstddef>

namespace lumvex {

namespace {

// A record is a few hundred bytes; a file far larger than that is not one, and reading it
// whole would only cost memory before comparing unequal.
constexpr std::size_t kMaxRecordBytes = 1024 * 1024;

}  // namespace

DeviceInfoRepository& DeviceInfoRepository::shared() {
    // A save on another thread at exit must still find it alive.
    static platform::NoDestructor<DeviceInfoRepository> instance;
    return *instance;
}

bool DeviceInfoRepository::needDeviceInfoUpdate(const std::string& record) {
    const auto stored = readDeviceInfoFile();
    if (stored.empty()) {
        return true;
    }
    return stored != record;
}

bool DeviceInfoRepository::saveDeviceInfo(const std::string& sentText) {
    return writeToFile(platform::base64Encode(sentText));
}

std::optional<std::string> DeviceInfoRepository::getDeviceInfoFileUrl() const {
    const auto directory = platform::cachesDirectory();
    if (!directory) {
        return std::nullopt;
    }
    return *directory + "/" + FILENAME;
}

std::string DeviceInfoRepository::readDeviceInfoFile() {
    const auto url = getDeviceInfoFileUrl();
    if (!url) {
        LUMVEX_LOG("readDeviceInfoFile()", "Device info file not found");
        return {};
    }
    std::optional<std::string> text;
    {
        platform::MutexLock lock(fileMutex_);
        // Our own file only: not through a link planted in its place, nor from a FIFO. It is
        // only ever replaced whole, so a body in which nothing was replaced reads nothing.
        text = platform::readFileCached(*url, kMaxRecordBytes, platform::Links::dontFollow,
                                        platform::Changes::entriesOnly);
    }
    if (!text || !platform::isValidUtf8(*text)) {
        LUMVEX_LOG_AT(LEVEL_DEBUG, "readDeviceInfoFile()", "impossible to read device info file");
        return {};
    }
    return *text;
}

bool DeviceInfoRepository::writeToFile(const std::string& text) {
    const auto url = getDeviceInfoFileUrl();
    if (!url) {
        return false;
    }
    std::string error;
    bool written = false;
    {
        platform::MutexLock lock(fileMutex_);
        if (!tidied_) {
            platform::removeLeftoverTemporaries(*url);
            tidied_ = true;
        }
        written = platform::writeFileAtomically(*url, text, &error);
    }
    if (!written) {
        LUMVEX_LOG_ERROR("writeToFile", "Error while writing device info file : " + error);
    }
    return written;
}

}  // namespace lumvex
