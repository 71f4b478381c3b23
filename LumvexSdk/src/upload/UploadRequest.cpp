#include "upload/UploadRequest.h"

#include "platform/system/Device.h"
#include "upload/UploadContext.h"

#include <sodium.h>

namespace lumvex {

UploadContents UploadContents::gather(PushFormat format, const UploadContext& context) {
    UploadContents contents;
    if (format == PushFormat::DEVICE_INFO_ONLY) {
        // No fix is read.
    } else if (auto batch = OfflineStore::shared().nextBatch()) {
        contents.recordCount = batch->recordCount;
        contents.recordsText = std::move(batch->recordsText);
        contents.batch = batch->range;
    } else {
        auto snapshot = context.traces.getTracesAsDict();
        contents.recordCount = snapshot.recordLines.size();
        contents.recordsText = std::move(snapshot.recordsText);
        // Lines met without a record are removed with the fixes around them, never alone.
        if (contents.recordCount > 0) {
            contents.lines = std::move(snapshot.lines);
        }
    }
    if (format != PushFormat::LOCATION_ONLY) {
        auto described = DeviceInfoUtils().describe();
        if (context.devices.needDeviceInfoUpdate(described->record)) {
            contents.description = std::move(described);
        }
    }
    contents.googleAid = platform::Device::identifierForVendor().value_or("noid");
    return contents;
}

std::string UploadRequest::newKey() {
    // sodium_init picks the random source once; randombytes_buf cannot fail after it (it
    // aborts rather than hand out weak bytes).
    [[maybe_unused]] static const bool initialised = sodium_init() >= 0;
    unsigned char bytes[32];
    randombytes_buf(bytes, sizeof bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

}  // namespace lumvex
