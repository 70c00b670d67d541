#include "devlib/unix_streamusb.h"

#include <cstdio>
#include <cstdlib>

namespace {

thread_local aErr sLastOpenResult = aErrNone;

aErr sUSBGet(uint8_t* byte, void* reference) {
    aUSBStream* s = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(s) || byte == nullptr) {
        return aErrParam;
    }
    return sxusb_get_from_device(s->device, byte);
}

aErr sUSBPut(const uint8_t* byte, void* reference) {
    aUSBStream* s = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(s) || byte == nullptr) {
        return aErrParam;
    }
    return sxusb_write_to_device(s->device, byte, 1);
}

aErr sUSBWrite(const uint8_t* data, size_t length, void* reference) {
    aUSBStream* s = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(s) || data == nullptr) {
        return aErrParam;
    }
    // The device layer counts in int; split what does not fit.
    constexpr size_t kMaxWrite = 1u << 30;
    while (length > 0) {
        size_t chunk = length < kMaxWrite ? length : kMaxWrite;
        aErr err = sxusb_write_to_device(s->device, data, static_cast<int>(chunk));
        if (err != aErrNone) {
            return err;
        }
        data += chunk;
        length -= chunk;
    }
    return aErrNone;
}

aErr sUSBWait(unsigned long milliseconds, void* reference) {
    aUSBStream* s = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(s)) {
        return aErrParam;
    }
    int ms = milliseconds > 60000UL ? 60000 : static_cast<int>(milliseconds);
    return sxusb_wait_kernel_device(s->device, ms);
}

aErr sUSBWake(void* reference) {
    aUSBStream* s = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(s)) {
        return aErrParam;
    }
    return sxusb_wake(s->device);
}

aErr sUSBDelete(void* reference) {
    aUSBStream* s = static_cast<aUSBStream*>(reference);
    if (!aVALIDUSBS(s)) {
        return aErrParam;
    }
    sxusb_close_corvantis_device(s->device);
    sxusb_destroy(&s->device);
    s->check = 0;
    free(s);
    return aErrNone;
}

aErr sCreate(unsigned int serialNumber, aStream** stream) {
    if (stream != nullptr) {
        *stream = nullptr;
    }
    bool kernel = serialNumber != 0 && sxusb_is_kernel_driver_installed(serialNumber);
    if (serialNumber == 0 || stream == nullptr) {
        return aErrParam;
    }
    aUSBStream* ref = static_cast<aUSBStream*>(calloc(1, sizeof(aUSBStream)));
    if (ref == nullptr) {
        return aErrMemory;
    }
    ref->serialNumber = serialNumber;
    ref->check = aUSBSTREAMCHECK;
    ref->device = sxusb_create_usb(kernel ? kUsbModeKernel : kUsbModeLibusb);
    if (ref->device == nullptr) {
        free(ref);
        return aErrResource;
    }
    char text[16];
    snprintf(text, sizeof text, "%08X", serialNumber);
    aErr err = sxusb_open_corvantis_device(ref->device, text);
    if (err != aErrNone) {
        sxusb_destroy(&ref->device);
        free(ref);
        return err;
    }
    aStream* s = aStream_Create(sUSBGet, sUSBPut, sUSBWrite, sUSBDelete, ref);
    if (s == nullptr) {
        sUSBDelete(ref);
        return aErrMemory;
    }
    if (kernel) {
        aStream_SetWaitProc(s, sUSBWait);
    } else {
        aStream_SetWakeProc(s, sUSBWake);
    }
    *stream = s;
    return aErrNone;
}

} // namespace

aErr aStream_CreateUSB(unsigned int serialNumber, aStream** stream) {
    aErr err = sCreate(serialNumber, stream);
    sLastOpenResult = err;
    return err;
}

aErr aStream_USBLastOpenResult() {
    return sLastOpenResult;
}

const char* aStream_USBPermissionHint() {
    return "no permission for the module's USB device: install 70-corvantis.rules "
           "(SUBSYSTEM==\"usb\", ATTR{idVendor}==\"24ff\", TAG+=\"uaccess\") into "
           "/etc/udev/rules.d, run 'udevadm control --reload' and 'udevadm trigger', "
           "then plug the module in again";
}
