#include "L.h"

#include <cstdio>

namespace lumvex {

std::atomic<bool> L::writeLog{false};

void L::debug(std::string_view message, std::int64_t line, std::string_view fileName,
              std::string_view funcName) {
    if (!writeLog.load(std::memory_order_relaxed)) {
        return;
    }
    const auto slash = fileName.rfind('/');
    const auto file = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    std::string text;
    text.reserve(file.size() + funcName.size() + message.size() + 24);
    text.append(file).append(":").append(funcName).append(":");
    text.append(std::to_string(line)).append(" ").append(message).append("\n");
    // One fwrite holds the stream's lock for the whole line; a failed write is ignored.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string L::error(std::string_view text) {
    std::string out("ERROR: ");
    out.append(text).append("!!");
    return out;
}

}  // namespace lumvex
