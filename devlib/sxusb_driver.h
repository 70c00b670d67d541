// The USB device layer under the USB stream: one record per opened module,
// driven either through libusb (the module's vendor bulk interface) or through
// the node of a kernel driver ("corvantis.%08X" in the node directory).
//
// Every function returns an aErr and never prints, except the transport's
// diagnostic lines while aCorvantisDebugging(aDEBUG_USB) holds. The record has
// no lock: the link engine reads from one thread and writes from another, and
// the record keeps the reading state (inBuffer, cursor, available) apart from
// the writing state.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include <libusb.h>

#include "devlib/aError.h"

// Diagnostic mask bit of the USB transport's lines.
constexpr uint32_t aDEBUG_USB = 0x400;

// Modes of a device record.
constexpr uint32_t kUsbModeKernel = 0; // kernel driver node
constexpr uint32_t kUsbModeLibusb = 1; // libusb bulk endpoints

// States of a device record.
constexpr uint32_t kUsbStateCreated = 1; // not open: reads and writes give aErrNotReady
constexpr uint32_t kUsbStateClosed = 2;  // closed: aErrConnection
constexpr uint32_t kUsbStateOpening = 3; // open, interface being claimed: aErrNotReady
constexpr uint32_t kUsbStateReady = 4;   // open and claimed: transfers run
constexpr uint32_t kUsbStateFailed = 5;  // five I/O errors in a row: aErrIO until reopened

// The family's USB identity.
constexpr uint16_t kCorvantisVendorID = 0x24FF;
constexpr uint16_t kCorvantisProductFamilyMask = 0x8000; // set: not a module
constexpr uint8_t kCorvantisInterfaceClass = 0xFF;
constexpr uint8_t kCorvantisInterfaceSubClass = 0x88;
constexpr uint8_t kCorvantisInterfaceProtocol = 0x10;

// Size of the bulk IN buffer and of the serial text.
constexpr int kUsbInBufferSize = 1024;
constexpr int kUsbSerialTextSize = 256;

// Transfer time-outs. A short OUT time-out keeps one stalled transfer from
// holding the writer; the IN time-out bounds how long a read blocks.
constexpr unsigned int kUsbWriteTimeoutMS = 50;
constexpr unsigned int kUsbReadTimeoutMS = 1000;
// Failed OUT transfers tolerated within one write before it gives up.
constexpr int kUsbMaxWriteFailures = 10;
// Consecutive aErrIO results forgiven before the device counts as failed.
constexpr uint8_t kUsbForgivenIOErrors = 4;
// Kernel node: write calls tried for one buffer, and the readiness wait of
// one read (reads never block longer than this).
constexpr int kUsbKernelMaxWriteCalls = 1000;
constexpr int kUsbKernelReadWaitMS = 20;

// Environment variable naming the directory of the kernel driver's nodes;
// "/dev" when it is unset or empty.
#define CORVANTIS_NODE_DIR_ENV "CORVANTIS_NODE_DIR"
#define CORVANTIS_NODE_DIR_DEFAULT "/dev"
// File name prefix of a node: "corvantis." followed by the serial number as
// 8 upper-case hexadecimal digits.
#define CORVANTIS_NODE_PREFIX "corvantis."

// One opened (or to be opened) module. `state` and `ioErrors` are atomic:
// the error tolerance runs on both the reading and the writing thread.
struct sxusb_device {
    uint32_t mode;                      // kUsbModeLibusb or kUsbModeKernel
    char serial[kUsbSerialTextSize];    // the module's serial number as text
    int fd;                             // kernel node descriptor (kernel mode), -1 when closed
    libusb_device_handle* handle;       // open device (libusb mode)
    std::atomic<uint32_t> state;        // kUsbState*
    uint8_t interfaceNumber;            // the claimed interface
    uint8_t outEndpoint;                // bulk OUT endpoint address
    uint8_t inEndpoint;                 // bulk IN endpoint address
    uint8_t inBuffer[kUsbInBufferSize]; // last bulk IN transfer
    uint8_t* cursor;                    // next byte of inBuffer to hand out
    int available;                      // bytes left in inBuffer
    std::atomic<uint8_t> ioErrors;      // consecutive aErrIO results
    uint16_t inMaxPacket;               // wMaxPacketSize of the IN endpoint
    uint16_t outMaxPacket;              // wMaxPacketSize of the OUT endpoint (write chunk)
    // The bulk IN transfer in flight, so that another thread can end it
    // early (sxusb_wake); `wakePending` makes the next read return at once
    // when no transfer was in flight. Guarded by `inLock`.
    std::mutex inLock;
    libusb_transfer* inFlight;
    bool wakePending;
};

// The process-wide libusb context, created with libusb_init on first use
// under a process-wide mutex. A failed creation leaves it null (the result is
// then null) and is tried again on the next call. Never blocks for long.
libusb_context* Corvantis_libusb_context();
// The same as Corvantis_libusb_context, without the result.
void Corvantis_libusb_init();
// Calls libusb_exit on the shared context and forgets it, so the next use
// creates a new one. Only call it while no USB device is open.
void Corvantis_libusb_exit();

// The directory holding kernel driver nodes (CORVANTIS_NODE_DIR or "/dev").
// The text is valid until the environment changes.
const char* sxusb_node_directory();
// Writes the node path of a serial number into `path` (capacity `size`).
// False when it does not fit.
bool sxusb_node_path(uint32_t serialNumber, char* path, size_t size);
// True when the kernel driver's node for the serial number exists.
bool sxusb_is_kernel_driver_installed(uint32_t serialNumber);

// A new record in state 1 for `mode`, owned by the caller (sxusb_destroy);
// null for an unknown mode or when memory is exhausted.
sxusb_device* sxusb_create_usb(uint32_t mode);
// Closes a device still open, frees the record and nulls *device. aErrParam
// for a null pointer or record.
aErr sxusb_destroy(sxusb_device** device);

// Opens the module whose serial-number text is `serialText` (8 upper-case hex
// digits; compared exactly). libusb: aErrNone (state 4), aErrNotFound,
// aErrConfiguration (no link interface or endpoint), aErrBusy (claimed
// elsewhere, or gone), aErrPermission (no access: see the udev rules),
// aErrUnknown, aErrResource (no libusb). Kernel node: aErrNone, aErrBusy,
// aErrPermission, aErrIO. aErrParam for null arguments. Blocks for the
// descriptor reads of each family device (bounded by libusb's control
// time-outs).
aErr sxusb_open_corvantis_device(sxusb_device* device, const char* serialText);
aErr sxusb_open_corvantis_USBlib_device(sxusb_device* device, const char* serialText);
aErr sxusb_open_corvantis_kernel_device(sxusb_device* device, const char* serialText);

// Writes `length` bytes. libusb: chunks of outMaxPacket (512 becomes 511),
// each a bulk OUT transfer of at most kUsbWriteTimeoutMS, a stalled endpoint
// cleared and the chunk retried, at most kUsbMaxWriteFailures failures;
// aErrWrite when bytes remain, aErrConnection when closed, aErrNotReady when
// not open, aErrIO when failed; then the error tolerance. Kernel node: aErrIO
// when the node refuses the bytes. aErrMode for the other mode's variant.
aErr sxusb_write_to_device(sxusb_device* device, const uint8_t* data, int length);
aErr sxusb_write_to_USBlib_device(sxusb_device* device, const uint8_t* data, int length);
aErr sxusb_write_to_kernel_device(sxusb_device* device, const uint8_t* data, int length);

// Hands out one byte. libusb: from the buffer of the last bulk IN transfer,
// refilled by one transfer of up to 1024 bytes that blocks at most
// kUsbReadTimeoutMS; aErrNotReady when nothing came (time-out, a cleared
// stall, or an I/O error that the error tolerance forgave), aErrConnection
// when closed, aErrIO when failed. Kernel node: waits at most
// kUsbKernelReadWaitMS for a byte; aErrNotReady without one, aErrIO when the
// node failed.
aErr sxusb_get_from_device(sxusb_device* device, uint8_t* byte);
// Makes a read that waits in its bulk IN transfer (up to kUsbReadTimeoutMS)
// end now, with the bytes it has or aErrNotReady, as a time-out would; when
// no transfer is in flight the next read does so at once. For the link
// engine, whose reader must notice a synchronisation or a stop without
// waiting out the read. Safe from any thread; does nothing in kernel mode
// (its reads wait at most kUsbKernelReadWaitMS). aErrParam for a null
// record. Never blocks for long.
aErr sxusb_wake(sxusb_device* device);
aErr sxusb_get_from_USBlib_device(sxusb_device* device, uint8_t* byte);
aErr sxusb_get_from_kernel_device(sxusb_device* device, uint8_t* byte);

// Kernel node only: waits at most `milliseconds` until a read is worth
// trying. aErrNone (a byte or news), aErrTimeout, aErrMode (not a kernel
// record or not open).
aErr sxusb_wait_kernel_device(sxusb_device* device, int milliseconds);

// Releases the interface and closes the device (state 2). aErrMode when the
// record has nothing open of its mode; kernel node: aErrCancel when close
// fails.
aErr sxusb_close_corvantis_device(sxusb_device* device);
aErr sxusb_close_corvantis_USBlib_device(sxusb_device* device);
aErr sxusb_close_corvantis_kernel_device(sxusb_device* device);

// The family test: the device descriptor is readable, the vendor is 0x24FF
// and bit 15 of the product is clear.
bool sxusb_is_corvantis_device(libusb_device* device);
