#pragma once

// Thread guarantees: a built configuration never changes, so it may be shared and read
// from any thread. A `Builder` is an ordinary value: use each from one thread at a time.
// `build()` and the two factories read the host's Info.plist, which is safe from any
// thread.

#include <LumvexSdk/Export.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lumvex {

/// What an upload carries.
enum class PushFormat { LOCATION_AND_DEVICE_INFO = 0, LOCATION_ONLY = 1, DEVICE_INFO_ONLY = 2 };

/// Which regional endpoint receives uploads.
enum class PushRegion { EU = 0, US = 1 };

namespace detail {
struct ConfigurationAccess;
}

/// How the library runs. Immutable once built and shared by reference.
///
/// The API key comes from the host, through `Builder::apiKey`, or else from the host's
/// Info.plist, key "lumvex_api_key" (a string; anything else counts as no key), which every
/// `build()` and both factories read afresh.
// Only the public members are exported (see RunLoop.h).
class LumvexConfiguration {
public:
    /// Minutes between two periodic uploads unless the builder says otherwise (one day).
    static constexpr std::int64_t DEFAULT_PUSH_FREQUENCY = 1440;
    /// Fixes per upload request from the offline store unless the builder says otherwise.
    static constexpr std::int64_t DEFAULT_MAX_BATCH_SIZE = 1000;
    /// The most a request may carry: its body stays well within a server's 1 MiB.
    static constexpr std::int64_t MAX_BATCH_SIZE = 10000;
    /// The most `Builder::keepOffline` takes: almost three years, and sixteen million fixes
    /// (five years at one every 10 s).
    static constexpr std::int64_t MAX_OFFLINE_DAYS = 1000;
    static constexpr std::int64_t MAX_OFFLINE_FIXES = 16000000;

    class Builder {
    public:
        LUMVEX_API Builder();
        /// Each setter stores its value and returns this very builder, so calls chain.
        LUMVEX_API Builder& pushFormat(PushFormat format);
        LUMVEX_API Builder& pushRegion(PushRegion region);
        /// Minutes between two periodic uploads. Stored unchanged; `Lumvex::start` refuses
        /// a value below 1 or one whose product with 60 overflows.
        LUMVEX_API Builder& pushFrequency(std::int64_t minutes);
        LUMVEX_API Builder& enableDebugLog(bool enabled);
        /// The base URL that uploads go below, for both regions, in place of the one the
        /// library was built with: an absolute http or https URL ending in "/", such as
        /// "https://collector.example.com/lumvex/". Uploads are posted to it followed by
        /// "api/v1/<API key>/send_locations". Stored unchanged; `Lumvex::start` refuses
        /// any other value with ERROR. Without this call, the build's default holds.
        LUMVEX_API Builder& endpoint(std::string baseUrl);
        /// The API key, given by the host (from its own configuration file, the
        /// environment, a secret store), in place of the Info.plist's: once called,
        /// `build()` no longer reads the Info.plist for it. Stored unchanged; an empty key
        /// is not replaced by the Info.plist's, and `Lumvex::start` refuses it with
        /// INVALID_EMPTY_API_KEY.
        LUMVEX_API Builder& apiKey(std::string key);
        /// Keeps fixes while uploads fail, for days instead of the trace file's last twenty
        /// or so: up to `days` days and `maxFixes` fixes (say 30 and 300,000), in a store
        /// beside the trace file, uploaded oldest first in requests of `maxBatchSize`
        /// fixes. Beyond either bound the oldest fixes are dropped and counted (see
        /// `Lumvex::droppedFixes`). Without this call, or with both 0, nothing changes: the
        /// trace file alone keeps the fixes (what the store still holds is uploaded, then it
        /// is removed). `Lumvex::start` refuses other values outside 1 to `MAX_OFFLINE_DAYS`
        /// days and 1 to `MAX_OFFLINE_FIXES` fixes with ERROR.
        LUMVEX_API Builder& keepOffline(std::int64_t days, std::int64_t maxFixes);
        /// How many stored fixes one upload request carries at most when the offline store
        /// is uploaded (`DEFAULT_MAX_BATCH_SIZE` unless set); `Lumvex::start` refuses a
        /// value below 1 or above `MAX_BATCH_SIZE` with ERROR.
        LUMVEX_API Builder& maxBatchSize(std::int64_t fixes);
        /// Makes a new configuration, reading the API key from the Info.plist again unless
        /// `apiKey` gave one.
        LUMVEX_API std::shared_ptr<const LumvexConfiguration> build();

    private:
        friend class LumvexConfiguration;
        std::string apiKey_;
        PushFormat pushFormat_ = PushFormat::LOCATION_AND_DEVICE_INFO;
        PushRegion pushRegion_ = PushRegion::EU;
        std::int64_t pushFrequency_ = DEFAULT_PUSH_FREQUENCY;
        bool enableDebugLog_ = false;
        // Placed in the padding after enableDebugLog_, so that a host compiled against the
        // 1.0 headers, which allocates builders itself, keeps their size and layout.
        bool apiKeyFromHost_ = false;
        // The offline store's settings, in the rest of that padding for the same reason;
        // set by the constructor (a bit-field takes no initialiser here). Days 0: off;
        // `INVALID_DAYS`: out of range, refused at start. Batch 0: the default;
        // `INVALID_BATCH`: out of range, refused at start.
        std::uint64_t offlineDays_ : 10;
        std::uint64_t offlineMaxFixes_ : 24;
        std::uint64_t maxBatchSize_ : 14;
        std::optional<std::string> endpoint_;

        static constexpr std::uint64_t INVALID_DAYS = (1u << 10) - 1;
        static constexpr std::uint64_t INVALID_BATCH = (1u << 14) - 1;

        static std::string extractApiKeyFromPlist();
    };

    /// Defaults, region EU.
    LUMVEX_API static std::shared_ptr<const LumvexConfiguration> defaultEuConfig();
    /// Defaults, region US.
    LUMVEX_API static std::shared_ptr<const LumvexConfiguration> defaultUsConfig();

private:
    explicit LumvexConfiguration(const Builder& builder);
    friend struct detail::ConfigurationAccess;

    const std::string apiKey_;
    const PushFormat pushFormat_;
    const PushRegion pushRegion_;
    const std::int64_t pushFrequency_;
    const bool enableDebugLog_;
    const std::optional<std::string> endpoint_;  // none: the build's default
    const bool apiKeyFromHost_;                  // given by `Builder::apiKey`
    const std::int64_t offlineDays_;             // 0: no offline store; -1: refused
    const std::int64_t offlineMaxFixes_;
    const std::int64_t maxBatchSize_;  // -1: refused
};

}  // namespace lumvex
