// A module: one Corvantis module reached over one link.
//
// A Module owns its Link from construction to destruction and knows the
// module's address on its I2C network. With automatic networking on, every
// successful connection asks the module for its address (cmdMAGIC) and
// adopts it. It also offers the module-information queries (cmdMODULEINFO)
// and an echo test (cmdDEBUG). Entities (EntityClass and its derived
// classes) address one entity on a module and hold a plain pointer to it,
// so a Module must outlive its entities.
//
// Every operation returns an aErr and runs on the caller's thread, waiting
// for its reply (1000 ms per reply). Without a link (never the case after a
// successful construction) operations give aErrInitialization unless noted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/Link.h"
#include "devlib/aDefs.h"
#include "devlib/aError.h"

namespace Halvern {
namespace Corvantis {

// Attempts of the automatic address query after a connection, and the pause
// after each failed one.
constexpr int kModuleAutoNetworkAttempts = 4;
constexpr unsigned long kModuleAutoNetworkPauseMs = 5;

// The module-information queries (data byte 1 of a cmdMODULEINFO request).
enum : uint8_t {
    kModuleInfoEntityPresent = 1,
    kModuleInfoClassQuantity = 4,
    kModuleInfoSubclassQuantity = 5,
    kModuleInfoEntityGroup = 6,
    kModuleInfoBuild = 0xFF,
};

class Module {
public:
    // A module at `address` (even, non-zero; 0 when it is still to be
    // learned), with automatic networking on. `model` is the model code used
    // when connecting by discovery without a serial number (0: any model).
    explicit Module(uint8_t address, uint8_t model = 0);
    // The same with automatic networking chosen by the caller.
    Module(uint8_t address, bool networkingMode, uint8_t model = 0);
    // Releases the link (see Link::~Link).
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // --- Connection --------------------------------------------------------

    // Connects by discovery to the module with this serial number.
    // aErrParam for serial number 0; otherwise as discoverAndConnect.
    aErr connect(linkType type, unsigned int serialNumber);
    // Link::discoverAndConnect with this module's model code, then the
    // automatic address query: the result is the connection's failure, or
    // else the address query's result (aErrNone with networking off).
    aErr discoverAndConnect(linkType type, unsigned int serialNumber);
    // Connects from `where`, then the automatic address query. aErrBusy
    // while connected; otherwise as discoverAndConnect.
    aErr connectFromSpec(const linkSpec& where);
    // Reaches this module over the router module's link. Success at once when
    // already connected (the router is not touched). aErrInitialization when
    // the router (or its link) is missing; the router's getLinkSpecifier
    // error when it has no specifier. On success automatic networking is
    // switched off, since this module is not the link's own module.
    aErr connectThroughLinkModule(Module* router);
    // Connects again from the stored specifier (Link::connect), then the
    // automatic address query.
    aErr reconnect();
    // Gives the link's engine link back. Always aErrNone with a link.
    aErr disconnect();
    bool isConnected() const;
    // The link status; kLinkObjectNoLink without a link.
    int getStatus() const;

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    void setNetworkingMode(bool networkingMode);
    // The module's link, owned by the module; valid while it lives.
    Link* getLink() const;

    // Forwarded to the link; aErrNotReady without a link (and aErrParam for
    // a null pointer).
    aErr getLinkSpecifier(linkSpec* where) const;
    aErr getConfig(aEtherConfig* config) const;
    aErr setConfig(const aEtherConfig& config);

    // Forwarded to the link; aErrConfiguration without a link.
    aErr enablePacketLog(const char* path);
    aErr disablePacketLog();

    // --- Module information (cmdMODULEINFO) --------------------------------
    // Each needs a connected link (aErrConnection) and waits up to 1000 ms.

    // The firmware build number. aErrParam for null, aErrSize for a reply
    // that is not 6 bytes long, aErrTimeout without a reply.
    aErr getBuild(uint32_t* build);
    // Whether the module has entity option (command, option, index); flags
    // 0x40 asks about get, 0x80 about set. The result is the module's answer
    // (aErrNone when the option exists). aErrParam for flags with any of bits
    // 0 to 5 or both bits 6 and 7 set (nothing is sent), aErrUnknown for a
    // malformed reply.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    // The number of entities of class `command`; the number of subclasses of
    // one entity; the group of one entity. The output is 0 unless the result
    // is aErrNone; aErrParam for null, aErrUnknown for a malformed reply.
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t index, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t index, uint8_t* group);

    // Echo test: sends cmdDEBUG with `length` bytes (at most 27) and expects
    // them back. aErrIO when the reply differs, aErrParam for a bad length
    // or null data, aErrTimeout without a reply.
    aErr debug(const uint8_t* data, uint8_t length);

private:
    // Asks the module for its address and adopts it (automatic networking
    // only); up to kModuleAutoNetworkAttempts attempts.
    aErr _autoNetwork();
    // Sends a module-information request and waits for its reply (first data
    // byte cmdMODULEINFO, second equal to `query` when matchQuery is set).
    aErr _moduleInfo(uint8_t length, const uint8_t* request, bool matchQuery, uint8_t* replyLength,
                     uint8_t* reply);

    Link* m_link;
    uint8_t m_moduleAddress;
    bool m_networkingMode;
    uint8_t m_model;
};

} // namespace Corvantis
} // namespace Halvern
