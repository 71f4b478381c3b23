#include "upload/PendingUpload.h"

#include "platform/base/L.h"
#include "platform/base/Text.h"
#include "platform/base/ThreadAnnotations.h"
#include "platform/system/CachesDirectory.h"
#include "platform/system/Files.h"

#include <sys/stat.h>
#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace lumvex {

namespace {

// Names the layout, so that a file of another kind, or of an earlier or later layout, is
// never taken for a request to send.
constexpr std::string_view MAGIC = "lumvex pending upload 2";
constexpr std::size_t HEADER_LINES = 7;  // magic, key, time, format, URL, body, description
// A batch of the offline store: the same header, then "<first> <last>" in place of lines.
constexpr std::string_view BATCH_MAGIC = "lumvex pending batch 1";
// A body nests the description and each record one level below its top object; the
// description nests nothing.
constexpr int BODY_DEPTH = 3;
constexpr int DESCRIPTION_DEPTH = 1;

std::optional<std::string> pendingPath() {
    const auto directory = platform::cachesDirectory();
    if (!directory) {
        return std::nullopt;
    }
    return *directory + "/" + PendingUpload::FILENAME;
}

// Whether `json` is one JSON object nested no deeper than `maxDepth`. Only the brackets
// are counted, outside strings, without recursion: the text is never parsed, so no content
// can make reading it costly.
bool objectWithin(std::string_view json, int maxDepth) {
    if (json.empty() || json.front() != '{') {
        return false;
    }
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : json) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > maxDepth) {
                return false;
            }
        } else if (c == '}' || c == ']') {
            if (--depth < 0) {
                return false;
            }
        }
    }
    return depth == 0 && !inString;
}

std::optional<std::string> decodeText(std::string_view line) {
    auto text = platform::base64Decode(line);
    if (!text || !platform::isValidUtf8(*text)) {
        return std::nullopt;
    }
    return text;
}

bool isKey(std::string_view key) {
    if (key.size() != 64) {
        return false;
    }
    for (const char c : key) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string PendingUpload::encode(const UploadRequest& request) {
    std::string content = platform::base64Encode(request.batch ? BATCH_MAGIC : MAGIC);
    content += '\n';
    content += request.key;
    content += '\n';
    content += std::to_string(request.createdAtMs);
    content += '\n';
    content += std::to_string(static_cast<int>(request.format));
    content += '\n';
    content += platform::base64Encode(request.url);
    content += '\n';
    content += platform::base64Encode(request.body);
    content += '\n';
    content += platform::base64Encode(request.description);
    content += '\n';
    // The lines as read, line feed and all: unreadable or torn lines are carried too, so
    // that the removal after a 200 matches the file exactly.
    for (const auto& line : request.lines) {
        content += platform::base64Encode(line);
        content += '\n';
    }
    if (request.batch) {
        content += std::to_string(request.batch->first) + " " + std::to_string(request.batch->last) + "\n";
    }
    return content;
}

std::optional<UploadRequest> PendingUpload::decode(std::string_view content) {
    if (content.size() > MAX_BYTES || content.empty() || content.back() != '\n') {
        return std::nullopt;
    }
    std::vector<std::string_view> fields;
    for (std::size_t start = 0; start < content.size();) {
        const auto end = content.find('\n', start);
        fields.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    const auto magic = fields.empty() ? std::nullopt : platform::base64Decode(fields[0]);
    const bool isBatch = magic == std::string(BATCH_MAGIC);
    if (fields.size() < HEADER_LINES + (isBatch ? 1 : 0) || (magic != std::string(MAGIC) && !isBatch) ||
        !isKey(fields[1])) {
        return std::nullopt;
    }
    UploadRequest request;
    request.key = std::string(fields[1]);
    const auto& time = fields[2];
    const auto parsed = std::from_chars(time.data(), time.data() + time.size(), request.createdAtMs);
    int format = -1;
    const auto& formatField = fields[3];
    const auto parsedFormat =
        std::from_chars(formatField.data(), formatField.data() + formatField.size(), format);
    if (parsed.ec != std::errc() || parsed.ptr != time.data() + time.size() ||
        parsedFormat.ec != std::errc() || parsedFormat.ptr != formatField.data() + formatField.size() ||
        format < 0 || format > 2) {
        return std::nullopt;
    }
    request.format = static_cast<PushFormat>(format);
    auto url = decodeText(fields[4]);
    auto body = decodeText(fields[5]);
    auto description = decodeText(fields[6]);
    if (!url || url->empty() || !body || !objectWithin(*body, BODY_DEPTH) || !description ||
        (!description->empty() && !objectWithin(*description, DESCRIPTION_DEPTH))) {
        return std::nullopt;
    }
    request.url = std::move(*url);
    request.body = std::move(*body);
    request.description = std::move(*description);
    if (isBatch) {
        unsigned long long first = 0;
        unsigned long long last = 0;
        char end = 0;
        const std::string range(fields[HEADER_LINES]);
        if (fields.size() != HEADER_LINES + 1 ||
            std::sscanf(range.c_str(), "%llu %llu%c", &first, &last, &end) != 2 || first == 0 ||
            last < first) {
            return std::nullopt;
        }
        request.batch = OfflineRange{first, last};
    }
    for (std::size_t i = HEADER_LINES + (isBatch ? 1 : 0); i < fields.size(); ++i) {
        auto line = platform::base64Decode(fields[i]);
        if (!line) {
            return std::nullopt;
        }
        request.lines.push_back(std::move(*line));
    }
    // A request with nothing in it is never sent, so never recorded.
    if (request.empty()) {
        return std::nullopt;
    }
    return request;
}

std::optional<UploadRequest> PendingUpload::load() {
    const auto path = pendingPath();
    if (!path) {
        return std::nullopt;
    }
    std::optional<std::string> content;
    {
        platform::MutexLock guard(mutex_);
        struct stat st {};
        if (::lstat(path->c_str(), &st) != 0 && errno == ENOENT) {
            return std::nullopt;
        }
        // Our own file only: not through a link planted in its place, nor from a FIFO.
        content = platform::readFileBounded(*path, MAX_BYTES, platform::Links::dontFollow);
    }
    auto request = content ? decode(*content) : std::nullopt;
    if (!request) {
        LUMVEX_LOG_ERROR("load()", "Pending upload file unreadable, removed");
        discard();
    }
    return request;
}

bool PendingUpload::save(const UploadRequest& request) {
    const auto path = pendingPath();
    if (!path) {
        LUMVEX_LOG_ERROR("save(_:)", "Error while writing pending upload file : no caches directory");
        return false;
    }
    const auto content = encode(request);
    std::string error;
    bool written = false;
    if (content.size() > MAX_BYTES) {
        error = "the request is too large to be recorded";
    } else {
        platform::MutexLock guard(mutex_);
        if (!tidied_) {
            platform::removeLeftoverTemporaries(*path);
            tidied_ = true;
        }
        written = platform::writeFileAtomically(*path, content, &error);
    }
    if (!written) {
        LUMVEX_LOG_ERROR("save(_:)", "Error while writing pending upload file : " + error);
    }
    return written;
}

bool PendingUpload::discard() {
    const auto path = pendingPath();
    if (!path) {
        return true;
    }
    bool removed = false;
    int reason = 0;
    {
        platform::MutexLock guard(mutex_);
        removed = platform::removeFileDurably(*path);
        reason = errno;
    }
    if (!removed && reason != ENOENT) {
        LUMVEX_LOG_ERROR("discard()", "Error while removing pending upload file");
        return false;
    }
    return true;
}

}  // namespace lumvex
