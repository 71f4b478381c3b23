#include "upload/PushRequest.h"

#include "BuildConfig.h"
#include "config/ConfigurationAccess.h"
#include "platform/base/Guarded.h"
#include "platform/base/L.h"
#include "platform/base/NoDestructor.h"
#include "upload/Outbox.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <utility>

namespace lumvex {

using detail::ConfigurationAccess;

namespace {

// The endpoint a test put in place of the build's. Never destroyed: uploads may still be
// built on the queue while the process exits.
platform::Guarded<std::optional<std::string>>& endpointOverride() {
    static platform::NoDestructor<platform::Guarded<std::optional<std::string>>> endpoint;
    return *endpoint;
}

// Unreserved characters, sub-delimiters, ":" and "@": everything that a path segment
// holds as it is.
bool isSegmentCharacter(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("-._~!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

PushRequest::PushRequest() : PushRequest(defaultEndpoint(), defaultEndpoint()) {}

PushRequest::PushRequest(std::string endpointHostEu, std::string endpointHostUs)
    : endpointHostEu_(std::move(endpointHostEu)), endpointHostUs_(std::move(endpointHostUs)) {}

std::string PushRequest::defaultEndpoint() {
    return endpointOverride().with([](const std::optional<std::string>& endpoint) {
        return endpoint.value_or(LUMVEX_DEFAULT_ENDPOINT_URL);
    });
}

void PushRequest::setDefaultEndpoint(std::optional<std::string> endpoint) {
    endpointOverride().with(
        [&endpoint](std::optional<std::string>& current) { current = std::move(endpoint); });
}

std::string PushRequest::escapeApiKey(const std::string& apiKey) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    const bool dotSegment = apiKey == "." || apiKey == "..";
    std::string out;
    out.reserve(apiKey.size() * 3);
    for (const char c : apiKey) {
        const auto byte = static_cast<unsigned char>(c);
        if (isSegmentCharacter(byte) && !dotSegment) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(HEX[byte >> 4]);
            out.push_back(HEX[byte & 0x0F]);
        }
    }
    return out;
}

std::string PushRequest::buildUrl(const std::string& apiKey, PushRegion pushRegion,
                                  const std::optional<std::string>& endpoint) const {
    const auto& regional = pushRegion == PushRegion::US ? endpointHostUs_ : endpointHostEu_;
    const auto& base = endpoint ? *endpoint : regional;
    return base + "api/v1/" + escapeApiKey(apiKey) + "/send_locations";
}

std::string PushRequest::urlFor(const LumvexConfiguration& configuration) const {
    return buildUrl(ConfigurationAccess::apiKey(configuration),
                    ConfigurationAccess::pushRegion(configuration),
                    ConfigurationAccess::endpoint(configuration));
}

std::optional<UploadRequest> PushRequest::buildRequest(const UploadContents& contents,
                                                       const LumvexConfiguration& configuration,
                                                       std::string key, std::int64_t nowMs) const {
    UploadRequest request;
    request.url = urlFor(configuration);
    request.key = std::move(key);
    request.format = ConfigurationAccess::pushFormat(configuration);
    request.createdAtMs = nowMs;
    // The body is the compact JSON text of the push dictionary, members in key order as
    // nlohmann::json writes an object. It is put together from texts that are already
    // written: the store keeps each record's text, and the description's text is the one
    // compared with the recorded description. Building the objects only to write them out
    // again cost several times the writing itself.
    std::string_view description = "{}";
    if (contents.description && request.format != PushFormat::LOCATION_ONLY) {
        if (contents.description->text.empty()) {
            return std::nullopt;  // the description could not be written as JSON
        }
        request.description = contents.description->text;
        description = request.description;
    }
    std::string_view records = "[]";
    if (contents.recordCount > 0 && request.format != PushFormat::DEVICE_INFO_ONLY) {
        request.lines = contents.lines;
        request.batch = contents.batch;
        records = contents.recordsText;
    }
    const auto googleAid = nlohmann::json(contents.googleAid).dump();
    auto& body = request.body;
    body.reserve(description.size() + googleAid.size() + records.size() + 80);
    body += "{\"devices_infos\":";
    body += description;
    body += ",\"google_aid\":";
    body += googleAid;
    body += ",\"locations\":";
    body += records;
    body += ",\"mac\":";
    body += nlohmann::json(MAC).dump();
    body += '}';
    return request;
}

void PushRequest::sendPush(const UploadContext& context, const LumvexConfiguration& configuration,
                           PushCallback callback, std::optional<std::uint64_t> askedAt) const {
    // Every line the upload writes names this operation, here.
    context.outbox.send(context, *this, configuration, std::move(callback), askedAt,
                        LogSite{__FILE__, __LINE__});
}

}  // namespace lumvex
