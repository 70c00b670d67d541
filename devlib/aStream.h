// Byte streams: the carrier between the link engine and a module.
//
// An aStream is a small record of four operations supplied by a transport
// (get one byte, put one byte, write many bytes, delete the transport's
// record) together with the transport's own reference record and a push-back
// ring that lets a reader hand bytes back to the stream. Every transport
// (files, serial ports, TCP sockets, USB, the link-server client) plugs into
// this one record, so the link engine frames packets the same way over all of
// them.
//
// A transport may also install a fifth, optional operation, `wait`, which
// blocks until a byte can be read or a bounded time passes. The link engine's
// reader thread uses it so that an idle link does not spin on a transport
// whose get returns at once with aErrNotReady (sockets, serial ports).
//
// Nothing here prints, throws or exits; every operation returns an aErr.
// A stream has no lock of its own: the link engine reads from one thread and
// writes from another, which every transport allows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/aError.h"

// Check word of a live stream record.
#define aSTREAMCHECK 0x4321
// The push-back ring grows in steps of this many bytes.
#define aSTREAMBUFCHUNK 512

// Transport operations. Each receives the transport's reference record.
// get: read one byte into *byte. aErrNone with a byte; aErrNotReady when no
//   byte is waiting yet (never blocks for long); aErrEOF at the end of a file;
//   aErrIO or aErrConnection when the transport failed.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
// put: write one byte.
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
// write: write `length` bytes in one go.
typedef aErr (*aStreamWriteProc)(const uint8_t* data, size_t length, void* reference);
// delete: release the reference record (the stream record itself is freed by
// aStream_Destroy).
typedef aErr (*aStreamDeleteProc)(void* reference);
// wait: block until a byte can be read, at most `milliseconds`. aErrNone when
//   a get is worth trying now (a byte is there, or the transport has news such
//   as an error or a closed peer); aErrTimeout when nothing arrived in time;
//   other codes when the transport cannot wait at all.
typedef aErr (*aStreamWaitProc)(unsigned long milliseconds, void* reference);
// wake: make a get (or wait) that is blocked in the transport from another
//   thread return soon, as if nothing had arrived; when none is blocked, the
//   next one returns soon. For transports whose get may block for long.
typedef aErr (*aStreamWakeProc)(void* reference);

// The stream record. Heap-allocated by aStream_Create, owned by whoever holds
// the pointer, freed only by aStream_Destroy. Users treat the fields as
// private to this unit and to the transports.
struct aStream {
    aStreamGetProc get;       // may be null
    aStreamPutProc put;       // may be null
    aStreamWriteProc write;   // may be null
    aStreamDeleteProc remove; // the delete operation; may be null
    void* reference;          // the transport's own record
    uint8_t* pushback;        // push-back ring, allocated on first use
    size_t count;             // bytes waiting in the ring
    size_t capacity;          // size of the ring
    size_t readPos;           // ring position of the next byte to hand out
    size_t writePos;          // ring position of the next pushed-back byte
    uint16_t check;           // aSTREAMCHECK while the record is alive
    aStreamWaitProc wait;     // optional readiness wait, see above
    aStreamWakeProc wake;     // optional wake of a blocked get, see above
};

// True for a live stream record.
#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == aSTREAMCHECK)

// Creates a stream over the four operations and the reference record. Any
// operation may be null. Returns the new zeroed record carrying the check
// word, owned by the caller (free it with aStream_Destroy), or null when
// memory is exhausted. The stream does not own `reference` until it is
// created: on success its delete operation releases it.
aStream* aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                        aStreamDeleteProc remove, void* reference);

// Installs (or, with null, removes) the optional readiness wait of a stream.
// aErrParam for an invalid stream.
aErr aStream_SetWaitProc(aStream* stream, aStreamWaitProc wait);

// Installs (or, with null, removes) the optional wake operation of a stream.
// aErrParam for an invalid stream.
aErr aStream_SetWakeProc(aStream* stream, aStreamWakeProc wake);

// Asks the transport to end a get that blocks in it now (from any thread),
// so that the reading thread looks at its state again without waiting out
// the transport's own time-out. A stream without a wake operation does
// nothing. aErrParam for an invalid stream, else the transport's result.
// Never blocks for long.
aErr aStream_Wake(aStream* stream);

// Waits, at most `milliseconds`, until a read is worth trying. Returns
// aErrNone at once when pushed-back bytes wait; otherwise the transport's
// wait result (aErrNone or aErrTimeout). A stream without a wait operation
// sleeps briefly (a millisecond at most) and reports aErrTimeout, since its
// get is expected to block by itself. aErrParam for an invalid stream.
// Blocks at most `milliseconds`.
aErr aStream_Wait(aStream* stream, unsigned long milliseconds);

// Reads exactly `size` bytes into `buffer`: pushed-back bytes first, then the
// transport's get, byte by byte. Results:
//   aErrNone: all `size` bytes read;
//   aErrNotReady: the transport had no byte before `size` were read; the
//     bytes already read are pushed back, so a later read sees them again;
//   aErrEOF: the end came first; the bytes before it are in `buffer`;
//   aErrParam (invalid stream or null buffer), aErrMode (no get),
//   aErrResource (no scratch memory), or the transport's error, in which case
//   the bytes read are lost.
// Blocks only as long as the transport's get does.
aErr aStream_Read(aStream* stream, void* buffer, size_t size);

// Writes `length` bytes: one call of the write operation when there is one
// and `length` exceeds 1, otherwise put for each byte, stopping at the first
// error. aErrParam (invalid stream, null data), aErrMode (neither put nor
// write), or the transport's result. A length of 0 writes nothing.
aErr aStream_Write(aStream* stream, const void* data, size_t length);

// Pushes one byte back so that a later read hands it out after any bytes
// already pushed back. aErrParam for an invalid stream, aErrMemory when the
// ring cannot be allocated or grown.
aErr aStreamBufferChar(aStream* stream, uint8_t byte);

// Reads one record: bytes up to the terminator (which is consumed but not
// stored), or `capacity` bytes, whichever comes first. On success (and on
// aErrEOF after at least one byte) the bytes are in `buffer` and their number
// in *length (when length is non-null). aErrNotReady pushes the bytes read
// back. aErrEOF before any byte sets *length to 0. aErrParam for an invalid
// stream, null buffer or terminator, or a zero terminator length;
// aErrResource when scratch memory cannot be had.
aErr aStream_ReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t capacity,
                        const uint8_t* terminator, size_t terminatorLength);
// Writes `length` bytes of data and then the terminator. aErrParam for an
// invalid stream or a null pointer with a non-zero length.
aErr aStream_WriteRecord(aStream* stream, const uint8_t* data, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);

// Reads a record terminated by one zero byte into at most capacity - 1
// bytes and zero-terminates it. Results as aStream_ReadRecord; aErrParam for
// a capacity of 0.
aErr aStream_ReadCString(aStream* stream, char* buffer, size_t capacity);
// Writes the text and its terminating zero byte.
aErr aStream_WriteCString(aStream* stream, const char* text);

// Reads a record terminated by the terminator text and zero-terminates it in
// `buffer` (at most capacity - 1 bytes are stored). Results as
// aStream_ReadRecord.
aErr aStream_ReadCStringRecord(aStream* stream, char* buffer, size_t capacity,
                               const char* terminator);
// Writes the text, then the terminator text including its zero byte.
aErr aStream_WriteCStringRecord(aStream* stream, const char* text, const char* terminator);

// Copies bytes from the source's get to the destination's put until the
// source reports an error. The source's aErrEOF ends the copy with aErrNone;
// any other source error, or any put error, is returned. aErrParam for an
// invalid stream, aErrMode unless the source has get and the destination
// has put. Note that a source returning aErrNotReady ends the copy with it.
aErr aStream_Flush(aStream* source, aStream* destination);

// Destroys a stream: calls its delete operation with the reference record
// (whose result is returned), frees the push-back ring, clears the check word,
// frees the record and sets *stream to null. An invalid stream gives
// aErrParam; *stream is set to null in that case too (when stream is
// non-null).
aErr aStream_Destroy(aStream** stream);

// File streams (reading or writing a file byte by byte). The input stream has
// get and delete; the output stream put, write and delete; delete closes the
// file. aErrResource when an argument is null, the file cannot be opened or
// the stream cannot be made; *stream is null then. A get at the end of the
// file returns aErrEOF.
aErr aStream_CreateFileInput(const char* path, aStream** stream);
aErr aStream_CreateFileOutput(const char* path, aStream** stream);

// Serial ports. Opens `port` with the speed of the baud index (0: 2400,
// 1: 4800, 2: 9600, 3: 19200, 4: 38400, 5: 57600, 6: 115200, 7: 230400, other:
// 0), even parity checking when `parity` (bytes that fail it are ignored), 8
// data bits for dataBits 0 or 7 for 1, one stop bit for stopBits 0 or two for
// 1. Reads return at once (aErrNotReady when nothing is waiting); the stream
// has a readiness wait. The port's previous terminal settings are restored
// when the stream is destroyed. Results: aErrNone and the stream;
// aErrResource for a null port or result, dataBits or stopBits above 1, or no
// memory; aErrNotFound when the port does not exist; aErrPermission when it
// may not be opened; aErrIO for other failures. *stream is null on failure.
// Does not block (the port is opened without waiting for carrier).
aErr aStream_CreateSerial(const char* port, int baudIndex, bool parity, int dataBits, int stopBits,
                          aStream** stream);

// The baud index of aStream_CreateSerial for a rate in bits per second, or
// -1 for a rate that has none.
int aStream_SerialBaudIndex(unsigned int baudRate);

// TCP sockets to a module with its own network interface (the address in
// network byte order, as in a linkSpec; the port in host order). Connects at
// once, waiting at most a few seconds for the connection. Reads never block
// (aErrNotReady without data); the stream has a readiness wait; a dropped
// connection is re-established inside reads and writes. aErrNone and the
// connected stream, or aErrResource with *stream null when anything fails
// (no place for the result, memory, socket, connection).
aErr aStream_CreateSocket(unsigned int ipAddress, unsigned short port, aStream** stream);

// USB modules, by serial number, through libusb or the kernel driver's node
// (devlib/unix_streamusb.h). aErrParam for a zero serial number or a null
// result pointer; otherwise the open's result (aErrNotFound, aErrBusy,
// aErrPermission, aErrConfiguration...) with *stream null on failure.
aErr aStream_CreateUSB(unsigned int serialNumber, aStream** stream);
