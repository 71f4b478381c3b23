#include "platform/base/L.h"

#include "platform/base/Guarded.h"
#include "platform/base/NoDestructor.h"

#include <LumvexSdk/Platform.h>

#include <cstdio>
#include <memory>

namespace lumvex {

namespace {

using Handler = std::function<void(std::string_view)>;

// The host's handler, shared with every line under way: a line takes its own reference,
// so a handler replaced meanwhile lives until that line has been handed over, and the lock
// is not held while host code runs (a handler that logs, or sets another handler, would
// otherwise deadlock).
platform::Guarded<std::shared_ptr<const Handler>>& handlerSlot() {
    // Threads of the library may still log while the process exits.
    static platform::NoDestructor<platform::Guarded<std::shared_ptr<const Handler>>> slot;
    return *slot;
}

}  // namespace

std::atomic<bool> L::writeLog{false};

void L::debug(std::string_view message, std::int64_t line, std::string_view fileName,
              std::string_view funcName) {
    if (!writeLog.load(std::memory_order_relaxed)) {
        return;
    }
    write(message, line, fileName, funcName);
}

void L::write(std::string_view message, std::int64_t line, std::string_view fileName,
              std::string_view funcName) {
    const auto slash = fileName.rfind('/');
    const auto file = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    std::string text;
    text.reserve(file.size() + funcName.size() + message.size() + 24);
    text.append(file).append(":").append(funcName).append(":");
    text.append(std::to_string(line)).append(" ").append(message);
    const auto handler = handlerSlot().with([](const std::shared_ptr<const Handler>& h) { return h; });
    if (handler) {
        // Host code: what it throws must not reach the library's threads, nor the log
        // line's caller.
        try {
            (*handler)(text);
        } catch (...) {
        }
        return;
    }
    text.append("\n");
    // One fwrite holds the stream's lock for the whole line; a failed write is ignored.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void L::setHandler(std::function<void(std::string_view)> handler) {
    auto next = handler ? std::make_shared<const Handler>(std::move(handler)) : nullptr;
    // The old handler is released outside the lock: its captures are the host's.
    handlerSlot().with([&next](std::shared_ptr<const Handler>& h) { h.swap(next); });
}

std::string L::error(std::string_view text) {
    std::string out("ERROR: ");
    out.append(text).append("!!");
    return out;
}

namespace platform {

void setLogHandler(std::function<void(std::string_view line)> handler) {
    L::setHandler(std::move(handler));
}

}  // namespace platform

}  // namespace lumvex
