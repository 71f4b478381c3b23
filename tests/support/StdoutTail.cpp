#include "StdoutTail.h"

#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace lumvex::test {

StdoutTail::StdoutTail() {
    char pattern[] = "/tmp/lumvex-stdout-XXXXXX";
    const int fd = ::mkstemp(pattern);
    if (fd < 0) {
        return;
    }
    path_ = pattern;
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    ::close(fd);
}

StdoutTail::~StdoutTail() {
    // What was captured goes on to the real output afterwards, test failures included.
    const auto captured = text();
    if (saved_ >= 0) {
        ::dup2(saved_, STDOUT_FILENO);
        ::close(saved_);
    }
    std::fwrite(captured.data(), 1, captured.size(), stdout);
    std::fflush(stdout);
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

std::string StdoutTail::text() const {
    std::fflush(stdout);
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t StdoutTail::count(const std::string& needle) const {
    const auto haystack = text();
    std::size_t n = 0;
    for (auto at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

}  // namespace lumvex::test
