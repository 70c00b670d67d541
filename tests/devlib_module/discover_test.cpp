// The linkSpec functions and the discovery dispatch: what each link type
// walks, the searches built on the walks, and record ownership.
#include "devlib/discover.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(LinkSpec, CreateCopyDestroy) {
    linkSpec* where = aLinkSpec_Create(linkTypeTCPIP);
    ASSERT_NE(where, nullptr);
    EXPECT_EQ(where->type, linkTypeTCPIP);
    linkSpec zero{};
    zero.type = linkTypeTCPIP;
    EXPECT_EQ(std::memcmp(where, &zero, sizeof(linkSpec)), 0);

    where->serialNumber = 0x12345678;
    std::strcpy(where->portName, "/dev/ttyS9");
    linkSpec* copy = aLinkSpec_Copy(*where);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, where);
    EXPECT_EQ(std::memcmp(copy, where, sizeof(linkSpec)), 0);

    EXPECT_EQ(aLinkSpec_Destroy(&where), aErrNone);
    EXPECT_EQ(where, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&where), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}

struct Seen {
    int calls = 0;
};

bool countingCallback(const linkSpec*, bool* taken, void* reference) {
    static_cast<Seen*>(reference)->calls++;
    *taken = true;
    return true;
}

TEST(Discovery, TypesWithoutAWalkFindNothing) {
    for (linkType type : {linkType{linkTypeInvalid}, linkType{linkTypeSerial}, linkType{9}}) {
        Seen seen;
        EXPECT_EQ(
            aDiscovery_EnumerateModules(type, countingCallback, &seen, kDiscoveryLoopbackInterface),
            0)
            << type;
        EXPECT_EQ(seen.calls, 0) << type;
        EXPECT_EQ(aDiscovery_FindModule(type, 0x1234, kDiscoveryLoopbackInterface), nullptr);
        EXPECT_EQ(aDiscovery_FindFirstModule(type, kDiscoveryLoopbackInterface), nullptr);
    }
    EXPECT_EQ(aDiscovery_EnumerateModules(linkTypeTCPIP, nullptr, nullptr, 0), 0);
}

TEST(Discovery, SearchesOnAnEmptyNetwork) {
    // Inside the test's own namespace nothing answers on any link type: the
    // searches return null and allocate nothing (checked under the sanitizer).
    for (linkType type :
         {linkType{linkTypeUSB}, linkType{linkTypeTCPIP}, linkType{linkTypeAEther}}) {
        EXPECT_EQ(aDiscovery_FindModule(type, 0x40F5849A, kDiscoveryLoopbackInterface), nullptr)
            << type;
    }
}

} // namespace
