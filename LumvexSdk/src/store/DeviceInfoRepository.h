#pragma once

// The record of the device description the server last received.
//
// Thread guarantees: every call is safe from any thread. Reads and writes of the record
// are serialised by the store's own lock, since the check runs on the work queue while a
// save may run on the upload's completion thread. Nothing calls back.

#include "platform/base/NoDestructor.h"
#include "platform/base/ThreadAnnotations.h"

#include <optional>
#include <string>

namespace lumvex {

/// Remembers the device description last delivered to the server, so that an upload
/// carries the description only when it has changed. The record is the Base64 form of
/// the description's JSON text, alone in the private file "specs.lmx" in the caches
/// directory.
class DeviceInfoRepository final {
public:
    static DeviceInfoRepository& shared();

    /// Whether the description whose recorded form is `record` (the Base64 of its JSON
    /// text, `DeviceInfoUtils::Description::record`) differs from the recorded one, or
    /// nothing usable is recorded. An upload compares exactly what it would send.
    bool needDeviceInfoUpdate(const std::string& record);

    /// Records `sentText`, the compact JSON text of the description an upload carried, so
    /// that a change made while that upload was in flight still counts as unsent. Replaces
    /// the file whole; a failed write keeps the previous record. False when the record
    /// could not be written (logged).
    bool saveDeviceInfo(const std::string& sentText);

    DeviceInfoRepository(const DeviceInfoRepository&) = delete;
    DeviceInfoRepository& operator=(const DeviceInfoRepository&) = delete;

private:
    friend class platform::NoDestructor<DeviceInfoRepository>;
    DeviceInfoRepository() = default;

    static constexpr const char* FILENAME = "specs.lmx";

    std::optional<std::string> getDeviceInfoFileUrl() const;
    std::string readDeviceInfoFile();
    bool writeToFile(const std::string& text);

    // Serialises this store's file operations: the check runs on the work queue while a
    // save may run on the upload's completion thread.
    platform::Mutex fileMutex_;
    // Whether this process has cleared what killed processes left of their writes.
    bool tidied_ LUMVEX_GUARDED_BY(fileMutex_) = false;
};

}  // namespace lumvex
