#include "sim/module/Firmware.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace csim {

using nlohmann::json;

// Flag bits of the entity-present query.
constexpr uint8_t kPresentGet = 0x40;
constexpr uint8_t kPresentSet = 0x80;

// Module-information query selectors (second data byte).
constexpr uint8_t kInfoPresent = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubclassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;
constexpr uint8_t kInfoBuild = 0xFF;

uint8_t Entity::present(uint8_t, uint8_t, uint8_t) const {
    return kErrInvalidOption;
}

// ---- UEI entities -------------------------------------------------------

uint8_t UeiEntity::present(uint8_t code, uint8_t index, uint8_t flags) const {
    const OptionInfo* info = option(code);
    if (!info)
        return kErrInvalidOption;
    if (static_cast<int>(index) >= quantity())
        return kErrIndexRange;
    if ((flags & kPresentGet) && !info->get)
        return kErrInvalidOption;
    if ((flags & kPresentSet) && !info->set)
        return kErrInvalidOption;
    return kErrNone;
}

void UeiEntity::portClosed(PortId port) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (std::get<0>(it->first) == port)
            it = pending_.erase(it);
        else
            ++it;
    }
}

void UeiEntity::replyError(uint8_t optionByte, uint8_t index, uint8_t code,
                           std::vector<Packet>& out) {
    out.emplace_back(
        module_.address,
        std::vector<uint8_t>{command_, optionByte, static_cast<uint8_t>(index | kSpecError), code});
}

void UeiEntity::replyValue(uint8_t code, uint8_t index, const OptionInfo& info, const Value& v,
                           std::vector<Packet>& out) {
    std::vector<uint8_t> head{command_, code, index};
    switch (info.kind) {
    case ValueKind::Call:
        out.emplace_back(module_.address, head);
        return;
    case ValueKind::Byte:
        head.push_back(static_cast<uint8_t>(v.number));
        out.emplace_back(module_.address, head);
        return;
    case ValueKind::Short:
        putBE16(head, static_cast<uint16_t>(v.number));
        out.emplace_back(module_.address, head);
        return;
    case ValueKind::Int:
        putBE32(head, v.number);
        out.emplace_back(module_.address, head);
        return;
    case ValueKind::Bytes:
        break;
    }
    // A byte array: chunks of up to 24 bytes, each with its trailer (continue
    // flag and a sequence number modulo 128); an empty array is one packet.
    std::vector<Packet> chunks;
    std::size_t offset = 0;
    unsigned seq = 0;
    do {
        std::size_t n = std::min(kChunkBytes, v.bytes.size() - offset);
        bool more = offset + n < v.bytes.size();
        std::vector<uint8_t> d = head;
        d.insert(d.end(), v.bytes.begin() + static_cast<long>(offset),
                 v.bytes.begin() + static_cast<long>(offset + n));
        d.push_back(static_cast<uint8_t>((more ? kTrailerContinue : 0) | (seq & kTrailerSeqMask)));
        chunks.emplace_back(module_.address, std::move(d));
        offset += n;
        ++seq;
    } while (offset < v.bytes.size());
    if (module_.config().faults.reorderChunks && chunks.size() >= 3)
        std::swap(chunks[1], chunks[2]);
    out.insert(out.end(), chunks.begin(), chunks.end());
}

void UeiEntity::handle(PortId port, const Packet& in, std::vector<Packet>& out) {
    const std::vector<uint8_t>& d = in.data;
    if (d.size() < 3)
        return; // too short to be a request: a real module ignores it too
    const uint8_t opt = d[1];
    const bool isGet = (opt & kOptGet) != 0;
    const bool isSet = (opt & kOptSet) != 0;
    if (isGet == isSet)
        return; // neither a get nor a set (or a reply form): not for us
    const uint8_t code = opt & kOptCodeMask;
    const uint8_t index = d[2] & kSpecIndexMask;
    const uint8_t replyOpt = isGet ? code : static_cast<uint8_t>(code | kOptGet | kOptSet);
    const OptionInfo* info = option(code);

    // A byte-array set arrives in chunks; collect them before acting.
    if (isSet && info && info->kind == ValueKind::Bytes) {
        if (d.size() < 4) {
            replyError(replyOpt, index, kErrSize, out);
            return;
        }
        const uint8_t trailer = d.back();
        const uint8_t seq = trailer & kTrailerSeqMask;
        const bool more = (trailer & kTrailerContinue) != 0;
        auto key = std::make_tuple(port, code, index);
        auto it = pending_.find(key);
        // Sequence 0 starts a new array, except where a long array wrapped
        // around after 128 chunks and 0 is the number expected next.
        if (seq == 0 && (it == pending_.end() || it->second.nextSeq != 0))
            it = pending_.insert_or_assign(key, Pending{}).first;
        if (it == pending_.end()) {
            // A chunk of an array whose start was never seen.
            if (!more)
                replyError(replyOpt, index, kErrPacket, out);
            return;
        }
        Pending& p = it->second;
        if (seq != p.nextSeq)
            p.failed = true;
        p.bytes.insert(p.bytes.end(), d.begin() + 3, d.end() - 1);
        if (p.bytes.size() > maxBytes(code))
            p.failed = true;
        p.nextSeq = static_cast<uint8_t>((p.nextSeq + 1) & kTrailerSeqMask);
        if (more)
            return;
        Pending done = std::move(p);
        pending_.erase(it);
        if (auto fault = module_.faultError(command_, code)) {
            replyError(replyOpt, index, *fault, out);
            return;
        }
        if (done.failed) {
            replyError(replyOpt, index,
                       done.bytes.size() > maxBytes(code) ? kErrOverrun : kErrPacket, out);
            return;
        }
        if (static_cast<int>(index) >= quantity()) {
            replyError(replyOpt, index, kErrIndexRange, out);
            return;
        }
        Value v;
        v.bytes = std::move(done.bytes);
        uint8_t err = set(code, index, -1, v);
        if (err != kErrNone) {
            replyError(replyOpt, index, err, out);
            return;
        }
        out.emplace_back(module_.address, std::vector<uint8_t>{command_, replyOpt, index});
        afterSet(code, index);
        return;
    }

    if (auto fault = module_.faultError(command_, code)) {
        replyError(replyOpt, index, *fault, out);
        return;
    }
    if (!info || (isGet && !info->get) || (isSet && !info->set)) {
        replyError(replyOpt, index, kErrInvalidOption, out);
        return;
    }
    if (static_cast<int>(index) >= quantity()) {
        replyError(replyOpt, index, kErrIndexRange, out);
        return;
    }
    std::size_t pos = 3;
    int subindex = -1;
    if (info->subindex) {
        subindex = d.size() > pos ? d[pos] : 0;
        ++pos;
    }
    if (isGet) {
        Value v;
        uint8_t err = get(code, index, subindex, v);
        if (err != kErrNone)
            replyError(replyOpt, index, err, out);
        else
            replyValue(code, index, *info, v, out);
        return;
    }
    // A set: the value follows the specifier (and the sub-index, if any).
    Value v;
    std::size_t have = d.size() > pos ? d.size() - pos : 0;
    std::size_t need = 0;
    switch (info->kind) {
    case ValueKind::Call:
        need = 0;
        break;
    case ValueKind::Byte:
        need = 1;
        break;
    case ValueKind::Short:
        need = 2;
        break;
    case ValueKind::Int:
        need = 4;
        break;
    case ValueKind::Bytes:
        break;
    }
    if (have < need) {
        replyError(replyOpt, index, kErrSize, out);
        return;
    }
    if (need == 1)
        v.number = d[pos];
    else if (need == 2)
        v.number = getBE16(&d[pos]);
    else if (need == 4)
        v.number = getBE32(&d[pos]);
    uint8_t err = set(code, index, subindex, v);
    if (err != kErrNone) {
        replyError(replyOpt, index, err, out);
        return;
    }
    out.emplace_back(module_.address, std::vector<uint8_t>{command_, replyOpt, index});
    afterSet(code, index);
}

// ---- The module ----------------------------------------------------------

SimModule::SimModule(const ModuleConfig& config, PacketLog& log)
    : address(config.address), serial(config.serial), model(config.model), version(config.version),
      build(config.build), protocolFeatures(config.protocolFeatures),
      started(std::chrono::steady_clock::now()), config_(config), log_(log),
      heartbeatMs_(config.heartbeatMs) {
    addEntity(makeSystemEntity(*this));
    addEntity(makeSlotEntity(*this));
    addEntity(makeFactoryEntity(*this));
    addEntity(makeModuleInfoEntity(*this));
    addEntity(makeDebugEntity(*this));
    addEntity(makeI2CEntity(*this));
    if (auto upgrade = makeUpgradeEntity(*this))
        addEntity(std::move(upgrade));
    if (config.raw.contains("network")) {
        for (const auto& j : config.raw["network"]) {
            ModuleConfig child = moduleFromJson(j);
            if (child.address == address || network_.count(child.address))
                throw std::runtime_error("two modules at address " + std::to_string(child.address) +
                                         " on one network");
            network_[child.address] = std::make_unique<SimModule>(child, log);
        }
    }
}

SimModule* SimModule::networkModule(uint8_t addr) {
    auto it = network_.find(addr);
    return it == network_.end() ? nullptr : it->second.get();
}

bool SimModule::i2cPresent(uint8_t addr) {
    if (networkModule(addr))
        return true;
    return std::find(config_.i2c.begin(), config_.i2c.end(), addr) != config_.i2c.end();
}

void SimModule::requestDropAll(unsigned offlineMs, std::vector<Packet> announce) {
    dropAllRequested_ = true;
    offlineMs_ = offlineMs;
    announcement_ = std::move(announce);
}

std::vector<Packet> SimModule::takeAnnouncement() {
    return std::move(announcement_);
}

void SimModule::runFirmware(uint32_t newVersion, uint32_t newBuild, uint8_t newModel,
                            uint32_t newSerial) {
    version = newVersion;
    build = newBuild;
    model = newModel;
    serial = newSerial;
    started = std::chrono::steady_clock::now();
}

SimModule::~SimModule() = default;

std::string SimModule::serialText() const {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", serial);
    return buf;
}

void SimModule::addEntity(std::unique_ptr<Entity> e) {
    uint8_t cmd = e->command();
    entities_[cmd] = std::move(e);
}

Entity* SimModule::entity(uint8_t command) {
    auto it = entities_.find(command);
    return it == entities_.end() ? nullptr : it->second.get();
}

std::optional<uint8_t> SimModule::faultError(uint8_t command, uint8_t option) const {
    for (const ErrorFault& f : config_.faults.errors) {
        if (f.cmd == command && f.option == option)
            return f.code;
    }
    return std::nullopt;
}

bool SimModule::silent() const {
    return config_.faults.silentAfter != 0 && received_ >= config_.faults.silentAfter;
}

unsigned SimModule::heartbeatMs() const {
    return silent() ? 0 : heartbeatMs_;
}

Packet SimModule::nextHeartbeat() {
    // The host answers a heartbeat with the same packet and the counter
    // raised by two; an expected answer that never came counts as missed.
    if (heartbeatExpected_)
        ++heartbeats_.missed;
    uint8_t seq = heartbeatSeq_++;
    heartbeatExpected_ = static_cast<uint8_t>(seq + 2);
    ++heartbeats_.sent;
    return Packet(address, {kCmdHeartbeat, seq});
}

void SimModule::portClosed(PortId port) {
    for (auto& [cmd, e] : entities_)
        e->portClosed(port);
    for (auto& [addr, child] : network_)
        child->portClosed(port);
}

// UEI commands are every first byte that is not one of the raw commands.
static bool isUeiCommand(uint8_t cmd) {
    static const uint8_t raw[] = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    return std::find(std::begin(raw), std::end(raw), cmd) == std::end(raw);
}

void SimModule::receive(PortId port, const Packet& in, Output& out) {
    ++received_;
    if (config_.faults.dropAfter != 0 && !dropped_ && received_ == config_.faults.dropAfter) {
        dropped_ = true;
        out.drop = true;
        return;
    }
    if (config_.faults.silentAfter != 0 && received_ > config_.faults.silentAfter)
        return;

    if (in.address == kAddrMagic) {
        // Synchronisation and address query: an empty packet from our address.
        out.replies.emplace_back(address, std::vector<uint8_t>{});
        return;
    }
    if (in.address == kAddrForceRoute) {
        if (!in.data.empty())
            forceRoute = in.data[0];
        return;
    }
    if (in.address != address) {
        // A router passes packets for the modules on its network through and
        // their replies back over the same link.
        if (SimModule* child = networkModule(in.address)) {
            Output childOut;
            child->receive(port, in, childOut);
            out.replies.insert(out.replies.end(), childOut.replies.begin(), childOut.replies.end());
        }
        return; // otherwise not addressed to this module
    }
    if (in.data.empty())
        return;
    const uint8_t cmd = in.data[0];
    if (cmd == kCmdHeartbeat) {
        if (in.data.size() == 2 && heartbeatExpected_ && in.data[1] == *heartbeatExpected_) {
            ++heartbeats_.answered;
        } else {
            ++heartbeats_.wrong;
            log_.event(serialText(), "-", "heartbeat-wrong");
        }
        heartbeatExpected_.reset();
        return;
    }
    if (Entity* e = entity(cmd)) {
        e->handle(port, in, out.replies);
        if (dropAllRequested_) {
            dropAllRequested_ = false;
            out.dropAll = true;
            out.offlineMs = offlineMs_;
        }
        return;
    }
    if (isUeiCommand(cmd) && in.data.size() >= 3) {
        // An entity this module does not have.
        const uint8_t opt = in.data[1];
        const uint8_t code = opt & kOptCodeMask;
        const uint8_t replyOpt =
            (opt & kOptSet) ? static_cast<uint8_t>(code | kOptGet | kOptSet) : code;
        out.replies.emplace_back(
            address,
            std::vector<uint8_t>{cmd, replyOpt,
                                 static_cast<uint8_t>((in.data[2] & kSpecIndexMask) | kSpecError),
                                 kErrInvalidEntity});
    }
}

// ---- Module information (command 73) -------------------------------------

class ModuleInfoEntity : public Entity {
public:
    explicit ModuleInfoEntity(SimModule& m) : m_(m) {}
    uint8_t command() const override { return kCmdModuleInfo; }

    void handle(PortId, const Packet& in, std::vector<Packet>& out) override {
        const std::vector<uint8_t>& d = in.data;
        if (d.size() < 2)
            return;
        switch (d[1]) {
        case kInfoBuild: {
            std::vector<uint8_t> r{kCmdModuleInfo, kInfoBuild};
            putBE32(r, m_.build);
            r.resize(m_.config().faults.buildReplyBytes, 0xAA);
            out.emplace_back(m_.address, r);
            return;
        }
        case kInfoPresent: {
            if (d.size() < 6)
                return;
            out.emplace_back(m_.address,
                             std::vector<uint8_t>{kCmdModuleInfo, kInfoPresent, d[2], d[3], d[4],
                                                  presence(d[2], d[3], d[4], d[5])});
            return;
        }
        case kInfoClassQuantity: {
            if (d.size() < 3)
                return;
            out.emplace_back(m_.address, std::vector<uint8_t>{kCmdModuleInfo, kInfoClassQuantity,
                                                              d[2], classQuantity(d[2])});
            return;
        }
        case kInfoSubclassQuantity:
        case kInfoEntityGroup:
            if (d.size() < 4)
                return;
            out.emplace_back(m_.address, std::vector<uint8_t>{kCmdModuleInfo, d[1], d[2], d[3], 0});
            return;
        default:
            return; // unknown query: no answer
        }
    }

private:
    uint8_t presence(uint8_t cmd, uint8_t option, uint8_t index, uint8_t flags) const {
        const ModuleConfig& c = m_.config();
        if (c.hasSupportedUEI) {
            for (const auto& e : c.supportedUEI) {
                if (e[0] == cmd && e[1] == option && e[2] == index)
                    return kErrNone;
            }
            return m_.entity(cmd) ? kErrInvalidOption : kErrInvalidEntity;
        }
        Entity* e = m_.entity(cmd);
        if (!e)
            return kErrInvalidEntity;
        return e->present(option, index, flags);
    }

    uint8_t classQuantity(uint8_t cmd) const {
        auto it = m_.config().classQuantity.find(cmd);
        if (it != m_.config().classQuantity.end())
            return static_cast<uint8_t>(it->second);
        Entity* e = m_.entity(cmd);
        return e ? static_cast<uint8_t>(e->quantity()) : 0;
    }

    SimModule& m_;
};

std::unique_ptr<Entity> makeModuleInfoEntity(SimModule& m) {
    return std::make_unique<ModuleInfoEntity>(m);
}

// ---- Debug echo (command 23) ----------------------------------------------

class DebugEntity : public Entity {
public:
    explicit DebugEntity(SimModule& m) : m_(m) {}
    uint8_t command() const override { return kCmdDebug; }
    void handle(PortId, const Packet& in, std::vector<Packet>& out) override {
        out.emplace_back(m_.address, in.data);
    }

private:
    SimModule& m_;
};

std::unique_ptr<Entity> makeDebugEntity(SimModule& m) {
    return std::make_unique<DebugEntity>(m);
}

// ---- State dump -------------------------------------------------------------

json SimModule::dumpState() const {
    json j;
    j["serial"] = serialText();
    j["address"] = address;
    j["model"] = model;
    j["version"] = version;
    j["build"] = build;
    j["forceRoute"] = forceRoute;
    j["routeToMe"] = routeToMe;
    j["packetsReceived"] = received_;
    j["heartbeats"] = {{"sent", heartbeats_.sent},
                       {"answered", heartbeats_.answered},
                       {"wrong", heartbeats_.wrong},
                       {"missed", heartbeats_.missed}};
    j["routeToMeHistory"] = routeToMeHistory;
    for (const auto& [cmd, e] : entities_)
        e->dump(j);
    if (!network_.empty()) {
        j["network"] = json::array();
        for (const auto& [addr, child] : network_)
            j["network"].push_back(child->dumpState());
    }
    return j;
}

} // namespace csim
