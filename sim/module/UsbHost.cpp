// The host loop's side of the USB attachment: plugging modules into the
// emulated bus, plugging them in again after a reboot or a drop (with the
// identity the module has then), and the control FIFO's commands.
#include <cstdio>
#include <sstream>

#include "sim/module/Host.h"

namespace csim {

bool Host::wantsUsb(std::size_t index) const {
    const nlohmann::json& raw = modules_[index].module->config().raw;
    if (!raw.is_object() || !raw.contains("usb"))
        return false;
    const nlohmann::json& usb = raw["usb"];
    return usb.is_object() || (usb.is_boolean() && usb.get<bool>());
}

bool Host::openUsb(std::size_t index, std::string& error) {
    if (!usb_) {
        usb_ = UsbBus::create(error);
        if (!usb_)
            return false;
        printLine(usb_->environmentLine());
        printLine(usb_->controlLine());
    }
    Runtime& r = modules_[index];
    SimModule& m = *r.module;
    UsbIdentity id;
    try {
        // The identity of the firmware that runs now: a reboot into the
        // loader or into new firmware may have changed serial and model.
        id = usbIdentityFromJson(m.config().raw["usb"], m.serial, m.model);
    } catch (const std::exception& e) {
        error = e.what();
        configError_ = true;
        return false;
    }
    std::string name = "usb" + std::to_string(++r.usbCount);
    std::string where;
    Channel* ch = usb_->plug(id, name, where, error);
    if (!ch)
        return false;
    Connection c;
    c.channel.reset(ch);
    c.id = nextPort_++;
    c.module = index;
    c.isUsb = true;
    PortId port = c.id;
    connections_.emplace(port, std::move(c));
    log_.event(m.serialText(), name, "plug " + where);
    char product[8];
    std::snprintf(product, sizeof product, "%04X", id.product);
    printLine("usb " + where + " serial=" + m.serialText() + " product=" + product);
    send(port, m.takeAnnouncement(), false);
    return true;
}

void Host::onUsbControl() {
    for (const std::string& line : usb_->readControl()) {
        std::istringstream in(line);
        std::string verb, serial;
        unsigned long value = 0;
        in >> verb >> serial >> value;
        std::size_t index = modules_.size();
        for (std::size_t i = 0; i < modules_.size(); ++i) {
            if (modules_[i].module->serialText() == serial)
                index = i;
        }
        if (index == modules_.size()) {
            std::fprintf(stderr, "corvantis-sim: usb control: no module %s\n", serial.c_str());
            continue;
        }
        Runtime& r = modules_[index];
        if (verb == "unplug") {
            // Unplugged now; with a time, plugged in again after it.
            std::vector<PortId> ports;
            for (const auto& kv : connections_) {
                if (kv.second.module == index && kv.second.isUsb)
                    ports.push_back(kv.first);
            }
            for (PortId p : ports) {
                connections_.at(p).channel->drop();
                closeConnection(p, "unplug");
            }
            r.usbReplug = value > 0;
            r.offlineUntil = Clock::now() + std::chrono::milliseconds(value);
            printLine("usb-unplugged serial=" + serial);
        } else if (verb == "plug") {
            std::string error;
            if (!openUsb(index, error))
                std::fprintf(stderr, "corvantis-sim: %s\n", error.c_str());
        } else if (!usb_->fault(serial, verb, static_cast<unsigned>(value))) {
            std::fprintf(stderr, "corvantis-sim: usb control: cannot do '%s'\n", line.c_str());
        }
    }
}

} // namespace csim
