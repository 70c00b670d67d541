// Tests of the file layer: handles and their modes, reading, writing, lines,
// seeking, sizes, deletion and renaming.
#include "devlib/unix_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "tests/support/TestSupport.h"

using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

TEST(aFileOpen, ModesAndRefusals) {
    TempDir dir;
    std::string f = dir.file("f");
    EXPECT_EQ(nullptr, aFile_Open(f.c_str(), aFileModeRead)); // missing
    EXPECT_EQ(nullptr, aFile_Open(nullptr, aFileModeRead));
    EXPECT_EQ(nullptr, aFile_Open("", aFileModeWrite));
    EXPECT_EQ(nullptr, aFile_Open(f.c_str(), 3));
    EXPECT_EQ(nullptr, aFile_Open(f.c_str(), -1));
    EXPECT_EQ(nullptr, aFile_Open(dir.path().c_str(), aFileModeRead));
    std::string longPath = dir.path() + "/" + std::string(4100, 'n');
    EXPECT_EQ(nullptr, aFile_Open(longPath.c_str(), aFileModeWrite));
    EXPECT_EQ(ENAMETOOLONG, errno);
    EXPECT_EQ(nullptr, aFile_Open(f.c_str(), aFileModeRead));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_FALSE(aFile_Exists(longPath.c_str()));

    aFileHandle* h = aFile_Open(f.c_str(), aFileModeWrite);
    ASSERT_NE(nullptr, h);
    EXPECT_TRUE(aVALIDFILE(h));
    EXPECT_EQ(aErrNone, aFile_Printf(h, "%s-%d\n", "line", 7));
    EXPECT_EQ(aErrNone, aFile_Close(&h));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ("line-7\n", readFile(f));
    EXPECT_TRUE(aFile_Exists(f.c_str()));
    EXPECT_FALSE(aFile_Exists(dir.path().c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));

    // Append creates, reads, and writes at the end.
    std::string g = dir.file("g");
    h = aFile_Open(g.c_str(), aFileModeAppend);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(aErrNone, aFile_Write(h, "ab", 2, nullptr));
    ASSERT_EQ(aErrNone, aFile_Close(&h));
    ASSERT_TRUE(writeFile(f, "0123"));
    h = aFile_Open(f.c_str(), aFileModeAppend);
    ASSERT_NE(nullptr, h);
    size_t position = 99;
    EXPECT_EQ(aErrNone, aFile_GetPosition(h, &position));
    EXPECT_EQ(4u, position);
    EXPECT_EQ(aErrNone, aFile_Write(h, "45", 2, nullptr));
    EXPECT_EQ(aErrNone, aFile_Seek(h, 0, aSeekStart));
    char buffer[16] = {0};
    size_t count = 0;
    EXPECT_EQ(aErrNone, aFile_Read(h, buffer, sizeof buffer, &count));
    EXPECT_EQ("012345", std::string(buffer, count));
    ASSERT_EQ(aErrNone, aFile_Close(&h));
    EXPECT_EQ("ab", readFile(g));
}

TEST(aFileClose, InvalidAndClearedHandles) {
    TempDir dir;
    aFileHandle* h = aFile_Open(dir.file("f").c_str(), aFileModeWrite);
    ASSERT_NE(nullptr, h);
    ASSERT_EQ(aErrNone, aFile_Close(&h));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(aErrParam, aFile_Close(&h));
    EXPECT_EQ(nullptr, h);
    EXPECT_EQ(aErrParam, aFile_Close(nullptr));

    aFileHandle fake{nullptr, aFileModeRead, 0x1234};
    aFileHandle* p = &fake;
    EXPECT_EQ(aErrParam, aFile_Close(&p));
    EXPECT_EQ(nullptr, p);
    EXPECT_EQ(aErrParam, aFile_Read(&fake, &fake, 1, nullptr));
    EXPECT_EQ(aErrParam, aFile_Write(&fake, "x", 1, nullptr));
    EXPECT_EQ(aErrParam, aFile_Seek(&fake, 0, 0));
    EXPECT_EQ(aErrParam, aFile_Printf(nullptr, "x"));
}

TEST(aFileReadWrite, CountsEndOfFileAndModes) {
    TempDir dir;
    std::string f = dir.file("f");
    ASSERT_TRUE(writeFile(f, "0123456789abcd"));
    aFileHandle* h = aFile_Open(f.c_str(), aFileModeRead);
    ASSERT_NE(nullptr, h);
    size_t position = 99;
    EXPECT_EQ(aErrNone, aFile_GetPosition(h, &position));
    EXPECT_EQ(0u, position);
    char buffer[32];
    size_t count = 0;
    ASSERT_EQ(aErrNone, aFile_Seek(h, 10, aSeekStart));
    EXPECT_EQ(aErrNone, aFile_Read(h, buffer, 10, &count));
    EXPECT_EQ(4u, count);
    EXPECT_EQ("abcd", std::string(buffer, count));
    EXPECT_EQ(aErrEOF, aFile_Read(h, buffer, 10, &count));
    EXPECT_EQ(0u, count);
    EXPECT_EQ(aErrNone, aFile_Read(h, buffer, 0, &count));
    EXPECT_EQ(aErrParam, aFile_Read(h, nullptr, 10, &count));
    EXPECT_EQ(aErrMode, aFile_Write(h, "x", 1, &count));
    EXPECT_EQ(aErrMode, aFile_Printf(h, "x"));
    EXPECT_EQ(aErrMode, aFile_SetUnbuffered(h));
    EXPECT_EQ(aErrMode, aFile_Sync(h));
    ASSERT_EQ(aErrNone, aFile_Close(&h));
    EXPECT_EQ("0123456789abcd", readFile(f));

    h = aFile_Open(f.c_str(), aFileModeWrite);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ("", readFile(f)); // truncated
    EXPECT_EQ(aErrMode, aFile_Read(h, buffer, 1, &count));
    EXPECT_EQ(aErrMode, aFile_ReadLine(h, buffer, sizeof buffer, &count));
    EXPECT_EQ(aErrParam, aFile_Write(h, nullptr, 1, &count));
    EXPECT_EQ(aErrNone, aFile_SetUnbuffered(h));
    EXPECT_EQ(aErrNone, aFile_Write(h, "xyz", 3, &count));
    EXPECT_EQ(3u, count);
    EXPECT_EQ("xyz", readFile(f)); // unbuffered: already on disk
    EXPECT_EQ(aErrNone, aFile_Sync(h));
    ASSERT_EQ(aErrNone, aFile_Close(&h));
}

TEST(aFileReadLine, LinesAndOverruns) {
    TempDir dir;
    std::string f = dir.file("lines");
    ASSERT_TRUE(writeFile(f, "abcdef\nabcdefg\nx\r\nlast"));
    aFileHandle* h = aFile_Open(f.c_str(), aFileModeRead);
    ASSERT_NE(nullptr, h);
    char buffer[8];
    size_t length = 99;
    EXPECT_EQ(aErrNone, aFile_ReadLine(h, buffer, sizeof buffer, &length));
    EXPECT_STREQ("abcdef\n", buffer);
    EXPECT_EQ(7u, length);
    EXPECT_EQ(aErrOverrun, aFile_ReadLine(h, buffer, sizeof buffer, &length));
    EXPECT_STREQ("abcdefg", buffer);
    EXPECT_EQ(7u, length);
    // The rest of the over-long line comes next.
    EXPECT_EQ(aErrNone, aFile_ReadLine(h, buffer, sizeof buffer, &length));
    EXPECT_STREQ("\n", buffer);
    EXPECT_EQ(aErrNone, aFile_ReadLine(h, buffer, sizeof buffer, &length));
    EXPECT_STREQ("x\r\n", buffer);
    EXPECT_EQ(aErrNone, aFile_ReadLine(h, buffer, sizeof buffer, &length));
    EXPECT_STREQ("last", buffer);
    EXPECT_EQ(aErrEOF, aFile_ReadLine(h, buffer, sizeof buffer, &length));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(0u, length);
    EXPECT_EQ(aErrParam, aFile_ReadLine(h, nullptr, 8, &length));
    EXPECT_EQ(aErrParam, aFile_ReadLine(h, buffer, 1, &length));
    ASSERT_EQ(aErrNone, aFile_Close(&h));
}

TEST(aFileSeek, RangeAndOrigins) {
    TempDir dir;
    std::string f = dir.file("f");
    ASSERT_TRUE(writeFile(f, "0123456789"));
    aFileHandle* h = aFile_Open(f.c_str(), aFileModeRead);
    ASSERT_NE(nullptr, h);
    size_t size = 0;
    ASSERT_EQ(aErrNone, aFile_GetSize(h, &size));
    EXPECT_EQ(10u, size);
    EXPECT_EQ(aErrParam, aFile_GetSize(h, nullptr));

    struct SeekCase {
        long offset;
        int origin;
        aErr expected;
        size_t position; // afterwards
    };
    const SeekCase cases[] = {
        {3, aSeekStart, aErrNone, 3},
        {11, aSeekStart, aErrRange, 3},
        {10, aSeekStart, aErrNone, 10},
        {-1, aSeekStart, aErrRange, 10},
        {-4, aSeekCurrent, aErrNone, 6},
        {5, aSeekCurrent, aErrRange, 6},
        {4, aSeekCurrent, aErrNone, 10},
        {0, aSeekEnd, aErrNone, 10},
        {1, aSeekEnd, aErrRange, 10},
        {-10, aSeekEnd, aErrNone, 0},
        {-11, aSeekEnd, aErrRange, 0},
        {0, 7, aErrParam, 0},
        {0x7FFFFFFFFFFFFFFFL, aSeekCurrent, aErrRange, 0},
    };
    for (const SeekCase& c : cases) {
        EXPECT_EQ(c.expected, aFile_Seek(h, c.offset, c.origin)) << c.offset << " " << c.origin;
        size_t position = 99;
        EXPECT_EQ(aErrNone, aFile_GetPosition(h, &position));
        EXPECT_EQ(c.position, position) << c.offset << " " << c.origin;
    }
    // The size query leaves the position alone.
    ASSERT_EQ(aErrNone, aFile_Seek(h, 2, aSeekStart));
    ASSERT_EQ(aErrNone, aFile_GetSize(h, &size));
    size_t position = 0;
    EXPECT_EQ(aErrNone, aFile_GetPosition(h, &position));
    EXPECT_EQ(2u, position);
    EXPECT_EQ(aErrNone, aFile_GetPosition(h, nullptr));
    ASSERT_EQ(aErrNone, aFile_Close(&h));
}

// Output errors surface as aErrIO where the system reports them: at once
// when unbuffered, else when the buffer is flushed.
TEST(aFileWrite, DeviceFullIsAnError) {
    if (!aFile_Exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    aFileHandle* h = aFile_Open("/dev/full", aFileModeWrite);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(aErrNone, aFile_Write(h, "abc", 3, nullptr)); // still in the buffer
    EXPECT_EQ(aErrIO, aFile_Sync(h));
    ASSERT_EQ(aErrNone, aFile_SetUnbuffered(h));
    size_t written = 99;
    EXPECT_EQ(aErrIO, aFile_Write(h, "abc", 3, &written));
    EXPECT_EQ(0u, written);
    EXPECT_EQ(aErrIO, aFile_Printf(h, "%d", 12345));
    // The handle stays open and usable after the failures.
    EXPECT_TRUE(aVALIDFILE(h));
    aFile_Close(&h); // may report what is still buffered
    EXPECT_EQ(nullptr, h);
}

TEST(aFileDelete, Results) {
    TempDir dir;
    std::string f = dir.file("f");
    ASSERT_TRUE(writeFile(f, "x"));
    EXPECT_EQ(aErrNone, aFile_Delete(f.c_str()));
    EXPECT_FALSE(aFile_Exists(f.c_str()));
    EXPECT_EQ(aErrNotFound, aFile_Delete(f.c_str()));
    EXPECT_EQ(aErrParam, aFile_Delete(nullptr));
    std::string longPath(4097, 'd');
    EXPECT_EQ(aErrFileNameLength, aFile_Delete(longPath.c_str()));
    // A directory is not a file.
    EXPECT_NE(aErrNone, aFile_Delete(dir.path().c_str()));
}

TEST(aFileRename, ReplacesTheTarget) {
    TempDir dir;
    ASSERT_TRUE(writeFile(dir.file("new"), "new"));
    ASSERT_TRUE(writeFile(dir.file("old"), "old"));
    EXPECT_EQ(aErrNone, aFile_Rename(dir.file("new").c_str(), dir.file("old").c_str()));
    EXPECT_EQ("new", readFile(dir.file("old")));
    EXPECT_FALSE(aFile_Exists(dir.file("new").c_str()));
    EXPECT_EQ(aErrNotFound, aFile_Rename(dir.file("new").c_str(), dir.file("old").c_str()));
    EXPECT_EQ(aErrParam, aFile_Rename(nullptr, dir.file("old").c_str()));
    EXPECT_EQ(aErrNone, aFile_SyncDirectory(dir.path().c_str()));
    EXPECT_EQ(aErrNotFound, aFile_SyncDirectory(dir.file("missing").c_str()));
}

} // namespace
