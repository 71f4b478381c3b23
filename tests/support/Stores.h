#pragma once

// What the tests read from and put into the two stores through their one API: the records
// behind an upload's snapshot, the description as an upload would compare and record it.

#include "store/DeviceInfoRepository.h"
#include "store/TraceRepository.h"
#include "upload/DeviceInfoUtils.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace lumvex::test {

/// The records that `snapshot` carries, decoded from its JSON text.
inline std::vector<TraceRecord> recordsOf(const TraceSnapshot& snapshot) {
    return nlohmann::json::parse(snapshot.recordsText).get<std::vector<TraceRecord>>();
}

/// The records the trace store holds now, oldest first.
inline std::vector<TraceRecord> storedRecords() {
    return recordsOf(TraceRepository::shared().getTracesAsDict());
}

/// Removes every line the trace store holds now, as a delivered upload of all of them does.
inline bool clearStoredTraces() {
    auto& store = TraceRepository::shared();
    return store.clearTraces(store.getTracesAsDict().lines);
}

/// The current description in the form the device info store compares.
inline std::string currentDescriptionRecord() {
    return DeviceInfoUtils().describe()->record;
}

/// The current description as an upload carries it, which the store records once sent.
inline std::string currentDescriptionText() {
    return DeviceInfoUtils().getDeviceInfo();
}

}  // namespace lumvex::test
