#include "TestSupport.h"

#include <LumvexSdk/Platform.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace lumvex::test {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "lumvex-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    // Make everything writable again so that tests that removed permissions clean up.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

IsolatedHome::IsolatedHome() {
    if (const char* old = std::getenv("XDG_CACHE_HOME")) {
        hadXdg_ = true;
        oldXdg_ = old;
    }
    ::setenv("XDG_CACHE_HOME", dir_.file("cache").c_str(), 1);
    fs::create_directories(bundleDir());
    writeInfoPlist("<key>CFBundleIdentifier</key><string>com.example.host</string>");
    platform::setMainBundleDirectory(bundleDir());
}

IsolatedHome::~IsolatedHome() {
    platform::setMainBundleDirectory("");
    if (hadXdg_) {
        ::setenv("XDG_CACHE_HOME", oldXdg_.c_str(), 1);
    } else {
        ::unsetenv("XDG_CACHE_HOME");
    }
}

std::string IsolatedHome::cachesDir() const {
    return dir_.file("cache") + "/com.example.host";
}

void IsolatedHome::writeInfoPlist(const std::string& entries) const {
    writeFile(bundleDir() + "/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
              "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
              "<plist version=\"1.0\"><dict>" +
                  entries + "</dict></plist>\n");
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void appendToFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out << content;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
}

StdoutCapture::~StdoutCapture() {
    text();
}

std::string StdoutCapture::text() {
    if (active_) {
        std::fflush(stdout);
        text_ = testing::internal::GetCapturedStdout();
        active_ = false;
    }
    return text_;
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::chrono::milliseconds stressBudget(std::chrono::milliseconds fallback) {
    if (const char* text = std::getenv("LUMVEX_STRESS_SECONDS")) {
        const long seconds = std::strtol(text, nullptr, 10);
        if (seconds > 0) {
            return std::chrono::seconds(seconds);
        }
    }
    return fallback;
}

bool finishesWithoutBlocking(const std::function<void()>& work, const std::vector<std::string>& fifos,
                             std::chrono::milliseconds timeout) {
    auto done = std::make_shared<Signal>();
    std::thread worker([&work, done] {
        work();
        done->notify();
    });
    const bool finished = done->wait(timeout);
    while (!done->wait(std::chrono::milliseconds(50))) {
        for (const auto& fifo : fifos) {
            // Either end may be the one the work waits for.
            for (const int flags : {O_WRONLY | O_NONBLOCK, O_RDONLY | O_NONBLOCK}) {
                const int fd = ::open(fifo.c_str(), flags | O_CLOEXEC);
                if (fd >= 0) {
                    ::close(fd);
                }
            }
        }
    }
    worker.join();
    return finished;
}

void Signal::notify() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++count_;
    cv_.notify_all();
}

bool Signal::wait(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return count_ > 0; });
}

int Signal::count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return count_;
}

}  // namespace lumvex::test
