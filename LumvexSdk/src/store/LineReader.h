#pragma once

// Thread guarantees: a reader is used by one thread at a time; separate readers, even of
// the same file, are independent. `asWritten` is safe from any thread.

#include <cstddef>
#include <cstdio>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

namespace lumvex {

/// Reads a text file one line at a time, so a caller can walk a file without loading it
/// whole. A single-pass sequence: every iterator reads from the same stream, so a second
/// iteration continues where the first stopped (at the end, it gives nothing).
///
/// Each line keeps its line feed when it has one; a NUL byte ends the line's text, and
/// bytes that are not UTF-8 come back as U+FFFD. The reader owns its stream and closes it
/// exactly once, by `close()` or when the last reference goes.
class LineReader final : public std::enable_shared_from_this<LineReader> {
public:
    /// A reader on the regular file at `path`, or nothing when it cannot be opened for
    /// reading, is a symbolic link, a FIFO or anything else but a regular file, or holds
    /// more than `maxBytes`.
    static std::shared_ptr<LineReader> open(const std::string& path,
                                            std::size_t maxBytes = static_cast<std::size_t>(-1));

    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    const std::string& path() const { return path_; }

    /// Consumes and gives the next line; nothing at the end of the file, on a read error
    /// or once the reader is closed.
    std::optional<std::string> nextLine();

    /// Closes the stream; later reads give nothing.
    void close();

    /// Where a line goes back into a file: last, or with more lines after it.
    enum class Place { last, beforeMore };

    /// `line`, as this reader gave it, as it is written back into a file at `place`. A line cut at a NUL byte
    /// lost its line feed with the rest of its text: without one put back, the next line would be glued onto
    /// it and lost with it. A line that had no line feed can only have been the last, so adding one changes
    /// nothing else.
    static std::string asWritten(std::string line, Place place);

    /// Input iterator over the remaining lines. It holds the reader alive.
    class Iterator {
    public:
        using iterator_category = std::input_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::string*;
        using reference = const std::string&;

        Iterator() = default;
        reference operator*() const { return *current_; }
        pointer operator->() const { return &*current_; }
        Iterator& operator++();
        void operator++(int) { ++*this; }
        // Only "at the end or not" is meaningful for a single-pass sequence.
        bool operator==(const Iterator& other) const { return !current_ == !other.current_; }
        bool operator!=(const Iterator& other) const { return !(*this == other); }

    private:
        friend class LineReader;
        explicit Iterator(std::shared_ptr<LineReader> reader);

        std::shared_ptr<LineReader> reader_;
        std::optional<std::string> current_;
    };

    /// Starts reading at the first line not yet consumed.
    Iterator begin();
    Iterator end() { return Iterator(); }

private:
    struct Key {};

public:
    LineReader(Key, std::string path, std::FILE* file) : path_(std::move(path)), file_(file) {}

private:
    const std::string path_;
    std::FILE* file_;
};

}  // namespace lumvex
