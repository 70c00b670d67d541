// The simulated firmware of one module: its identity, its entities (each a
// command class found through a dispatch table) and the few packets handled
// before any entity sees them (cmdMAGIC, cmdFORCEROUTE, heartbeat answers).
// Transports hand complete packets to SimModule::receive and send back what
// it returns; the module never touches a descriptor itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/module/Config.h"
#include "sim/module/PacketLog.h"
#include "sim/module/Wire.h"

namespace csim {

class SimModule;

// Identifies the connection a request came on, so that per-connection
// transfer state (byte arrays in flight, factory transfers) stays apart.
using PortId = int;

// One entity class of the firmware, addressed by the first data byte.
class Entity {
public:
    virtual ~Entity() = default;
    virtual uint8_t command() const = 0;
    // Handles a packet whose first data byte is command(); appends replies.
    virtual void handle(PortId port, const Packet& in, std::vector<Packet>& out) = 0;
    // The answer to the entity-present query for (option, index, flags):
    // 0 when the option exists and allows the access the flags ask for.
    virtual uint8_t present(uint8_t option, uint8_t index, uint8_t flags) const;
    // Number of instances (class quantity query).
    virtual int quantity() const { return 1; }
    // Adds the entity's state to the module's dump.
    virtual void dump(nlohmann::json& /*module*/) const {}
    // A connection went away: drop its transfer state.
    virtual void portClosed(PortId /*port*/) {}
};

// The kind of value a UEI option carries.
enum class ValueKind { Call, Byte, Short, Int, Bytes };

struct OptionInfo {
    ValueKind kind = ValueKind::Byte;
    bool get = true;
    bool set = false;
    bool subindex = false; // requests carry a sub-index byte after the specifier
};

struct Value {
    uint32_t number = 0;
    std::vector<uint8_t> bytes;
};

// Base of entities that follow the UEI convention: it parses requests, checks
// options and indexes, reassembles byte arrays sent in chunks, applies the
// error-reply fault switch and builds replies; subclasses supply the options.
class UeiEntity : public Entity {
public:
    UeiEntity(SimModule& module, uint8_t command) : module_(module), command_(command) {}
    uint8_t command() const override { return command_; }
    void handle(PortId port, const Packet& in, std::vector<Packet>& out) override;
    uint8_t present(uint8_t option, uint8_t index, uint8_t flags) const override;
    void portClosed(PortId port) override;

protected:
    // The option's description, or null when the entity has no such option.
    virtual const OptionInfo* option(uint8_t code) const = 0;
    // Reads an option; returns an error code (0 on success).
    virtual uint8_t get(uint8_t code, uint8_t index, int subindex, Value& out) = 0;
    // Writes an option (Call: no value); returns an error code.
    virtual uint8_t set(uint8_t code, uint8_t index, int subindex, const Value& in) = 0;
    // Runs after the reply to a successful set has been queued (a reset, for
    // instance, acts only once it has answered).
    virtual void afterSet(uint8_t /*code*/, uint8_t /*index*/) {}
    // Largest byte array a set may carry.
    virtual std::size_t maxBytes(uint8_t /*code*/) const { return 4096; }

    SimModule& module_;

private:
    void replyError(uint8_t optionByte, uint8_t index, uint8_t code, std::vector<Packet>& out);
    void replyValue(uint8_t code, uint8_t index, const OptionInfo& info, const Value& v,
                    std::vector<Packet>& out);

    struct Pending {
        uint8_t nextSeq = 0;
        std::vector<uint8_t> bytes;
        bool failed = false;
    };
    uint8_t command_;
    // Byte arrays being received, by (port, option code, index).
    std::map<std::tuple<PortId, uint8_t, uint8_t>, Pending> pending_;
};

struct HeartbeatStats {
    uint64_t sent = 0;
    uint64_t answered = 0;
    uint64_t wrong = 0;
    uint64_t missed = 0;
};

// What the transport should do after a packet went through the firmware.
struct Output {
    std::vector<Packet> replies;
    bool drop = false;      // drop this connection (fault switch)
    bool dropAll = false;   // drop every connection of the module (reboot, loader start)
    unsigned offlineMs = 0; // after dropAll: accept no connection for this long
};

class SimModule {
public:
    SimModule(const ModuleConfig& config, PacketLog& log);
    ~SimModule();
    SimModule(const SimModule&) = delete;
    SimModule& operator=(const SimModule&) = delete;

    const ModuleConfig& config() const { return config_; }
    PacketLog& log() { return log_; }
    std::string serialText() const;

    // A complete packet from the host, received on `port`.
    void receive(PortId port, const Packet& in, Output& out);
    void portClosed(PortId port);

    // Heartbeats: the interval (0: none) and the next heartbeat to send.
    unsigned heartbeatMs() const;
    void setHeartbeatMs(unsigned ms) { heartbeatMs_ = ms; }
    Packet nextHeartbeat();
    // True once the silent-after fault switch has tripped.
    bool silent() const;

    nlohmann::json dumpState() const;

    // The firmware that runs now. A later reboot into new firmware changes
    // these; they start from the configuration.
    uint8_t address = 2;
    uint32_t serial = 0;
    uint8_t model = 0;
    uint32_t version = 0;
    uint32_t build = 0;
    uint32_t protocolFeatures = 0;
    uint8_t forceRoute = 0;
    uint8_t routeToMe = 0;
    std::chrono::steady_clock::time_point started;

    // An entity asks the transport to take the module off its links (as a
    // reboot does) for `offlineMs`; `announce` goes out on the first
    // connection made afterwards.
    void requestDropAll(unsigned offlineMs, std::vector<Packet> announce = {});
    // Packets owed to the next new connection (taken by the transport).
    std::vector<Packet> takeAnnouncement();
    // Puts new firmware in charge: identity from `fw` (the caller decides
    // what the written image says).
    void runFirmware(uint32_t newVersion, uint32_t newBuild, uint8_t newModel, uint32_t newSerial);
    uint32_t errorsWord = 0; // system option 41

    // The I2C network behind this module (a router): modules by address.
    SimModule* networkModule(uint8_t addr);
    // True when something answers I2C traffic at this (even) address.
    bool i2cPresent(uint8_t addr);
    std::vector<uint8_t> routeToMeHistory;

    Entity* entity(uint8_t command);
    void addEntity(std::unique_ptr<Entity> e);
    // The configured error reply for (command, option code), if any.
    std::optional<uint8_t> faultError(uint8_t command, uint8_t option) const;

private:
    void handleModuleInfo(const Packet& in, std::vector<Packet>& out);

    ModuleConfig config_;
    PacketLog& log_;
    std::map<uint8_t, std::unique_ptr<Entity>> entities_;
    unsigned heartbeatMs_ = 0;
    uint8_t heartbeatSeq_ = 0;
    std::optional<uint8_t> heartbeatExpected_;
    HeartbeatStats heartbeats_;
    uint64_t received_ = 0;
    bool dropped_ = false;
    bool dropAllRequested_ = false;
    unsigned offlineMs_ = 0;
    std::vector<Packet> announcement_;
    std::map<uint8_t, std::unique_ptr<SimModule>> network_;
};

// Entity factories (one unit each).
std::unique_ptr<Entity> makeSystemEntity(SimModule& m);
std::unique_ptr<Entity> makeSlotEntity(SimModule& m);
std::unique_ptr<Entity> makeFactoryEntity(SimModule& m);
std::unique_ptr<Entity> makeModuleInfoEntity(SimModule& m);
std::unique_ptr<Entity> makeDebugEntity(SimModule& m);
std::unique_ptr<Entity> makeI2CEntity(SimModule& m);
// The upgrade entity; null when the configuration switches it off.
std::unique_ptr<Entity> makeUpgradeEntity(SimModule& m);

} // namespace csim
