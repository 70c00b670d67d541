#include "sim/module/UsbAttachment.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

#include <umockdev.h>

#include "sim/module/Config.h"

namespace csim {

namespace {

constexpr uint8_t kEpIn = 0x81;
constexpr uint8_t kEpOut = 0x02;
constexpr int kBusNumber = 1;
// Module output kept for a host that is slow to read; beyond it the oldest
// bytes are dropped (a real module's buffer is far smaller).
constexpr std::size_t kMaxInBytes = 64 * 1024;
// Output kept for the first host to claim the interface.
constexpr std::size_t kMaxHeldBytes = 64;
constexpr uint8_t kReqGetDescriptor = 6;
constexpr uint8_t kReqGetStatus = 0;
constexpr uint8_t kDescDevice = 1, kDescConfig = 2, kDescString = 3;
constexpr std::size_t kSetupBytes = 8;
// Control lines longer than this are cut off.
constexpr std::size_t kMaxControlLine = 256;

struct Urb {
    UMockdevIoctlData* urb = nullptr; // the client's struct usbdevfs_urb
    UMockdevIoctlData* buf = nullptr; // its transfer buffer
    UMockdevIoctlClient* client = nullptr;
    usbdevfs_urb* u() const { return reinterpret_cast<usbdevfs_urb*>(urb->data); }
};

void urbFree(Urb* u) {
    if (u->urb)
        g_object_unref(u->urb);
    if (u->buf)
        g_object_unref(u->buf);
    delete u;
}

} // namespace

// One plugged device: its descriptors, URB queues and fault switches. Shared
// between the host loop (channel side) and umockdev's worker thread (ioctl
// side); everything mutable is guarded by `lock`.
class UsbDevice {
public:
    UsbIdentity id;
    std::string sysPath;
    std::string devNode; // as clients see it (/dev/bus/usb/001/NNN)
    int nodeFd = -1;     // our end of the FIFO that backs the node
    int wakeFd = -1;     // eventfd, readable while OUT data waits
    UMockdevIoctlBase* handler = nullptr;
    std::vector<uint8_t> deviceDesc, configDesc;

    std::mutex lock;
    std::deque<Urb*> pendingIn;
    std::deque<Urb*> reapable;
    std::vector<uint8_t> outData; // host to module, for the channel
    std::deque<uint8_t> inData;   // module to host
    bool gone = false;
    bool claimed = false;
    // The connection (one per opened node) that holds the interface; another
    // that claims it meanwhile is refused with EBUSY, as the kernel does.
    UMockdevIoctlClient* owner = nullptr;
    bool everClaimed = false;
    // What the module said before a host first claimed the interface (an
    // announcement owed to the first connection); handed out at that claim.
    std::vector<uint8_t> held;
    bool haltIn = false, haltOut = false;

    // Keeps the node writable ("something to reap") exactly while a URB is
    // reapable, so that libusb sleeps in poll() while idle. Lock held.
    void updateReadiness() {
        static char junk[65536];
        if (nodeFd < 0)
            return;
        if (reapable.empty() && !gone) {
            while (::write(nodeFd, junk, sizeof junk) > 0) {
            }
        } else {
            while (::read(nodeFd, junk, sizeof junk) > 0) {
            }
        }
    }
    void done(Urb* u, int status, int actual) {
        u->u()->status = status;
        u->u()->actual_length = actual;
        reapable.push_back(u);
        updateReadiness();
    }
    void serviceIn() {
        while (!pendingIn.empty() && (gone || haltIn || id.inErrors > 0 || !inData.empty())) {
            Urb* u = pendingIn.front();
            pendingIn.pop_front();
            if (gone) {
                done(u, -ENODEV, 0);
                continue;
            }
            if (haltIn) {
                done(u, -EPIPE, 0);
                continue;
            }
            if (id.inErrors > 0) {
                --id.inErrors;
                done(u, -EPROTO, 0);
                continue;
            }
            int n = std::min<int>(u->u()->buffer_length, static_cast<int>(inData.size()));
            for (int i = 0; i < n; ++i) {
                u->buf->data[i] = inData.front();
                inData.pop_front();
            }
            done(u, 0, n);
        }
    }
    std::vector<uint8_t> stringDesc(uint8_t index) const {
        static const char* const texts[] = {nullptr, "Halvern", "Corvantis module"};
        std::string s;
        if (index == 3)
            s = id.serialText;
        else if (index >= 1 && index <= 2)
            s = texts[index];
        else
            return {};
        std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * s.size()), kDescString};
        for (char c : s) {
            d.push_back(static_cast<uint8_t>(c));
            d.push_back(0);
        }
        return d;
    }
    // A control IN request: bytes, or -1 for a stall.
    int controlIn(const uint8_t* setup, uint8_t* out, int maxlen) const {
        uint16_t wValue = static_cast<uint16_t>(setup[2] | setup[3] << 8);
        std::vector<uint8_t> r;
        if (setup[0] == 0x80 && setup[1] == kReqGetDescriptor) {
            uint8_t type = wValue >> 8, idx = wValue & 0xFF;
            if (type == kDescDevice)
                r = deviceDesc;
            else if (type == kDescConfig && idx == 0)
                r = configDesc;
            else if (type == kDescString && idx == 0)
                r = {4, kDescString, 0x09, 0x04}; // English (US)
            else if (type == kDescString)
                r = stringDesc(idx);
            if (r.empty())
                return -1;
        } else if (setup[0] == 0x80 && setup[1] == kReqGetStatus) {
            r = {0, 0};
        } else {
            return -1;
        }
        int n = std::min<int>(maxlen, static_cast<int>(r.size()));
        std::memcpy(out, r.data(), static_cast<std::size_t>(n));
        return n;
    }

    gboolean onIoctl(UMockdevIoctlClient* client);
    void clientGone(UMockdevIoctlClient* client) {
        std::lock_guard<std::mutex> hold(lock);
        auto drop = [&](std::deque<Urb*>& q) {
            for (auto it = q.begin(); it != q.end();) {
                if ((*it)->client == client) {
                    urbFree(*it);
                    it = q.erase(it);
                } else {
                    ++it;
                }
            }
        };
        drop(pendingIn);
        drop(reapable);
        if (owner == client) {
            claimed = false;
            owner = nullptr;
        }
        updateReadiness();
    }
};

namespace {

gboolean onIoctlThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<UsbDevice*>(self)->onIoctl(client);
}

void onVanishedThunk(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<UsbDevice*>(self)->clientGone(client);
}

} // namespace

gboolean UsbDevice::onIoctl(UMockdevIoctlClient* client) {
    gulong req = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* err = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        if (gone && req != USBDEVFS_REAPURBNDELAY && req != USBDEVFS_REAPURB &&
            req != USBDEVFS_DISCARDURB && req != USBDEVFS_RELEASEINTERFACE) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
    }
    switch (req) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), &err);
        // Scatter-gather: one URB per transfer, whatever its size.
        guint32 caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_BULK_SCATTER_GATHER |
                       USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_ZERO_PACKET |
                       USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        if (d)
            std::memcpy(d->data, &caps, sizeof caps);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        std::lock_guard<std::mutex> hold(lock);
        if (claimed && owner != client) {
            // Held by another process: it keeps the interface.
            umockdev_ioctl_client_complete(client, -1,
                                           req == USBDEVFS_CLAIMINTERFACE ? EBUSY : EINVAL);
            return TRUE;
        }
        claimed = req == USBDEVFS_CLAIMINTERFACE;
        owner = claimed ? client : nullptr;
        if (claimed) {
            inData.clear(); // a new session starts without stale output
            if (!everClaimed)
                inData.insert(inData.end(), held.begin(), held.end());
            everClaimed = true;
            held.clear();
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLEAR_HALT: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), &err);
        unsigned int ep = d ? *reinterpret_cast<unsigned int*>(d->data) : 0;
        std::lock_guard<std::mutex> hold(lock);
        if (ep == kEpIn)
            haltIn = false;
        if (ep == kEpOut)
            haltOut = false;
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    case USBDEVFS_GETDRIVER: // no kernel driver bound
        umockdev_ioctl_client_complete(client, -1, ENODATA);
        return TRUE;
    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* ud = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &err);
        if (!ud) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        Urb* u = new Urb;
        u->urb = static_cast<UMockdevIoctlData*>(g_object_ref(ud));
        u->client = client;
        usbdevfs_urb* urb = u->u();
        if (urb->buffer_length > 0) {
            UMockdevIoctlData* b = umockdev_ioctl_data_resolve(
                ud, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), &err);
            u->buf = b ? static_cast<UMockdevIoctlData*>(g_object_ref(b)) : nullptr;
        }
        std::lock_guard<std::mutex> hold(lock);
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && u->buf &&
            urb->buffer_length >= static_cast<int>(kSetupBytes)) {
            const uint8_t* setup = u->buf->data;
            int wlen = setup[6] | setup[7] << 8;
            if (setup[0] & 0x80) {
                int n =
                    controlIn(setup, u->buf->data + kSetupBytes,
                              std::min(wlen, urb->buffer_length - static_cast<int>(kSetupBytes)));
                done(u, n < 0 ? -EPIPE : 0, n < 0 ? 0 : n);
            } else {
                done(u, 0, wlen);
            }
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == kEpOut) {
            if (haltOut) {
                done(u, -EPIPE, 0);
            } else if (id.stallOut > 0) {
                --id.stallOut;
                haltOut = true;
                done(u, -EPIPE, 0);
            } else if (id.outErrors > 0) {
                --id.outErrors;
                done(u, -EPROTO, 0);
            } else {
                if (u->buf)
                    outData.insert(outData.end(), u->buf->data, u->buf->data + urb->buffer_length);
                uint64_t one = 1;
                (void)::write(wakeFd, &one, sizeof one);
                done(u, 0, urb->buffer_length);
            }
        } else if (urb->type == USBDEVFS_URB_TYPE_BULK && urb->endpoint == kEpIn && u->buf) {
            if (id.stallIn > 0) {
                --id.stallIn;
                haltIn = true;
            }
            pendingIn.push_back(u);
            serviceIn();
        } else {
            urbFree(u);
            umockdev_ioctl_client_complete(client, -1, ENOENT);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        // The argument is the client's URB address itself.
        gulong addr = *reinterpret_cast<gulong*>(arg->data);
        int res = -1, e = EINVAL;
        std::lock_guard<std::mutex> hold(lock);
        for (auto it = pendingIn.begin(); it != pendingIn.end(); ++it) {
            if ((*it)->urb->client_addr == addr) {
                Urb* u = *it;
                pendingIn.erase(it);
                done(u, -ENOENT, 0);
                res = 0;
                e = 0;
                break;
            }
        }
        umockdev_ioctl_client_complete(client, res, e);
        return TRUE;
    }
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        Urb* u = nullptr;
        {
            std::lock_guard<std::mutex> hold(lock);
            for (auto it = reapable.begin(); it != reapable.end(); ++it) {
                if ((*it)->client == client) {
                    u = *it;
                    reapable.erase(it);
                    break;
                }
            }
            bool isGone = gone;
            updateReadiness();
            if (!u) {
                umockdev_ioctl_client_complete(client, -1, isGone ? ENODEV : EAGAIN);
                return TRUE;
            }
        }
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &err);
        if (d)
            umockdev_ioctl_data_set_ptr(d, 0, u->urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        urbFree(u);
        return TRUE;
    }
    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

namespace {

// The channel of one plugged device, owned by the host loop.
class UsbChannel : public Channel {
public:
    UsbChannel(std::shared_ptr<UsbBus::Impl> bus, std::shared_ptr<UsbDevice> dev, std::string name)
        : bus_(std::move(bus)), dev_(std::move(dev)), name_(std::move(name)) {}
    ~UsbChannel() override { unplug(); }
    int fd() const override { return dev_->wakeFd; }
    ssize_t read(uint8_t* buf, std::size_t n) override {
        uint64_t count = 0;
        (void)::read(dev_->wakeFd, &count, sizeof count);
        std::lock_guard<std::mutex> hold(dev_->lock);
        if (dev_->outData.empty()) {
            errno = EAGAIN;
            return -1;
        }
        std::size_t k = std::min(n, dev_->outData.size());
        std::memcpy(buf, dev_->outData.data(), k);
        dev_->outData.erase(dev_->outData.begin(), dev_->outData.begin() + static_cast<long>(k));
        if (!dev_->outData.empty()) {
            uint64_t one = 1;
            (void)::write(dev_->wakeFd, &one, sizeof one);
        }
        return static_cast<ssize_t>(k);
    }
    ssize_t write(const uint8_t* buf, std::size_t n) override {
        std::lock_guard<std::mutex> hold(dev_->lock);
        // Before the first claim the first bytes are kept for that host;
        // later, while nobody holds the interface, output goes nowhere, as on
        // a module whose host is not listening.
        if (!dev_->everClaimed && !dev_->gone) {
            std::size_t room = kMaxHeldBytes - std::min(kMaxHeldBytes, dev_->held.size());
            dev_->held.insert(dev_->held.end(), buf, buf + std::min(n, room));
        } else if (dev_->claimed && !dev_->gone) {
            dev_->inData.insert(dev_->inData.end(), buf, buf + n);
            while (dev_->inData.size() > kMaxInBytes)
                dev_->inData.pop_front();
            dev_->serviceIn();
        }
        return static_cast<ssize_t>(n);
    }
    void drop() override { unplug(); }
    const std::string& name() const override { return name_; }

private:
    void unplug();
    std::shared_ptr<UsbBus::Impl> bus_;
    std::shared_ptr<UsbDevice> dev_;
    std::string name_;
    bool unplugged_ = false;
};

} // namespace

struct UsbBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::string root;
    int nextDevnum = 2;
    std::mutex lock;
    std::vector<std::shared_ptr<UsbDevice>> devices; // plugged and retired
    ~Impl() {
        for (auto& d : devices) {
            if (d->handler) {
                umockdev_testbed_detach_ioctl(testbed, d->devNode.c_str(), nullptr);
                g_object_unref(d->handler);
            }
            if (d->nodeFd >= 0)
                ::close(d->nodeFd);
            if (d->wakeFd >= 0)
                ::close(d->wakeFd);
            std::lock_guard<std::mutex> hold(d->lock);
            for (Urb* u : d->pendingIn)
                urbFree(u);
            for (Urb* u : d->reapable)
                urbFree(u);
            d->pendingIn.clear();
            d->reapable.clear();
        }
        if (testbed)
            g_object_unref(testbed);
    }
};

void UsbChannel::unplug() {
    if (unplugged_)
        return;
    unplugged_ = true;
    {
        std::lock_guard<std::mutex> hold(dev_->lock);
        dev_->gone = true;
        dev_->serviceIn(); // pending IN transfers end with ENODEV
        dev_->updateReadiness();
    }
    std::string node = bus_->root + dev_->devNode;
    ::unlink(node.c_str());
    umockdev_testbed_remove_device(bus_->testbed, dev_->sysPath.c_str());
}

UsbIdentity usbIdentityFromJson(const nlohmann::json& usb, uint32_t serial, uint8_t model) {
    UsbIdentity id;
    id.product = model;
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    id.serialText = text;
    if (!usb.is_object())
        return id;
    auto num = [&](const char* key, auto& field, uint64_t max) {
        if (!usb.contains(key))
            return;
        uint64_t v = jsonInt(usb[key]);
        if (v > max)
            throw std::runtime_error(std::string("usb.") + key + " is out of range");
        field = static_cast<std::remove_reference_t<decltype(field)>>(v);
    };
    num("vendor", id.vendor, 0xFFFF);
    num("product", id.product, 0xFFFF);
    if (usb.contains("maxPacket")) {
        num("maxPacket", id.inMaxPacket, 1024);
        id.outMaxPacket = id.inMaxPacket;
    }
    num("inMaxPacket", id.inMaxPacket, 1024);
    num("outMaxPacket", id.outMaxPacket, 1024);
    num("stallIn", id.stallIn, 1000);
    num("stallOut", id.stallOut, 1000);
    num("inErrors", id.inErrors, 1000);
    num("outErrors", id.outErrors, 1000);
    if (usb.contains("serialString"))
        id.serialText = usb["serialString"].get<std::string>();
    if (id.serialText.size() > 100)
        throw std::runtime_error("usb.serialString is too long");
    if (usb.contains("interface")) {
        const auto& a = usb["interface"];
        if (!a.is_array() || a.size() != 3)
            throw std::runtime_error("usb.interface needs [class, subclass, protocol]");
        id.interfaceClass = static_cast<uint8_t>(jsonInt(a[0]));
        id.interfaceSubClass = static_cast<uint8_t>(jsonInt(a[1]));
        id.interfaceProtocol = static_cast<uint8_t>(jsonInt(a[2]));
    }
    if (id.inMaxPacket == 0 || id.outMaxPacket == 0)
        throw std::runtime_error("usb max packet sizes must be positive");
    return id;
}

std::unique_ptr<UsbBus> UsbBus::create(std::string& error) {
    std::unique_ptr<UsbBus> bus(new UsbBus());
    bus->impl_ = std::make_shared<Impl>();
    bus->impl_->testbed = umockdev_testbed_new();
    if (!bus->impl_->testbed) {
        error = "cannot create the USB testbed";
        return nullptr;
    }
    gchar* root = umockdev_testbed_get_root_dir(bus->impl_->testbed);
    bus->impl_->root = root;
    g_free(root);
    bus->controlPath_ = bus->impl_->root + "/control";
    if (::mkfifo(bus->controlPath_.c_str(), 0600) != 0) {
        error = "cannot make the USB control FIFO";
        return nullptr;
    }
    bus->controlFd_ = ::open(bus->controlPath_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (bus->controlFd_ < 0) {
        error = "cannot open the USB control FIFO";
        return nullptr;
    }
    return bus;
}

UsbBus::~UsbBus() {
    if (controlFd_ >= 0)
        ::close(controlFd_);
}

std::string UsbBus::environmentLine() const {
    return "usb-env UMOCKDEV_DIR=" + impl_->root + " LD_PRELOAD=libumockdev-preload.so.0";
}

std::string UsbBus::controlLine() const {
    return "usb-control " + controlPath_;
}

std::vector<std::string> UsbBus::readControl() {
    char buf[1024];
    ssize_t n;
    while ((n = ::read(controlFd_, buf, sizeof buf)) > 0)
        pending_.append(buf, static_cast<std::size_t>(n));
    std::vector<std::string> lines;
    std::size_t nl;
    while ((nl = pending_.find('\n')) != std::string::npos) {
        lines.push_back(pending_.substr(0, std::min(nl, kMaxControlLine)));
        pending_.erase(0, nl + 1);
    }
    if (pending_.size() > kMaxControlLine)
        pending_.clear();
    return lines;
}

bool UsbBus::fault(const std::string& serialText, const std::string& what, unsigned count) {
    std::lock_guard<std::mutex> hold(impl_->lock);
    for (auto& d : impl_->devices) {
        std::lock_guard<std::mutex> dh(d->lock);
        if (d->gone || d->id.serialText != serialText)
            continue;
        if (what == "stall-in")
            d->id.stallIn = count ? count : 1;
        else if (what == "stall-out")
            d->id.stallOut = count ? count : 1;
        else if (what == "in-errors")
            d->id.inErrors = count;
        else if (what == "out-errors")
            d->id.outErrors = count;
        else
            return false;
        d->serviceIn(); // a waiting IN transfer meets the fault at once
        return true;
    }
    return false;
}

Channel* UsbBus::plug(const UsbIdentity& id, const std::string& name, std::string& where,
                      std::string& error) {
    auto dev = std::make_shared<UsbDevice>();
    dev->id = id;
    unsigned devnum;
    {
        std::lock_guard<std::mutex> hold(impl_->lock);
        devnum = static_cast<unsigned>(impl_->nextDevnum++);
    }
    if (devnum > 127) {
        error = "the emulated USB bus has no address left";
        return nullptr;
    }
    // Device descriptor: USB 2.0, class in the interface, EP0 of 64 bytes,
    // vendor, product, device release 1.00, strings 1-3, one configuration.
    dev->deviceDesc = {18,
                       kDescDevice,
                       0x00,
                       0x02,
                       0,
                       0,
                       0,
                       64,
                       static_cast<uint8_t>(id.vendor),
                       static_cast<uint8_t>(id.vendor >> 8),
                       static_cast<uint8_t>(id.product),
                       static_cast<uint8_t>(id.product >> 8),
                       0x00,
                       0x01,
                       1,
                       2,
                       3,
                       1};
    // Configuration 1 with the link interface: bulk IN and bulk OUT.
    dev->configDesc = {9, kDescConfig, 32, 0, 1, 1, 0, 0x80, 50,
                       // interface 0, alternate 0, two endpoints, class/subclass/protocol
                       9, 4, 0, 0, 2, id.interfaceClass, id.interfaceSubClass, id.interfaceProtocol,
                       0,
                       // endpoint IN, bulk, wMaxPacketSize
                       7, 5, kEpIn, 0x02, static_cast<uint8_t>(id.inMaxPacket),
                       static_cast<uint8_t>(id.inMaxPacket >> 8), 0,
                       // endpoint OUT, bulk, wMaxPacketSize
                       7, 5, kEpOut, 0x02, static_cast<uint8_t>(id.outMaxPacket),
                       static_cast<uint8_t>(id.outMaxPacket >> 8), 0};
    char devnumText[16], devnum3[16], node[64], vendorText[8], productText[8], product[32];
    std::snprintf(devnumText, sizeof devnumText, "%u\n", devnum);
    std::snprintf(devnum3, sizeof devnum3, "%03u", devnum);
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03u", kBusNumber, devnum);
    std::snprintf(vendorText, sizeof vendorText, "%04x\n", id.vendor);
    std::snprintf(productText, sizeof productText, "%04x\n", id.product);
    std::snprintf(product, sizeof product, "%x/%x/100", id.vendor, id.product);
    std::string sysName = std::to_string(kBusNumber) + "-" + std::to_string(devnum);
    std::string serialLine = id.serialText + "\n";
    dev->devNode = node;

    // The node: a FIFO under the testbed root (0.17 makes none itself).
    std::string nodePath = impl_->root + node;
    std::string dir = nodePath.substr(0, nodePath.rfind('/'));
    g_mkdir_with_parents(dir.c_str(), 0755);
    ::unlink(nodePath.c_str());
    if (::mkfifo(nodePath.c_str(), 0666) != 0 ||
        (dev->nodeFd = ::open(nodePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
        error = "cannot make the USB node " + nodePath;
        return nullptr;
    }
    dev->wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (dev->wakeFd < 0) {
        error = "cannot make an eventfd";
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(dev->lock);
        dev->updateReadiness();
    }
    dev->handler = umockdev_ioctl_base_new();
    g_signal_connect(dev->handler, "handle-ioctl", G_CALLBACK(onIoctlThunk), dev.get());
    g_signal_connect(dev->handler, "client-vanished", G_CALLBACK(onVanishedThunk), dev.get());
    GError* gerr = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, node, dev->handler, &gerr)) {
        error = std::string("cannot attach the USB handler: ") + (gerr ? gerr->message : "?");
        if (gerr)
            g_error_free(gerr);
        return nullptr;
    }
    gchar* sys = umockdev_testbed_add_device(
        impl_->testbed, "usb", sysName.c_str(), nullptr,
        // sysfs attributes (each value ends in a line break, as the kernel's)
        "busnum", "1\n", "devnum", devnumText, "speed", "480\n", "bConfigurationValue", "1\n",
        "bNumConfigurations", "1\n", "idVendor", vendorText, "idProduct", productText, "serial",
        serialLine.c_str(), "manufacturer", "Halvern\n", "product", "Corvantis module\n", "devpath",
        "1\n", nullptr,
        // udev properties
        "DEVNAME", node, "DEVTYPE", "usb_device", "BUSNUM", "001", "DEVNUM", devnum3, "PRODUCT",
        product, "ID_SERIAL_SHORT", id.serialText.c_str(), "MAJOR", "189", "MINOR",
        std::to_string(devnum - 1).c_str(), nullptr);
    if (!sys) {
        error = "cannot add the USB device";
        return nullptr;
    }
    dev->sysPath = sys;
    g_free(sys);
    std::vector<uint8_t> all = dev->deviceDesc;
    all.insert(all.end(), dev->configDesc.begin(), dev->configDesc.end());
    umockdev_testbed_set_attribute_binary(impl_->testbed, dev->sysPath.c_str(), "descriptors",
                                          all.data(), all.size());
    // The "add" event went out before the descriptors existed: send it again.
    umockdev_testbed_uevent(impl_->testbed, dev->sysPath.c_str(), "add");
    where = sysName + " " + node;
    {
        std::lock_guard<std::mutex> hold(impl_->lock);
        impl_->devices.push_back(dev);
    }
    return new UsbChannel(impl_, dev, name);
}

} // namespace csim
