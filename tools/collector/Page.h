#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace collector {

/// The collector's page, served at "/": every key and device heard from, with each
/// device's last description and its received fixes drawn as a track. `uploads` is the
/// store's full listing (UploadStore::list). The page is self-contained: inline SVG and
/// CSS, no scripts, nothing fetched from anywhere.
///
/// Every fix of a device is one `<circle class="fix">` of its track, in the order received;
/// a fix whose "lat" or "lng" is not a coordinate is counted but not drawn.
std::string renderPage(const nlohmann::json& uploads);

/// The Content-Security-Policy that the page is served with: it may load nothing.
inline constexpr const char* PAGE_CONTENT_SECURITY_POLICY =
    "default-src 'none'; style-src 'unsafe-inline'; img-src data:";

}  // namespace collector
