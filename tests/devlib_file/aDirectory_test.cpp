// Tests of the directory and path layer: path building into buffers and
// strings, directory creation, listing and deletion, and the home directory.
#include "devlib/aDirectory.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

using testsupport::TempDir;

namespace {

struct BuildCase {
    size_t size;
    std::vector<const char*> components;
    aErr expected;
    const char* result;
};

aErr buildInto(char* buffer, size_t size, const std::vector<const char*>& c) {
    // Up to eleven components plus the terminating null.
    const char* a[12] = {nullptr};
    for (size_t i = 0; i < c.size() && i < 11; ++i)
        a[i] = c[i];
    return aDirectory_BuildPath(buffer, size, a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8],
                                a[9], a[10], nullptr);
}

TEST(aDirectoryBuildPath, Table) {
    const BuildCase cases[] = {
        {64, {"/home/u/", "store"}, aErrNone, "/home/u/store"},
        {64, {"/home/u", "/store"}, aErrNone, "/home/u/store"},
        {64, {"/home/u", "store"}, aErrNone, "/home/u/store"},
        {64, {"a", "", "b"}, aErrNone, "a/b"},
        {64, {"a", "b", "c", "d"}, aErrNone, "a/b/c/d"},
        {64, {"", "store"}, aErrNone, "store"},
        {64, {"only"}, aErrNone, "only"},
        {8, {"abcdefg"}, aErrOverrun, ""},
        {8, {"abcdef"}, aErrNone, "abcdef"},
        {8, {"abcde", "x"}, aErrOverrun, "abcde/"},
        {8, {"abcd", "x"}, aErrNone, "abcd/x"},
        {8, {"abcd", "xyz"}, aErrOverrun, "abcd/"},
        {64, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, aErrNone, "1/2/3/4/5/6/7/8/9/10"},
        {64, {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"}, aErrParam, ""},
    };
    for (const BuildCase& c : cases) {
        std::vector<char> buffer(c.size, 'Z');
        aErr error = buildInto(buffer.data(), c.size, c.components);
        std::string joined;
        for (const char* s : c.components)
            joined += std::string("[") + s + "]";
        EXPECT_EQ(c.expected, error) << joined;
        EXPECT_STREQ(c.result, buffer.data()) << joined;
    }
}

TEST(aDirectoryBuildPath, BadArguments) {
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(nullptr, 10, "a", "b", nullptr));
    char buffer[16] = "abc";
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buffer, 0, "a", nullptr));
    EXPECT_EQ(aErrParam, aDirectory_BuildPath(buffer, sizeof buffer, "x", buffer, nullptr));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(aErrNone, aDirectory_JoinPath(buffer, sizeof buffer, "dir", "file"));
    EXPECT_STREQ("dir/file", buffer);
}

TEST(aDirectoryBuildPath, LongComponentsNeverOverflow) {
    std::string huge(10000, 'q');
    char buffer[32];
    char guard[8];
    memset(guard, 0x5A, sizeof guard);
    EXPECT_EQ(aErrOverrun, aDirectory_JoinPath(buffer, sizeof buffer, huge.c_str(), "x"));
    EXPECT_EQ(aErrOverrun, aDirectory_JoinPath(buffer, sizeof buffer, "x", huge.c_str()));
    EXPECT_STREQ("x/", buffer);
    for (char g : guard)
        EXPECT_EQ(0x5A, g);
}

TEST(BuildPathString, AlwaysInsertsTheSeparator) {
    EXPECT_EQ("/home/u//.store", BuildPath("/home/u/", ".store", nullptr));
    EXPECT_EQ("a/b/c", BuildPath("a", "b", "c", nullptr));
    EXPECT_EQ("a//b", BuildPath("a", "", "b", nullptr));
    EXPECT_EQ("only", BuildPath("only", nullptr));
    EXPECT_EQ("", BuildPath(nullptr));
    std::string big(5000, 'p');
    EXPECT_EQ(big + "/" + big, BuildPath(big.c_str(), big.c_str(), nullptr));
    const char* many[12] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11"};
    EXPECT_EQ("0/1/2/3/4/5/6/7/8/9/10/11",
              BuildPath(many[0], many[1], many[2], many[3], many[4], many[5], many[6], many[7],
                        many[8], many[9], many[10], many[11], nullptr));
}

TEST(backwardsMemcmp, FindsTheLastOccurrence) {
    const char* s = "abcabc";
    EXPECT_EQ(s + 3, backwards_memcmp(s, "abc"));
    EXPECT_EQ(s + 5, backwards_memcmp(s, "c"));
    EXPECT_EQ(s, backwards_memcmp(s, ""));
    EXPECT_EQ(nullptr, backwards_memcmp(s, "abd"));
    EXPECT_EQ(nullptr, backwards_memcmp("ab", "abc"));
    EXPECT_EQ(nullptr, backwards_memcmp(nullptr, "a"));
}

mode_t modeOf(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return 0;
    return st.st_mode & 07777;
}

TEST(aDirectoryEnsure, CreatesMissingParentsWithTheMode) {
    TempDir dir;
    mode_t old = umask(022);
    std::string a = dir.file("a");
    ASSERT_EQ(aErrNone, aDirectory_Ensure((a + "/b/c").c_str(), 0755));
    EXPECT_TRUE(aDirectory_Exists(a.c_str()));
    EXPECT_TRUE(aDirectory_Exists((a + "/b").c_str()));
    EXPECT_TRUE(aDirectory_Exists((a + "/b/c").c_str()));
    EXPECT_EQ(0755u, modeOf(a + "/b/c"));
    EXPECT_EQ(0755u, modeOf(a));

    // Only a exists now below a fresh branch: a/x and a/x/y are made.
    ASSERT_EQ(aErrNone, aDirectory_Ensure((a + "/x/y").c_str(), 0700));
    EXPECT_EQ(0700u, modeOf(a + "/x"));
    EXPECT_EQ(0700u, modeOf(a + "/x/y"));
    EXPECT_EQ(0755u, modeOf(a));

    // The umask applies.
    umask(077);
    ASSERT_EQ(aErrNone, aDirectory_Ensure(dir.file("m").c_str(), 0755));
    EXPECT_EQ(0700u, modeOf(dir.file("m")));
    umask(old);

    // Doubled and trailing separators.
    ASSERT_EQ(aErrNone, aDirectory_Ensure((dir.path() + "//p//q/").c_str(), 0755));
    EXPECT_TRUE(aDirectory_Exists(dir.file("p/q").c_str()));
    // Existing directory.
    EXPECT_EQ(aErrNone, aDirectory_Ensure(dir.path().c_str(), 0755));
}

TEST(aDirectoryEnsure, RegularFiles) {
    TempDir dir;
    std::string f = dir.file("file");
    ASSERT_TRUE(testsupport::writeFile(f, "content"));
    EXPECT_EQ(aErrNone, aDirectory_Ensure(f.c_str(), 0755));
    EXPECT_EQ("content", testsupport::readFile(f));
    EXPECT_FALSE(aDirectory_Exists(f.c_str()));
    EXPECT_EQ(aErrPermission, aDirectory_Ensure((f + "/below").c_str(), 0755));
    EXPECT_EQ(aErrPermission, aDirectory_Ensure((f + "/below/deeper").c_str(), 0755));
}

TEST(aDirectoryEnsure, BadPaths) {
    EXPECT_EQ(aErrParam, aDirectory_Ensure(nullptr, 0755));
    EXPECT_EQ(aErrParam, aDirectory_Ensure("", 0755));
    TempDir dir;
    std::string longPath = dir.path() + "/" + std::string(4200, 'l');
    EXPECT_EQ(aErrFileNameLength, aDirectory_Ensure(longPath.c_str(), 0755));
    EXPECT_FALSE(aDirectory_Exists(longPath.c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

struct Listing {
    std::map<std::string, std::pair<int32_t, int>> entries;
    int calls = 0;
    int stopAfter = -1;
};

bool collect(const aDirectoryListData* data, void* context) {
    Listing* l = static_cast<Listing*>(context);
    l->entries[data->entryPath] = {data->entrySize, data->isDirectory};
    ++l->calls;
    return l->stopAfter < 0 || l->calls < l->stopAfter;
}

TEST(aDirectoryList, ReportsEveryEntry) {
    TempDir dir;
    ASSERT_TRUE(testsupport::writeFile(dir.file("f1"), "12345"));
    ASSERT_TRUE(testsupport::writeFile(dir.file(".hidden"), ""));
    ASSERT_EQ(0, mkdir(dir.file("sub").c_str(), 0755));
    ASSERT_EQ(0, symlink("/nonexistent/target", dir.file("dangling").c_str()));

    Listing l;
    ASSERT_EQ(aErrNone, aDirectory_List(dir.path().c_str(), collect, &l));
    // ".", "..", f1, .hidden, sub; the dangling link has no status.
    EXPECT_EQ(5u, l.entries.size());
    EXPECT_EQ(std::make_pair(int32_t(5), 0), l.entries[dir.file("f1")]);
    EXPECT_EQ(1, l.entries[dir.file("sub")].second);
    EXPECT_EQ(1, l.entries[dir.file(".")].second);
    EXPECT_EQ(1u, l.entries.count(dir.file("..")));
    EXPECT_EQ(1u, l.entries.count(dir.file(".hidden")));

    Listing stop;
    stop.stopAfter = 2;
    ASSERT_EQ(aErrNone, aDirectory_List(dir.path().c_str(), collect, &stop));
    EXPECT_EQ(2, stop.calls);

    Listing none;
    EXPECT_EQ(aErrNotFound, aDirectory_List(dir.file("missing").c_str(), collect, &none));
    EXPECT_EQ(aErrNotFound, aDirectory_List(dir.file("f1").c_str(), collect, &none));
    EXPECT_EQ(0, none.calls);
    EXPECT_EQ(aErrParam, aDirectory_List(nullptr, collect, &none));
}

TEST(aDirectoryDelete, EmptyAndTree) {
    TempDir dir;
    std::string root = dir.file("tree");
    ASSERT_EQ(aErrNone, aDirectory_Ensure((root + "/a/b").c_str(), 0755));
    ASSERT_TRUE(testsupport::writeFile(root + "/a/b/file", "x"));
    ASSERT_TRUE(testsupport::writeFile(root + "/top", "y"));
    // A link to a directory outside the tree is removed, not followed.
    ASSERT_EQ(aErrNone, aDirectory_Ensure(dir.file("outside").c_str(), 0755));
    ASSERT_TRUE(testsupport::writeFile(dir.file("outside/keep"), "k"));
    ASSERT_EQ(0, symlink(dir.file("outside").c_str(), (root + "/link").c_str()));

    EXPECT_EQ(aErrUnknown, aDirectory_Delete(root.c_str()));
    EXPECT_EQ(aErrNone, aDirectory_DeleteTree(root.c_str()));
    EXPECT_FALSE(aDirectory_Exists(root.c_str()));
    EXPECT_TRUE(testsupport::fileExists(dir.file("outside/keep")));
    EXPECT_EQ(aErrNotFound, aDirectory_DeleteTree(root.c_str()));
    ASSERT_EQ(aErrNone, aDirectory_Ensure(dir.file("empty").c_str(), 0755));
    EXPECT_EQ(aErrNone, aDirectory_Delete(dir.file("empty").c_str()));
    EXPECT_EQ(aErrUnknown, aDirectory_Delete(nullptr));
}

TEST(aDirectoryCWD, StoresTheWorkingDirectory) {
    char buffer[4200];
    ASSERT_EQ(aErrNone, aDirectory_CWD(buffer, sizeof buffer));
    char expected[4200];
    ASSERT_NE(nullptr, getcwd(expected, sizeof expected));
    EXPECT_STREQ(expected, buffer);
    char tiny[2];
    EXPECT_EQ(aErrParam, aDirectory_CWD(tiny, sizeof tiny));
    EXPECT_STREQ("", tiny);
    EXPECT_EQ(aErrParam, aDirectory_CWD(nullptr, 10));
}

TEST(aDirectoryExecutableFilePath, NamesThisProgramAndCuts) {
    char buffer[4200];
    ASSERT_EQ(aErrNone, aDirectory_ExecutableFilePath(buffer, sizeof buffer));
    std::string path(buffer);
    EXPECT_NE(std::string::npos, path.find("aDirectory_test")) << path;
    char small[5];
    ASSERT_EQ(aErrNone, aDirectory_ExecutableFilePath(small, sizeof small));
    EXPECT_EQ(path.substr(0, 4), std::string(small));
}

// Runs the home-directory lookup in a child process, optionally as another
// user and with HOME set or removed, and returns "code:text".
std::string homeInChild(uid_t uid, const char* home, size_t size) {
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (uid != static_cast<uid_t>(-1) && setuid(uid) != 0)
            _exit(3);
        if (home != nullptr)
            setenv("HOME", home, 1);
        else
            unsetenv("HOME");
        std::vector<char> buffer(size + 1, 'Z');
        aErr error = aDirectory_GetHomeDirectory(buffer.data(), size);
        std::string text = std::to_string(error) + ":";
        if (size > 0)
            text += std::string(buffer.data(), strnlen(buffer.data(), size));
        if (size > 0 && strnlen(buffer.data(), size) == size)
            text += "<unterminated>";
        ssize_t ignored = write(fds[1], text.data(), text.size());
        (void)ignored;
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char chunk[512];
    ssize_t n;
    while ((n = read(fds[0], chunk, sizeof chunk)) > 0)
        out.append(chunk, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return "child failed";
    return out;
}

TEST(aDirectoryGetHomeDirectory, PasswordDatabaseComesBeforeHome) {
    struct passwd* pw = getpwuid(getuid());
    if (pw == nullptr || pw->pw_dir == nullptr || pw->pw_dir[0] == '\0')
        GTEST_SKIP() << "the current user has no password entry";
    std::string expected = pw->pw_dir;
    EXPECT_EQ("0:" + expected, homeInChild(static_cast<uid_t>(-1), "/somewhere/else", 4096));
    EXPECT_EQ("0:" + expected, homeInChild(static_cast<uid_t>(-1), nullptr, 4096));
    // Too small a buffer: an error and an empty, terminated buffer.
    EXPECT_EQ(std::to_string(aErrOverrun) + ":",
              homeInChild(static_cast<uid_t>(-1), nullptr, expected.size()));
    EXPECT_EQ("0:" + expected, homeInChild(static_cast<uid_t>(-1), nullptr, expected.size() + 1));
}

// A user id with no password entry, for the HOME fallback; needs root.
uid_t unknownUser() {
    for (uid_t uid = 54321; uid < 54400; ++uid)
        if (getpwuid(uid) == nullptr)
            return uid;
    return static_cast<uid_t>(-1);
}

TEST(aDirectoryGetHomeDirectory, HomeWhenThereIsNoPasswordEntry) {
    uid_t uid = unknownUser();
    if (geteuid() != 0 || uid == static_cast<uid_t>(-1))
        GTEST_SKIP() << "needs root to run as a user without a password entry";
    EXPECT_EQ("0:/from/environment", homeInChild(uid, "/from/environment", 4096));
    EXPECT_EQ(std::to_string(aErrNotFound) + ":", homeInChild(uid, nullptr, 4096));
    EXPECT_EQ(std::to_string(aErrNotFound) + ":", homeInChild(uid, "", 4096));
    EXPECT_EQ(std::to_string(aErrOverrun) + ":", homeInChild(uid, "/from/environment", 8));
    std::string longHome = "/" + std::string(5000, 'h');
    EXPECT_EQ(std::to_string(aErrOverrun) + ":", homeInChild(uid, longHome.c_str(), 4096));
}

TEST(aDirectoryGetHomeDirectory, BadBuffers) {
    EXPECT_EQ(aErrParam, aDirectory_GetHomeDirectory(nullptr, 10));
    char one[1] = {'Z'};
    EXPECT_NE(aErrNone, aDirectory_GetHomeDirectory(one, 1));
    EXPECT_EQ('\0', one[0]);
}

} // namespace
