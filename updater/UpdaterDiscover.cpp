// Discovery: the modules attached directly (USB, TCP/IP) and those behind a
// router on the I2C network, each connected once and asked for its firmware.
#include "updater/Updater.h"

#include "app/Log.h"
#include "devlib/I2CClass.h"
#include "devlib/Link.h"
#include "devlib/Module.h"
#include "devlib/SystemClass.h"
#include "devlib/aVersion.h"
#include "devlib/discover.h"
#include "devlib/unix_streamusb.h"
#include "updater/UpdaterNetwork.h"

using Halvern::Corvantis::I2CClass;
using Halvern::Corvantis::Module;
using Halvern::Corvantis::SystemClass;

namespace {

// Module address used for a module reached directly, before it tells its own.
constexpr uint8_t kDirectModuleAddress = 2;
// The I2C addresses probed behind a router: even addresses 2 to 252.
constexpr unsigned int kFirstNetworkAddress = 2;
constexpr unsigned int kLastNetworkAddress = 252;
// The router's fastest I2C speed setting.
constexpr uint8_t kI2CSpeedFastest = 3;
// Command byte and query of the raw build-number request.
constexpr uint8_t kModuleInfoCommand = 73;
constexpr uint8_t kBuildQuery = 0xFF;
constexpr uint8_t kBuildReplyLength = 6;

bool _discovered_device(const linkSpec* where, bool* taken, void* reference) {
    auto* devices = static_cast<std::vector<DeviceInfo>*>(reference);
    devices->emplace_back(*where);
    *taken = true;
    return true;
}

struct LinkTypeSearch {
    unsigned int serial;
    linkType found;
};

bool _discovered_link(const linkSpec* where, bool* taken, void* reference) {
    auto* search = static_cast<LinkTypeSearch*>(reference);
    *taken = true;
    if (where->serialNumber == search->serial) {
        Log::log(DEBUG_Network, "NETWORK: Found device [%08X] via link type [%d]\n",
                 where->serialNumber, static_cast<int>(where->type));
        search->found = where->type;
        return false;
    }
    return true;
}

// USB first, then TCP/IP; 0 when the module is on neither.
linkType _discover_link_type(unsigned int serial) {
    LinkTypeSearch search{serial, linkTypeInvalid};
    aDiscovery_EnumerateModules(linkTypeUSB, _discovered_link, &search,
                                kDiscoveryLoopbackInterface);
    if (search.found == linkTypeInvalid)
        aDiscovery_EnumerateModules(linkTypeTCPIP, _discovered_link, &search,
                                    kDiscoveryLoopbackInterface);
    return search.found;
}

// Version, module address and router address; stops at the first failure.
aErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    aErr err = system.init(&module, 0);
    if (err != aErrNone)
        return err;
    uint32_t packed = 0;
    if ((err = system.getVersion(&packed)) != aErrNone)
        return err;
    info.versionMajor = aVersion_ParseMajor(packed);
    info.versionMinor = aVersion_ParseMinor(packed);
    info.versionPatch = aVersion_ParsePatch(packed);
    uint8_t address = 0;
    if ((err = system.getModule(&address)) != aErrNone)
        return err;
    info.moduleAddress = address;
    if ((err = system.getRouter(&address)) != aErrNone)
        return err;
    info.routerAddress = address;
    return aErrNone;
}

} // namespace

aErr _disableEther(Module& module, UpdaterDisplayInterface& display) {
    aEtherConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    aErr err = module.setConfig(config);
    if (err != aErrNone)
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to SET network configuration");
    return err;
}

uint32_t _get_build_number(Module& module) {
    Halvern::Corvantis::Link* link = module.getLink();
    if (!link)
        return 0;
    const uint8_t query = kBuildQuery;
    if (link->sendPacket(module.getModuleAddress(), kModuleInfoCommand, 1, &query) != aErrNone)
        return 0;
    const uint8_t match[2] = {kModuleInfoCommand, kBuildQuery};
    uint8_t length = sizeof match;
    uint8_t reply[aPACKET_MAXDATA] = {};
    if (link->receivePacket(module.getModuleAddress(), match, &length, reply) != aErrNone)
        return 0;
    if (length != kBuildReplyLength)
        return 0;
    return (uint32_t(reply[2]) << 24) | (uint32_t(reply[3]) << 16) | (uint32_t(reply[4]) << 8) |
           uint32_t(reply[5]);
}

std::vector<DeviceInfo> Updater::Discover_Devices(linkType type) {
    std::vector<DeviceInfo> devices;
    const linkType searched[2] = {type == linkTypeInvalid ? linkTypeUSB : type, linkTypeTCPIP};
    const int searches = type == linkTypeInvalid ? 2 : 1;
    for (int i = 0; i < searches; ++i)
        aDiscovery_EnumerateModules(searched[i], _discovered_device, &devices,
                                    kDiscoveryLoopbackInterface);

    for (DeviceInfo& info : devices) {
        info.modelName = aDefs_GetModelName(info.model);
        Module module(kDirectModuleAddress, true);
        if (_disableEther(module, m_display) != aErrNone)
            continue;
        aErr err = module.connectFromSpec(info);
        if (err != aErrNone) {
            info.error = err;
            if (aStream_USBLastOpenResult() == aErrPermission)
                Log::log(DEBUG_Updater, "%s\n", aStream_USBPermissionHint());
        } else {
            info.build = _get_build_number(module);
            info.error = _get_version(module, info);
        }
        module.disconnect();
    }
    return devices;
}

std::vector<DeviceInfo> Updater::Discover_SXNetwork_Devices(unsigned int routerSerial,
                                                            linkType type) {
    std::vector<DeviceInfo> devices;
    if (type == linkTypeInvalid)
        type = _discover_link_type(routerSerial);

    linkSpec* found = aDiscovery_FindModule(type, routerSerial, kDiscoveryLoopbackInterface);
    if (!found)
        return devices;
    const linkSpec routerSpec = *found;
    aLinkSpec_Destroy(&found);
    Log::log(DEBUG_Updater, "Found Link Module");

    Module router(kDirectModuleAddress, true);
    if (_disableEther(router, m_display) != aErrNone)
        return devices;
    aErr err = router.connectFromSpec(routerSpec);
    if (err != aErrNone) {
        m_display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on connectFromSpec",
                          static_cast<int>(err));
        return devices;
    }

    SystemClass routerSystem;
    routerSystem.init(&router, 0);
    err = routerSystem.routeToMe(true);
    if (err != aErrNone) {
        m_display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error %d on route to me",
                          static_cast<int>(err));
        router.disconnect();
        return devices;
    }
    I2CClass i2c;
    i2c.init(&router, 0);
    i2c.setSpeed(kI2CSpeedFastest);

    const uint8_t routerAddress = router.getModuleAddress();
    for (unsigned int address = kFirstNetworkAddress; address <= kLastNetworkAddress;
         address += 2) {
        if (address == routerAddress)
            continue;
        Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
        const uint8_t probe[2] = {0, 0};
        if (i2c.write(static_cast<uint8_t>(address), sizeof probe, probe) != aErrNone)
            continue;

        Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
        Module module(static_cast<uint8_t>(address), false);
        _disableEther(module, m_display);
        if (module.connectThroughLinkModule(&router) != aErrNone)
            continue;
        SystemClass system;
        system.init(&module, 0);
        uint32_t serial = 0;
        if (system.getSerialNumber(&serial) != aErrNone) {
            module.disconnect();
            continue;
        }
        Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

        // The fields after the model (address, port and the rest) come from
        // the router's specifier, so a module behind a TCP/IP router shows
        // the router's address.
        DeviceInfo info(routerSpec);
        info.type = type;
        info.serialNumber = serial;
        info.moduleAddress = 0;
        info.routerAddress = routerAddress;
        info.routerSerialNumber = routerSerial;
        info.model = 0;
        info.networkAddress = static_cast<uint16_t>(address);
        info.build = _get_build_number(module);
        info.error = _get_version(module, info);
        uint8_t model = 0;
        aErr modelErr = system.getModel(&model);
        if (modelErr == aErrNone) {
            info.model = model;
            info.modelName = aDefs_GetModelName(model);
        } else {
            info.error = modelErr;
        }
        module.disconnect();
        devices.push_back(info);
    }

    routerSystem.routeToMe(false);
    router.disconnect();
    return devices;
}
