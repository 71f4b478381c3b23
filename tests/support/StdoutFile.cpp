#include "StdoutFile.h"

#include "TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace lumvex::test {

StdoutFile::StdoutFile() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumvex-stdout-XXXXXX").string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        throw std::runtime_error("mkstemp failed");
    }
    path_ = pattern;
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

StdoutFile::~StdoutFile() {
    const auto captured = text();
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    std::fwrite(captured.data(), 1, captured.size(), stdout);
    std::fflush(stdout);
    ::unlink(path_.c_str());
}

std::string StdoutFile::text() const {
    std::fflush(stdout);
    return readFile(path_);
}

std::size_t StdoutFile::count(const std::string& needle) const {
    const auto haystack = text();
    std::size_t n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

bool StdoutFile::waitFor(const std::string& needle, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return text().find(needle) != std::string::npos; }, timeout);
}

}  // namespace lumvex::test
