// Ordering of build lists by version.
#include "server/UpdateServerRequest.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "app/Log.h"

namespace {

using Entry = UpdateServerRequest::BuildEntry;

std::vector<std::string> sKeys(const std::vector<Entry>& entries) {
    std::vector<std::string> keys;
    for (const Entry& entry : entries) {
        keys.push_back(entry.first);
    }
    return keys;
}

TEST(UpdateServerRequestSort, NewestFirst) {
    std::map<std::string, std::string> builds = {
        {"100", "1.2.3"}, {"200", "1.10.0"}, {"300", "2.0.0"}};
    EXPECT_EQ(sKeys(UpdateServerRequest::SortBuildsByVersion(builds)),
              (std::vector<std::string>{"300", "200", "100"}));
}

TEST(UpdateServerRequestSort, PairwiseOrdering) {
    struct Case {
        const char* a;
        const char* b;
        bool greater;
    };
    const Case cases[] = {
        {"2.0.0", "1.9.9", true},    {"1.9.9", "2.0.0", false},
        {"1.10.0", "1.2.3", true},   {"1.2.4", "1.2.3", true},
        {"1.2.3", "1.2.3", false},   {"1.300.0", "1.100.0", false},
        {"1.300.0", "1.43.0", true}, {"0.0.256", "0.0.1", false},
        {"1.2", "1.0.0", false},     {"1.0.0", "1.2", false},
        {"1..3", "1.0.0", false},    {"1.0.0", "1..3", false},
        {"1.2.3.4", "0.0.0", false}, {"a.b.c", "0.0.0", false},
        {"", "0.0.0", false},        {"99999999999.0.0", "0.0.0", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(UpdateServerRequest::_sortVersion({"1", c.a}, {"2", c.b}), c.greater)
            << c.a << " > " << c.b;
    }
}

TEST(UpdateServerRequestSort, UnreadableVersionsGoLastInKeyOrder) {
    std::map<std::string, std::string> builds = {
        {"1", "1.2"},     {"2", "2.0.0"}, {"3", ""},      {"4", "1..3"},
        {"5", "1.2.3.4"}, {"6", "3.0.0"}, {"7", "a.b.c"}, {"8", "2.0.0"},
    };
    // Equal versions keep their key order.
    EXPECT_EQ(sKeys(UpdateServerRequest::SortBuildsByVersion(builds)),
              (std::vector<std::string>{"6", "2", "8", "1", "3", "4", "5", "7"}));
}

TEST(UpdateServerRequestSort, ConversionFailureIsLogged) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* stream = open_memstream(&buffer, &size);
    ASSERT_NE(stream, nullptr);
    Log::SetOutput(stream);
    Log::ActivatePackage(DEBUG_ServerComm);
    EXPECT_FALSE(UpdateServerRequest::_sortVersion({"1", "1..3"}, {"2", "1.0.0"}));
    Log::DeactivatePackage(DEBUG_ServerComm);
    Log::SetOutput(nullptr);
    fclose(stream);
    std::string text(buffer, size);
    free(buffer);
    EXPECT_EQ(text.rfind("_sortVersion: Exception converting version: ", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n');
}

// Many entries, a third of them unreadable: the result is a permutation of
// the input with readable versions non-increasing and the rest after them in
// key order. An invalid ordering handed to std::sort would break this (and
// trip the sanitizers) on lists of this size.
TEST(UpdateServerRequestSort, LargeMixedListsSortSafely) {
    std::mt19937 random(12345);
    const char* bad[] = {"", "1.2", "1..3", "x.y.z", "1.2.3.4", "-1.0.0", "1.2.3a"};
    for (int round = 0; round < 20; ++round) {
        std::map<std::string, std::string> builds;
        for (int i = 0; i < 600; ++i) {
            std::string key = std::to_string(random() % 100000);
            if (random() % 3 == 0) {
                builds[key] = bad[random() % (sizeof bad / sizeof bad[0])];
            } else {
                builds[key] = std::to_string(random() % 4) + "." + std::to_string(random() % 300) +
                              "." + std::to_string(random() % 5);
            }
        }
        std::vector<Entry> sorted = UpdateServerRequest::SortBuildsByVersion(builds);
        ASSERT_EQ(sorted.size(), builds.size());
        std::set<Entry> seen(sorted.begin(), sorted.end());
        ASSERT_EQ(seen, std::set<Entry>(builds.begin(), builds.end()));
        // Readable entries: no later readable entry is greater.
        size_t i = 0;
        auto readable = [&](const Entry& e) {
            for (const char* b : bad) {
                if (e.second == b) {
                    return false;
                }
            }
            return true;
        };
        for (; i < sorted.size() && readable(sorted[i]); ++i) {
            if (i > 0) {
                ASSERT_FALSE(UpdateServerRequest::_sortVersion(sorted[i], sorted[i - 1]))
                    << sorted[i].second << " after " << sorted[i - 1].second;
            }
        }
        for (size_t j = i; j < sorted.size(); ++j) {
            ASSERT_FALSE(readable(sorted[j])) << "readable entry after unreadable ones";
            if (j > i) {
                ASSERT_LT(sorted[j - 1].first, sorted[j].first);
            }
        }
    }
}

} // namespace
