// Another program holding a module: opens the USB device whose serial
// string is the argument, claims its interface 0 as any host program would,
// prints "held" and keeps it until its standard input closes (or 60 s pass).
//
//   usb_hold_module SERIAL
//
// Exit status 0 after a hold, 1 when the device was not found or could not
// be claimed. Written against libusb alone, so that it stands for a process
// that shares nothing with the Updater.
#include <poll.h>
#include <unistd.h>

#include <libusb-1.0/libusb.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kHoldMS = 60000;
constexpr uint16_t kVendor = 0x24FF;

libusb_device_handle* openBySerial(libusb_context* ctx, const std::string& serial) {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    libusb_device_handle* found = nullptr;
    for (ssize_t i = 0; i < n && found == nullptr; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(list[i], &desc) != 0 || desc.idVendor != kVendor)
            continue;
        libusb_device_handle* handle = nullptr;
        if (libusb_open(list[i], &handle) != 0)
            continue;
        unsigned char text[64] = {};
        int len =
            libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text, sizeof(text) - 1);
        if (len > 0 && serial == reinterpret_cast<char*>(text))
            found = handle;
        else
            libusb_close(handle);
    }
    if (list != nullptr)
        libusb_free_device_list(list, 1);
    return found;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: usb_hold_module SERIAL\n");
        return 2;
    }
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return 1;
    int status = 1;
    libusb_device_handle* handle = openBySerial(ctx, argv[1]);
    if (handle == nullptr) {
        std::fprintf(stderr, "usb_hold_module: %s not found\n", argv[1]);
    } else if (int rc = libusb_claim_interface(handle, 0); rc != 0) {
        std::fprintf(stderr, "usb_hold_module: claim failed: %s\n", libusb_error_name(rc));
    } else {
        std::printf("held\n");
        std::fflush(stdout);
        // Until the input closes (data is read and ignored), at most kHoldMS.
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kHoldMS);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                end - std::chrono::steady_clock::now());
            pollfd in{STDIN_FILENO, POLLIN, 0};
            char byte;
            if (left.count() <= 0 || poll(&in, 1, static_cast<int>(left.count())) <= 0 ||
                read(STDIN_FILENO, &byte, 1) <= 0)
                break;
        }
        libusb_release_interface(handle, 0);
        status = 0;
    }
    if (handle != nullptr)
        libusb_close(handle);
    libusb_exit(ctx);
    return status;
}
