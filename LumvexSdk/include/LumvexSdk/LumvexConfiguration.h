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
/// The API key is never set in code: every `build()` and both factories read it from the
/// host's Info.plist, key "lumvex_api_key" (a string; anything else counts as no key).
class LUMVEX_API LumvexConfiguration {
public:
    /// Minutes between two periodic uploads unless the builder says otherwise (one day).
    static constexpr std::int64_t DEFAULT_PUSH_FREQUENCY = 1440;

    class LUMVEX_API Builder {
    public:
        Builder();
        /// Each setter stores its value and returns this very builder, so calls chain.
        Builder& pushFormat(PushFormat format);
        Builder& pushRegion(PushRegion region);
        /// Minutes between two periodic uploads. Stored unchanged; `Lumvex::start` refuses
        /// a value below 1 or one whose product with 60 overflows.
        Builder& pushFrequency(std::int64_t minutes);
        Builder& enableDebugLog(bool enabled);
        /// The base URL that uploads go below, for both regions, in place of the one the
        /// library was built with: an absolute http or https URL ending in "/", such as
        /// "https://collector.example.com/lumvex/". Uploads are posted to it followed by
        /// "api/v1/<API key>/send_locations". Stored unchanged; `Lumvex::start` refuses
        /// any other value with ERROR. Without this call, the build's default holds.
        Builder& endpoint(std::string baseUrl);
        /// Reads the API key from the Info.plist again and makes a new configuration.
        std::shared_ptr<const LumvexConfiguration> build();

    private:
        friend class LumvexConfiguration;
        std::string apiKey_;
        PushFormat pushFormat_ = PushFormat::LOCATION_AND_DEVICE_INFO;
        PushRegion pushRegion_ = PushRegion::EU;
        std::int64_t pushFrequency_ = DEFAULT_PUSH_FREQUENCY;
        bool enableDebugLog_ = false;
        std::optional<std::string> endpoint_;

        static std::string extractApiKeyFromPlist();
    };

    /// Defaults, region EU.
    static std::shared_ptr<const LumvexConfiguration> defaultEuConfig();
    /// Defaults, region US.
    static std::shared_ptr<const LumvexConfiguration> defaultUsConfig();

private:
    explicit LumvexConfiguration(const Builder& builder);
    friend struct detail::ConfigurationAccess;

    const std::string apiKey_;
    const PushFormat pushFormat_;
    const PushRegion pushRegion_;
    const std::int64_t pushFrequency_;
    const bool enableDebugLog_;
    const std::optional<std::string> endpoint_;  // none: the build's default
};

}  // namespace lumvex
