// The upgrade entity (command 95) as the module's firmware carries it: a
// loader that takes blocks in small packets (or one UEI byte array, option
// 10), confirms their byte sum, writes them into a flash model, starts a
// transferred loader and reboots into what was written. What the module
// reports after the reboot comes from the firmware descriptor in its flash.
#include <fstream>
#include <set>

#include "sim/module/Firmware.h"

namespace csim {

namespace {

// Sub-commands (second data byte).
constexpr uint8_t kInit = 0;
constexpr uint8_t kData = 1;
constexpr uint8_t kLoad = 2;
constexpr uint8_t kPrepare = 3;
constexpr uint8_t kSum = 4;
constexpr uint8_t kWrite = 5;
constexpr uint8_t kReboot = 6;
constexpr uint8_t kStatus = 7; // the reply code of prepare, sum and write
constexpr uint8_t kOptDataUei = 10;
// Status bytes of kStatus replies (0 is success).
constexpr uint8_t kStatusRange = kErrRange;
constexpr uint8_t kStatusSize = kErrSize;
// The firmware descriptor placed in test images: 16 bytes, little-endian
// words: magic, build, packed version, model.
constexpr uint32_t kDescriptorMagic = 0xC0DE5EED;
constexpr std::size_t kDescriptorSize = 16;
// What a module whose new firmware is not valid reports in system option 41
// while it waits in its loader (build and version read 0).
constexpr uint32_t kErrorsInvalidFirmware = 0xF1A50BAD;
// Largest block the loader buffers.
constexpr std::size_t kMaxBuffer = 1 << 20;

uint32_t le32(const uint8_t* p) {
    return p[0] | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

enum class LoadMode { Answer, Reattach, Silent };

struct UpgradeConfig {
    bool enabled = true;
    uint16_t blockSize = 256;
    uint32_t loadBase = 0x20000000;
    uint32_t flashBase = 0;
    uint32_t flashSize = 1 << 20;
    bool hasSerialAddress = false;
    uint32_t serialAddress = 0;
    bool ueiData = false;
    LoadMode load = LoadMode::Answer;
    unsigned rebootMs = 300;
    std::string flashDump;
    // Fault switches.
    std::string wrongSum; // "", "once", "always"
    bool shortCountOnce = false;
    bool shortCountAlways = false;
    std::set<uint8_t> noReplyTo;
    uint64_t dropAfterData = 0; // drop every link at the Nth data packet, once
    bool rebootNoDrop = false;
};

UpgradeConfig readConfig(const ModuleConfig& mc) {
    UpgradeConfig c;
    if (!mc.raw.contains("upgrade"))
        return c;
    const nlohmann::json& j = mc.raw["upgrade"];
    auto num = [&](const char* k, uint64_t max) {
        uint64_t v = jsonInt(j[k]);
        if (v > max)
            throw std::runtime_error(std::string("upgrade.") + k + " out of range");
        return v;
    };
    if (j.contains("enabled"))
        c.enabled = j["enabled"].get<bool>();
    if (j.contains("blockSize"))
        c.blockSize = static_cast<uint16_t>(num("blockSize", 65535));
    if (j.contains("loadBase"))
        c.loadBase = static_cast<uint32_t>(num("loadBase", 0xFFFFFFFFu));
    if (j.contains("flashBase"))
        c.flashBase = static_cast<uint32_t>(num("flashBase", 0xFFFFFFFFu));
    if (j.contains("flashSize"))
        c.flashSize = static_cast<uint32_t>(num("flashSize", 64u << 20));
    if (j.contains("serialAddress")) {
        c.hasSerialAddress = true;
        c.serialAddress = static_cast<uint32_t>(num("serialAddress", 0xFFFFFFFFu));
    }
    if (j.contains("ueiData"))
        c.ueiData = j["ueiData"].get<bool>();
    if (j.contains("load")) {
        std::string l = j["load"].get<std::string>();
        if (l == "answer")
            c.load = LoadMode::Answer;
        else if (l == "reattach")
            c.load = LoadMode::Reattach;
        else if (l == "silent")
            c.load = LoadMode::Silent;
        else
            throw std::runtime_error("upgrade.load is answer, reattach or silent");
    }
    if (j.contains("rebootMs"))
        c.rebootMs = static_cast<unsigned>(num("rebootMs", 60000));
    if (j.contains("flashDump"))
        c.flashDump = j["flashDump"].get<std::string>();
    if (j.contains("faults")) {
        const nlohmann::json& f = j["faults"];
        if (f.contains("wrongSum"))
            c.wrongSum = f["wrongSum"].get<std::string>();
        if (!c.wrongSum.empty() && c.wrongSum != "once" && c.wrongSum != "always")
            throw std::runtime_error("upgrade.faults.wrongSum is once or always");
        if (f.contains("shortCountOnce"))
            c.shortCountOnce = f["shortCountOnce"].get<bool>();
        if (f.contains("shortCountAlways"))
            c.shortCountAlways = f["shortCountAlways"].get<bool>();
        if (f.contains("noReplyTo")) {
            for (const auto& v : f["noReplyTo"])
                c.noReplyTo.insert(static_cast<uint8_t>(jsonInt(v)));
        }
        if (f.contains("dropAfterData"))
            c.dropAfterData = jsonInt(f["dropAfterData"]);
        if (f.contains("rebootNoDrop"))
            c.rebootNoDrop = f["rebootNoDrop"].get<bool>();
    }
    return c;
}

const OptionInfo kDataUeiInfo{ValueKind::Bytes, false, true, false};

class UpgradeEntity : public UeiEntity {
public:
    UpgradeEntity(SimModule& m, UpgradeConfig c)
        : UeiEntity(m, kCmdUpgrade), c_(std::move(c)), flash_(c_.flashSize, 0xFF) {}

    void handle(PortId port, const Packet& in, std::vector<Packet>& out) override {
        const std::vector<uint8_t>& d = in.data;
        if (d.size() < 2)
            return;
        if (d[1] & (kOptGet | kOptSet)) {
            // Option 10: a block's data as one UEI byte array.
            UeiEntity::handle(port, in, out);
            return;
        }
        const uint8_t sub = d[1];
        if (c_.noReplyTo.count(sub)) {
            // The fault switch: act as if the request never arrived.
            return;
        }
        auto reply = [&](std::vector<uint8_t> r) {
            out.emplace_back(module_.address, std::move(r));
        };
        switch (sub) {
        case kInit: {
            loader_ = true;
            loaderImage_.clear();
            std::vector<uint8_t> r{kCmdUpgrade, kInit};
            putBE32(r, c_.loadBase);
            reply(r);
            return;
        }
        case kPrepare: {
            if (d.size() < 7)
                return reply({kCmdUpgrade, kStatus, kStatusSize, 0, 0});
            cursor_ = getBE32(&d[3]);
            flags_ = d[2];
            buffer_.clear();
            sum_ = 0;
            ++prepares_;
            std::vector<uint8_t> r{kCmdUpgrade, kStatus, kErrNone};
            putBE16(r, c_.blockSize);
            reply(r);
            return;
        }
        case kData: {
            ++dataPackets_;
            if (c_.dropAfterData && !droppedInBlock_ && dataPackets_ == c_.dropAfterData) {
                droppedInBlock_ = true;
                module_.requestDropAll(0);
                return;
            }
            std::size_t n = d.size() - 2;
            if ((c_.shortCountAlways || (c_.shortCountOnce && !shortSent_)) && n > 1) {
                // Acknowledge one byte less and keep none of them, so the
                // host must send the packet again.
                shortSent_ = true;
                reply({kCmdUpgrade, kData, static_cast<uint8_t>(n - 1)});
                return;
            }
            accept(d.data() + 2, n);
            reply({kCmdUpgrade, kData, static_cast<uint8_t>(n)});
            return;
        }
        case kSum: {
            uint32_t sum = sum_;
            if (c_.wrongSum == "always" || (c_.wrongSum == "once" && !wrongSumSent_)) {
                wrongSumSent_ = true;
                sum += 1;
            }
            std::vector<uint8_t> r{kCmdUpgrade, kStatus, kErrNone};
            putBE32(r, sum);
            reply(r);
            return;
        }
        case kWrite: {
            if (d.size() < 4)
                return reply({kCmdUpgrade, kStatus, kStatusSize});
            std::size_t n = getBE16(&d[2]);
            if (n > buffer_.size())
                return reply({kCmdUpgrade, kStatus, kStatusSize});
            uint64_t start = uint64_t(cursor_);
            if (start < c_.flashBase || start + n > uint64_t(c_.flashBase) + c_.flashSize)
                return reply({kCmdUpgrade, kStatus, kStatusRange});
            std::copy(buffer_.begin(), buffer_.begin() + static_cast<long>(n),
                      flash_.begin() + static_cast<long>(start - c_.flashBase));
            cursor_ += static_cast<uint32_t>(n);
            bytesWritten_ += n;
            buffer_.clear();
            sum_ = 0;
            reply({kCmdUpgrade, kStatus, kErrNone});
            return;
        }
        case kLoad: {
            // Start the transferred loader.
            ++loads_;
            loader_ = false;
            if (c_.load == LoadMode::Answer)
                reply({kCmdUpgrade, kLoad});
            else if (c_.load == LoadMode::Reattach)
                module_.requestDropAll(c_.rebootMs,
                                       {Packet(module_.address, {kCmdUpgrade, kLoad})});
            return;
        }
        case kReboot: {
            ++reboots_;
            reboot();
            dumpFlash();
            if (!c_.rebootNoDrop)
                module_.requestDropAll(c_.rebootMs);
            return;
        }
        default:
            return;
        }
    }

    uint8_t present(uint8_t option, uint8_t index, uint8_t flags) const override {
        if (option == kOptDataUei && !c_.ueiData)
            return kErrInvalidOption;
        return UeiEntity::present(option, index, flags);
    }

    void dump(nlohmann::json& j) const override {
        dumpFlash();
        j["upgrade"] = {{"prepares", prepares_},
                        {"dataPackets", dataPackets_},
                        {"bytesWritten", bytesWritten_},
                        {"loaderBytes", loaderImage_.size()},
                        {"loads", loads_},
                        {"reboots", reboots_},
                        {"running", running_},
                        {"lastFlags", flags_}};
    }

protected:
    const OptionInfo* option(uint8_t code) const override {
        return code == kOptDataUei && c_.ueiData ? &kDataUeiInfo : nullptr;
    }
    uint8_t get(uint8_t, uint8_t, int, Value&) override { return kErrInvalidOption; }
    uint8_t set(uint8_t code, uint8_t, int, const Value& in) override {
        if (code != kOptDataUei)
            return kErrInvalidOption;
        if (buffer_.size() + in.bytes.size() > kMaxBuffer)
            return kErrOverrun;
        accept(in.bytes.data(), in.bytes.size());
        return kErrNone;
    }
    std::size_t maxBytes(uint8_t) const override { return kMaxBuffer; }

private:
    void accept(const uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i)
            sum_ += p[i];
        if (loader_)
            loaderImage_.insert(loaderImage_.end(), p, p + n);
        else if (buffer_.size() + n <= kMaxBuffer)
            buffer_.insert(buffer_.end(), p, p + n);
    }

    // Decides what runs after the reboot from the descriptor in flash.
    void reboot() {
        const uint8_t* f = flash_.data();
        for (std::size_t off = 0; off + kDescriptorSize <= flash_.size(); ++off) {
            if (le32(f + off) != kDescriptorMagic)
                continue;
            uint32_t build = le32(f + off + 4);
            uint32_t version = le32(f + off + 8);
            uint32_t model = le32(f + off + 12);
            if (model != module_.config().model)
                break; // firmware for another model: not valid here
            uint32_t serial = module_.serial;
            if (c_.hasSerialAddress && c_.serialAddress >= c_.flashBase &&
                uint64_t(c_.serialAddress) + 4 <= uint64_t(c_.flashBase) + c_.flashSize)
                serial = le32(f + (c_.serialAddress - c_.flashBase));
            module_.runFirmware(version, build, static_cast<uint8_t>(model), serial);
            module_.errorsWord = 0;
            running_ = "firmware";
            return;
        }
        // No valid firmware: the module stays in its loader and says so.
        module_.runFirmware(0, 0, module_.model, module_.serial);
        module_.errorsWord = kErrorsInvalidFirmware;
        running_ = "loader";
    }

    void dumpFlash() const {
        if (c_.flashDump.empty())
            return;
        std::string tmp = c_.flashDump + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(flash_.data()),
                      static_cast<std::streamsize>(flash_.size()));
        }
        std::rename(tmp.c_str(), c_.flashDump.c_str());
    }

    UpgradeConfig c_;
    std::vector<uint8_t> flash_;
    std::vector<uint8_t> buffer_;
    std::vector<uint8_t> loaderImage_;
    uint32_t cursor_ = 0;
    uint32_t sum_ = 0;
    uint8_t flags_ = 0;
    bool loader_ = false;
    bool shortSent_ = false;
    bool wrongSumSent_ = false;
    bool droppedInBlock_ = false;
    uint64_t prepares_ = 0;
    uint64_t dataPackets_ = 0;
    uint64_t bytesWritten_ = 0;
    uint64_t loads_ = 0;
    uint64_t reboots_ = 0;
    std::string running_ = "firmware";
};

} // namespace

std::unique_ptr<Entity> makeUpgradeEntity(SimModule& m) {
    UpgradeConfig c = readConfig(m.config());
    if (!c.enabled)
        return nullptr;
    return std::make_unique<UpgradeEntity>(m, std::move(c));
}

} // namespace csim
