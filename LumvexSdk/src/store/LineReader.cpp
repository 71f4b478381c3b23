#include "store/LineReader.h"

#include "platform/base/Text.h"
#include "platform/system/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace lumvex {

std::shared_ptr<LineReader> LineReader::open(const std::string& path, std::size_t maxBytes) {
    // Only a regular file, never through a link and never waiting on a FIFO: the files
    // read here are our own, in a directory others may have planted things in.
    const int fd = platform::openOwnFile(path, O_RDONLY);
    if (fd < 0) {
        return nullptr;
    }
    // Callers tell a missing file from one they may not read by errno.
    auto refuse = [fd](int error) -> std::shared_ptr<LineReader> {
        ::close(fd);
        errno = error;
        return nullptr;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return refuse(errno);
    }
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) {
        return refuse(EFBIG);
    }
    std::FILE* file = ::fdopen(fd, "r");
    if (!file) {
        return refuse(errno);
    }
    return std::make_shared<LineReader>(Key{}, path, file);
}

LineReader::~LineReader() {
    close();
}

std::optional<std::string> LineReader::nextLine() {
    if (!file_) {
        return std::nullopt;
    }
    // A fresh buffer for every line: getline sizes it, so a line has no length limit.
    char* buffer = nullptr;
    std::size_t capacity = 0;
    const ssize_t read = ::getline(&buffer, &capacity, file_);
    std::optional<std::string> line;
    if (read >= 1) {
        const auto length = ::strnlen(buffer, static_cast<std::size_t>(read));
        line = platform::repairUtf8(std::string_view(buffer, length));
    }
    std::free(buffer);
    return line;
}

void LineReader::close() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

std::string LineReader::asWritten(std::string line, Place place) {
    if (place == Place::beforeMore && (line.empty() || line.back() != '\n')) {
        line += '\n';
    }
    return line;
}

LineReader::Iterator LineReader::begin() {
    return Iterator(shared_from_this());
}

LineReader::Iterator::Iterator(std::shared_ptr<LineReader> reader) : reader_(std::move(reader)) {
    current_ = reader_->nextLine();
}

LineReader::Iterator& LineReader::Iterator::operator++() {
    current_ = reader_ ? reader_->nextLine() : std::nullopt;
    return *this;
}

}  // namespace lumvex
