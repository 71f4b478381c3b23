#include "store/LineReader.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <string>
#include <vector>

using namespace lumvex;
using namespace lumvex::test;

namespace {

std::vector<std::string> readAll(const std::shared_ptr<LineReader>& reader) {
    std::vector<std::string> lines;
    for (const auto& line : *reader) {
        lines.push_back(line);
    }
    return lines;
}

std::shared_ptr<LineReader> readerOn(const TempDir& dir, const std::string& content) {
    writeFile(dir.file("lines"), content);
    return LineReader::open(dir.file("lines"));
}

// Descriptors this process has open; a leaked or doubly closed stream changes the count.
int openDescriptors() {
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d)) {
            ++count;
        }
        ::closedir(d);
    }
    return count;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(LineReader, GivesNoReaderForAPathThatCannotBeOpened) {
    TempDir dir;
    EXPECT_FALSE(LineReader::open(dir.file("missing")));
    EXPECT_FALSE(LineReader::open(""));
    // The C library opens a directory for reading; it has no lines to give.
    EXPECT_FALSE(LineReader::open(dir.path()));
}

TEST(LineReader, LinesKeepTheirLineFeedAndTheLastMayLackOne) {
    TempDir dir;
    EXPECT_EQ(readAll(readerOn(dir, "")), Lines{});
    EXPECT_EQ(readAll(readerOn(dir, "a\nb")), (Lines{"a\n", "b"}));
    EXPECT_EQ(readAll(readerOn(dir, "a\n\nb\n")), (Lines{"a\n", "\n", "b\n"}));
    EXPECT_EQ(readAll(readerOn(dir, "a\r\n")), (Lines{"a\r\n"}));
    auto reader = readerOn(dir, "x\n");
    EXPECT_EQ(reader->path(), dir.file("lines"));
}

TEST(LineReader, ReadsALineOfAnyLength) {
    TempDir dir;
    const std::string longLine(1 << 20, 'q');
    EXPECT_EQ(readAll(readerOn(dir, longLine + "\nend")), (Lines{longLine + "\n", "end"}));
}

TEST(LineReader, ANulCutsItsLineAndBadUtf8BecomesReplacementCharacters) {
    TempDir dir;
    EXPECT_EQ(readAll(readerOn(dir, std::string("ab\0cd\nnext\n", 11))), (Lines{"ab", "next\n"}));
    EXPECT_EQ(readAll(readerOn(dir, "a\xff\xc3\n\xe2\x82\xac\n")),
              (Lines{"a\xef\xbf\xbd\xef\xbf\xbd\n", "\xe2\x82\xac\n"}));
}

TEST(LineReader, IsSinglePass) {
    TempDir dir;
    auto reader = readerOn(dir, "1\n2\n3\n");
    EXPECT_EQ(reader->nextLine(), std::optional<std::string>("1\n"));
    // Iteration continues where the last read stopped, and a second one gives nothing.
    EXPECT_EQ(readAll(reader), (Lines{"2\n", "3\n"}));
    EXPECT_EQ(readAll(reader), Lines{});
    EXPECT_EQ(reader->nextLine(), std::nullopt);
}

TEST(LineReader, AnIteratorKeepsItsReaderAlive) {
    TempDir dir;
    auto reader = readerOn(dir, "1\n2\n");
    auto it = reader->begin();
    reader.reset();
    ASSERT_NE(it, LineReader::Iterator());
    EXPECT_EQ(*it, "1\n");
    ++it;
    EXPECT_EQ(*it, "2\n");
    ++it;
    EXPECT_EQ(it, LineReader::Iterator());
}

TEST(LineReader, ClosesItsStreamExactlyOnce) {
    TempDir dir;
    writeFile(dir.file("lines"), "1\n2\n");
    const int before = openDescriptors();
    {
        auto reader = LineReader::open(dir.file("lines"));
        EXPECT_EQ(openDescriptors(), before + 1);
        reader->close();
        EXPECT_EQ(openDescriptors(), before);
        // A descriptor opened now may reuse the number; a second close would take it.
        auto other = LineReader::open(dir.file("lines"));
        reader->close();
        EXPECT_EQ(reader->nextLine(), std::nullopt);
        reader.reset();
        EXPECT_EQ(other->nextLine(), std::optional<std::string>("1\n"));
    }
    EXPECT_EQ(openDescriptors(), before);
    {
        auto unclosed = LineReader::open(dir.file("lines"));
        EXPECT_EQ(openDescriptors(), before + 1);
    }
    EXPECT_EQ(openDescriptors(), before);
}
