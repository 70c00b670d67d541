// The TCP socket transport behind aStream_CreateSocket (declared in
// devlib/aStream.h): a non-blocking connection to a module with its own
// network interface, which re-establishes itself inside reads and writes when
// the connection drops.
//
// The link engine reads from its reader thread and writes from its writer
// thread; either may reconnect. Every use and every replacement of the
// socket descriptor happens under the record's mutex, so neither thread ever
// works on a descriptor the other has closed (or one the system has reused).
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include <netinet/in.h>

#include "devlib/aError.h"

// Tag of a live socket stream record.
#define aSOCKETSTREAMTAG 0xDEAD
// Bit 0 of `flags`: connected.
#define aSOCKETSTREAMCONNECTED 0x1u

// The transport's reference record, owned by its stream and freed by its
// delete operation.
struct aSocketStream {
    uint16_t port;              // the module's TCP port, host byte order
    struct sockaddr_in address; // AF_INET, port and address in network byte order
    int socket;                 // the connected descriptor; 0 when closed
    uint32_t flags;             // aSOCKETSTREAMCONNECTED
    uint16_t tag;               // aSOCKETSTREAMTAG while the record is valid
    bool peerClosed;            // the module closed its side (reads see the end)
    std::mutex lock;            // guards socket, flags and peerClosed
};

// The stream operations (installed by aStream_CreateSocket; exposed for the
// transport's tests). Each takes the record as reference.
// Reads one byte without waiting: aErrNone and the byte; aErrNotReady when
// nothing is waiting or the module closed the connection; aErrConnection when
// not connected; aErrParam for an invalid record. A connection reset by the
// module is re-established once inside the read (blocking up to the connect
// time-out).
aErr sSocketStreamGet(uint8_t* byte, void* reference);
// Writes one byte, as sSocketStreamWrite with a length of 1.
aErr sSocketStreamPut(const uint8_t* byte, void* reference);
// Writes the whole buffer: aErrNone when every byte went out; aErrBusy after
// 10 stalled attempts about 60 ms apart; aErrConnection when not connected
// or a reconnection failed; aErrIO for other socket errors; aErrParam for an
// invalid record. A write of 0 bytes returns aErrNone at once.
aErr sSocketStreamWrite(const uint8_t* data, size_t length, void* reference);
// Waits at most `milliseconds` for a byte (aErrNone) or reports aErrTimeout.
aErr sSocketStreamWait(unsigned long milliseconds, void* reference);
// Closes the connection and frees the record. aErrIO for an invalid record,
// which is not touched.
aErr sSocketStreamDelete(void* reference);
