// The system entity (command 3): identity, settings, measurements, save and
// reset, and the unique identifier read word by word through sub-indexes.
#include <map>

#include "sim/module/Firmware.h"

namespace csim {

namespace {

// Options with a meaning of their own in this unit.
constexpr uint8_t kOptModule = 1;
constexpr uint8_t kOptRouter = 2;
constexpr uint8_t kOptHeartbeat = 3;
constexpr uint8_t kOptVersion = 7;
constexpr uint8_t kOptModel = 8;
constexpr uint8_t kOptSerial = 9;
constexpr uint8_t kOptSave = 10;
constexpr uint8_t kOptReset = 11;
constexpr uint8_t kOptRouteToMe = 20;
constexpr uint8_t kOptUptime = 22;
constexpr uint8_t kOptLogEvents = 24;
constexpr uint8_t kOptEntityDefaults = 36;
constexpr uint8_t kOptDeviceDefaults = 37;
constexpr uint8_t kOptUniqueId = 39;
constexpr uint8_t kOptErrors = 41;
constexpr uint8_t kOptBuild = 43;
constexpr uint8_t kOptProtocolFeatures = 45;
// The heartbeat option counts in steps of this many milliseconds.
constexpr unsigned kHeartbeatUnitMs = 100;
constexpr std::size_t kUniqueIdWords = 4;

using K = ValueKind;

struct Row {
    OptionInfo info;
    uint32_t initial;
};

// Every option of the entity, with the value a fresh module reports.
const std::map<uint8_t, Row>& table() {
    static const std::map<uint8_t, Row> t = {
        {1, {{K::Byte, true, false}, 0}},          // module address (live)
        {2, {{K::Byte, true, true}, 0}},           // router address
        {3, {{K::Byte, true, true}, 0}},           // heartbeat interval (live)
        {4, {{K::Byte, true, true}, 0}},           // LED
        {6, {{K::Byte, true, true}, 0}},           // boot slot
        {7, {{K::Int, true, false}, 0}},           // version (live)
        {8, {{K::Byte, true, false}, 0}},          // model (live)
        {9, {{K::Int, true, false}, 0}},           // serial number (live)
        {10, {{K::Call, false, true}, 0}},         // save
        {11, {{K::Call, false, true}, 0}},         // reset
        {12, {{K::Int, true, false}, 5000000}},    // input voltage, microvolts
        {13, {{K::Byte, true, false}, 0}},         // hardware offset
        {14, {{K::Byte, true, false}, 0}},         // base address (set below)
        {15, {{K::Byte, true, true}, 0}},          // software offset
        {16, {{K::Byte, true, false}, 0}},         // router address setting
        {20, {{K::Byte, true, true}, 0}},          // route to me
        {21, {{K::Int, true, false}, 250000}},     // input current, microamps
        {22, {{K::Int, true, false}, 0}},          // uptime, seconds (live)
        {23, {{K::Int, true, false}, 45000000}},   // maximum temperature, micro degrees
        {24, {{K::Call, false, true}, 0}},         // log events
        {25, {{K::Int, true, false}, 5100000}},    // unregulated voltage
        {26, {{K::Int, true, false}, 260000}},     // unregulated current
        {27, {{K::Int, true, false}, 31000000}},   // temperature
        {28, {{K::Int, true, false}, 21000000}},   // minimum temperature
        {29, {{K::Byte, true, false}, 1}},         // input power source
        {30, {{K::Byte, true, true}, 0}},          // input power behaviour
        {31, {{K::Bytes, true, true}, 0}},         // input power behaviour config
        {32, {{K::Bytes, true, true}, 0}},         // name
        {33, {{K::Int, true, false}, 10000000}},   // power limit
        {34, {{K::Int, true, true}, 10000000}},    // power limit maximum
        {35, {{K::Int, true, false}, 0}},          // power limit state
        {36, {{K::Call, false, true}, 0}},         // entity factory defaults
        {37, {{K::Call, false, true}, 0}},         // device factory defaults
        {38, {{K::Byte, true, true}, 0}},          // link interface
        {39, {{K::Int, true, false, true}, 0}},    // unique identifier, by sub-index
        {40, {{K::Int, true, false}, 0x00010000}}, // hardware version
        {41, {{K::Int, true, false}, 0}},          // errors
        {42, {{K::Byte, true, true}, 255}},        // LED maximum brightness
        {43, {{K::Int, true, false}, 0}},          // build (live)
        {45, {{K::Int, true, false}, 0}},          // protocol features (live)
    };
    return t;
}

class SystemEntity : public UeiEntity {
public:
    explicit SystemEntity(SimModule& m) : UeiEntity(m, kCmdSystem) {
        for (const auto& [code, row] : table()) {
            if (row.info.kind == K::Bytes)
                defaults_.bytes[code] = {};
            else if (row.info.kind != K::Call)
                defaults_.numbers[code] = row.initial;
        }
        const ModuleConfig& c = m.config();
        defaults_.numbers[kOptRouter] =
            c.routerAddress >= 0 ? static_cast<uint32_t>(c.routerAddress) : c.address;
        defaults_.numbers[14] = c.address;
        defaults_.numbers[16] = defaults_.numbers[kOptRouter];
        for (const auto& [code, value] : c.options)
            defaults_.numbers[static_cast<uint8_t>(code)] = value;
        for (const auto& [code, value] : c.byteOptions)
            defaults_.bytes[static_cast<uint8_t>(code)] = value;
        defaults_.heartbeatMs = c.heartbeatMs;
        if (c.options.count(kOptHeartbeat))
            defaults_.heartbeatMs = c.options.at(kOptHeartbeat) * kHeartbeatUnitMs;
        m.setHeartbeatMs(defaults_.heartbeatMs);
        current_ = defaults_;
        saved_ = defaults_;
    }

    void dump(nlohmann::json& j) const override {
        j["options"] = numbersJson(current_);
        j["byteOptions"] = bytesJson(current_);
        j["saved"] = numbersJson(saved_);
        j["savedByteOptions"] = bytesJson(saved_);
        j["saveCount"] = saveCount_;
        j["resetCount"] = resetCount_;
        j["logEventsCount"] = logEvents_;
    }

protected:
    const OptionInfo* option(uint8_t code) const override {
        auto it = table().find(code);
        return it == table().end() ? nullptr : &it->second.info;
    }

    uint8_t get(uint8_t code, uint8_t, int subindex, Value& out) override {
        switch (code) {
        case kOptModule:
            out.number = module_.address;
            return kErrNone;
        case kOptHeartbeat:
            out.number = module_.heartbeatMs() / kHeartbeatUnitMs;
            return kErrNone;
        case kOptVersion:
            out.number = module_.version;
            return kErrNone;
        case kOptModel:
            out.number = module_.model;
            return kErrNone;
        case kOptSerial:
            out.number = module_.serial;
            return kErrNone;
        case kOptRouteToMe:
            out.number = module_.routeToMe;
            return kErrNone;
        case kOptUptime:
            out.number =
                static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                          std::chrono::steady_clock::now() - module_.started)
                                          .count());
            return kErrNone;
        case kOptUniqueId:
            if (subindex < 0 || static_cast<std::size_t>(subindex) >= kUniqueIdWords)
                return kErrIndexRange;
            out.number = module_.config().uniqueId[static_cast<std::size_t>(subindex)];
            return kErrNone;
        case kOptBuild:
            out.number = module_.build;
            return kErrNone;
        case kOptProtocolFeatures:
            out.number = module_.protocolFeatures;
            return kErrNone;
        case kOptErrors:
            out.number = module_.errorsWord;
            return kErrNone;
        default:
            break;
        }
        if (option(code)->kind == K::Bytes)
            out.bytes = current_.bytes[code];
        else
            out.number = current_.numbers[code];
        return kErrNone;
    }

    uint8_t set(uint8_t code, uint8_t, int, const Value& in) override {
        switch (code) {
        case kOptSave:
            saved_ = current_;
            ++saveCount_;
            return kErrNone;
        case kOptReset:
        case kOptEntityDefaults:
        case kOptDeviceDefaults:
            return kErrNone; // acts after the reply went out
        case kOptLogEvents:
            ++logEvents_;
            return kErrNone;
        case kOptHeartbeat:
            current_.heartbeatMs = in.number * kHeartbeatUnitMs;
            current_.numbers[code] = in.number;
            module_.setHeartbeatMs(current_.heartbeatMs);
            return kErrNone;
        case kOptRouteToMe:
            module_.routeToMe = static_cast<uint8_t>(in.number);
            module_.routeToMeHistory.push_back(module_.routeToMe);
            current_.numbers[code] = in.number;
            return kErrNone;
        default:
            break;
        }
        if (option(code)->kind == K::Bytes) {
            if (code == 31 && in.bytes.size() % 4 != 0)
                return kErrSize; // a list of 32-bit words
            current_.bytes[code] = in.bytes;
        } else {
            current_.numbers[code] = in.number;
        }
        return kErrNone;
    }

    void afterSet(uint8_t code, uint8_t) override {
        if (code == kOptReset) {
            // A reset forgets what was not saved.
            current_ = saved_;
            ++resetCount_;
            module_.setHeartbeatMs(current_.heartbeatMs);
            module_.routeToMe = static_cast<uint8_t>(current_.numbers[kOptRouteToMe]);
        } else if (code == kOptEntityDefaults || code == kOptDeviceDefaults) {
            current_ = defaults_;
            module_.setHeartbeatMs(current_.heartbeatMs);
        }
    }

private:
    struct Settings {
        std::map<uint8_t, uint32_t> numbers;
        std::map<uint8_t, std::vector<uint8_t>> bytes;
        unsigned heartbeatMs = 0;
    };

    static nlohmann::json numbersJson(const Settings& s) {
        nlohmann::json j = nlohmann::json::object();
        for (const auto& [code, v] : s.numbers)
            j[std::to_string(code)] = v;
        return j;
    }
    static nlohmann::json bytesJson(const Settings& s) {
        nlohmann::json j = nlohmann::json::object();
        for (const auto& [code, v] : s.bytes)
            j[std::to_string(code)] = bytesToJson(v);
        return j;
    }

    Settings defaults_, current_, saved_;
    uint64_t saveCount_ = 0;
    uint64_t resetCount_ = 0;
    uint64_t logEvents_ = 0;
};

} // namespace

std::unique_ptr<Entity> makeSystemEntity(SimModule& m) {
    return std::make_unique<SystemEntity>(m);
}

} // namespace csim
