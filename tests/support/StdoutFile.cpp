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
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    ::unlink(path_.c_str());
}

std::string StdoutFile::text() const {
    std::fflush(stdout);
    return readFile(path_);
}

bool StdoutFile::waitFor(const std::string& needle, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return text().find(needle) != std::string::npos; }, timeout);
}

}  // namespace lumvex::test
