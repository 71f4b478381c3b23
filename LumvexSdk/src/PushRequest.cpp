#include "PushRequest.h"

#include "BuildConfig.h"
#include "ConfigurationAccess.h"
#include "DeviceInfoRepository.h"
#include "DeviceInfoUtils.h"
#include "L.h"
#include "TraceRepository.h"
#include "platform/Device.h"
#include "platform/UrlSession.h"

#include <mutex>

namespace lumvex {

using detail::ConfigurationAccess;

namespace {

constexpr const char* SEND_PUSH = "sendPush(_:callback:)";

// Never destroyed: uploads may still be built on the queue while the process exits.
struct EndpointOverride {
    std::mutex mutex;
    std::optional<std::string> endpoint;  // guarded by mutex
};
EndpointOverride& endpointOverride() {
    static auto* value = new EndpointOverride;
    return *value;
}

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

void report(const PushCallback& callback, std::optional<LumvexException> error) {
    if (callback) {
        callback(error);
    }
}

}  // namespace

PushRequest::PushRequest() : PushRequest(defaultEndpoint(), defaultEndpoint()) {}

PushRequest::PushRequest(std::string endpointHostEu, std::string endpointHostUs)
    : endpointHostEu_(std::move(endpointHostEu)), endpointHostUs_(std::move(endpointHostUs)) {}

std::string PushRequest::defaultEndpoint() {
    auto& o = endpointOverride();
    std::lock_guard<std::mutex> guard(o.mutex);
    return o.endpoint.value_or(LUMVEX_DEFAULT_ENDPOINT_URL);
}

void PushRequest::setDefaultEndpointForTesting(std::optional<std::string> endpoint) {
    auto& o = endpointOverride();
    std::lock_guard<std::mutex> guard(o.mutex);
    o.endpoint = std::move(endpoint);
}

PushRequest::PushData PushRequest::buildPushData(PushFormat format) const {
    PushData data;
    auto& dict = data.dict;
    dict = nlohmann::json::object();
    dict["mac"] = MAC;
    dict["google_aid"] = platform::Device::identifierForVendor().value_or(NO_ID);
    if (format == PushFormat::DEVICE_INFO_ONLY) {
        dict["locations"] = nlohmann::json::array();
    } else {
        auto snapshot = TraceRepository::shared().readTraces();
        auto locations = nlohmann::json::array();
        for (const auto& record : snapshot.records) {
            locations.push_back(record);
        }
        dict["locations"] = std::move(locations);
        data.traceLines = std::move(snapshot.lines);
    }
    dict["devices_infos"] = nlohmann::json::object();
    if (format != PushFormat::LOCATION_ONLY) {
        auto description = DeviceInfoUtils().getDeviceInfoAsDict();
        if (DeviceInfoRepository::shared().needDeviceInfoUpdate(description)) {
            dict["devices_infos"] = std::move(description);
        }
    }
    return data;
}

nlohmann::json PushRequest::buildJsonPushDataAsDict(PushFormat format) const {
    return buildPushData(format).dict;
}

bool PushRequest::dictContainsLocation(const nlohmann::json& dict) {
    const auto found = dict.find("locations");
    return found != dict.end() && found->is_array() && !found->empty();
}

bool PushRequest::dictContainsDeviceInfo(const nlohmann::json& dict) {
    const auto found = dict.find("devices_infos");
    return found != dict.end() && found->is_object() && !found->empty();
}

std::optional<std::string> PushRequest::jsonPushAsData(const nlohmann::json& dict) {
    try {
        return dict.dump();
    } catch (const std::exception&) {
        // The writer's own reason is not logged.
        LUMVEX_LOG_ERROR("jsonPushAsData", "Error while json serialization");
        return std::nullopt;
    }
}

std::string PushRequest::escapeApiKey(const std::string& apiKey) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    const bool dotSegment = apiKey == "." || apiKey == "..";
    std::string out;
    out.reserve(apiKey.size() * 3);
    for (const char c : apiKey) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte) && !dotSegment) {
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

void PushRequest::sendPush(const LumvexConfiguration& configuration, PushCallback callback) const {
    auto data = buildPushData(ConfigurationAccess::pushFormat(configuration));
    if (!dictContainsLocation(data.dict) && !dictContainsDeviceInfo(data.dict)) {
        LUMVEX_LOG(SEND_PUSH, "Push is not necessary: " +
                                  data.dict.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        return;
    }
    auto body = jsonPushAsData(data.dict);
    if (!body) {
        report(callback, LumvexException::JSON_SERIALIZATION_FAILED);
        return;
    }
    const auto urlText =
        buildUrl(ConfigurationAccess::apiKey(configuration), ConfigurationAccess::pushRegion(configuration),
                 ConfigurationAccess::endpoint(configuration));
    auto url = platform::Url::parse(urlText);
    if (!url) {
        LUMVEX_LOG_ERROR(SEND_PUSH, "Invalid push URL " + urlText);
        report(callback, LumvexException::PUSH_FAILED);
        return;
    }
    platform::UrlRequest request(std::move(*url));
    request.httpMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.httpBody = std::move(*body);

    // What was sent, not what the stores hold when the answer comes, decides what is
    // removed and recorded.
    platform::UrlSession::shared().dataTask(
        std::move(request),
        [callback = std::move(callback), data = std::move(data)](
            std::optional<platform::UrlResponseData> responseData,
            std::optional<platform::HttpUrlResponse> response, std::optional<platform::UrlError> error) {
            if (!responseData || error) {
                LUMVEX_LOG(SEND_PUSH, "Push error error=" + platform::to_string(error));
                report(callback, LumvexException::PUSH_FAILED);
                return;
            }
            if (response && response->statusCode != 200) {
                LUMVEX_LOG_ERROR(SEND_PUSH, "Push failed");
                report(callback, LumvexException::PUSH_FAILED);
                return;
            }
            LUMVEX_LOG(SEND_PUSH, "Push success");
            if (dictContainsLocation(data.dict)) {
                // Fixes stored while the upload was in flight stay for the next one.
                TraceRepository::shared().removeTraces(data.traceLines);
            }
            if (dictContainsDeviceInfo(data.dict)) {
                DeviceInfoRepository::shared().saveDeviceInfo(data.dict["devices_infos"]);
            }
            report(callback, std::nullopt);
        });
}

}  // namespace lumvex
