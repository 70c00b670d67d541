// Store slots (command 4) and factory data (command 94): the module's byte
// stores, read and written in small packets.
#include <map>

#include "sim/module/Firmware.h"

namespace csim {

namespace {

// Store-slot sub-commands (second data byte); bit 7 marks an error reply.
constexpr uint8_t kSlotCapacity = 1;
constexpr uint8_t kSlotSize = 2;
constexpr uint8_t kSlotOpenRead = 3;
constexpr uint8_t kSlotOpenWrite = 4;
constexpr uint8_t kSlotRead = 6;
constexpr uint8_t kSlotWrite = 7;
constexpr uint8_t kSlotClose = 8;
constexpr uint8_t kReplyError = 0x80;
// Bytes carried by one read reply or write request.
constexpr std::size_t kSlotChunk = 25;
// Handles are small numbers; at most this many are open at once.
constexpr std::size_t kMaxHandles = 16;

class SlotEntity : public Entity {
public:
    explicit SlotEntity(SimModule& m) : m_(m) {
        for (const StoreConfig& s : m.config().stores) {
            for (std::size_t i = 0; i < s.slots.size(); ++i)
                slots_[{s.store, static_cast<uint8_t>(i)}] =
                    Slot{s.slots[i].capacity, s.slots[i].data};
        }
    }
    uint8_t command() const override { return kCmdSlot; }

    void handle(PortId, const Packet& in, std::vector<Packet>& out) override {
        const std::vector<uint8_t>& d = in.data;
        if (d.size() < 3)
            return;
        const uint8_t sub = d[1];
        auto reply = [&](std::vector<uint8_t> r) { out.emplace_back(m_.address, std::move(r)); };
        if (sub >= kSlotCapacity && sub <= kSlotOpenWrite) {
            if (d.size() < 4)
                return;
            const uint8_t store = d[2], slotNo = d[3];
            auto it = slots_.find({store, slotNo});
            auto fail = [&](uint8_t code) {
                reply({kCmdSlot, static_cast<uint8_t>(sub | kReplyError), store, slotNo, code});
            };
            if (it == slots_.end())
                return fail(kErrNotFound);
            Slot& slot = it->second;
            std::vector<uint8_t> r{kCmdSlot, sub, store, slotNo};
            if (sub == kSlotCapacity || sub == kSlotSize) {
                putBE16(r, static_cast<uint16_t>(sub == kSlotCapacity ? slot.capacity
                                                                      : slot.data.size()));
                return reply(r);
            }
            if (slot.open)
                return fail(kErrBusy);
            uint8_t handle = freeHandle();
            if (handle == 0)
                return fail(kErrResource);
            slot.open = true;
            handles_[handle] = Handle{store, slotNo, sub == kSlotOpenWrite, 0, {}};
            r.push_back(handle);
            return reply(r);
        }
        if (sub == kSlotRead || sub == kSlotWrite || sub == kSlotClose) {
            const uint8_t h = d[2];
            auto fail = [&](uint8_t code) {
                reply({kCmdSlot, static_cast<uint8_t>(sub | kReplyError), h, code});
            };
            auto hit = handles_.find(h);
            if (hit == handles_.end())
                return fail(kErrParam);
            Handle& handle = hit->second;
            Slot& slot = slots_[{handle.store, handle.slot}];
            if (sub == kSlotRead) {
                if (handle.writing)
                    return fail(kErrMode);
                std::size_t n = std::min(kSlotChunk, slot.data.size() - handle.pos);
                std::vector<uint8_t> r{kCmdSlot, kSlotRead, h};
                r.insert(r.end(), slot.data.begin() + static_cast<long>(handle.pos),
                         slot.data.begin() + static_cast<long>(handle.pos + n));
                handle.pos += n;
                return reply(r);
            }
            if (sub == kSlotWrite) {
                if (!handle.writing)
                    return fail(kErrMode);
                if (handle.written.size() + (d.size() - 3) > slot.capacity)
                    return fail(kErrOverrun);
                uint8_t sum = 0;
                for (std::size_t i = 3; i < d.size(); ++i) {
                    handle.written.push_back(d[i]);
                    sum = static_cast<uint8_t>(sum + d[i]);
                }
                return reply({kCmdSlot, kSlotWrite, h, sum});
            }
            // Close: what was written replaces the slot's content.
            if (handle.writing)
                slot.data = handle.written;
            slot.open = false;
            handles_.erase(hit);
            return reply({kCmdSlot, kSlotClose, h, kErrNone});
        }
    }

    int quantity() const override { return static_cast<int>(m_.config().stores.size()); }

    void portClosed(PortId) override {}

    void dump(nlohmann::json& j) const override {
        nlohmann::json stores = nlohmann::json::array();
        std::map<uint8_t, nlohmann::json> byStore;
        for (const auto& [key, slot] : slots_) {
            byStore[key.first]["store"] = key.first;
            byStore[key.first]["slots"].push_back({{"slot", key.second},
                                                   {"capacity", slot.capacity},
                                                   {"data", bytesToJson(slot.data)}});
        }
        for (auto& [store, js] : byStore)
            stores.push_back(js);
        j["stores"] = stores;
    }

private:
    struct Slot {
        uint16_t capacity = 0;
        std::vector<uint8_t> data;
        bool open = false;
    };
    struct Handle {
        uint8_t store = 0;
        uint8_t slot = 0;
        bool writing = false;
        std::size_t pos = 0;
        std::vector<uint8_t> written;
    };

    uint8_t freeHandle() const {
        if (handles_.size() >= kMaxHandles)
            return 0;
        for (uint8_t h = 1; h != 0; ++h) {
            if (!handles_.count(h))
                return h;
        }
        return 0;
    }

    SimModule& m_;
    std::map<std::pair<uint8_t, uint8_t>, Slot> slots_;
    std::map<uint8_t, Handle> handles_;
};

// Factory-data request bits (second data byte).
constexpr uint8_t kFactorySelectorMask = 0x0F;
constexpr uint8_t kFactoryWrite = 0x10;
constexpr uint8_t kFactoryEnd = 0x20;
constexpr uint8_t kFactoryFirst = 0x40;
constexpr uint8_t kFactoryError = 0x80;
// Data bytes after the command and selector in one packet.
constexpr std::size_t kFactoryChunk = 26;

class FactoryEntity : public Entity {
public:
    explicit FactoryEntity(SimModule& m) : m_(m) {
        for (const auto& [sel, data] : m.config().factory)
            data_[static_cast<uint8_t>(sel)] = data;
    }
    uint8_t command() const override { return kCmdFactory; }

    void handle(PortId port, const Packet& in, std::vector<Packet>& out) override {
        const std::vector<uint8_t>& d = in.data;
        if (d.size() < 2)
            return;
        const uint8_t req = d[1];
        const uint8_t sel = req & kFactorySelectorMask;
        auto reply = [&](std::vector<uint8_t> r) { out.emplace_back(m_.address, std::move(r)); };
        Transfer& t = transfers_[port];
        if (req & kFactoryEnd) {
            // End of a transfer: the host tells how many bytes it moved.
            if (d.size() < 4 || !t.active)
                return reply({kCmdFactory, kFactoryError, kErrParam});
            std::size_t count = getBE16(&d[2]);
            std::size_t moved = t.writing ? t.buffer.size() : t.pos;
            if (count != moved) {
                t = Transfer{};
                return reply({kCmdFactory, kFactoryError, kErrSize});
            }
            if (t.writing)
                data_[t.selector] = t.buffer;
            t = Transfer{};
            return reply({kCmdFactory, 0});
        }
        if (req & kFactoryFirst)
            t = Transfer{true, (req & kFactoryWrite) != 0, sel, 0, {}};
        if (!t.active || t.selector != sel || t.writing != ((req & kFactoryWrite) != 0))
            return reply({kCmdFactory, static_cast<uint8_t>(sel | kFactoryError), kErrParam});
        if (t.writing) {
            if (t.buffer.size() + (d.size() - 2) > m_.config().factoryCapacity) {
                t = Transfer{};
                return reply({kCmdFactory, static_cast<uint8_t>(sel | kFactoryError), kErrOverrun});
            }
            t.buffer.insert(t.buffer.end(), d.begin() + 2, d.end());
            return reply({kCmdFactory, sel});
        }
        const std::vector<uint8_t>& src = data_[sel];
        std::size_t n = std::min(kFactoryChunk, src.size() - std::min(src.size(), t.pos));
        std::vector<uint8_t> r{kCmdFactory, sel};
        r.insert(r.end(), src.begin() + static_cast<long>(t.pos),
                 src.begin() + static_cast<long>(t.pos + n));
        t.pos += n;
        reply(r);
    }

    void portClosed(PortId port) override { transfers_.erase(port); }

    void dump(nlohmann::json& j) const override {
        nlohmann::json f = nlohmann::json::object();
        for (const auto& [sel, data] : data_)
            f[std::to_string(sel)] = bytesToJson(data);
        j["factory"] = f;
    }

private:
    struct Transfer {
        bool active = false;
        bool writing = false;
        uint8_t selector = 0;
        std::size_t pos = 0;
        std::vector<uint8_t> buffer;
    };
    SimModule& m_;
    std::map<uint8_t, std::vector<uint8_t>> data_;
    std::map<PortId, Transfer> transfers_;
};

// I2C (command 8): the bus of this module. Addresses listed in the
// configuration acknowledge; any other address fails at once.
constexpr uint8_t kI2CPullup = 1;
constexpr uint8_t kI2CStatusError = 0x80;
constexpr std::size_t kI2CMaxBytes = 23;

class I2CEntity : public Entity {
public:
    explicit I2CEntity(SimModule& m) : m_(m) {}
    uint8_t command() const override { return kCmdI2C; }

    void handle(PortId, const Packet& in, std::vector<Packet>& out) override {
        const std::vector<uint8_t>& d = in.data;
        if (d.size() < 4)
            return;
        const uint8_t index = d[1], addr = d[2];
        if (addr == kI2CPullup) {
            pullup_ = d[3];
            out.emplace_back(m_.address,
                             std::vector<uint8_t>{kCmdI2C, index, addr, d[3], kErrNone});
            return;
        }
        const uint8_t length = d[3];
        const bool present = m_.i2cPresent(static_cast<uint8_t>(addr & 0xFE));
        const uint8_t status = present ? static_cast<uint8_t>(kErrNone)
                                       : static_cast<uint8_t>(kI2CStatusError | kErrIO);
        if (addr & 1) {
            // Read: the bytes come back after count and status.
            uint8_t n =
                present ? static_cast<uint8_t>(std::min<std::size_t>(length, kI2CMaxBytes)) : 0;
            std::vector<uint8_t> r{kCmdI2C, index, addr, n, status};
            r.insert(r.end(), n, 0);
            out.emplace_back(m_.address, r);
            return;
        }
        ++writes_;
        out.emplace_back(m_.address, std::vector<uint8_t>{kCmdI2C, index, addr, 0, status});
    }

    void dump(nlohmann::json& j) const override {
        j["i2c"] = {{"pullup", pullup_}, {"writes", writes_}};
    }

private:
    SimModule& m_;
    uint8_t pullup_ = 0;
    uint64_t writes_ = 0;
};

} // namespace

std::unique_ptr<Entity> makeSlotEntity(SimModule& m) {
    return std::make_unique<SlotEntity>(m);
}
std::unique_ptr<Entity> makeFactoryEntity(SimModule& m) {
    return std::make_unique<FactoryEntity>(m);
}
std::unique_ptr<Entity> makeI2CEntity(SimModule& m) {
    return std::make_unique<I2CEntity>(m);
}

} // namespace csim
