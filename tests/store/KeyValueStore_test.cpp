// Tests of attribute files: parsing hand-edited files, typed access, the
// dirty flag, saving in key order, and saves that survive a crash.
#include "store/KeyValueStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "app/Log.h"
#include "tests/support/TestSupport.h"

using LogCapture = testsupport::LogCapture<Log>;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

struct ParseCase {
    const char* name;
    std::string content;
    const char* key;
    const char* value; // null: the key must be absent
};

TEST(KeyValueStoreLoad, ParsesHandEditedLines) {
    const ParseCase cases[] = {
        {"spaces and CR LF", "  NAME  =  some value  \r\n", "NAME", "some value"},
        {"equals in value", "A=b=c\n", "A", "b=c"},
        {"comment", "#X=1\n", "#X", nullptr},
        {"indented comment is a key", " #X=1\n", "#X", "1"},
        {"empty value with line end", "A=\n", "A", ""},
        {"empty value at end without line end", "B=1\nA=", "A", nullptr},
        {"second value wins", "K=first\nK=second\n", "K", "second"},
        {"tabs", "\tT\t=\tv a l\t\n", "T", "v a l"},
        {"no line end on last line", "Z=last", "Z", "last"},
        {"no equals sign", "JUSTTEXT\n", "JUSTTEXT", nullptr},
        {"empty key", "   =value\n", "", nullptr},
        {"key case matters", "key=1\n", "KEY", nullptr},
        {"blank lines", "\n\n\r\nQ=1\n\n", "Q", "1"},
        {"value with inner CR", "C=a\rb\n", "C", "a\rb"},
    };
    for (const ParseCase& c : cases) {
        TempDir dir;
        std::string f = dir.file("attrs");
        ASSERT_TRUE(writeFile(f, c.content));
        KeyValueStore store;
        EXPECT_EQ(aErrNone, store.Load(f.c_str())) << c.name;
        const char* value = store[c.key];
        if (c.value == nullptr) {
            EXPECT_EQ(nullptr, value) << c.name;
        } else {
            ASSERT_NE(nullptr, value) << c.name;
            EXPECT_STREQ(c.value, value) << c.name;
        }
        EXPECT_FALSE(store.IsDirty()) << c.name;
        EXPECT_EQ(f, store.FileName());
        EXPECT_EQ(c.content, readFile(f)) << c.name; // loading writes nothing
    }
}

TEST(KeyValueStoreLoad, OverLongLineEndsTheReading) {
    TempDir dir;
    std::string f = dir.file("attrs");
    // 2046 characters and a line feed still fit the 2048-byte buffer.
    std::string fits = "F=" + std::string(2044, 'v');
    std::string tooLong = "L=" + std::string(2045, 'w');
    ASSERT_TRUE(writeFile(f, "A=1\n" + fits + "\n" + tooLong + "\nB=2\n"));
    KeyValueStore store;
    EXPECT_EQ(aErrNone, store.Load(f.c_str()));
    EXPECT_STREQ("1", store["A"]);
    ASSERT_NE(nullptr, store["F"]);
    EXPECT_EQ(2044u, std::string(store["F"]).size());
    EXPECT_EQ(nullptr, store["L"]);
    EXPECT_EQ(nullptr, store["B"]);

    // A huge single line: nothing read, nothing overflows.
    ASSERT_TRUE(writeFile(f, "H=" + std::string(1 << 20, 'h') + "\nB=2\n"));
    KeyValueStore big;
    EXPECT_EQ(aErrNone, big.Load(f.c_str()));
    EXPECT_EQ(0u, big.Size());
}

TEST(KeyValueStoreLoad, MissingFileIsCreatedWithTheTimes) {
    TempDir dir;
    LogCapture log(DEBUG_Attributes);
    std::string f = dir.file("new.settings");
    KeyValueStore store;
    store.Add("KEPT", "yes");
    EXPECT_EQ(aErrParam, store.Load(f.c_str()));
    EXPECT_FALSE(store.IsDirty());
    EXPECT_EQ(f, store.FileName());
    std::string content = readFile(f);
    ASSERT_NE(nullptr, store[KeyValueStore::KEY_CREATED_TIME]);
    std::string created = store[KeyValueStore::KEY_CREATED_TIME];
    EXPECT_EQ(24u, created.size()) << created;
    EXPECT_EQ("CREATED_TIME=" + created + "\nKEPT=yes\nUPDATED_TIME=" +
                  store.GetString(KeyValueStore::KEY_UPDATED_TIME) + "\n",
              content);
    EXPECT_EQ(24u, store.GetString(KeyValueStore::KEY_UPDATED_TIME).size());
    EXPECT_NE(std::string::npos,
              log.text().find("Attibutes: Error - cannot open attributes file: '" + f + "' (2)"))
        << log.text();

    // The constructor loads; Load does not empty the store first.
    KeyValueStore again(f.c_str());
    EXPECT_STREQ("yes", again["KEPT"]);
    ASSERT_TRUE(writeFile(f, "OTHER=1\n"));
    EXPECT_EQ(aErrNone, again.Load(f.c_str()));
    EXPECT_STREQ("yes", again["KEPT"]);
    EXPECT_STREQ("1", again["OTHER"]);
    EXPECT_EQ(aErrParam, again.Load(nullptr));
}

TEST(KeyValueStoreGetters, TypedValuesAndDefaults) {
    KeyValueStore store;
    store.Add("I", "  -42xyz");
    store.Add("NODIGITS", "abc");
    store.Add("HEX", "0x000000FF");
    store.Add("HEXBARE", "ff");
    store.Add("BIG", "99999999999999");
    store.Add("B0", "0");
    store.Add("B1", "7");
    store.Add("BTEXT", "true");
    store.Add("D", "2.25");
    store.Add("EMPTY", "");
    EXPECT_EQ(-42, store.GetInt("I", 5));
    EXPECT_EQ(0, store.GetInt("NODIGITS", 5));
    EXPECT_EQ(2147483647, store.GetInt("BIG", 5));
    EXPECT_EQ(255u, store.GetHex("HEX", 1));
    EXPECT_EQ(255u, store.GetHex("HEXBARE", 1));
    EXPECT_FALSE(store.GetBOOL("B0", true));
    EXPECT_TRUE(store.GetBOOL("B1", false));
    EXPECT_FALSE(store.GetBOOL("BTEXT", true));
    EXPECT_DOUBLE_EQ(2.25, store.GetDouble("D", 1.0));
    EXPECT_EQ(9, store.GetInt("EMPTY", 9));
    EXPECT_EQ(9u, store.GetHex("EMPTY", 9));
    EXPECT_TRUE(store.GetBOOL("EMPTY", true));
    EXPECT_DOUBLE_EQ(1.5, store.GetDouble("EMPTY", 1.5));
    EXPECT_EQ("", store.GetString("EMPTY", "default"));
    EXPECT_EQ("default", store.GetString("NOPE", "default"));
    EXPECT_EQ("", store.GetString("NOPE", nullptr));
    EXPECT_EQ(nullptr, store["NOPE"]); // neither GetString nor [] creates it
}

TEST(KeyValueStoreGetters, MissingKeyIsCreatedEmptyWithoutDirtying) {
    TempDir dir;
    std::string f = dir.file("attrs");
    ASSERT_TRUE(writeFile(f, "A=1\n"));
    KeyValueStore store(f.c_str());
    EXPECT_EQ(17, store.GetInt("MISSING", 17));
    EXPECT_EQ(3u, store.GetHex("MISSINGHEX", 3));
    EXPECT_FALSE(store.IsDirty());
    ASSERT_NE(nullptr, store["MISSING"]);
    EXPECT_STREQ("", store["MISSING"]);
    store.Save();
    EXPECT_EQ("A=1\nMISSING=\nMISSINGHEX=\n", readFile(f));
}

TEST(KeyValueStoreSetters, FormatsAndDirtyFlag) {
    KeyValueStore store;
    EXPECT_FALSE(store.IsDirty());
    EXPECT_TRUE(store.AddHex("H", 255));
    EXPECT_STREQ("0x000000FF", store["H"]);
    EXPECT_EQ(255u, store.GetHex("H", 0));
    EXPECT_TRUE(store.Add("D", 2.5));
    EXPECT_STREQ("2.500000", store["D"]);
    EXPECT_TRUE(store.Add("I", -7));
    EXPECT_STREQ("-7", store["I"]);
    EXPECT_TRUE(store.Add("S", std::string("text with = and spaces")));
    EXPECT_TRUE(store.Add("N", static_cast<const char*>(nullptr)));
    EXPECT_STREQ("", store["N"]);
    EXPECT_TRUE(store.Add("HUGE", 1e300));
    EXPECT_EQ(1e300, store.GetDouble("HUGE", 0));
    EXPECT_TRUE(store.IsDirty());

    TempDir dir;
    std::string f = dir.file("attrs");
    store.Save(f.c_str());
    EXPECT_FALSE(store.IsDirty());
    // Equal text: not a change. An empty text for a missing key: not a change.
    store.Add("I", -7);
    store.Add("NEWEMPTY", "");
    EXPECT_FALSE(store.IsDirty());
    store.Add("I", -8);
    EXPECT_TRUE(store.IsDirty());

    KeyValueStore other;
    other.Add("I", "1");
    other.Add("X", "2");
    store.Save();
    EXPECT_TRUE(store.Add(other));
    EXPECT_TRUE(store.IsDirty());
    EXPECT_STREQ("1", store["I"]);
    EXPECT_STREQ("2", store["X"]);
    store.Save();
    EXPECT_TRUE(store.Add(KeyValueStore()));
    EXPECT_TRUE(store.IsDirty());
    EXPECT_TRUE(store.Clear());
    EXPECT_TRUE(store.IsDirty());
    EXPECT_EQ(0u, store.Size());

    // Copies take everything.
    KeyValueStore copy = other;
    EXPECT_STREQ("2", copy["X"]);
    EXPECT_TRUE(copy.IsDirty());
}

TEST(KeyValueStoreSave, KeyOrderAndUpdatedTime) {
    TempDir dir;
    std::string f = dir.file("attrs");
    KeyValueStore store;
    store.Add("ZED", "last");
    store.Add("ALPHA", "first");
    store.Add("b", "lower");
    store.Save(f.c_str());
    std::string updated = store.GetString(KeyValueStore::KEY_UPDATED_TIME);
    EXPECT_EQ("ALPHA=first\nUPDATED_TIME=" + updated + "\nZED=last\nb=lower\n", readFile(f));

    // Unchanged store: rewritten, but UPDATED_TIME stays; a change renews it.
    const std::string old = "UPDATED_TIME=Mon Jan  1 00:00:00 2001\n";
    ASSERT_TRUE(writeFile(f, "ALPHA=first\n" + old + "ZED=last\n"));
    ASSERT_EQ(aErrNone, store.Load(f.c_str()));
    store.Save();
    EXPECT_EQ("ALPHA=first\n" + old + "ZED=last\nb=lower\n", readFile(f));
    store.Add("ZED", "last");
    EXPECT_FALSE(store.IsDirty());
    store.Save();
    EXPECT_NE(std::string::npos, readFile(f).find(old));
    store.Add("ZED", "changed");
    store.Save();
    EXPECT_EQ(std::string::npos, readFile(f).find(old));
    EXPECT_EQ(KeyValueStore_Now().size(), store.GetString(KeyValueStore::KEY_UPDATED_TIME).size());

    // Round trip: a saved file loads back to the same entries.
    KeyValueStore loaded(f.c_str());
    EXPECT_EQ(store.Values(), loaded.Values());

    // No temporary file stays behind.
    int entries = 0;
    for (const char* name : {".attrs.tmp", "attrs.tmp"})
        entries += testsupport::fileExists(dir.file(name)) ? 1 : 0;
    EXPECT_EQ(0, entries);
    EXPECT_EQ(
        "", testsupport::runProcess({"/bin/sh", "-c", "ls -A " + dir.path() + " | grep tmp"}).out);
}

TEST(KeyValueStoreSave, DefaultFileInTheWorkingDirectory) {
    TempDir dir;
    LogCapture log(DEBUG_Attributes);
    char old[4096];
    ASSERT_NE(nullptr, getcwd(old, sizeof old));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    KeyValueStore store;
    store.Add("K", "v");
    store.Save();
    EXPECT_EQ(std::string(".settings"), store.FileName());
    ASSERT_EQ(0, chdir(old));
    EXPECT_NE(std::string::npos, readFile(dir.file(".settings")).find("K=v\n"));
    EXPECT_NE(
        std::string::npos,
        log.text().find("Attibutes: no filename given for attributes, using default:[.settings]"));
}

TEST(KeyValueStoreSave, FailedSaveLeavesDiskAndStoreAsTheyWere) {
    TempDir dir;
    LogCapture log(DEBUG_Attributes);
    KeyValueStore store;
    store.Add("K", "v");
    std::string missing = dir.file("no/such/dir/attrs");
    store.Save(missing.c_str());
    EXPECT_TRUE(store.IsDirty());
    EXPECT_STREQ("v", store["K"]);
    EXPECT_FALSE(testsupport::fileExists(missing));
    EXPECT_NE(std::string::npos,
              log.text().find("Attibutes: Error - cannot open attributes file for writting: '" +
                              missing + "' (2)"))
        << log.text();

    // A name beyond 4096 characters: nothing is cut, nothing written.
    std::string huge = dir.path() + "/" + std::string(5000, 'n');
    KeyValueStore longName;
    EXPECT_EQ(aErrParam, longName.Load(huge.c_str()));
    EXPECT_EQ(huge, longName.FileName());
    EXPECT_FALSE(longName.IsDirty());
    EXPECT_FALSE(testsupport::fileExists(huge));

    // The target is a directory: the rename fails, the temporary file goes.
    std::string target = dir.file("taken");
    ASSERT_EQ(0, mkdir(target.c_str(), 0755));
    store.Save(target.c_str());
    EXPECT_TRUE(store.IsDirty());
    EXPECT_EQ(
        "", testsupport::runProcess({"/bin/sh", "-c", "ls -A " + dir.path() + " | grep tmp"}).out);
}

// A writer killed in the middle of its saves leaves either the old or a new
// complete file, never a truncated one.
TEST(KeyValueStoreSave, KilledWriterLeavesACompleteFile) {
    constexpr int kEntries = 4000;
    constexpr int kMaxSaves = 100000;
    constexpr auto kChildLimit = std::chrono::seconds(20);
    const std::string padding(100, 'p');

    for (int round = 0; round < 3; ++round) {
        TempDir dir;
        std::string f = dir.file(".settings");
        std::string flag = dir.file("started");
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            KeyValueStore store;
            auto start = std::chrono::steady_clock::now();
            for (int i = 0; i < kMaxSaves && std::chrono::steady_clock::now() - start < kChildLimit;
                 ++i) {
                store.Add("GENERATION", i);
                for (int e = 0; e < kEntries; ++e)
                    store.Add("E" + std::to_string(e), std::to_string(i) + padding);
                store.Add("ZZ_END", i);
                store.Save(f.c_str());
                if (i == 1)
                    writeFile(flag, "1");
            }
            _exit(0);
        }
        // Wait (bounded) until a few saves are done, then kill at a moment
        // that moves from round to round.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!testsupport::fileExists(flag) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(3 + 7 * round));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(testsupport::fileExists(flag));

        KeyValueStore loaded(f.c_str());
        std::string generation = loaded.GetString("GENERATION");
        ASSERT_FALSE(generation.empty());
        EXPECT_EQ(generation, loaded.GetString("ZZ_END")) << "round " << round;
        EXPECT_EQ(static_cast<size_t>(kEntries + 3), loaded.Size()) << "round " << round;
        EXPECT_EQ(generation + padding, loaded.GetString("E" + std::to_string(kEntries - 1)));
    }
}

// A crash between writing the temporary file and renaming it leaves the old
// file in place and a dot file that nothing reads; the next save succeeds.
TEST(KeyValueStoreSave, LeftoverTemporaryFileIsHarmless) {
    TempDir dir;
    std::string f = dir.file(".settings");
    ASSERT_TRUE(writeFile(f, "A=old\n"));
    ASSERT_TRUE(writeFile(dir.file("..settings.tmp1"), "A=half"));
    KeyValueStore store(f.c_str());
    EXPECT_STREQ("old", store["A"]);
    store.Add("A", "new");
    store.Save();
    KeyValueStore loaded(f.c_str());
    EXPECT_STREQ("new", loaded["A"]);
}

} // namespace
