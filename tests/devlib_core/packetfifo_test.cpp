#include "devlib/packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

typedef std::unique_ptr<aPacket, aPacketDeleter> PacketPtr;
using Clock = std::chrono::steady_clock;

// Waits long enough never to expire in a passing run; a fault shows as a
// test that runs into it.
constexpr unsigned long kLongWaitMs = 20000;
// Bound on polling for a condition another thread brings about.
constexpr auto kConditionBound = std::chrono::seconds(10);

// A FIFO destroyed at the end of the test unless the test did it.
class Fifo {
public:
    Fifo() : handle(aPacketFifo_Create()) {}
    ~Fifo() {
        if (handle != 0) {
            aPacketFifo_Destroy(&handle);
        }
    }
    aPacketFifoHandle handle;
};

// A packet to address 2 tagged by its first two data bytes.
PacketPtr tagged(uint8_t tag, uint8_t owner = 0) {
    const uint8_t data[] = {tag, owner, 0x20};
    return PacketPtr(aPacket_CreateWithData(2, sizeof(data), data));
}

aErr put(aPacketFifoHandle fifo, uint8_t tag, uint8_t owner = 0) {
    PacketPtr p = tagged(tag, owner);
    return aPacketFifo_Put(fifo, p.get());
}

int tagOf(const PacketPtr& p) {
    return p ? p->data[0] : -1;
}

// Drains the FIFO with Get and returns the tags, oldest first.
std::vector<int> remainingTags(aPacketFifoHandle fifo) {
    std::vector<int> tags;
    for (size_t i = 0; i <= aPACKETFIFO_CAPACITY; ++i) {
        PacketPtr p(aPacketFifo_Get(fifo));
        if (!p) {
            break;
        }
        tags.push_back(tagOf(p));
    }
    return tags;
}

// Filter reference: accepts one tag and counts how often each tag was shown.
struct TagFilter {
    int wanted;
    mutable std::map<int, int> seen;
};

bool sTagFilter(const aPacket* packet, const void* reference) {
    const TagFilter* f = static_cast<const TagFilter*>(reference);
    f->seen[packet->data[0]]++;
    return packet->data[0] == f->wanted;
}

bool sAcceptAll(const aPacket*, const void*) {
    return true;
}

bool sEvenTags(const aPacket* packet, const void*) {
    return packet->data[0] % 2 == 0;
}

// Waits until cond holds, at most kConditionBound.
template <typename Cond> bool waitFor(Cond cond) {
    const auto deadline = Clock::now() + kConditionBound;
    while (!cond()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(packetfifo, HandlesAreDistinctAndNonZero) {
    Fifo a, b;
    EXPECT_NE(a.handle, 0u);
    EXPECT_NE(b.handle, 0u);
    EXPECT_NE(a.handle, b.handle);
    ASSERT_EQ(put(a.handle, 1), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(a.handle), 1u);
    EXPECT_EQ(aPacketFifo_GetLength(b.handle), 0u) << "queues are separate";
}

TEST(packetfifo, PutCopiesAndGetKeepsOrder) {
    Fifo fifo;
    PacketPtr mine = tagged(7);
    ASSERT_EQ(aPacketFifo_Put(fifo.handle, mine.get()), aErrNone);
    mine->data[0] = 99; // the queued copy must not change
    ASSERT_EQ(put(fifo.handle, 8), aErrNone);
    ASSERT_EQ(put(fifo.handle, 9), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 3u);

    PacketPtr first(aPacketFifo_Get(fifo.handle));
    ASSERT_TRUE(first);
    EXPECT_NE(first.get(), mine.get());
    EXPECT_TRUE(aPacket_IsComplete(first.get()));
    EXPECT_EQ(tagOf(first), 7);
    EXPECT_EQ(remainingTags(fifo.handle), (std::vector<int>{8, 9}));
    EXPECT_EQ(aPacketFifo_Get(fifo.handle), nullptr);
}

TEST(packetfifo, PutRefusals) {
    Fifo fifo;
    aPacket fake{};
    EXPECT_EQ(aPacketFifo_Put(fifo.handle, nullptr), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(fifo.handle, &fake), aErrParam);
    PacketPtr p = tagged(1);
    EXPECT_EQ(aPacketFifo_Put(0, p.get()), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u);
}

TEST(packetfifo, UnknownHandlesDoNothing) {
    const aPacketFifoHandle kUnknown = static_cast<aPacketFifoHandle>(-5);
    TagFilter f{1, {}};
    EXPECT_EQ(aPacketFifo_GetLength(kUnknown), 0u);
    EXPECT_EQ(aPacketFifo_Get(kUnknown), nullptr);
    EXPECT_EQ(aPacketFifo_Await(kUnknown, 0), nullptr);
    EXPECT_EQ(aPacketFifo_GetFirst(kUnknown, sTagFilter, &f), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(kUnknown, sTagFilter, &f, 0), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(kUnknown, sAcceptAll, nullptr), 0u);
    aPacketFifoHandle h = kUnknown;
    EXPECT_EQ(aPacketFifo_Destroy(&h), aErrNotFound);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST(packetfifo, OverflowEmptiesTheQueue) {
    Fifo fifo;
    for (size_t i = 0; i < aPACKETFIFO_CAPACITY; ++i) {
        ASSERT_EQ(put(fifo.handle, static_cast<uint8_t>(i)), aErrNone);
    }
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 1000u);
    EXPECT_EQ(put(fifo.handle, 0xEE), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u) << "the 1001st put empties it";
    EXPECT_EQ(put(fifo.handle, 0xEF), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 1u);
    EXPECT_EQ(remainingTags(fifo.handle), (std::vector<int>{0xEF}));
}

TEST(packetfifo, FilteredWaitAfterOverflowSeesOnlyNewPackets) {
    Fifo fifo;
    for (size_t i = 0; i <= aPACKETFIFO_CAPACITY; ++i) {
        ASSERT_EQ(put(fifo.handle, 1), aErrNone);
    }
    ASSERT_EQ(put(fifo.handle, 5), aErrNone);
    TagFilter f{5, {}};
    PacketPtr p(aPacketFifo_AwaitFirst(fifo.handle, sTagFilter, &f, 0));
    EXPECT_EQ(tagOf(p), 5);
    EXPECT_EQ(f.seen, (std::map<int, int>{{5, 1}}));
}

TEST(packetfifo, AwaitWithZeroTimeOut) {
    Fifo fifo;
    EXPECT_EQ(aPacketFifo_Await(fifo.handle, 0), nullptr);
    put(fifo.handle, 3);
    put(fifo.handle, 4);
    PacketPtr p(aPacketFifo_Await(fifo.handle, 0));
    EXPECT_EQ(tagOf(p), 3);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 1u);
}

TEST(packetfifo, AwaitTimesOutEmpty) {
    Fifo fifo;
    const auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(fifo.handle, 30), nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(30));
    TagFilter f{1, {}};
    put(fifo.handle, 2);
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo.handle, sTagFilter, &f, 30), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 1u) << "the rejected packet stays";
}

TEST(packetfifo, AwaitReceivesFromAnotherThread) {
    Fifo fifo;
    std::atomic<bool> waiting{false};
    PacketPtr got;
    std::thread waiter([&] {
        waiting = true;
        got.reset(aPacketFifo_Await(fifo.handle, kLongWaitMs));
    });
    ASSERT_TRUE(waitFor([&] { return waiting.load(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(put(fifo.handle, 42), aErrNone);
    waiter.join();
    EXPECT_EQ(tagOf(got), 42);
}

TEST(packetfifo, FilteredWaitSeesEachPacketOnce) {
    Fifo fifo;
    put(fifo.handle, 1);
    put(fifo.handle, 2);
    TagFilter f{3, {}};
    PacketPtr got;
    std::atomic<bool> done{false};
    const auto start = Clock::now();
    std::thread waiter([&] {
        got.reset(aPacketFifo_AwaitFirst(fifo.handle, sTagFilter, &f, kLongWaitMs));
        done = true;
    });
    // Rejected packets arriving during the wait wake the waiter again and
    // again; none of the earlier ones may be shown twice.
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    put(fifo.handle, 10);
    put(fifo.handle, 11);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    put(fifo.handle, 3);
    waiter.join();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(tagOf(got), 3);
    EXPECT_EQ(f.seen, (std::map<int, int>{{1, 1}, {2, 1}, {10, 1}, {11, 1}, {3, 1}}));
    EXPECT_EQ(remainingTags(fifo.handle), (std::vector<int>{1, 2, 10, 11}));
}

TEST(packetfifo, GetFirstTakesTheOldestMatchAndAsksUntilFound) {
    Fifo fifo;
    for (uint8_t tag : {5, 6, 7, 6, 8}) {
        put(fifo.handle, tag);
    }
    TagFilter f{6, {}};
    PacketPtr p(aPacketFifo_GetFirst(fifo.handle, sTagFilter, &f));
    EXPECT_EQ(tagOf(p), 6);
    EXPECT_EQ(f.seen, (std::map<int, int>{{5, 1}, {6, 1}})) << "the search stops at the match";
    TagFilter none{99, {}};
    EXPECT_EQ(aPacketFifo_GetFirst(fifo.handle, sTagFilter, &none), nullptr);
    EXPECT_EQ(none.seen.size(), 4u);
    EXPECT_EQ(aPacketFifo_GetFirst(fifo.handle, nullptr, nullptr), nullptr);
    EXPECT_EQ(remainingTags(fifo.handle), (std::vector<int>{5, 7, 6, 8}));
}

TEST(packetfifo, OrderAfterFilteredTakes) {
    Fifo fifo;
    for (uint8_t tag = 0; tag < 12; ++tag) {
        put(fifo.handle, tag);
    }
    TagFilter f4{4, {}}, f9{9, {}}, f0{0, {}};
    PacketPtr a(aPacketFifo_GetFirst(fifo.handle, sTagFilter, &f4));
    PacketPtr b(aPacketFifo_AwaitFirst(fifo.handle, sTagFilter, &f9, 0));
    PacketPtr c(aPacketFifo_AwaitFirst(fifo.handle, sTagFilter, &f0, 0));
    EXPECT_EQ(tagOf(a), 4);
    EXPECT_EQ(tagOf(b), 9);
    EXPECT_EQ(tagOf(c), 0);
    // Later puts join behind the survivors.
    put(fifo.handle, 20);
    PacketPtr d(aPacketFifo_Get(fifo.handle));
    EXPECT_EQ(tagOf(d), 1);
    EXPECT_EQ(remainingTags(fifo.handle), (std::vector<int>{2, 3, 5, 6, 7, 8, 10, 11, 20}));
}

TEST(packetfifo, DrainRemovesMatchesAndKeepsTheRest) {
    Fifo fifo;
    for (uint8_t tag = 1; tag <= 7; ++tag) {
        put(fifo.handle, tag);
    }
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.handle, sEvenTags, nullptr), 3u);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.handle, nullptr, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 4u);
    // A filtered wait after a drain still sees the survivors.
    TagFilter f{5, {}};
    PacketPtr p(aPacketFifo_AwaitFirst(fifo.handle, sTagFilter, &f, 0));
    EXPECT_EQ(tagOf(p), 5);
    EXPECT_EQ(remainingTags(fifo.handle), (std::vector<int>{1, 3, 7}));

    for (uint8_t tag = 0; tag < 9; ++tag) {
        put(fifo.handle, tag);
    }
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo.handle, sAcceptAll, nullptr), 9u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u);
}

TEST(packetfifo, DestroyWakesWaitersPromptly) {
    Fifo fifo;
    std::atomic<int> started{0};
    std::atomic<int> nonNull{0};
    TagFilter f{2, {}};
    Clock::duration plainWait{}, filteredWait{};
    std::thread plain([&] {
        started++;
        const auto start = Clock::now();
        PacketPtr p(aPacketFifo_Await(fifo.handle, kLongWaitMs));
        plainWait = Clock::now() - start;
        nonNull += p ? 1 : 0;
    });
    std::thread filtered([&] {
        started++;
        const auto start = Clock::now();
        PacketPtr p(aPacketFifo_AwaitFirst(fifo.handle, sTagFilter, &f, kLongWaitMs));
        filteredWait = Clock::now() - start;
        nonNull += p ? 1 : 0;
    });
    ASSERT_TRUE(waitFor([&] { return started.load() == 2; }));
    // Let both reach their wait; a waiter that arrives late finds the handle
    // gone and returns at once, which passes as well.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));

    aPacketFifoHandle handle = fifo.handle;
    EXPECT_EQ(aPacketFifo_Destroy(&fifo.handle), aErrNone);
    EXPECT_EQ(fifo.handle, 0u);
    plain.join();
    filtered.join();
    EXPECT_EQ(nonNull.load(), 0);
    // Promptly: far from the waits' own time-out.
    EXPECT_LT(plainWait, std::chrono::milliseconds(kLongWaitMs / 4));
    EXPECT_LT(filteredWait, std::chrono::milliseconds(kLongWaitMs / 4));

    EXPECT_EQ(put(handle, 3), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(handle), 0u);
    EXPECT_EQ(aPacketFifo_Destroy(&handle), aErrNotFound);
    EXPECT_NE(handle, 0u) << "a failed destroy leaves the handle alone";
}

TEST(packetfifo, ProducersAndFilteredConsumersLoseNothing) {
    // Each consumer takes only the packets addressed to it (second data
    // byte); every packet must arrive exactly once and in its producer's
    // order.
    Fifo fifo;
    const int kProducers = 3;
    const int kConsumers = 3;
    const int kPerProducerPerConsumer = 60; // 540 packets: never an overflow
    struct Owner {
        uint8_t id;
    };
    struct Seen {
        std::vector<std::pair<int, int>> packets; // producer, sequence
    };
    auto ownerFilter = [](const aPacket* packet, const void* reference) {
        return packet->data[1] == static_cast<const Owner*>(reference)->id;
    };
    std::vector<Seen> seen(kConsumers);
    std::vector<std::thread> threads;
    for (int c = 0; c < kConsumers; ++c) {
        threads.emplace_back([&, c] {
            Owner owner{static_cast<uint8_t>(c)};
            const int expected = kProducers * kPerProducerPerConsumer;
            for (int i = 0; i < expected; ++i) {
                PacketPtr p(aPacketFifo_AwaitFirst(fifo.handle, ownerFilter, &owner, kLongWaitMs));
                if (!p) {
                    break;
                }
                seen[c].packets.emplace_back(p->data[0], p->data[2]);
            }
        });
    }
    for (int producer = 0; producer < kProducers; ++producer) {
        threads.emplace_back([&, producer] {
            for (int i = 0; i < kPerProducerPerConsumer; ++i) {
                for (int c = 0; c < kConsumers; ++c) {
                    const uint8_t data[] = {static_cast<uint8_t>(producer), static_cast<uint8_t>(c),
                                            static_cast<uint8_t>(i)};
                    PacketPtr p(aPacket_CreateWithData(2, sizeof(data), data));
                    EXPECT_EQ(aPacketFifo_Put(fifo.handle, p.get()), aErrNone);
                }
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (int c = 0; c < kConsumers; ++c) {
        SCOPED_TRACE(c);
        ASSERT_EQ(seen[c].packets.size(), size_t(kProducers * kPerProducerPerConsumer));
        std::vector<int> next(kProducers, 0);
        for (const auto& packet : seen[c].packets) {
            EXPECT_EQ(packet.second, next[packet.first]) << "producer " << packet.first;
            next[packet.first] = packet.second + 1;
        }
    }
    EXPECT_EQ(aPacketFifo_GetLength(fifo.handle), 0u);
}

TEST(packetfifo, DestroyRacingWithUsersIsSafe) {
    // Users hammer a FIFO that is destroyed under them; every call must
    // return cleanly (the sanitizers watch the memory).
    for (int round = 0; round < 20; ++round) {
        aPacketFifoHandle handle = aPacketFifo_Create();
        ASSERT_NE(handle, 0u);
        std::atomic<bool> stop{false};
        std::vector<std::thread> users;
        for (int u = 0; u < 3; ++u) {
            users.emplace_back([&, u] {
                TagFilter f{200, {}};
                for (int i = 0; i < 2000 && !stop; ++i) {
                    if (u == 0) {
                        put(handle, static_cast<uint8_t>(i));
                    } else if (u == 1) {
                        PacketPtr p(aPacketFifo_Await(handle, 1));
                    } else {
                        PacketPtr p(aPacketFifo_AwaitFirst(handle, sTagFilter, &f, 1));
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        aPacketFifoHandle victim = handle;
        EXPECT_EQ(aPacketFifo_Destroy(&victim), aErrNone);
        stop = true;
        for (std::thread& t : users) {
            t.join();
        }
        EXPECT_EQ(aPacketFifo_GetLength(handle), 0u);
    }
}

TEST(packetfifo, HugeTimeOutsStillWait) {
    // The longest time-out must not overflow into an immediate return.
    Fifo fifo;
    PacketPtr got;
    std::thread waiter([&] { got.reset(aPacketFifo_Await(fifo.handle, ~0ul)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    put(fifo.handle, 77);
    waiter.join();
    EXPECT_EQ(tagOf(got), 77);
}

} // namespace
