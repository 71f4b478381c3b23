#include "PendingUpload.h"

#include "L.h"
#include "platform/Files.h"
#include "platform/NoDestructor.h"
#include "platform/Text.h"
#include "platform/ThreadAnnotations.h"

#include <sys/stat.h>
#include <cerrno>
#include <cstddef>
#include <string_view>

namespace lumvex {

namespace {

// Names the layout, so that a file of another kind (or a later layout) is never taken for
// a list of fixes to send.
constexpr std::string_view MAGIC = "lumvex pending upload 1";

// A record holds at most what one read of the trace file gives (the store refuses to read
// one over 256 KiB) and one description; anything much larger is not ours.
constexpr std::size_t MAX_BYTES = 1024 * 1024;

// The lock held for all work on the file, and what it guards besides the file.
struct PendingFile {
    platform::Mutex mutex;
    // Whether this process has cleared what killed processes left of their rewrites.
    bool tidied LUMVEX_GUARDED_BY(mutex) = false;
};

PendingFile& pendingFile() {
    static platform::NoDestructor<PendingFile> file;
    return *file;
}

std::optional<std::string> pendingPath() {
    const auto directory = platform::cachesDirectory();
    if (!directory) {
        return std::nullopt;
    }
    return *directory + "/" + PendingUpload::FILENAME;
}

// The record in `content`, or nothing when it is not one that `save` wrote.
std::optional<PendingUpload> parse(std::string_view content) {
    if (content.empty() || content.back() != '\n') {
        return std::nullopt;
    }
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < content.size();) {
        const auto end = content.find('\n', start);
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() < 2) {
        return std::nullopt;
    }
    const auto magic = platform::base64Decode(lines[0]);
    if (!magic || *magic != MAGIC) {
        return std::nullopt;
    }
    PendingUpload pending;
    if (!lines[1].empty()) {
        const auto text = platform::base64Decode(lines[1]);
        if (!text || !platform::isValidUtf8(*text)) {
            return std::nullopt;
        }
        pending.description = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
        if (!pending.description.is_object() || pending.description.empty()) {
            return std::nullopt;
        }
    }
    for (std::size_t i = 2; i < lines.size(); ++i) {
        auto record = TraceRepository::recordFromLine(std::string(lines[i]));
        if (!record) {
            return std::nullopt;
        }
        pending.lines.emplace_back(lines[i]);
        pending.records.push_back(std::move(*record));
    }
    // An upload with nothing in it is never sent, so never recorded.
    if (pending.lines.empty() && pending.description.is_null()) {
        return std::nullopt;
    }
    return pending;
}

}  // namespace

std::optional<PendingUpload> PendingUpload::load() {
    const auto path = pendingPath();
    if (!path) {
        return std::nullopt;
    }
    std::optional<std::string> content;
    {
        platform::MutexLock guard(pendingFile().mutex);
        struct stat st {};
        if (::lstat(path->c_str(), &st) != 0 && errno == ENOENT) {
            return std::nullopt;
        }
        // Our own file only: not through a link planted in its place, nor from a FIFO.
        content = platform::readFileBounded(*path, MAX_BYTES, /*followLinks=*/false);
    }
    auto pending = content ? parse(*content) : std::nullopt;
    if (!pending) {
        LUMVEX_LOG_ERROR("load()", "Pending upload file unreadable, removed");
        discard();
    }
    return pending;
}

bool PendingUpload::save(const std::vector<std::string>& lines, const nlohmann::json& description) {
    const auto path = pendingPath();
    if (!path) {
        return false;
    }
    std::string content = platform::base64Encode(MAGIC) + "\n";
    if (description.is_object() && !description.empty()) {
        // The text that the upload's key was made from, so that a resend has the same key.
        content += platform::base64Encode(
            description.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    content += "\n";
    for (const auto& line : lines) {
        content += line;
        content += "\n";
    }
    std::string error;
    bool written = false;
    {
        auto& file = pendingFile();
        platform::MutexLock guard(file.mutex);
        if (!file.tidied) {
            platform::removeLeftoverTemporaries(*path);
            file.tidied = true;
        }
        written = platform::writeFileAtomically(*path, content, &error);
    }
    if (!written) {
        LUMVEX_LOG_ERROR("save(_:description:)", "Error while writing pending upload file : " + error);
    }
    return written;
}

void PendingUpload::discard() {
    const auto path = pendingPath();
    if (!path) {
        return;
    }
    bool removed = false;
    int reason = 0;
    {
        platform::MutexLock guard(pendingFile().mutex);
        removed = platform::removeFileDurably(*path);
        reason = errno;
    }
    if (!removed && reason != ENOENT) {
        LUMVEX_LOG_ERROR("discard()", "Error while removing pending upload file");
    }
}

}  // namespace lumvex
