#pragma once

#include "UploadStore.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace collector {

// The collector's page, served at "/": the keys and devices heard from, a bounded number
// of devices per page in key and device order, each with its last description and its
// listed fixes drawn as a track. It is made in parts so that it can be sent as it is made.
// The page is self-contained: inline SVG and CSS, no scripts, nothing fetched from
// anywhere.
//
// Every listed fix of a device is one `<circle class="fix">` of its track, in the order
// received; a fix whose "lat" or "lng" is not a coordinate is counted but not drawn.

struct Fix {
    std::string timestamp;
    std::optional<double> lat, lng;
};

/// What one device's part of the page shows.
struct DeviceView {
    DeviceCounts counts;
    std::vector<Fix> fixes;
    nlohmann::json description;  // the last non-empty one listed
    std::string descriptionReceivedAt;

    /// Takes in one listed upload of the device, oldest first.
    void add(const std::string& receivedAt, const nlohmann::json& body);
};

std::string renderPageStart(const Totals& totals);
std::string renderKeyStart(const std::string& key);
std::string renderKeyEnd();
std::string renderDevice(const DeviceView& device);
/// `nextHref`, when not "", links the next page of devices.
std::string renderPageEnd(const std::string& nextHref);

/// The Content-Security-Policy that the page is served with: it may load nothing.
inline constexpr const char* PAGE_CONTENT_SECURITY_POLICY =
    "default-src 'none'; style-src 'unsafe-inline'; img-src data:";

}  // namespace collector
