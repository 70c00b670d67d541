// The debug log: package filtering, package 0, the cut, no added line breaks.
#include "app/Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Captures what the log writes, in memory.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        Log::DeactivatePackage(0xFFFFFFFF);
        stream_ = open_memstream(&buffer_, &size_);
        ASSERT_NE(stream_, nullptr);
        Log::SetOutput(stream_);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        fclose(stream_);
        free(buffer_);
    }
    std::string written() {
        fflush(stream_);
        return std::string(buffer_, size_);
    }

    FILE* stream_ = nullptr;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};

TEST_F(LogTest, PackageZeroIsAlwaysWritten) {
    Log::log(0, "always %d\n", 1);
    Log::log(DEBUG_Updater, "filtered\n");
    EXPECT_EQ(written(), "always 1\n");
}

TEST_F(LogTest, OnlyActivePackagesAreWritten) {
    Log::ActivatePackage(DEBUG_Updater);
    Log::ActivatePackage(DEBUG_BirdFile);
    EXPECT_EQ(Log::ActivePackages(), 0x9u);
    Log::log(DEBUG_Updater, "u;");
    Log::log(DEBUG_BirdFile, "b;");
    Log::log(DEBUG_ServerComm, "s;");
    Log::log(DEBUG_APP, "a;");
    // A line of several packages is written when any of them is on.
    Log::log(DEBUG_APP | DEBUG_BirdFile, "ab;");
    Log::DeactivatePackage(DEBUG_Updater);
    Log::log(DEBUG_Updater, "u2;");
    Log::log(DEBUG_BirdFile, "b2;");
    EXPECT_EQ(written(), "u;b;ab;b2;");
    EXPECT_TRUE(Log::IsActive(0));
    EXPECT_TRUE(Log::IsActive(DEBUG_BirdFile));
    EXPECT_FALSE(Log::IsActive(DEBUG_Updater));
}

TEST_F(LogTest, TextIsWrittenUnchangedAndCutAt2047) {
    Log::log(0, "no line break");
    Log::log(0, "%s", std::string(5000, 'z').c_str());
    EXPECT_EQ(written(), "no line break" + std::string(2047, 'z'));
}

TEST_F(LogTest, NoStreamWritesNothing) {
    Log::SetOutput(nullptr);
    Log::log(0, "dropped\n");
    Log::SetOutput(stream_);
    Log::log(0, "kept\n");
    EXPECT_EQ(written(), "kept\n");
}

} // namespace
