// The TCP socket stream against a peer on loopback made by the test:
// connecting and refusal, reads that never wait, the peer's orderly close and
// reset, reconnection inside reads and writes, stalled writes and the record
// check.
#include "devlib/aStreamsocket.h"

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "devlib/aStream.h"
#include "tests/devlib_link/LoopbackPeer.h"

namespace {

using linktest::LoopbackPeer;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// Reads one byte, waiting for readiness in between, at most `timeout`.
aErr readByte(aStream* s, uint8_t* b, milliseconds timeout = milliseconds(3000)) {
    auto deadline = steady_clock::now() + timeout;
    aErr err = aErrNotReady;
    while (steady_clock::now() < deadline) {
        err = aStream_Read(s, b, 1);
        if (err != aErrNotReady) {
            return err;
        }
        aStream_Wait(s, 20);
    }
    return err;
}

TEST(SocketStreamTest, NothingListeningGivesResourceErrorAndNullStream) {
    uint16_t port;
    {
        LoopbackPeer peer;
        port = peer.port();
    } // closed: the port now refuses
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateSocket(LoopbackPeer::address(), port, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSocket(LoopbackPeer::address(), port, nullptr), aErrResource);
}

TEST(SocketStreamTest, BytesBothWaysAndReadsNeverBlock) {
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());

    uint8_t b = 0;
    auto start = steady_clock::now();
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_EQ(aStream_Wait(s, 20), aErrTimeout);
    EXPECT_LT(steady_clock::now() - start, milliseconds(1000));

    const uint8_t out[3] = {0x02, 0x01, 0x17};
    ASSERT_EQ(aStream_Write(s, out, 3), aErrNone);
    std::vector<uint8_t> got;
    ASSERT_TRUE(peer.readBytes(got, 3));
    EXPECT_EQ(got, std::vector<uint8_t>(out, out + 3));

    ASSERT_TRUE(peer.sendBytes({0x04, 0x00}));
    EXPECT_EQ(aStream_Wait(s, 3000), aErrNone);
    ASSERT_EQ(readByte(s, &b), aErrNone);
    EXPECT_EQ(b, 0x04);
    ASSERT_EQ(readByte(s, &b), aErrNone);
    EXPECT_EQ(b, 0x00);

    EXPECT_EQ(aStream_Write(s, out, 0), aErrNone);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SocketStreamTest, OrderlyCloseByPeerGivesNotReadyAndWaitDoesNotSpin) {
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());
    peer.closeConnection(false);
    uint8_t b;
    // The end of the connection is seen as "no byte".
    EXPECT_EQ(readByte(s, &b, milliseconds(300)), aErrNotReady);
    // The wait now sleeps out its time instead of returning at once.
    auto start = steady_clock::now();
    EXPECT_EQ(aStream_Wait(s, 50), aErrTimeout);
    EXPECT_GE(steady_clock::now() - start, milliseconds(40));
    aStream_Destroy(&s);
}

TEST(SocketStreamTest, ResetByPeerReconnectsInsideTheRead) {
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());
    peer.closeConnection(true);
    // The read that sees the reset connects again; the peer accepts the new
    // connection and sends on it.
    std::thread acceptor([&] {
        if (peer.accept()) {
            peer.sendBytes({0x06});
        }
    });
    uint8_t b = 0;
    aErr err = readByte(s, &b);
    acceptor.join();
    EXPECT_EQ(err, aErrNone);
    EXPECT_EQ(b, 0x06);
    // The new connection works both ways.
    ASSERT_EQ(aStream_Write(s, "\x02\x00", 2), aErrNone);
    std::vector<uint8_t> got;
    ASSERT_TRUE(peer.readBytes(got, 2));
    aStream_Destroy(&s);
}

TEST(SocketStreamTest, FailedReconnectionLeavesStreamDisconnected) {
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());
    peer.stopListening();
    peer.closeConnection(true);
    uint8_t b;
    EXPECT_EQ(readByte(s, &b), aErrConnection);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrConnection);
    EXPECT_EQ(aStream_Write(s, "\x02\x00", 2), aErrConnection);
    aStream_Destroy(&s);
}

TEST(SocketStreamTest, WriteAfterPeerClosedReconnects) {
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());
    peer.closeConnection(false);
    // The first write after the close is answered by a reset; a later write
    // sees the broken pipe and connects again.
    std::thread acceptor([&] { peer.accept(milliseconds(5000)); });
    aErr last = aErrNone;
    for (int i = 0; i < 20; i++) {
        last = aStream_Write(s, "\x02\x00", 2);
        std::this_thread::sleep_for(milliseconds(20));
        if (peer.connection() >= 0) {
            break;
        }
    }
    acceptor.join();
    EXPECT_EQ(last, aErrNone);
    ASSERT_GE(peer.connection(), 0) << "no new connection was made";
    ASSERT_EQ(aStream_Write(s, "\x04\x00", 2), aErrNone);
    std::vector<uint8_t> got;
    ASSERT_TRUE(peer.readBytes(got, 2));
    EXPECT_EQ(got.back(), 0x00);
    aStream_Destroy(&s);
}

TEST(SocketStreamTest, WriteToPeerThatStopsReadingGivesBusy) {
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_TRUE(peer.accept());
    peer.shrinkReceiveBuffer();
    std::vector<uint8_t> big(1 << 20, 0x5A);
    aErr err = aErrNone;
    auto start = steady_clock::now();
    for (int i = 0; i < 64 && err == aErrNone; i++) {
        err = aStream_Write(s, big.data(), big.size());
    }
    auto took = steady_clock::now() - start;
    EXPECT_EQ(err, aErrBusy);
    // Ten stalled attempts about 60 ms apart.
    EXPECT_GE(took, milliseconds(500));
    aStream_Destroy(&s);
}

TEST(SocketStreamTest, InvalidRecordIsRefused) {
    aSocketStream fake;
    fake.tag = 0;
    fake.socket = 0;
    fake.flags = aSOCKETSTREAMCONNECTED;
    uint8_t b;
    EXPECT_EQ(sSocketStreamGet(&b, &fake), aErrParam);
    EXPECT_EQ(sSocketStreamWrite(&b, 1, &fake), aErrParam);
    EXPECT_EQ(sSocketStreamPut(&b, &fake), aErrParam);
    EXPECT_EQ(sSocketStreamDelete(&fake), aErrIO);
    EXPECT_EQ(sSocketStreamGet(&b, nullptr), aErrParam);
    // Through the stream: a destroyed stream is gone for good.
    LoopbackPeer peer;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSocket(LoopbackPeer::address(), peer.port(), &s), aErrNone);
    ASSERT_EQ(aStream_Destroy(&s), aErrNone);
    EXPECT_EQ(aStream_Destroy(&s), aErrParam);
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrParam);
}

} // namespace
