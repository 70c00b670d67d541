// The TCP socket transport: non-blocking reads of one byte, writes with
// bounded retries, and reconnection serialised by the record's mutex.
#include "devlib/aStreamsocket.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "devlib/aStream.h"

namespace {

// A write gives up after this many stalled attempts...
constexpr int kSocketWriteAttempts = 10;
// ...waiting at most this long for room between them.
constexpr int kSocketWriteRetryMS = 60;
// The pause after closing a socket before a new one is connected.
constexpr long kSocketCloseSettleNS = 10L * 1000L * 1000L; // 10 ms
// A connection attempt that has not completed within this time fails, so
// an address that drops connection requests cannot hold a caller for the
// system's minutes-long connect time-out.
constexpr int kSocketConnectTimeoutMS = 3000;

bool aVALIDSS(const aSocketStream* record) {
    return record != nullptr && record->tag == aSOCKETSTREAMTAG;
}

void sSleepNS(long ns) {
    struct timespec pause = {0, ns};
    nanosleep(&pause, nullptr);
}

// Closes the connection. The caller holds the lock.
void sSocketStreamClose(aSocketStream* record) {
    record->flags &= ~aSOCKETSTREAMCONNECTED;
    if (record->socket > 0) {
        close(record->socket);
    }
    record->socket = 0;
    record->peerClosed = false;
    sSleepNS(kSocketCloseSettleNS);
}

aErr sSocketStreamSetOptions(aSocketStream* record) {
    int on = 1;
    if (setsockopt(record->socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)) != 0) {
        return aErrIO;
    }
    struct timeval none = {0, 0};
    if (setsockopt(record->socket, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof(none)) != 0) {
        return aErrIO;
    }
    struct linger lingerNone = {1, 0};
    if (setsockopt(record->socket, SOL_SOCKET, SO_LINGER, &lingerNone, sizeof(lingerNone)) != 0) {
        return aErrIO;
    }
    int nonBlocking = 1;
    if (ioctl(record->socket, FIONBIO, &nonBlocking) != 0) {
        return aErrIO;
    }
    return aErrNone;
}

aErr sConnectError(int error) {
    switch (error) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
        return aErrConnection;
    default:
        return aErrIO;
    }
}

// Opens a fresh connection to the stored address, closing any old one. The
// caller holds the lock. Blocks at most kSocketConnectTimeoutMS.
aErr sSocketStreamReset(aSocketStream* record) {
    if (!aVALIDSS(record)) {
        return aErrInitialization;
    }
    if (record->socket > 0) {
        sSocketStreamClose(record);
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return aErrIO;
    }
    int error = 0;
    if (connect(fd, reinterpret_cast<const struct sockaddr*>(&record->address),
                sizeof(record->address)) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            struct pollfd pfd = {fd, POLLOUT, 0};
            int ready;
            do {
                ready = poll(&pfd, 1, kSocketConnectTimeoutMS);
            } while (ready < 0 && errno == EINTR);
            socklen_t size = sizeof(error);
            if (ready == 0) {
                error = ETIMEDOUT;
            } else if (ready < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) {
                error = errno;
            }
        }
    }
    if (error != 0) {
        close(fd);
        return sConnectError(error);
    }
    // Descriptor 0 means "closed" in this record; it cannot be a socket here
    // because the standard streams stay open, but make sure.
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0) {
            return aErrIO;
        }
        fd = moved;
    }
    record->socket = fd;
    record->flags |= aSOCKETSTREAMCONNECTED;
    record->peerClosed = false;
    return sSocketStreamSetOptions(record);
}

bool sIsDropped(int error) {
    return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

// Peeks for a byte and takes it. `mayReconnect` allows one reconnection
// when the connection was reset. The caller holds the lock.
aErr sGetLocked(aSocketStream* record, uint8_t* byte, bool mayReconnect) {
    uint8_t peeked = 0;
    ssize_t n = recv(record->socket, &peeked, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n == 0) {
        record->peerClosed = true;
        return aErrNotReady;
    }
    if (n < 0) {
        int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
            return aErrNotReady;
        }
        if (sIsDropped(error)) {
            record->flags &= ~aSOCKETSTREAMCONNECTED;
            if (!mayReconnect) {
                return aErrNotReady;
            }
            aErr err = sSocketStreamReset(record);
            if (err != aErrNone) {
                return err;
            }
            return sGetLocked(record, byte, false);
        }
        return aErrConnection;
    }
    n = recv(record->socket, byte, 1, MSG_DONTWAIT);
    if (n == 1) {
        return aErrNone;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        return aErrEOF;
    }
    if (n < 0 && sIsDropped(errno)) {
        return aErrNotReady;
    }
    return aErrIO;
}

} // namespace

aErr sSocketStreamGet(uint8_t* byte, void* reference) {
    aSocketStream* record = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(record) || byte == nullptr) {
        return aErrParam;
    }
    std::lock_guard<std::mutex> guard(record->lock);
    if (!(record->flags & aSOCKETSTREAMCONNECTED)) {
        return aErrConnection;
    }
    return sGetLocked(record, byte, true);
}

aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* reference) {
    aSocketStream* record = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(record) || (data == nullptr && length > 0)) {
        return aErrParam;
    }
    size_t sent = 0;
    int attempts = 0;
    for (;;) {
        int fd = 0;
        {
            std::lock_guard<std::mutex> guard(record->lock);
            if (!(record->flags & aSOCKETSTREAMCONNECTED)) {
                return aErrConnection;
            }
            if (sent == length) {
                return aErrNone;
            }
            ssize_t n =
                send(record->socket, data + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n >= 0) {
                sent += static_cast<size_t>(n);
                if (sent < length) {
                    attempts = 1;
                }
            } else if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                attempts++;
            } else if (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN) {
                record->flags &= ~aSOCKETSTREAMCONNECTED;
                aErr err = sSocketStreamReset(record);
                if (err != aErrNone) {
                    return err;
                }
                attempts++;
            } else {
                return aErrIO;
            }
            if (sent == length) {
                return aErrNone;
            }
            fd = record->socket;
        }
        if (attempts >= kSocketWriteAttempts) {
            return aErrBusy;
        }
        // Wait for room rather than sleeping the whole pause: a window that
        // opens early lets the rest go at once. The descriptor may be replaced
        // meanwhile; that only ends this wait early.
        struct pollfd pfd = {fd, POLLOUT, 0};
        poll(&pfd, 1, kSocketWriteRetryMS);
    }
}

aErr sSocketStreamPut(const uint8_t* byte, void* reference) {
    return sSocketStreamWrite(byte, 1, reference);
}

aErr sSocketStreamWait(unsigned long milliseconds, void* reference) {
    aSocketStream* record = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(record)) {
        return aErrParam;
    }
    int fd = 0;
    bool idle = false;
    {
        std::lock_guard<std::mutex> guard(record->lock);
        if (!(record->flags & aSOCKETSTREAMCONNECTED)) {
            return aErrNone; // the next get reports it
        }
        fd = record->socket;
        // After the module closed its side the socket stays readable (at its
        // end) for good; polling it would return at once forever.
        idle = record->peerClosed;
    }
    if (idle) {
        sSleepNS(static_cast<long>(milliseconds) * 1000L * 1000L);
        return aErrTimeout;
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    int ready = poll(&pfd, 1, static_cast<int>(milliseconds));
    if (ready > 0) {
        return aErrNone;
    }
    return aErrTimeout;
}

aErr sSocketStreamDelete(void* reference) {
    aSocketStream* record = static_cast<aSocketStream*>(reference);
    if (!aVALIDSS(record)) {
        return aErrIO;
    }
    {
        std::lock_guard<std::mutex> guard(record->lock);
        if (record->socket > 0) {
            record->flags &= ~aSOCKETSTREAMCONNECTED;
            close(record->socket);
            record->socket = 0;
        }
        record->flags = 0;
        record->tag = 0;
    }
    delete record;
    return aErrNone;
}

aErr aStream_CreateSocket(unsigned int ipAddress, unsigned short port, aStream** stream) {
    if (stream == nullptr) {
        return aErrResource;
    }
    *stream = nullptr;
    aSocketStream* record = new (std::nothrow) aSocketStream();
    if (record == nullptr) {
        return aErrResource;
    }
    record->port = port;
    record->address.sin_family = AF_INET;
    record->address.sin_port = htons(port);
    record->address.sin_addr.s_addr = ipAddress;
    record->socket = 0;
    record->flags = 0;
    record->tag = aSOCKETSTREAMTAG;
    aErr err;
    {
        std::lock_guard<std::mutex> guard(record->lock);
        err = sSocketStreamReset(record);
    }
    if (err != aErrNone) {
        sSocketStreamDelete(record);
        return aErrResource;
    }
    aStream* s = aStream_Create(sSocketStreamGet, sSocketStreamPut, sSocketStreamWrite,
                                sSocketStreamDelete, record);
    if (s == nullptr) {
        sSocketStreamDelete(record);
        return aErrResource;
    }
    aStream_SetWaitProc(s, sSocketStreamWait);
    *stream = s;
    return aErrNone;
}
