#include "upload/UploadRequest.h"

#include "platform/system/Device.h"
#include "platform/system/Files.h"
#include "upload/UploadContext.h"

#include <sodium.h>

#include <atomic>
#include <cstdint>

namespace lumvex {

UploadContents UploadContents::gather(PushFormat format, const UploadContext& context) {
    // Each source a body is made of is looked at once for it, however many readers need it.
    const platform::FileChecksOnce checks;
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
    // A secret drawn from the system once per process, and each key the keyed BLAKE2b hash
    // of a count under it: as unpredictable as fresh random bytes, without asking the
    // kernel for them at every upload. sodium_init picks the random source once;
    // randombytes_buf cannot fail after it (it aborts rather than hand out weak bytes). A
    // forked child, which would repeat the parent's keys, never uploads.
    struct Secret {
        unsigned char bytes[crypto_generichash_KEYBYTES];
        Secret() {
            [[maybe_unused]] const bool initialised = sodium_init() >= 0;
            randombytes_buf(bytes, sizeof bytes);
        }
    };
    static const Secret secret;
    static std::atomic<std::uint64_t> drawn{0};
    const std::uint64_t count = drawn.fetch_add(1, std::memory_order_relaxed);
    unsigned char bytes[32];
    crypto_generichash(bytes, sizeof bytes, reinterpret_cast<const unsigned char*>(&count), sizeof count,
                       secret.bytes, sizeof secret.bytes);
    char hex[sizeof bytes * 2 + 1];
    sodium_bin2hex(hex, sizeof hex, bytes, sizeof bytes);
    return hex;
}

}  // namespace lumvex
