#include "platform/base/L.h"

#include "platform/base/NoDestructor.h"
#include "platform/base/ThreadAnnotations.h"

#include <LumvexSdk/Platform.h>

#include <condition_variable>
#include <cstdio>
#include <memory>

namespace lumvex {

namespace {

// One handler the host set, and how many lines are inside it right now.
struct Installed {
    explicit Installed(L::Handler h) : handler(std::move(h)) {}
    const L::Handler handler;
    int inside = 0;  // guarded by the slot's mutex
};

// The host's handler. A line takes its own reference and counts itself in, so that the lock
// is not held while host code runs (a handler that logs, or sets another handler, would
// otherwise deadlock), and a replacement can wait until the old handler is left.
struct HandlerSlot {
    platform::Mutex mutex;
    std::condition_variable left;  // a line left a handler
    std::shared_ptr<Installed> current LUMVEX_GUARDED_BY(mutex);
};

HandlerSlot& handlerSlot() {
    // Threads of the library may still log while the process exits.
    static platform::NoDestructor<HandlerSlot> slot;
    return *slot;
}

// The handler this thread is inside, and how deep: a handler that replaces itself, or logs
// through the library and so enters itself again, must not wait for its own lines.
thread_local const Installed* insideHere = nullptr;
thread_local int depthHere = 0;

// Counts one line in for its handler until the line is handed over, also when the handler
// ends the thread by unwinding it.
class Inside {
public:
    Inside(HandlerSlot& slot, std::shared_ptr<Installed> installed)
        : slot_(slot), installed_(std::move(installed)), outer_(insideHere), outerDepth_(depthHere) {
        if (insideHere != installed_.get()) {
            insideHere = installed_.get();
            depthHere = 0;
        }
        ++depthHere;
    }
    ~Inside() {
        insideHere = outer_;
        depthHere = outerDepth_;
        platform::MutexLock lock(slot_.mutex);
        if (--installed_->inside == 0) {
            slot_.left.notify_all();
        }
    }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    const L::Handler& handler() const { return installed_->handler; }

private:
    HandlerSlot& slot_;
    std::shared_ptr<Installed> installed_;
    const Installed* outer_;
    int outerDepth_;
};

L::Level levelOf(std::string_view message) {
    return message.rfind("ERROR: ", 0) == 0 ? L::Level::LEVEL_ERROR : L::Level::LEVEL_INFO;
}

void emit(L::Level level, std::string_view message, std::int64_t line, std::string_view fileName,
          std::string_view funcName) {
    const auto slash = fileName.rfind('/');
    const auto file = slash == std::string_view::npos ? fileName : fileName.substr(slash + 1);
    std::string text;
    text.reserve(file.size() + funcName.size() + message.size() + 24);
    text.append(file).append(":").append(funcName).append(":");
    text.append(std::to_string(line)).append(" ").append(message);
    auto& slot = handlerSlot();
    std::shared_ptr<Installed> installed;
    {
        platform::MutexLock lock(slot.mutex);
        installed = slot.current;
        if (installed) {
            ++installed->inside;
        }
    }
    if (installed) {
        const Inside inside(slot, std::move(installed));
        platform::callHostCode([&] { inside.handler()(level, text); });
        return;
    }
    text.append("\n");
    // One fwrite holds the stream's lock for the whole line; a failed write is ignored.
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

}  // namespace

std::atomic<bool> L::writeLog{false};

void L::debug(std::string_view message, std::int64_t line, std::string_view fileName,
              std::string_view funcName) {
    if (!writeLog.load(std::memory_order_relaxed)) {
        return;
    }
    emit(levelOf(message), message, line, fileName, funcName);
}

void L::debug(Level level, std::string_view message, std::int64_t line, std::string_view fileName,
              std::string_view funcName) {
    if (!writeLog.load(std::memory_order_relaxed)) {
        return;
    }
    emit(level, message, line, fileName, funcName);
}

void L::write(std::string_view message, std::int64_t line, std::string_view fileName,
              std::string_view funcName) {
    emit(levelOf(message), message, line, fileName, funcName);
}

void L::setHandler(Handler handler) {
    auto next = handler ? std::make_shared<Installed>(std::move(handler)) : nullptr;
    auto& slot = handlerSlot();
    {
        platform::MutexLock lock(slot.mutex);
        next.swap(slot.current);
        // `next` is the old one now. Lines already inside it finish there; the host may
        // tear down what it uses once this returns. This thread's own lines inside it (a
        // handler that replaces itself) are not waited for. Ended only by those lines
        // returning: a handler that never returns holds this call as it holds its thread.
        if (next) {
            const int own = insideHere == next.get() ? depthHere : 0;
            const auto* old = next.get();
            slot.left.wait(lock.native(),
                           [old, own]() LUMVEX_NO_THREAD_SAFETY_ANALYSIS { return old->inside <= own; });
        }
    }
    // The old handler is released outside the lock: its captures are the host's.
}

namespace {
thread_local std::string* refusalSink = nullptr;
}  // namespace

void L::keepRefusals(std::string* sink) {
    refusalSink = sink;
}

void L::noteRefusal(std::string_view cause) {
    if (refusalSink) {
        refusalSink->assign(cause);
    }
}

std::string L::error(std::string_view text) {
    std::string out("ERROR: ");
    out.append(text).append("!!");
    return out;
}

namespace platform {

void setLogHandler(std::function<void(std::string_view line)> handler) {
    if (!handler) {
        L::setHandler(nullptr);
        return;
    }
    L::setHandler([handler = std::move(handler)](LogLevel, std::string_view line) { handler(line); });
}

void setLogHandlerWithLevel(std::function<void(LogLevel level, std::string_view line)> handler) {
    L::setHandler(std::move(handler));
}

}  // namespace platform

}  // namespace lumvex
