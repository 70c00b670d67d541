// The serial transport over a pseudo-terminal made by the test: opening and
// its failures, raw bytes both ways, reads that never wait, the readiness
// wait, and the terminal settings restored at destruction.
#include "devlib/unix_streamserial.h"

#include <chrono>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "devlib/aStream.h"
#include "tests/support/TestSupport.h"

namespace {

class Pty {
public:
    Pty() {
        char name[256];
        if (openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            path_ = name;
        }
    }
    ~Pty() {
        if (master_ >= 0) {
            close(master_);
        }
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    const std::string& path() const { return path_; }
    int master() const { return master_; }
    void closeMaster() {
        close(master_);
        master_ = -1;
    }
    int slave() const { return slave_; }
    // Reads what the stream wrote, at most `n` bytes within a bound.
    std::string readMaster(size_t n) {
        std::string out;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char buf[256];
                ssize_t got = read(master_, buf, sizeof(buf));
                if (got > 0) {
                    out.append(buf, static_cast<size_t>(got));
                }
            }
        }
        return out;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

TEST(SerialStreamTest, BaudIndexTable) {
    const unsigned int rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int i = 0; i < 8; i++) {
        EXPECT_EQ(aStream_SerialBaudIndex(rates[i]), i);
    }
    EXPECT_EQ(aStream_SerialBaudIndex(14400), -1);
    EXPECT_EQ(aStream_SerialBaudIndex(0), -1);
    EXPECT_EQ(aSerial_SpeedOfIndex(6), static_cast<speed_t>(B115200));
    EXPECT_EQ(aSerial_SpeedOfIndex(8), static_cast<speed_t>(B0));
    EXPECT_EQ(aSerial_SpeedOfIndex(-1), static_cast<speed_t>(B0));
}

TEST(SerialStreamTest, BadArgumentsCreateNothing) {
    Pty pty;
    ASSERT_FALSE(pty.path().empty());
    aStream* s = reinterpret_cast<aStream*>(1);
    EXPECT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, false, 2, 0, &s), aErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, false, 0, 2, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(nullptr, 6, false, 0, 0, &s), aErrResource);
    EXPECT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, false, 0, 0, nullptr), aErrResource);
}

TEST(SerialStreamTest, MissingPortIsNotFoundAndNonTerminalIsIOError) {
    testsupport::TempDir dir;
    aStream* s = nullptr;
    EXPECT_EQ(aStream_CreateSerial(dir.file("ttyNone").c_str(), 6, false, 0, 0, &s), aErrNotFound);
    EXPECT_EQ(s, nullptr);
    ASSERT_TRUE(testsupport::writeFile(dir.file("plain"), "not a terminal"));
    EXPECT_EQ(aStream_CreateSerial(dir.file("plain").c_str(), 6, false, 0, 0, &s), aErrIO);
    EXPECT_EQ(s, nullptr);
}

TEST(SerialStreamTest, BytesBothWaysAndReadsNeverWait) {
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, false, 0, 0, &s), aErrNone);
    ASSERT_NE(s, nullptr);

    uint8_t b = 0;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(aStream_Wait(s, 30), aErrTimeout);

    // Raw mode: every byte value passes unchanged, CR and LF included.
    const uint8_t out[6] = {0xAD, 0x00, 0x0D, 0x0A, 0x03, 0xFF};
    ASSERT_EQ(aStream_Write(s, out, sizeof(out)), aErrNone);
    EXPECT_EQ(pty.readMaster(6), std::string(reinterpret_cast<const char*>(out), 6));

    const char in[] = "\x02\x00\x0d\x0a\x11";
    ASSERT_EQ(write(pty.master(), in, 5), 5);
    EXPECT_EQ(aStream_Wait(s, 5000), aErrNone);
    uint8_t got[5];
    // Bytes may arrive in parts; read them as they come, within a bound.
    size_t n = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (n < 5 && std::chrono::steady_clock::now() < deadline) {
        if (aStream_Read(s, &got[n], 1) == aErrNone) {
            n++;
        } else {
            aStream_Wait(s, 50);
        }
    }
    ASSERT_EQ(n, 5u);
    EXPECT_EQ(memcmp(got, in, 5), 0);
    EXPECT_EQ(aStream_Destroy(&s), aErrNone);
}

TEST(SerialStreamTest, DestroyRestoresPreviousTerminalSettings) {
    Pty pty;
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave(), &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u) << "a fresh pty starts in canonical mode";
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 4, false, 0, 0, &s), aErrNone);
    termios during{};
    ASSERT_EQ(tcgetattr(pty.slave(), &during), 0);
    EXPECT_EQ(during.c_lflag & ICANON, 0u);
    EXPECT_EQ(during.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(cfgetospeed(&during), static_cast<speed_t>(B38400));
    EXPECT_EQ(during.c_cc[VMIN], 0);
    ASSERT_EQ(aStream_Destroy(&s), aErrNone);
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave(), &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST(SerialStreamTest, SevenBitsTwoStopBitsAndParityAreApplied) {
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 2, true, 1, 1, &s), aErrNone);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
    // A pseudo-terminal keeps 8 bits without parity whatever it is asked
    // (the kernel forces that), so only the other settings show here.
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_NE(t.c_iflag & IGNPAR, 0u);
    EXPECT_NE(t.c_iflag & INPCK, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    aStream_Destroy(&s);
}

TEST(SerialStreamTest, HungUpPeerGivesIOErrorNotAHang) {
    Pty pty;
    aStream* s = nullptr;
    ASSERT_EQ(aStream_CreateSerial(pty.path().c_str(), 6, false, 0, 0, &s), aErrNone);
    // Closing the master side hangs the line up: reads now fail.
    pty.closeMaster();
    EXPECT_EQ(aStream_Wait(s, 1000), aErrNone);
    uint8_t b;
    EXPECT_EQ(aStream_Read(s, &b, 1), aErrIO);
    aStream_Destroy(&s);
}

} // namespace
