#pragma once

// Thread guarantees: plain values. `UploadContents::gather` reads the stores, which are safe
// from any thread; `UploadRequest::newKey` is safe from any thread.

#include <LumvexSdk/LumvexConfiguration.h>

#include "store/OfflineStore.h"
#include "upload/DeviceInfoUtils.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumvex {

struct UploadContext;

/// What the stores hold for one upload, read once: all that a request is made of besides
/// the configuration.
struct UploadContents {
    /// The device's identifier for the vendor, or "noid".
    std::string googleAid;
    /// The readable stored fixes as the compact JSON text of an array of records.
    std::string recordsText = "[]";
    /// How many records `recordsText` holds.
    std::size_t recordCount = 0;
    /// Every stored line that the read met, readable or not, exactly as read: what a
    /// delivered upload removes from the trace file.
    std::vector<std::string> lines;
    /// The description to send because it changed; null when none is sent.
    std::shared_ptr<const DeviceInfoUtils::Description> description;
    /// When the records are the offline store's oldest fixes: which ones (`lines` is then
    /// empty).
    std::optional<OfflineRange> batch;

    /// Reads `context`'s stores as `format` asks: the offline store's oldest batch, or else
    /// the trace file, then the device description.
    static UploadContents gather(PushFormat format, const UploadContext& context);
};

/// One upload request, whole: the bytes that go on the wire and what a 200 acts on. It is
/// made once, kept as it is in "pending.lmx" while its outcome is unknown, and a retry
/// sends exactly these bytes under the same key, whatever changed meanwhile.
struct UploadRequest {
    /// Where it goes: the endpoint, the API key's path segment, "/send_locations".
    std::string url;
    /// The Idempotency-Key: random, made for this request alone.
    std::string key;
    /// The push dictionary as compact UTF-8 JSON.
    std::string body;
    /// The push format it was made under; a record of another format is not resent.
    PushFormat format = PushFormat::LOCATION_AND_DEVICE_INFO;
    /// When it was made, in milliseconds since 1970 by the library's clock.
    std::int64_t createdAtMs = 0;
    /// The stored lines it carries, as read; removed from the trace file once delivered.
    /// Empty when it carries no fix.
    std::vector<std::string> lines;
    /// The description's compact JSON text when it carries one (else empty); recorded as
    /// delivered once it is.
    std::string description;
    /// The offline store's fixes it carries, removed from there once delivered; then
    /// `lines` is empty.
    std::optional<OfflineRange> batch;

    /// Whether it carries neither a fix nor a description, and so is never sent.
    bool empty() const { return lines.empty() && !batch && description.empty(); }

    /// A new key: 32 bytes from the system's random source, as 64 lower-case hexadecimal
    /// digits. Two requests never share one, on one device or across devices.
    static std::string newKey();

    /// The name of the header that carries `key`.
    static constexpr const char* IDEMPOTENCY_KEY_HEADER = "Idempotency-Key";
};

}  // namespace lumvex
