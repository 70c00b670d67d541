// The USB attachment: each simulated module as a device on an emulated USB
// bus (umockdev). The real libusb of a process started with the printed
// environment (UMOCKDEV_DIR and the preload library) sees the devices and
// talks to them through the simulator's ioctl handler.
//
// A module's device has vendor 0x24FF, product 0x00MM (MM the model), the
// serial-number string "%08X" and the vendor interface FF/88/10 with one bulk
// IN (0x81) and one bulk OUT (0x02) endpoint. The `usb` key of a module may
// change every part of that identity for tests of foreign devices.
//
// Bulk OUT data goes to the host loop through a Channel (its fd is an eventfd
// that is readable while data waits); what the module writes completes bulk
// IN transfers. Fault switches: a stalled endpoint (EPIPE until the host
// clears the halt), transfers failing with EPROTO, and removal of the device
// while it is open.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/module/Transport.h"

namespace csim {

struct UsbIdentity {
    uint16_t vendor = 0x24FF;
    uint16_t product = 0;
    std::string serialText; // serial-number string descriptor
    uint16_t inMaxPacket = 64;
    uint16_t outMaxPacket = 64;
    uint8_t interfaceClass = 0xFF;
    uint8_t interfaceSubClass = 0x88;
    uint8_t interfaceProtocol = 0x10;
    // Fault switches, armed at plug time.
    unsigned stallIn = 0;   // the next N bulk IN transfers halt the endpoint until cleared
    unsigned stallOut = 0;  // the same for bulk OUT
    unsigned inErrors = 0;  // this many bulk IN transfers fail with EPROTO
    unsigned outErrors = 0; // this many bulk OUT transfers fail with EPROTO
};

// Reads the `usb` key of a module: true, or an object with `vendor`,
// `product`, `serialString`, `maxPacket` (both endpoints), `inMaxPacket`,
// `outMaxPacket`, `interface` ([class, subclass, protocol]), `stallIn`,
// `stallOut`, `inErrors`, `outErrors`, `offlineMs`. Throws
// std::runtime_error for a malformed value.
UsbIdentity usbIdentityFromJson(const nlohmann::json& usb, uint32_t serial, uint8_t model);

class UsbDevice;

// The emulated bus: one umockdev testbed for the whole simulator.
class UsbBus {
public:
    // Creates the testbed and the control FIFO; null with a message.
    static std::unique_ptr<UsbBus> create(std::string& error);
    ~UsbBus();

    // "usb-env UMOCKDEV_DIR=... LD_PRELOAD=..." for the printed lines.
    std::string environmentLine() const;
    // "usb-control PATH": a FIFO taking commands, one per line.
    std::string controlLine() const;
    int controlFd() const { return controlFd_; }
    // Complete command lines read from the control FIFO.
    std::vector<std::string> readControl();

    // Plugs a device in; the returned channel carries its bulk data and
    // unplugs the device when it is dropped or destroyed. Sets `where` to the
    // sysfs name and bus address. Null with a message.
    Channel* plug(const UsbIdentity& id, const std::string& name, std::string& where,
                  std::string& error);
    // Arms a fault on a plugged device by serial text ("stall-in", "stall-out",
    // "in-errors N", "out-errors N"). False when no such device.
    bool fault(const std::string& serialText, const std::string& what, unsigned count);

    struct Impl; // the testbed and the devices, shared with the channels

private:
    UsbBus() = default;
    std::shared_ptr<Impl> impl_;
    int controlFd_ = -1;
    std::string controlPath_;
    std::string pending_;
};

} // namespace csim
