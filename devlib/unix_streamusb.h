// The USB stream behind aStream_CreateUSB (declared in devlib/aStream.h): a
// byte stream over one module's vendor bulk interface through libusb, or over
// the kernel driver's node "corvantis.%08X" when that node exists in the node
// directory (CORVANTIS_NODE_DIR, default /dev).
//
// Stream operations: get hands out one byte of the last bulk IN transfer
// (refilling blocks at most kUsbReadTimeoutMS; a kernel node waits at most
// kUsbKernelReadWaitMS), put and write send bytes, delete closes the device
// and frees the records. A kernel-node stream also has a readiness wait.
#pragma once

#include <cstdint>

#include "devlib/aStream.h"
#include "devlib/sxusb_driver.h"

// Check word of a live USB stream reference record.
#define aUSBSTREAMCHECK 0xDEAD

// The USB stream's reference record, owned by its stream and freed by the
// stream's delete operation.
struct aUSBStream {
    uint32_t serialNumber; // the module's serial number
    sxusb_device* device;  // the opened device
    uint16_t check;        // aUSBSTREAMCHECK while alive
};

// True for a live USB stream reference record.
#define aVALIDUSBS(s) ((s) != nullptr && (s)->check == aUSBSTREAMCHECK)

// The result of the last aStream_CreateUSB on this thread (aErrNone before
// any): lets a caller that only sees a failed link tell, for example, a
// missing permission (aErrPermission) from an absent module (aErrNotFound).
aErr aStream_USBLastOpenResult();

// A line that names what a user lacking permission for the family's USB
// devices must install (the udev rules file and the command that reloads
// the rules). Static text, never freed.
const char* aStream_USBPermissionHint();
