// The USB walk of discovery: family modules on the USB bus, read through the
// shared libusb context, then modules present only as kernel driver nodes.
#include "devlib/discover.h"

#include <dirent.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <libusb.h>

#include "devlib/sxusb_driver.h"

namespace {

// The serial-number text of a module is exactly 8 hexadecimal digits; the
// string is read into a buffer of this size.
constexpr int kSerialBufferSize = 32;
constexpr size_t kSerialDigits = 8;

void sCopyToUSBLinkspec(linkSpec* where, uint32_t serialNumber, uint16_t productID) {
    where->serialNumber = serialNumber;
    where->moduleAddress = 0;
    where->routerAddress = 0;
    where->routerSerialNumber = 0;
    where->model = productID & 0xFF;
    where->address = serialNumber;
}

// Offers one entry to the callback; false when the walk is to stop.
bool sOffer(linkType type, uint32_t serialNumber, uint16_t productID,
            aDiscoveryModuleFoundProc callback, void* reference, uint8_t& count) {
    linkSpec* where = aLinkSpec_Create(type);
    if (where == nullptr) {
        return false;
    }
    sCopyToUSBLinkspec(where, serialNumber, productID);
    bool taken = false;
    bool goOn = callback(where, &taken, reference);
    if (taken && count < 0xFF) {
        ++count;
    }
    aLinkSpec_Destroy(&where);
    return goOn;
}

// The serial number named by a node file "corvantis.XXXXXXXX", if it is one.
bool sNodeSerial(const char* name, uint32_t& serialNumber) {
    const size_t prefix = strlen(CORVANTIS_NODE_PREFIX);
    if (strncmp(name, CORVANTIS_NODE_PREFIX, prefix) != 0 ||
        strlen(name + prefix) != kSerialDigits) {
        return false;
    }
    char* end = nullptr;
    unsigned long value = strtoul(name + prefix, &end, 16);
    if (end == nullptr || *end != '\0') {
        return false;
    }
    serialNumber = static_cast<uint32_t>(value);
    return serialNumber != 0;
}

} // namespace

uint8_t aDiscovery_EnumerateUSBModules(linkType type, aDiscoveryModuleFoundProc callback,
                                       void* reference) {
    if (callback == nullptr) {
        return 0;
    }
    uint8_t count = 0;
    bool goOn = true;
    std::vector<uint32_t> seen;
    libusb_context* ctx = Corvantis_libusb_context();
    libusb_device** list = nullptr;
    ssize_t n = ctx != nullptr ? libusb_get_device_list(ctx, &list) : 0;
    for (ssize_t i = 0; i < n && goOn; ++i) {
        if (!sxusb_is_corvantis_device(list[i])) {
            continue;
        }
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0 || handle == nullptr) {
            continue;
        }
        libusb_device_descriptor desc;
        memset(&desc, 0, sizeof desc);
        unsigned char text[kSerialBufferSize] = {0};
        int len = -1;
        if (libusb_get_device_descriptor(list[i], &desc) == 0) {
            len = libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text,
                                                     kSerialBufferSize - 1);
        }
        if (len == static_cast<int>(kSerialDigits)) {
            // As a "%X" conversion reads it: case-insensitive, up to the first
            // character that is not a hex digit.
            uint32_t serialNumber =
                static_cast<uint32_t>(strtoul(reinterpret_cast<const char*>(text), nullptr, 16));
            seen.push_back(serialNumber);
            goOn = sOffer(type, serialNumber, desc.idProduct, callback, reference, count);
        }
        libusb_close(handle);
    }
    if (list != nullptr) {
        libusb_free_device_list(list, 1);
    }

    // Modules behind the kernel driver have a node but no device of ours on
    // the bus; their model is not known (0).
    DIR* dir = goOn ? opendir(sxusb_node_directory()) : nullptr;
    if (dir != nullptr) {
        while (goOn) {
            struct dirent* entry = readdir(dir);
            if (entry == nullptr) {
                break;
            }
            uint32_t serialNumber = 0;
            if (!sNodeSerial(entry->d_name, serialNumber)) {
                continue;
            }
            bool listed = false;
            for (uint32_t s : seen) {
                listed = listed || s == serialNumber;
            }
            if (!listed) {
                seen.push_back(serialNumber);
                goOn = sOffer(type, serialNumber, 0, callback, reference, count);
            }
        }
        closedir(dir);
    }
    return count;
}
