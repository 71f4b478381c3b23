#include "LineTap.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>

namespace lumvex::harness {

LineTap::LineTap(int fd, std::function<void(const std::string&)> onLine, const char* threadName)
    : fd_(fd), onLine_(std::move(onLine)), thread_([this, threadName] { run(threadName); }) {}

LineTap::~LineTap() {
    join();
}

void LineTap::join() {
    std::lock_guard<std::mutex> guard(joining_);
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LineTap::run(const char* threadName) {
    if (threadName) {
        ::pthread_setname_np(::pthread_self(), threadName);
    }
    std::string pending;
    char chunk[4096];
    while (true) {
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        std::string::size_type eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            if (onLine_) {
                onLine_(line);
            }
            std::lock_guard<std::mutex> guard(mutex_);
            lines_.push_back(std::move(line));
            changed_.notify_all();
        }
    }
    ::close(fd_);
    std::lock_guard<std::mutex> guard(mutex_);
    if (!pending.empty()) {
        lines_.push_back(pending);
    }
    ended_ = true;
    changed_.notify_all();
}

bool LineTap::waitFor(const std::function<bool(const std::string&)>& match,
                      std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t checked = 0;
    bool found = false;
    changed_.wait_for(lock, timeout, [&] {
        for (; checked < lines_.size() && !found; ++checked) {
            found = match(lines_[checked]);
        }
        return found || ended_;
    });
    return found;
}

std::vector<std::string> LineTap::lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
}

}  // namespace lumvex::harness
