#include "devlib/sxusb_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace {

// A chunk of exactly this many bytes is cut by one: some module firmware
// waits for a short packet to end a transfer of whole 512-byte packets.
constexpr int kUsbAvoidedChunk = 512;
// A bulk transfer's events are handled in slices of this length; after its
// time-out and kUsbExtraSlices more it is cancelled, and after as many again
// it is given up.
constexpr int kUsbEventSliceMS = 100;
constexpr int kUsbExtraSlices = 10;

int sBulk(sxusb_device* device, uint8_t endpoint, uint8_t* data, int length, unsigned int timeoutMS,
          int* got, bool wakeable);

// Bit 7 of an endpoint address: IN. Bit 1 of bmAttributes: bulk or interrupt.
constexpr uint8_t kEndpointDirectionIn = 0x80;
constexpr uint8_t kEndpointTransferBulkBit = 0x02;
// Room for the serial-number string read from a device.
constexpr int kSerialReadSize = 256;

std::mutex sContextLock;
libusb_context* sContext = nullptr;

void sDebug(const char* format, int value) {
    aCorvantisDebugPrintf(aDEBUG_USB, format, value);
}

// The error tolerance: a few I/O errors in a row are hidden (a transfer can
// fail once without the module being gone); the fifth fails the device.
aErr sHandleErrorTolerance(sxusb_device* device, aErr err) {
    if (err != aErrIO) {
        device->ioErrors = 0;
        return err;
    }
    uint8_t before = device->ioErrors.load();
    if (before < 0xFF) {
        device->ioErrors.store(static_cast<uint8_t>(before + 1));
    }
    if (before < kUsbForgivenIOErrors) {
        return aErrNone;
    }
    device->state = kUsbStateFailed;
    return aErrIO;
}

// Finds the link interface and its endpoints in configuration 0. The last
// matching setting and endpoints win.
bool sFindEndpoints(sxusb_device* device) {
    libusb_device* dev = libusb_get_device(device->handle);
    libusb_config_descriptor* config = nullptr;
    if (dev == nullptr || libusb_get_config_descriptor(dev, 0, &config) != 0 || config == nullptr) {
        return false;
    }
    bool haveInterface = false;
    device->inEndpoint = 0;
    device->outEndpoint = 0;
    for (int i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& itf = config->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceClass != kCorvantisInterfaceClass ||
                alt.bInterfaceSubClass != kCorvantisInterfaceSubClass ||
                alt.bInterfaceProtocol != kCorvantisInterfaceProtocol) {
                continue;
            }
            haveInterface = true;
            device->interfaceNumber = alt.bInterfaceNumber;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if ((ep.bmAttributes & kEndpointTransferBulkBit) == 0) {
                    continue;
                }
                if (ep.bEndpointAddress & kEndpointDirectionIn) {
                    device->inEndpoint = ep.bEndpointAddress;
                } else {
                    device->outEndpoint = ep.bEndpointAddress;
                }
            }
        }
    }
    libusb_free_config_descriptor(config);
    if (!haveInterface || device->inEndpoint == 0 || device->outEndpoint == 0) {
        return false;
    }
    int in = libusb_get_max_packet_size(dev, device->inEndpoint);
    int out = libusb_get_max_packet_size(dev, device->outEndpoint);
    device->inMaxPacket = static_cast<uint16_t>(in > 0 ? in : 0);
    device->outMaxPacket = static_cast<uint16_t>(out > 0 ? out : 0);
    sDebug("In Endpoint Max packet: %d\n", in);
    sDebug("Out Endpoint Max packet: %d\n", out);
    return device->outMaxPacket > 0;
}

} // namespace

libusb_context* Corvantis_libusb_context() {
    std::lock_guard<std::mutex> hold(sContextLock);
    if (sContext == nullptr) {
        libusb_context* ctx = nullptr;
        if (libusb_init(&ctx) == 0) {
            sContext = ctx;
        }
    }
    return sContext;
}

void Corvantis_libusb_init() {
    (void)Corvantis_libusb_context();
}

void Corvantis_libusb_exit() {
    std::lock_guard<std::mutex> hold(sContextLock);
    if (sContext != nullptr) {
        libusb_exit(sContext);
        sContext = nullptr;
    }
}

const char* sxusb_node_directory() {
    const char* dir = getenv(CORVANTIS_NODE_DIR_ENV);
    return (dir != nullptr && dir[0] != '\0') ? dir : CORVANTIS_NODE_DIR_DEFAULT;
}

bool sxusb_node_path(uint32_t serialNumber, char* path, size_t size) {
    if (path == nullptr || size == 0) {
        return false;
    }
    int n = snprintf(path, size, "%s/" CORVANTIS_NODE_PREFIX "%08X", sxusb_node_directory(),
                     serialNumber);
    return n > 0 && static_cast<size_t>(n) < size;
}

bool sxusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[4096];
    struct stat st;
    return sxusb_node_path(serialNumber, path, sizeof path) && stat(path, &st) == 0;
}

bool sxusb_is_corvantis_device(libusb_device* device) {
    libusb_device_descriptor desc;
    memset(&desc, 0, sizeof desc);
    if (device == nullptr || libusb_get_device_descriptor(device, &desc) != 0) {
        return false;
    }
    return desc.idVendor == kCorvantisVendorID &&
           (desc.idProduct & kCorvantisProductFamilyMask) == 0;
}

sxusb_device* sxusb_create_usb(uint32_t mode) {
    if (mode != kUsbModeKernel && mode != kUsbModeLibusb) {
        return nullptr;
    }
    sxusb_device* device = new (std::nothrow) sxusb_device();
    if (device == nullptr) {
        return nullptr;
    }
    device->mode = mode;
    device->fd = -1;
    device->state = kUsbStateCreated;
    device->cursor = device->inBuffer;
    return device;
}

aErr sxusb_destroy(sxusb_device** device) {
    if (device == nullptr || *device == nullptr) {
        return aErrParam;
    }
    sxusb_device* d = *device;
    if ((d->mode == kUsbModeLibusb && d->handle != nullptr) ||
        (d->mode == kUsbModeKernel && d->fd >= 0)) {
        sxusb_close_corvantis_device(d);
    }
    delete d;
    *device = nullptr;
    return aErrNone;
}

aErr sxusb_open_corvantis_device(sxusb_device* device, const char* serialText) {
    if (device == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    return device->mode == kUsbModeLibusb ? sxusb_open_corvantis_USBlib_device(device, serialText)
                                          : sxusb_open_corvantis_kernel_device(device, serialText);
}

aErr sxusb_open_corvantis_USBlib_device(sxusb_device* device, const char* serialText) {
    if (device == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    if (device->mode != kUsbModeLibusb) {
        return aErrMode;
    }
    if (device->state == 0) {
        return aErrResource;
    }
    libusb_context* ctx = Corvantis_libusb_context();
    if (ctx == nullptr) {
        return aErrResource;
    }
    libusb_device** list = nullptr;
    ssize_t count = libusb_get_device_list(ctx, &list);
    aErr result = aErrNotFound;
    for (ssize_t i = 0; i < count && result == aErrNotFound; ++i) {
        if (!sxusb_is_corvantis_device(list[i])) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0 || handle == nullptr) {
            continue;
        }
        libusb_device_descriptor desc;
        memset(&desc, 0, sizeof desc);
        unsigned char text[kSerialReadSize] = {0};
        if (libusb_get_device_descriptor(list[i], &desc) != 0 ||
            libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text, sizeof text - 1) <
                0 ||
            strcmp(reinterpret_cast<const char*>(text), serialText) != 0) {
            libusb_close(handle);
            continue;
        }
        snprintf(device->serial, sizeof device->serial, "%s", serialText);
        device->handle = handle;
        device->state = kUsbStateOpening;
        if (!sFindEndpoints(device)) {
            device->state = kUsbStateClosed;
            libusb_close(handle);
            device->handle = nullptr;
            result = aErrConfiguration;
            break;
        }
        int claim = libusb_claim_interface(handle, device->interfaceNumber);
        if (claim == 0) {
            device->state = kUsbStateReady;
            device->available = 0;
            device->cursor = device->inBuffer;
            device->ioErrors = 0;
            result = aErrNone;
            break;
        }
        device->state = kUsbStateClosed;
        libusb_close(handle);
        device->handle = nullptr;
        switch (claim) {
        case LIBUSB_ERROR_BUSY:
        case LIBUSB_ERROR_NO_DEVICE:
            result = aErrBusy;
            break;
        case LIBUSB_ERROR_ACCESS:
            result = aErrPermission;
            break;
        default:
            result = aErrUnknown;
            break;
        }
    }
    if (list != nullptr) {
        libusb_free_device_list(list, 1);
    }
    return result;
}

aErr sxusb_open_corvantis_kernel_device(sxusb_device* device, const char* serialText) {
    if (device == nullptr || serialText == nullptr) {
        return aErrParam;
    }
    if (device->mode != kUsbModeKernel) {
        return aErrMode;
    }
    snprintf(device->serial, sizeof device->serial, "%s", serialText);
    char path[4096];
    int n = snprintf(path, sizeof path, "%s/" CORVANTIS_NODE_PREFIX "%s", sxusb_node_directory(),
                     device->serial);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof path) {
        return aErrParam;
    }
    // Non-blocking, so that a read never waits longer than its readiness wait.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY) {
            return aErrBusy;
        }
        return errno == EACCES ? aErrPermission : aErrIO;
    }
    device->fd = fd;
    device->ioErrors = 0;
    return aErrNone;
}

aErr sxusb_write_to_device(sxusb_device* device, const uint8_t* data, int length) {
    if (device == nullptr || (data == nullptr && length > 0) || length < 0) {
        return aErrParam;
    }
    return device->mode == kUsbModeLibusb ? sxusb_write_to_USBlib_device(device, data, length)
                                          : sxusb_write_to_kernel_device(device, data, length);
}

namespace {

// What a libusb transfer gives in the device's state before it runs:
// aErrNone when open and claimed (the transfer may run), aErrConnection when
// closed, aErrNotReady while not open or still being claimed, and aErrIO for
// any other state (logged with `unknownState`, given the state).
aErr sStateResult(const sxusb_device* device, const char* unknownState) {
    const uint32_t state = device->state.load();
    switch (state) {
    case kUsbStateReady:
        return aErrNone;
    case kUsbStateClosed:
        return aErrConnection;
    case kUsbStateCreated:
    case kUsbStateOpening:
        return aErrNotReady;
    default:
        sDebug(unknownState, static_cast<int>(state));
        return aErrIO;
    }
}

} // namespace

aErr sxusb_write_to_USBlib_device(sxusb_device* device, const uint8_t* data, int length) {
    if (device == nullptr || (data == nullptr && length > 0) || length < 0) {
        return aErrParam;
    }
    if (device->mode != kUsbModeLibusb) {
        return aErrMode;
    }
    aErr err = sStateResult(device, "libusb WRITE error dev state: %d\n");
    if (err == aErrNone) {
        int sent = 0;
        int failures = 0;
        while (sent < length && failures < kUsbMaxWriteFailures) {
            int chunk = length - sent;
            if (chunk > device->outMaxPacket) {
                chunk = device->outMaxPacket;
            }
            if (chunk == kUsbAvoidedChunk) {
                chunk = kUsbAvoidedChunk - 1;
            }
            int done = 0;
            int rc = sBulk(device, device->outEndpoint, const_cast<uint8_t*>(data + sent), chunk,
                           kUsbWriteTimeoutMS, &done, false);
            if (aCorvantisDebugging(aDEBUG_USB)) {
                aCorvantisDebugPrintf(aDEBUG_USB, "libusb lenSent: %d - nSize: %d\n", done, chunk);
            }
            if (rc == 0) {
                sent += done;
                continue;
            }
            // A time-out may still have moved some bytes.
            if (rc == LIBUSB_ERROR_TIMEOUT && done > 0) {
                sent += done;
            }
            ++failures;
            sDebug("libusb error: %d\n", rc);
            if (rc == LIBUSB_ERROR_PIPE) {
                int clear = libusb_clear_halt(device->handle, device->outEndpoint);
                if (clear != 0) {
                    sDebug("libusb WRITE error clearing halt: %d\n", clear);
                    err = aErrIO;
                }
            } else if (rc == LIBUSB_ERROR_NO_DEVICE) {
                err = aErrIO;
                break; // a gone device takes no retry
            }
        }
        if (err == aErrNone && sent < length) {
            err = aErrWrite;
        }
    }
    return sHandleErrorTolerance(device, err);
}

aErr sxusb_write_to_kernel_device(sxusb_device* device, const uint8_t* data, int length) {
    if (device == nullptr || (data == nullptr && length > 0) || length < 0) {
        return aErrParam;
    }
    if (device->mode != kUsbModeKernel || device->fd < 0) {
        return aErrMode;
    }
    int sent = 0;
    for (int calls = 0; sent < length && calls < kUsbKernelMaxWriteCalls; ++calls) {
        ssize_t n = write(device->fd, data + sent, static_cast<size_t>(length - sent));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                // The node's buffer is full: wait for room, bounded.
                struct pollfd p = {device->fd, POLLOUT, 0};
                (void)poll(&p, 1, kUsbKernelReadWaitMS);
                continue;
            }
            return aErrIO;
        }
        sent += static_cast<int>(n);
    }
    return sent < length ? aErrIO : aErrNone;
}

aErr sxusb_get_from_device(sxusb_device* device, uint8_t* byte) {
    if (device == nullptr || byte == nullptr) {
        return aErrParam;
    }
    return device->mode == kUsbModeLibusb ? sxusb_get_from_USBlib_device(device, byte)
                                          : sxusb_get_from_kernel_device(device, byte);
}

namespace {

// Completion of a bulk transfer. `flag` is the one libusb's event loop
// looks at (under its own lock); `done` is what the waiting thread reads,
// since the callback may run on any thread that handles events.
struct InCompletion {
    int flag = 0;
    std::atomic<bool> done{false};
};

void LIBUSB_CALL sInDone(libusb_transfer* transfer) {
    InCompletion* c = static_cast<InCompletion*>(transfer->user_data);
    c->flag = 1;
    c->done.store(true);
}

// One bulk transfer, as libusb_bulk_transfer does it, but with its
// completion seen through an atomic flag (the callback may run on another
// thread that handles events, such as the other direction's transfer) and,
// when `wakeable`, cancellable by sxusb_wake. Returns 0 or a libusb error
// (LIBUSB_ERROR_INTERRUPTED when woken) and the count of bytes moved in
// *got, also on a time-out or a wake.
int sBulk(sxusb_device* device, uint8_t endpoint, uint8_t* data, int length, unsigned int timeoutMS,
          int* got, bool wakeable) {
    *got = 0;
    libusb_context* ctx = Corvantis_libusb_context();
    libusb_transfer* transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) {
        return LIBUSB_ERROR_NO_MEM;
    }
    // On the heap: a transfer that is given up may still complete later.
    InCompletion* completed = new (std::nothrow) InCompletion();
    if (completed == nullptr) {
        libusb_free_transfer(transfer);
        return LIBUSB_ERROR_NO_MEM;
    }
    libusb_fill_bulk_transfer(transfer, device->handle, endpoint, data, length, sInDone, completed,
                              timeoutMS);
    if (!wakeable) {
        int rc = libusb_submit_transfer(transfer);
        if (rc != 0) {
            libusb_free_transfer(transfer);
            delete completed;
            return rc;
        }
    } else {
        std::lock_guard<std::mutex> hold(device->inLock);
        if (device->wakePending) {
            device->wakePending = false;
            libusb_free_transfer(transfer);
            delete completed;
            return LIBUSB_ERROR_INTERRUPTED;
        }
        int rc = libusb_submit_transfer(transfer);
        if (rc != 0) {
            libusb_free_transfer(transfer);
            delete completed;
            return rc;
        }
        device->inFlight = transfer;
    }
    // The transfer ends by itself within its time-out; the events are
    // handled in slices so that a failing event loop cannot hold us longer.
    const int slices = static_cast<int>(timeoutMS / kUsbEventSliceMS) + kUsbExtraSlices;
    bool cancelled = false;
    for (int i = 0; !completed->done.load(); ++i) {
        if (i >= slices && !cancelled) {
            (void)libusb_cancel_transfer(transfer);
            cancelled = true;
        }
        timeval slice = {0, static_cast<long>(kUsbEventSliceMS) * 1000};
        int rc = libusb_handle_events_timeout_completed(ctx, &slice, &completed->flag);
        if (rc < 0 && rc != LIBUSB_ERROR_INTERRUPTED && !cancelled) {
            (void)libusb_cancel_transfer(transfer);
            cancelled = true;
        }
        if (i >= 2 * slices) {
            // Not even the cancellation came back: leave the transfer and
            // its flag to libusb rather than free them under its feet.
            if (wakeable) {
                std::lock_guard<std::mutex> hold(device->inLock);
                device->inFlight = nullptr;
            }
            return LIBUSB_ERROR_IO;
        }
    }
    if (wakeable) {
        std::lock_guard<std::mutex> hold(device->inLock);
        device->inFlight = nullptr;
        device->wakePending = false;
    }
    delete completed;
    *got = transfer->actual_length;
    int rc;
    switch (transfer->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        rc = 0;
        break;
    case LIBUSB_TRANSFER_TIMED_OUT:
        rc = LIBUSB_ERROR_TIMEOUT;
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        rc = LIBUSB_ERROR_INTERRUPTED;
        break;
    case LIBUSB_TRANSFER_STALL:
        rc = LIBUSB_ERROR_PIPE;
        break;
    case LIBUSB_TRANSFER_NO_DEVICE:
        rc = LIBUSB_ERROR_NO_DEVICE;
        break;
    case LIBUSB_TRANSFER_OVERFLOW:
        rc = LIBUSB_ERROR_OVERFLOW;
        break;
    default:
        rc = LIBUSB_ERROR_IO;
        break;
    }
    libusb_free_transfer(transfer);
    return rc;
}

} // namespace

aErr sxusb_wake(sxusb_device* device) {
    if (device == nullptr) {
        return aErrParam;
    }
    if (device->mode != kUsbModeLibusb) {
        return aErrNone;
    }
    std::lock_guard<std::mutex> hold(device->inLock);
    if (device->inFlight != nullptr) {
        (void)libusb_cancel_transfer(device->inFlight);
    } else {
        device->wakePending = true;
    }
    return aErrNone;
}

aErr sxusb_get_from_USBlib_device(sxusb_device* device, uint8_t* byte) {
    if (device == nullptr || byte == nullptr) {
        return aErrParam;
    }
    if (device->mode != kUsbModeLibusb) {
        return aErrMode;
    }
    aErr err = device->available > 0 ? aErrNone
                                     : sStateResult(device, "libusb READ error dev state: %d\n");
    if (device->available <= 0 && err == aErrNone) {
        int got = 0;
        int rc = sBulk(device, device->inEndpoint, device->inBuffer, kUsbInBufferSize,
                       kUsbReadTimeoutMS, &got, true);
        if (rc == LIBUSB_ERROR_PIPE) {
            (void)libusb_clear_halt(device->handle, device->inEndpoint);
            err = aErrNotReady;
        } else if (rc == LIBUSB_ERROR_TIMEOUT || rc == LIBUSB_ERROR_INTERRUPTED) {
            // A time-out, or woken (sxusb_wake): the bytes that came, if any.
            err = got > 0 ? aErrNone : aErrNotReady;
        } else if (rc != 0) {
            sDebug("libusb READ error bulk transfer: %d\n", rc);
            err = aErrIO;
        } else if (got <= 0) {
            err = aErrNotReady;
        }
        if (err == aErrNone) {
            device->cursor = device->inBuffer;
            device->available = got;
        }
    }
    if (err == aErrNone && device->available > 0) {
        *byte = *device->cursor++;
        --device->available;
    }
    err = sHandleErrorTolerance(device, err);
    // A forgiven I/O error brought no byte: the caller must not take one.
    if (err == aErrNone && device->ioErrors > 0) {
        return aErrNotReady;
    }
    return err;
}

aErr sxusb_wait_kernel_device(sxusb_device* device, int milliseconds) {
    if (device == nullptr || device->mode != kUsbModeKernel || device->fd < 0) {
        return aErrMode;
    }
    struct pollfd p = {device->fd, POLLIN, 0};
    int n = poll(&p, 1, milliseconds < 0 ? 0 : milliseconds);
    if (n > 0) {
        return aErrNone;
    }
    return n == 0 ? aErrTimeout : (errno == EINTR ? aErrTimeout : aErrIO);
}

aErr sxusb_get_from_kernel_device(sxusb_device* device, uint8_t* byte) {
    if (device == nullptr || byte == nullptr) {
        return aErrParam;
    }
    if (device->mode != kUsbModeKernel || device->fd < 0) {
        return aErrMode;
    }
    ssize_t n = read(device->fd, byte, 1);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        // Nothing there: wait briefly for readiness, never unbounded.
        if (sxusb_wait_kernel_device(device, kUsbKernelReadWaitMS) != aErrNone) {
            return aErrNotReady;
        }
        n = read(device->fd, byte, 1);
    }
    if (n == 1) {
        return aErrNone;
    }
    if (n == 0 || errno == EAGAIN || errno == EINTR || errno == EFAULT) {
        return aErrNotReady;
    }
    return aErrIO;
}

aErr sxusb_close_corvantis_device(sxusb_device* device) {
    if (device == nullptr) {
        return aErrParam;
    }
    return device->mode == kUsbModeLibusb ? sxusb_close_corvantis_USBlib_device(device)
                                          : sxusb_close_corvantis_kernel_device(device);
}

aErr sxusb_close_corvantis_USBlib_device(sxusb_device* device) {
    if (device == nullptr) {
        return aErrParam;
    }
    if (device->mode != kUsbModeLibusb || device->handle == nullptr) {
        return aErrMode;
    }
    (void)libusb_release_interface(device->handle, device->interfaceNumber);
    libusb_close(device->handle);
    device->handle = nullptr;
    device->state = kUsbStateClosed;
    device->inEndpoint = 0;
    device->outEndpoint = 0;
    device->interfaceNumber = 0;
    device->available = 0;
    return aErrNone;
}

aErr sxusb_close_corvantis_kernel_device(sxusb_device* device) {
    if (device == nullptr) {
        return aErrParam;
    }
    if (device->mode != kUsbModeKernel) {
        return aErrMode;
    }
    if (device->fd < 0) {
        return aErrNone;
    }
    int fd = device->fd;
    device->fd = -1;
    device->state = kUsbStateClosed;
    return close(fd) != 0 ? aErrCancel : aErrNone;
}
