// Tests of the local store: the root and device directories, exact-name
// searches, local build lists, file writes and BIRD file reads.
#include "store/UpdaterStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/support/TestSupport.h"

using testsupport::fileExists;
using LogCapture = testsupport::LogCapture<Log>;
using testsupport::readFile;
using testsupport::TempDir;
using testsupport::writeFile;

namespace {

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string thrownBy(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<nothing thrown>";
}

TEST(UpdaterStore, CreatesTheRootWithParents) {
    TempDir dir;
    LogCapture log(DEBUG_Updater);
    std::string root = dir.file("home/.halvern/updater");
    mode_t old = umask(022);
    UpdaterStore store(root);
    umask(old);
    EXPECT_EQ(root, store.BasePath());
    ASSERT_TRUE(isDirectory(root));
    struct stat st;
    ASSERT_EQ(0, stat(root.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_NE(std::string::npos,
              log.text().find("UpdaterStore: Created directory [" + root + "]."));
    UpdaterStore again(root);
    EXPECT_NE(std::string::npos, log.text().find("UpdaterStore: [" + root + "] already exists."));
}

TEST(UpdaterStore, RootThatCannotBeADirectory) {
    TempDir dir;
    std::string file = dir.file("plain");
    ASSERT_TRUE(writeFile(file, "x"));
    EXPECT_EQ("UpdaterStore: " + file + " exists and is a file",
              thrownBy([&] { UpdaterStore store(file); }));
    std::string below = file + "/updater";
    EXPECT_EQ("UpdaterStore: Could not create directory " + below + " error 12",
              thrownBy([&] { UpdaterStore store(below); }));
    EXPECT_EQ("x", readFile(file));

    // A path beyond 4096 characters is refused cleanly, never cut.
    TempDir other;
    std::string huge = other.path() + "/" + std::string(5000, 'r');
    EXPECT_EQ("UpdaterStore: Could not create directory " + huge + " error 4",
              thrownBy([&] { UpdaterStore store(huge); }));
    UpdaterStore store(other.path());
    EXPECT_NE(std::string::npos,
              thrownBy([&] { store.AddDevice(std::string(5000, 'd')); }).find("error 4"));
    EXPECT_FALSE(store.FindDevice(std::string(5000, 'd'), nullptr));
    UpdaterStoreItem device = store.AddDevice(1u);
    const uint8_t byte = 1;
    EXPECT_EQ(aErrNotFound, device.WriteFile(std::string(5000, 'f'), &byte, 1));
}

TEST(UpdaterStore, AddDeviceTwiceReusesTheDirectory) {
    TempDir dir;
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(dir.path());
    UpdaterStoreItem item = store.AddDevice(0xABCu);
    EXPECT_TRUE(item.IsValid());
    EXPECT_EQ(dir.path(), item.basePath);
    EXPECT_EQ("00000ABC", item.itemName);
    EXPECT_EQ(STORE_ITEM_DIRECTORY, item.itemType);
    std::string device = dir.file("00000ABC");
    ASSERT_TRUE(isDirectory(device));
    std::string settings = readFile(device + "/.settings");
    EXPECT_EQ(0u, settings.find("CREATED_TIME=")) << settings;
    EXPECT_NE(std::string::npos, settings.find("\nUPDATED_TIME=")) << settings;
    EXPECT_FALSE(item.attributes.GetString("CREATED_TIME").empty());

    item.attributes.Add("LATEST_DOWNLOAD", 1234);
    item.attributes.Save();
    ASSERT_TRUE(writeFile(device + "/1234.bird", "content"));

    UpdaterStoreItem again = store.AddDevice("00000ABC");
    EXPECT_EQ(1234, again.attributes.GetInt("LATEST_DOWNLOAD", 0));
    EXPECT_EQ("content", readFile(device + "/1234.bird"));
    EXPECT_NE(std::string::npos, log.text().find("UpdaterStore: [" + device + "] already exists."));

    ASSERT_TRUE(writeFile(dir.file("0000BEEF"), "a file"));
    EXPECT_EQ("UpdaterStore: " + dir.file("0000BEEF") + " exists and is a file",
              thrownBy([&] { store.AddDevice(0xBEEFu); }));
}

TEST(UpdaterStore, FindDeviceHitAndMiss) {
    TempDir dir;
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(dir.path());
    UpdaterStoreItem untouched;
    untouched.itemName = "marker";
    EXPECT_FALSE(store.FindDevice(0xABCu, &untouched));
    EXPECT_EQ("marker", untouched.itemName);
    EXPECT_NE(std::string::npos, log.text().find("UpdaterStore: FindDevice Not Found 00000ABC."));

    store.AddDevice(0xABCu).attributes.Add("K", "v");
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0xABCu, &found));
    EXPECT_EQ(dir.path(), found.basePath);
    EXPECT_EQ("00000ABC", found.itemName);
    EXPECT_EQ(STORE_ITEM_DIRECTORY, found.itemType);
    EXPECT_FALSE(found.attributes.GetString("CREATED_TIME").empty());
    EXPECT_TRUE(store.FindDevice("00000ABC", nullptr));
    EXPECT_NE(std::string::npos, log.text().find("UpdaterStore: FindDevice Found 00000ABC."));
    EXPECT_NE(std::string::npos, log.text().find("_find_item([" + dir.file("00000ABC") + "], 1, "));
}

// Only an entry with exactly the searched name matches: longer names that
// contain it, and shorter ones contained in it, are other entries.
TEST(UpdaterStore, FindDeviceMatchesTheExactName) {
    const std::vector<std::string> decoys = {"00000ABC.old", "X00000ABC", "00000AB", "00000abc",
                                             "A00000ABC.bak"};
    for (const std::string& decoy : decoys) {
        TempDir dir;
        UpdaterStore store(dir.path());
        ASSERT_EQ(0, mkdir(dir.file(decoy).c_str(), 0755));
        EXPECT_FALSE(store.FindDevice(0xABCu, nullptr)) << decoy;
        store.AddDevice(0xABCu);
        UpdaterStoreItem found;
        ASSERT_TRUE(store.FindDevice(0xABCu, &found)) << decoy;
        EXPECT_EQ("00000ABC", found.itemName) << decoy;
        UpdaterStoreItem decoyItem;
        ASSERT_TRUE(store.FindDevice(decoy, &decoyItem));
        EXPECT_EQ(decoy, decoyItem.itemName);
    }
    // Enough decoys that some are surely listed before the real directory.
    TempDir dir;
    UpdaterStore store(dir.path());
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(0, mkdir(dir.file("00000ABC." + std::to_string(i)).c_str(), 0755));
    store.AddDevice(0xABCu);
    UpdaterStoreItem found;
    ASSERT_TRUE(store.FindDevice(0xABCu, &found));
    EXPECT_EQ("00000ABC", found.itemName);
}

TEST(UpdaterStoreItem, FileExistsMatchesTheExactName) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0x40F5849Au);
    ASSERT_TRUE(writeFile(dir.file("40F5849A/12345.bird"), "x"));
    EXPECT_TRUE(device.FileExists("12345.bird"));
    EXPECT_TRUE(device.FileExists(".settings"));
    EXPECT_FALSE(device.FileExists("1234.bird"));
    EXPECT_FALSE(device.FileExists("2345.bird"));
    EXPECT_FALSE(device.FileExists("12345"));
    EXPECT_FALSE(device.FileExists("."));
    EXPECT_FALSE(device.FileExists(".."));
    EXPECT_FALSE(UpdaterStoreItem().FileExists("12345.bird"));
}

TEST(UpdaterStore, FindLocalBuildsSkipsDotFiles) {
    TempDir dir;
    LogCapture log(DEBUG_Updater);
    UpdaterStore store(dir.path());
    std::vector<UpdaterStoreItem> builds;
    EXPECT_TRUE(store.FindLocalBuilds(0xABCu, builds));
    EXPECT_TRUE(builds.empty());

    store.AddDevice(0xABCu);
    std::string device = dir.file("00000ABC");
    ASSERT_TRUE(writeFile(device + "/1234.bird", "a"));
    ASSERT_TRUE(writeFile(device + "/1240.bird", "b"));
    ASSERT_TRUE(writeFile(device + "/.hidden", "c"));
    ASSERT_TRUE(writeFile(device + "/.1250.bird.tmp77", "d"));
    EXPECT_TRUE(store.FindLocalBuilds(0xABCu, builds));
    ASSERT_EQ(2u, builds.size());
    std::vector<std::string> names;
    for (const UpdaterStoreItem& b : builds) {
        names.push_back(b.itemName);
        EXPECT_EQ(STORE_ITEM_FILE, b.itemType);
        EXPECT_EQ(device, b.basePath);
        // The attributes of a file live in memory only; nothing is created.
        EXPECT_FALSE(b.attributes.GetString("CREATED_TIME").empty());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ((std::vector<std::string>{"1234.bird", "1240.bird"}), names);
    EXPECT_EQ("a", readFile(device + "/1234.bird"));
    EXPECT_NE(std::string::npos, log.text().find("_find_items([" + device + "/1234.bird], 0, 1)"));

    // Appends to what the caller holds.
    EXPECT_TRUE(store.FindLocalBuilds(0xABCu, builds));
    EXPECT_EQ(4u, builds.size());
    // Another module sees nothing.
    std::vector<UpdaterStoreItem> other;
    store.FindLocalBuilds(0xABDu, other);
    EXPECT_TRUE(other.empty());
}

TEST(UpdaterStoreItem, DefaultAndValidity) {
    UpdaterStoreItem item;
    EXPECT_FALSE(item.IsValid());
    EXPECT_EQ(STORE_ITEM_NONE, item.itemType);
    EXPECT_EQ("", item.basePath);
    EXPECT_EQ("", item.attributes.FileName());
    EXPECT_EQ(0u, item.attributes.Size());
    item.basePath = "x";
    EXPECT_FALSE(item.IsValid());
    item.itemName = "y";
    EXPECT_TRUE(item.IsValid());
}

TEST(UpdaterStoreItem, WriteFile) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0xABCu);
    std::string target = dir.file("00000ABC/1234.bird");

    EXPECT_EQ(aErrNotFound, device.WriteFile("1234.bird", nullptr, 10));
    EXPECT_FALSE(fileExists(target));

    std::vector<uint8_t> data(100000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(aErrNone, device.WriteFile("1234.bird", data.data(), data.size()));
    std::string written = readFile(target);
    ASSERT_EQ(data.size(), written.size());
    EXPECT_TRUE(
        std::equal(data.begin(), data.end(), reinterpret_cast<const uint8_t*>(written.data())));

    // Rewriting replaces the whole file; zero bytes give an empty file.
    const uint8_t small[] = {1, 2, 3};
    EXPECT_EQ(aErrNone, device.WriteFile("1234.bird", small, sizeof small));
    EXPECT_EQ(std::string("\x01\x02\x03", 3), readFile(target));
    EXPECT_EQ(aErrNone, device.WriteFile("empty.bird", small, 0));
    EXPECT_TRUE(fileExists(dir.file("00000ABC/empty.bird")));
    EXPECT_EQ("", readFile(dir.file("00000ABC/empty.bird")));

    // A directory that does not exist.
    UpdaterStoreItem missing(dir.path(), "0000DEAD", STORE_ITEM_DIRECTORY);
    EXPECT_EQ(aErrNotFound, missing.WriteFile("1.bird", small, sizeof small));
    // A failed replacement keeps the old entry.
    ASSERT_EQ(0, mkdir(dir.file("00000ABC/taken").c_str(), 0755));
    EXPECT_NE(aErrNone, device.WriteFile("taken", small, sizeof small));
    EXPECT_TRUE(isDirectory(dir.file("00000ABC/taken")));
    // Nothing but the written files and the attributes is left behind.
    std::vector<UpdaterStoreItem> builds;
    store.FindLocalBuilds(0xABCu, builds);
    EXPECT_EQ(3u, builds.size());
    EXPECT_EQ("", testsupport::runProcess(
                      {"/bin/sh", "-c", "ls -A " + dir.file("00000ABC") + " | grep tmp"})
                      .out);
}

std::string birdtool() {
    return testsupport::buildPath("tools/birdtool/birdtool");
}

TEST(UpdaterStoreItem, ReadBirdFile) {
    TempDir dir;
    UpdaterStore store(dir.path());
    UpdaterStoreItem device = store.AddDevice(0xABCu);
    std::string deviceDir = dir.file("00000ABC");

    ASSERT_TRUE(writeFile(deviceDir + "/text.bird", "this is not a BIRD file"));
    EXPECT_EQ("Invalid bird " + deviceDir + "/text.bird",
              thrownBy([&] { device.ReadBirdFile("text.bird"); }));
    EXPECT_EQ("Invalid bird " + deviceDir + "/missing.bird",
              thrownBy([&] { device.ReadBirdFile("missing.bird"); }));

    if (!fileExists(birdtool()))
        GTEST_SKIP() << "birdtool not built";
    auto made = testsupport::runProcess({birdtool(), "create", "-o", deviceDir + "/1234.bird",
                                         "--info", "1234:1.2.3:00000ABC:MODEL", "--firmware",
                                         "0x1000:0:fill:64:0xAA"});
    ASSERT_EQ(0, made.status) << made.err;
    BirdFile bird = device.ReadBirdFile("1234.bird");
    EXPECT_EQ(1234u, bird.GetBuild());
    EXPECT_EQ(0xABCu, bird.GetSerialNumber());
    EXPECT_EQ(1u, bird.FindBlocks(BirdFile::BLOCK_FIRMWARE).size());

    // A good header on a payload that does not inflate.
    auto broken = testsupport::runProcess({birdtool(), "create", "-o", deviceDir + "/9.bird",
                                           "--truncate-file", "10", "--info", "9:1:00000ABC:M"});
    ASSERT_EQ(0, broken.status) << broken.err;
    EXPECT_EQ("Failed to load bird data", thrownBy([&] { device.ReadBirdFile("9.bird"); }));
}

} // namespace
