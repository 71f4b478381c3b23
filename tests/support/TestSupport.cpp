#include "TestSupport.h"

#include "platform/system/Identity.h"

#include <LumvexSdk/Platform.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

extern char** environ;

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
    platform::forgetIdentity();
    platform::setMainBundleDirectory(bundleDir());
}

IsolatedHome::~IsolatedHome() {
    platform::setMainBundleDirectory("");
    platform::forgetIdentity();
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

ChildProcess::ChildProcess(std::vector<std::string> argv, bool input, bool keepOutput) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if ((input && ::pipe2(in, O_CLOEXEC) != 0) || (keepOutput && ::pipe2(out, O_CLOEXEC) != 0)) {
        return;
    }
    std::vector<char*> args;
    for (auto& a : argv) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (input) {
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    }
    if (keepOutput) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    }
    pid_t pid = -1;
    if (::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        pid_ = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (input) {
        ::close(in[0]);
        input_ = in[1];
    }
    if (keepOutput) {
        ::close(out[1]);
        outputFd_ = out[0];
    }
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    closeInput();
    if (outputFd_ >= 0) {
        ::close(outputFd_);
    }
}

void ChildProcess::closeInput() {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) {
        return -1;
    }
    // Readable when the child has ended.
    const int ended = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool killed = false;
    bool exited = false;
    while (!exited) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (ended < 0) {
            break;  // no pidfd here: waitpid alone, without the bound
        }
        if (left <= 0) {
            ::kill(pid_, SIGKILL);
            killed = true;
            break;
        }
        pollfd fds[2] = {{ended, POLLIN, 0}, {outputFd_, POLLIN, 0}};
        if (::poll(fds, outputFd_ >= 0 ? 2 : 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            continue;
        }
        exited = (fds[0].revents & POLLIN) != 0;
        if (outputFd_ >= 0 && (fds[1].revents & (POLLIN | POLLHUP))) {
            char buffer[4096];
            const auto n = ::read(outputFd_, buffer, sizeof(buffer));
            if (n > 0) {
                output_.append(buffer, static_cast<std::size_t>(n));
            } else {
                ::close(outputFd_);  // all read; only the exit is left to wait for
                outputFd_ = -1;
            }
        }
    }
    if (ended >= 0) {
        ::close(ended);
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (outputFd_ >= 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(outputFd_, buffer, sizeof(buffer))) > 0) {
            output_.append(buffer, static_cast<std::size_t>(n));
        }
    }
    return killed ? -1 : status;
}

}  // namespace lumvex::test
