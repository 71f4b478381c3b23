#pragma once

// Thread guarantees: the file's operations are safe from any thread; one lock serialises
// them. A `PendingUpload` value itself belongs to the upload that read or made it.

#include "TraceRepository.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace lumvex {

/// The records of an upload whose outcome is not yet known to be a success, kept in
/// "pending.lmx" beside the stores from just before the request goes out until its 200
/// has been acted on. While it exists, the next upload sends exactly these records again
/// (and so under the same Idempotency-Key) before anything stored since, so a server
/// that kept the first attempt recognises the second, whatever was stored meanwhile.
///
/// Only the upload whose turn it is touches the file; failures are logged, never
/// reported, and cost at most a duplicate at a server that honours the key, never a fix.
struct PendingUpload {
    /// The stored lines behind "locations", in the order sent.
    std::vector<std::string> lines;
    /// One record per line, in step: what "locations" carried.
    std::vector<TraceRecord> records;
    /// The description sent, or null when none was.
    nlohmann::json description;

    /// The record left by an earlier attempt, if any. One that cannot be read or is not
    /// ours (foreign, corrupt, too large) is logged and removed: the trace file still
    /// holds its lines, so the next upload reads them from there.
    static std::optional<PendingUpload> load();

    /// Records `lines` (their `records` are not stored: they are read back from the lines)
    /// and `description`, replacing any earlier record whole and durably.
    static bool save(const std::vector<std::string>& lines, const nlohmann::json& description);

    /// Removes the record durably once its upload is known to have been delivered.
    static void discard();

    static constexpr const char* FILENAME = "pending.lmx";
};

}  // namespace lumvex
