#include "devlib/Module.h"

#include <cstring>

#include "devlib/aProtocol.h"
#include "devlib/aUEI.h"
#include "devlib/unix_time.h"

namespace Halvern {
namespace Corvantis {

namespace {

constexpr uint8_t kMaxDataBytes = 28;
constexpr uint8_t kMaxEchoBytes = 27;
// hasUEI flags: bit 6 asks about get, bit 7 about set; bits 0-5 are unused.
constexpr uint8_t kHasUEIFlagGet = 0x40;
constexpr uint8_t kHasUEIFlagSet = 0x80;
constexpr uint8_t kHasUEIReservedFlags = 0x3F;
// Diagnostic mask of the automatic address query.
constexpr uint32_t kDebugMaskAutoNetwork = 0x40;

} // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : m_link(new Link("Link")), m_moduleAddress(address), m_networkingMode(networkingMode),
      m_model(model) {}

Module::~Module() {
    delete m_link;
}

aErr Module::connect(linkType type, unsigned int serialNumber) {
    if (m_link == nullptr) {
        return aErrInitialization;
    }
    if (serialNumber == 0) {
        return aErrParam;
    }
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, unsigned int serialNumber) {
    if (m_link == nullptr) {
        return aErrInitialization;
    }
    aErr result = m_link->discoverAndConnect(type, serialNumber, m_model);
    if (result != aErrNone) {
        return result;
    }
    return _autoNetwork();
}

aErr Module::connectFromSpec(const linkSpec& where) {
    if (m_link == nullptr) {
        return aErrInitialization;
    }
    if (m_link->isConnected()) {
        return aErrBusy;
    }
    aErr result = m_link->setLinkSpecifier(where);
    if (result == aErrNone) {
        result = m_link->connect();
    }
    if (result != aErrNone) {
        return result;
    }
    return _autoNetwork();
}

aErr Module::connectThroughLinkModule(Module* router) {
    if (m_link == nullptr) {
        return aErrInitialization;
    }
    if (m_link->isConnected()) {
        return aErrNone;
    }
    if (router == nullptr) {
        return aErrInitialization;
    }
    linkSpec where;
    aErr result = router->getLinkSpecifier(&where);
    if (result != aErrNone) {
        return result;
    }
    Link* routerLink = router->getLink();
    if (routerLink == nullptr) {
        return aErrInitialization;
    }
    aEtherConfig config;
    routerLink->getConfig(&config);
    result = m_link->setConfig(config);
    if (result != aErrNone) {
        return result;
    }
    if (config.enabled) {
        // The router is shared through its link server: reach it as a client.
        where.type = linkTypeAEther;
        where.address = config.networkInterface;
        where.port = config.port;
    }
    result = m_link->setLinkSpecifier(where);
    if (result == aErrNone) {
        result = m_link->connectThroughLinkModule(*routerLink);
    }
    if (result == aErrNone) {
        // This module is not the one at the end of the link.
        m_networkingMode = false;
    }
    return result;
}

aErr Module::reconnect() {
    if (m_link == nullptr) {
        return aErrInitialization;
    }
    aErr result = m_link->connect();
    if (result != aErrNone) {
        return result;
    }
    return _autoNetwork();
}

aErr Module::disconnect() {
    return m_link == nullptr ? aErrInitialization : m_link->disconnect();
}

bool Module::isConnected() const {
    return m_link != nullptr && m_link->isConnected();
}

int Module::getStatus() const {
    return m_link == nullptr ? kLinkObjectNoLink : m_link->getStatus();
}

uint8_t Module::getModuleAddress() const {
    return m_moduleAddress;
}

void Module::setModuleAddress(uint8_t address) {
    m_moduleAddress = address;
}

void Module::setNetworkingMode(bool networkingMode) {
    m_networkingMode = networkingMode;
}

Link* Module::getLink() const {
    return m_link;
}

aErr Module::getLinkSpecifier(linkSpec* where) const {
    if (m_link == nullptr) {
        return aErrNotReady;
    }
    return m_link->getLinkSpecifier(where);
}

aErr Module::getConfig(aEtherConfig* config) const {
    if (config == nullptr) {
        return aErrParam;
    }
    if (m_link == nullptr) {
        return aErrNotReady;
    }
    return m_link->getConfig(config);
}

aErr Module::setConfig(const aEtherConfig& config) {
    if (m_link == nullptr) {
        return aErrNotReady;
    }
    return m_link->setConfig(config);
}

aErr Module::enablePacketLog(const char* path) {
    return m_link == nullptr ? aErrConfiguration : m_link->enablePacketLog(path);
}

aErr Module::disablePacketLog() {
    return m_link == nullptr ? aErrConfiguration : m_link->disablePacketLog();
}

aErr Module::_autoNetwork() {
    if (!m_networkingMode || m_link == nullptr) {
        return aErrNone;
    }
    aErr result = aErrNotReady;
    uint8_t address = 0;
    int attempts = 0;
    while (attempts < kModuleAutoNetworkAttempts && result == aErrNotReady) {
        ++attempts;
        result = m_link->getModuleAddress(&address);
        if (result != aErrNone) {
            aTime_MSSleep(kModuleAutoNetworkPauseMs);
        }
    }
    if (attempts == kModuleAutoNetworkAttempts) {
        aCorvantisDebugPrintf(kDebugMaskAutoNetwork, "BOO! Failed to autoNetwork\n");
    }
    if (result == aErrNone && address != 0 && address != m_moduleAddress) {
        m_moduleAddress = address;
    }
    return result;
}

aErr Module::_moduleInfo(uint8_t length, const uint8_t* request, bool matchQuery,
                         uint8_t* replyLength, uint8_t* reply) {
    if (m_link == nullptr) {
        return aErrInitialization;
    }
    if (!m_link->isConnected()) {
        return aErrConnection;
    }
    aErr result = m_link->sendPacket(m_moduleAddress, cmdMODULEINFO, length, request);
    if (result != aErrNone) {
        return result;
    }
    const uint8_t match[] = {cmdMODULEINFO, request[0]};
    *replyLength = matchQuery ? 2 : 1;
    return m_link->receivePacket(m_moduleAddress, match, replyLength, reply);
}

aErr Module::getBuild(uint32_t* build) {
    if (build == nullptr) {
        return aErrParam;
    }
    const uint8_t request[] = {kModuleInfoBuild};
    uint8_t reply[kMaxDataBytes];
    uint8_t length = 0;
    aErr result = _moduleInfo(sizeof(request), request, true, &length, reply);
    if (result != aErrNone) {
        return result;
    }
    if (length != 6) {
        return aErrSize;
    }
    *build = aUEI_RetrieveInt(&reply[2]);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if ((flags & kHasUEIReservedFlags) != 0 ||
        (flags & (kHasUEIFlagGet | kHasUEIFlagSet)) == (kHasUEIFlagGet | kHasUEIFlagSet)) {
        return aErrParam;
    }
    const uint8_t request[] = {kModuleInfoEntityPresent, command, option, index, flags};
    uint8_t reply[kMaxDataBytes];
    uint8_t length = 0;
    aErr result = _moduleInfo(sizeof(request), request, false, &length, reply);
    if (result != aErrNone) {
        return result;
    }
    if (length == 6 && reply[1] == kModuleInfoEntityPresent && reply[2] == command &&
        reply[3] == option && reply[4] == index) {
        return reply[5];
    }
    return aErrUnknown;
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    if (count == nullptr) {
        return aErrParam;
    }
    *count = 0;
    const uint8_t request[] = {kModuleInfoClassQuantity, command};
    uint8_t reply[kMaxDataBytes];
    uint8_t length = 0;
    aErr result = _moduleInfo(sizeof(request), request, false, &length, reply);
    if (result != aErrNone) {
        return result;
    }
    if (length != 4 || reply[1] != kModuleInfoClassQuantity || reply[2] != command) {
        return aErrUnknown;
    }
    *count = reply[3];
    return aErrNone;
}

aErr Module::subClassQuantity(uint8_t command, uint8_t index, uint8_t* count) {
    if (count == nullptr) {
        return aErrParam;
    }
    *count = 0;
    const uint8_t request[] = {kModuleInfoSubclassQuantity, command, index};
    uint8_t reply[kMaxDataBytes];
    uint8_t length = 0;
    aErr result = _moduleInfo(sizeof(request), request, false, &length, reply);
    if (result != aErrNone) {
        return result;
    }
    if (length != 5 || reply[1] != kModuleInfoSubclassQuantity || reply[2] != command ||
        reply[3] != index) {
        return aErrUnknown;
    }
    *count = reply[4];
    return aErrNone;
}

aErr Module::entityGroup(uint8_t command, uint8_t index, uint8_t* group) {
    if (group == nullptr) {
        return aErrParam;
    }
    *group = 0;
    const uint8_t request[] = {kModuleInfoEntityGroup, command, index};
    uint8_t reply[kMaxDataBytes];
    uint8_t length = 0;
    aErr result = _moduleInfo(sizeof(request), request, false, &length, reply);
    if (result != aErrNone) {
        return result;
    }
    if (length != 5 || reply[1] != kModuleInfoEntityGroup || reply[2] != command ||
        reply[3] != index) {
        return aErrUnknown;
    }
    *group = reply[4];
    return aErrNone;
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
    if (m_link == nullptr) {
        return aErrInitialization;
    }
    if (!m_link->isConnected()) {
        return aErrConnection;
    }
    if (length > kMaxEchoBytes || (data == nullptr && length != 0)) {
        return aErrParam;
    }
    aErr result = m_link->sendPacket(m_moduleAddress, cmdDEBUG, length, data);
    if (result != aErrNone) {
        return result;
    }
    const uint8_t match[] = {cmdDEBUG};
    uint8_t reply[kMaxDataBytes];
    uint8_t replyLength = sizeof(match);
    result = m_link->receivePacket(m_moduleAddress, match, &replyLength, reply);
    if (result != aErrNone) {
        return result;
    }
    if (replyLength != length + 1 || (length != 0 && std::memcmp(&reply[1], data, length) != 0)) {
        return aErrIO;
    }
    return aErrNone;
}

} // namespace Corvantis
} // namespace Halvern
