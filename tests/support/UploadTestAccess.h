#pragma once

// What the tests, the test helpers and the benchmarks reach of the upload's private
// operations. Header-only, so that the helper programs and the benchmarks can use it
// without the test support library.

#include "platform/net/UrlSession.h"
#include "upload/Outbox.h"
#include "upload/PushRequest.h"
#include "upload/UploadContext.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace lumvex {

struct PushRequestTestAccess {
    /// The request that an upload in `f` would make from what the stores hold now.
    static UploadRequest request(const PushRequest& r, PushFormat f) {
        static const auto configurations = [] {
            std::map<PushFormat, std::shared_ptr<const LumvexConfiguration>> made;
            for (const auto format : {PushFormat::LOCATION_AND_DEVICE_INFO, PushFormat::LOCATION_ONLY,
                                      PushFormat::DEVICE_INFO_ONLY}) {
                made[format] = LumvexConfiguration::Builder().pushFormat(format).build();
            }
            return made;
        }();
        return r
            .buildRequest(UploadContents::gather(f, UploadContext::process()), *configurations.at(f),
                          UploadRequest::newKey(), 0)
            .value();
    }
    /// The body as the dictionary it encodes, and whether the upload would carry fixes and a
    /// description.
    struct Payload {
        nlohmann::json dict;
        bool containsLocation;
        bool containsDeviceInfo;
    };
    static Payload payload(const PushRequest& r, PushFormat f) {
        auto made = request(r, f);
        return {nlohmann::json::parse(made.body), !made.lines.empty(), !made.description.empty()};
    }
    static std::string body(const PushRequest& r, PushFormat f) { return request(r, f).body; }
    static std::string buildUrl(const PushRequest& r, const std::string& key, PushRegion region) {
        return r.buildUrl(key, region);
    }
    /// Points requests made without an endpoint at a local server; `std::nullopt` restores
    /// the build's default.
    static void setDefaultEndpoint(std::optional<std::string> endpoint) {
        PushRequest::setDefaultEndpoint(std::move(endpoint));
    }
};

namespace platform {

/// Shorter bounds make a stalled or endless answer fail within a test's time.
struct UrlSessionTestAccess {
    static void setStallTimeout(std::optional<std::chrono::milliseconds> timeout) {
        UrlSession::setStallTimeout(timeout);
    }
    static void setTransferTimeout(std::optional<std::chrono::milliseconds> timeout) {
        UrlSession::setTransferTimeout(timeout);
    }
};

}  // namespace platform
}  // namespace lumvex
