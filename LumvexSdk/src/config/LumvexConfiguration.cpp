#include <LumvexSdk/LumvexConfiguration.h>

#include "config/ConfigurationAccess.h"
#include "platform/net/UrlSession.h"
#include "platform/system/Bundle.h"
#include "platform/system/Identity.h"

#include <utility>

namespace lumvex {

LumvexConfiguration::Builder::Builder() : offlineDays_(0), offlineMaxFixes_(0), maxBatchSize_(0) {}

// Hosts built against the 1.0 headers allocate builders of this size and layout.
static_assert(sizeof(LumvexConfiguration::Builder) == 96, "the builder's size is part of the ABI");

LumvexConfiguration::Builder& LumvexConfiguration::Builder::pushFormat(PushFormat format) {
    pushFormat_ = format;
    return *this;
}

LumvexConfiguration::Builder& LumvexConfiguration::Builder::pushRegion(PushRegion region) {
    pushRegion_ = region;
    return *this;
}

LumvexConfiguration::Builder& LumvexConfiguration::Builder::pushFrequency(std::int64_t minutes) {
    pushFrequency_ = minutes;
    return *this;
}

LumvexConfiguration::Builder& LumvexConfiguration::Builder::enableDebugLog(bool enabled) {
    enableDebugLog_ = enabled;
    return *this;
}

LumvexConfiguration::Builder& LumvexConfiguration::Builder::endpoint(std::string baseUrl) {
    endpoint_ = std::move(baseUrl);
    return *this;
}

LumvexConfiguration::Builder& LumvexConfiguration::Builder::apiKey(std::string key) {
    apiKey_ = std::move(key);
    apiKeyFromHost_ = true;
    return *this;
}

LumvexConfiguration::Builder& LumvexConfiguration::Builder::keepOffline(std::int64_t days,
                                                                        std::int64_t maxFixes) {
    const bool off = days == 0 && maxFixes == 0;
    const bool valid =
        days >= 1 && days <= MAX_OFFLINE_DAYS && maxFixes >= 1 && maxFixes <= MAX_OFFLINE_FIXES;
    offlineDays_ = off ? 0 : valid ? static_cast<std::uint64_t>(days) : INVALID_DAYS;
    offlineMaxFixes_ = valid ? static_cast<std::uint64_t>(maxFixes) : 0;
    return *this;
}

LumvexConfiguration::Builder& LumvexConfiguration::Builder::maxBatchSize(std::int64_t fixes) {
    maxBatchSize_ = fixes >= 1 && fixes <= MAX_BATCH_SIZE ? static_cast<std::uint64_t>(fixes) : INVALID_BATCH;
    return *this;
}

std::string LumvexConfiguration::Builder::extractApiKeyFromPlist() {
    try {
        return platform::Bundle::main().stringForKey("lumvex_api_key").value_or("");
    } catch (...) {
        return {};
    }
}

std::shared_ptr<const LumvexConfiguration> LumvexConfiguration::Builder::build() {
    if (!apiKeyFromHost_) {
        apiKey_ = extractApiKeyFromPlist();
    }
    // A host without an identifier has its store named after the key: fixes it hands over
    // between building the configuration and starting with it go there already.
    try {
        platform::noteApiKey(apiKey_, platform::KeyUse::built);
    } catch (...) {
        // Out of memory: the store is named at the start instead.
    }
    try {
        return std::shared_ptr<const LumvexConfiguration>(new LumvexConfiguration(*this));
    } catch (...) {
        return nullptr;  // out of memory; start() refuses a missing configuration
    }
}

std::shared_ptr<const LumvexConfiguration> LumvexConfiguration::defaultEuConfig() {
    return Builder().pushRegion(PushRegion::EU).build();
}

std::shared_ptr<const LumvexConfiguration> LumvexConfiguration::defaultUsConfig() {
    return Builder().pushRegion(PushRegion::US).build();
}

LumvexConfiguration::LumvexConfiguration(const Builder& builder)
    : apiKey_(builder.apiKey_),
      pushFormat_(builder.pushFormat_),
      pushRegion_(builder.pushRegion_),
      pushFrequency_(builder.pushFrequency_),
      enableDebugLog_(builder.enableDebugLog_),
      endpoint_(builder.endpoint_),
      apiKeyFromHost_(builder.apiKeyFromHost_),
      offlineDays_(builder.offlineDays_ == Builder::INVALID_DAYS
                       ? -1
                       : static_cast<std::int64_t>(builder.offlineDays_)),
      offlineMaxFixes_(static_cast<std::int64_t>(builder.offlineMaxFixes_)),
      maxBatchSize_(builder.maxBatchSize_ == 0 ? DEFAULT_MAX_BATCH_SIZE
                    : builder.maxBatchSize_ == Builder::INVALID_BATCH
                        ? -1
                        : static_cast<std::int64_t>(builder.maxBatchSize_)) {}

bool detail::ConfigurationAccess::isValidEndpoint(const std::string& baseUrl) {
    return !baseUrl.empty() && baseUrl.back() == '/' && baseUrl.find_first_of("?#") == std::string::npos &&
           platform::Url::parse(baseUrl).has_value();
}

}  // namespace lumvex
