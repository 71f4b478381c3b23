#include "LineReader.h"

#include "platform/Files.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace lumvex {

std::shared_ptr<LineReader> LineReader::open(const std::string& path) {
    // "e": the descriptor must not leak into a child the host may spawn meanwhile.
    std::FILE* file = std::fopen(path.c_str(), "re");
    if (!file) {
        return nullptr;
    }
    // A directory opens for reading but gives no lines; it is not a file to read.
    struct stat st {};
    if (::fstat(::fileno(file), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(file);
        return nullptr;
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
