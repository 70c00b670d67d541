// The serial-port transport: a termios port in raw mode whose reads return at
// once, with a readiness wait for the link engine's reader.
#include "devlib/unix_streamserial.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "devlib/aStream.h"

namespace {

// A write that the port does not accept within this time fails with aErrIO,
// so that a peer which stops reading cannot hold the link's writer forever.
constexpr int kSerialWriteTimeoutMS = 2000;

aSerialStream* sRecord(void* reference) {
    aSerialStream* record = static_cast<aSerialStream*>(reference);
    return aVALIDSS(record) ? record : nullptr;
}

aErr sSerialGet(uint8_t* byte, void* reference) {
    aSerialStream* record = sRecord(reference);
    if (record == nullptr || record->fd < 0) {
        return aErrParam;
    }
    ssize_t n = read(record->fd, byte, 1);
    if (n == 1) {
        return aErrNone;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        return aErrIO;
    }
    // No byte. A line that was hung up (the other end of a pseudo-terminal
    // closed) also reads as empty, for good: report that as a failure, or a
    // reader waiting for readiness would be woken at once again and again.
    struct pollfd pfd = {record->fd, POLLIN, 0};
    if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        return aErrIO;
    }
    return aErrNotReady;
}

aErr sSerialWrite(const uint8_t* data, size_t length, void* reference) {
    aSerialStream* record = sRecord(reference);
    if (record == nullptr || record->fd < 0) {
        return aErrParam;
    }
    size_t sent = 0;
    while (sent < length) {
        ssize_t n = write(record->fd, data + sent, length - sent);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return aErrIO;
        }
        // The port's output buffer is full: wait for room, with a bound.
        struct pollfd pfd = {record->fd, POLLOUT, 0};
        int ready = poll(&pfd, 1, kSerialWriteTimeoutMS);
        if (ready == 0 || (ready < 0 && errno != EINTR) ||
            (ready > 0 && (pfd.revents & (POLLERR | POLLNVAL)))) {
            return aErrIO;
        }
    }
    if (tcdrain(record->fd) != 0) {
        return aErrIO;
    }
    return aErrNone;
}

aErr sSerialPut(const uint8_t* byte, void* reference) {
    return sSerialWrite(byte, 1, reference);
}

aErr sSerialWait(unsigned long milliseconds, void* reference) {
    aSerialStream* record = sRecord(reference);
    if (record == nullptr || record->fd < 0) {
        return aErrParam;
    }
    struct pollfd pfd = {record->fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(milliseconds));
    if (ready > 0) {
        return aErrNone; // a byte, or a hang-up that the next get reports
    }
    if (ready == 0 || errno == EINTR) {
        return aErrTimeout;
    }
    return aErrIO;
}

aErr sSerialDelete(void* reference) {
    aSerialStream* record = sRecord(reference);
    if (record == nullptr) {
        return aErrParam;
    }
    aErr err = aErrNone;
    if (record->fd >= 0) {
        if (record->savedValid && tcsetattr(record->fd, TCSANOW, &record->saved) != 0) {
            err = aErrIO;
        }
        if (close(record->fd) != 0) {
            err = aErrIO;
        }
        record->fd = -1;
    }
    record->check = 0;
    free(record);
    return err;
}

aErr sErrnoOfOpen(int error) {
    switch (error) {
    case ENOENT:
        return aErrNotFound;
    case EACCES:
        return aErrPermission;
    default:
        return aErrIO;
    }
}

} // namespace

speed_t aSerial_SpeedOfIndex(int baudIndex) {
    static const speed_t kSpeeds[] = {B2400,  B4800,  B9600,   B19200,
                                      B38400, B57600, B115200, B230400};
    if (baudIndex < 0 || baudIndex >= static_cast<int>(sizeof(kSpeeds) / sizeof(kSpeeds[0]))) {
        return B0;
    }
    return kSpeeds[baudIndex];
}

int aStream_SerialBaudIndex(unsigned int baudRate) {
    static const unsigned int kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (size_t i = 0; i < sizeof(kRates) / sizeof(kRates[0]); i++) {
        if (kRates[i] == baudRate) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

aErr aStream_CreateSerial(const char* port, int baudIndex, bool parity, int dataBits, int stopBits,
                          aStream** stream) {
    if (stream != nullptr) {
        *stream = nullptr;
    }
    if (port == nullptr || stream == nullptr || dataBits < 0 || dataBits > 1 || stopBits < 0 ||
        stopBits > 1) {
        return aErrResource;
    }
    aSerialStream* record = static_cast<aSerialStream*>(calloc(1, sizeof(aSerialStream)));
    if (record == nullptr) {
        return aErrResource;
    }
    record->baudIndex = baudIndex;
    strncpy(record->portName, port, aSERIALPORTNAMEMAX - 1);
    record->fd = -1;
    record->check = aSERIALSTREAMCHECK;
    aStream* s = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, record);
    if (s == nullptr) {
        record->check = 0;
        free(record);
        return aErrResource;
    }
    aStream_SetWaitProc(s, sSerialWait);

    aErr err = aErrNone;
    // The descriptor stays non-blocking: reads return at once anyway (VMIN and
    // VTIME 0), and writes wait for room with a bound instead of blocking.
    record->fd = open(record->portName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (record->fd < 0) {
        err = sErrnoOfOpen(errno);
    }
    if (err == aErrNone && tcgetattr(record->fd, &record->saved) != 0) {
        err = aErrIO;
    }
    if (err == aErrNone) {
        record->savedValid = true;
        struct termios t;
        memset(&t, 0, sizeof(t));
        t.c_iflag = IGNBRK | (parity ? (IGNPAR | INPCK) : 0);
        t.c_oflag = 0;
        t.c_lflag = 0;
        t.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBits == 0 ? CS8 : CS7) |
                    (stopBits == 1 ? CSTOPB : 0);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        speed_t speed = aSerial_SpeedOfIndex(baudIndex);
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        record->applied = t;
        if (tcsetattr(record->fd, TCSANOW, &t) != 0 || tcflush(record->fd, TCIOFLUSH) != 0) {
            err = aErrIO;
        }
    }
    if (err != aErrNone) {
        aStream_Destroy(&s);
        return err;
    }
    *stream = s;
    return aErrNone;
}
