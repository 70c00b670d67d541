#include "sim/module/Config.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

#include "sim/module/Wire.h"

namespace csim {

using nlohmann::json;

const char* const kUsage =
    "usage: corvantis-sim [--config FILE] [--log FILE] [--state FILE] [--max-runtime S]\n"
    "  module: [--serial HEX] [--model N] [--address N] [--router-address N] [--version X]\n"
    "          [--build N] [--heartbeat-ms N] [--protocol-features X] [--tcp ADDR:PORT]\n"
    "          [--pty] [--pty-link PATH] [--discovery] [--option N=V]...\n"
    "  faults: [--silent-after N] [--error CMD:OPT:CODE]... [--delay-ms N] [--drop-after N]\n"
    "          [--garbage HEX] [--garbage-every N] [--garbage-times N] [--reorder-chunks]\n"
    "See sim/module/README.md.\n";

uint64_t jsonInt(const json& v, bool hexDefault) {
    if (v.is_number_unsigned())
        return v.get<uint64_t>();
    if (v.is_number_integer()) {
        int64_t x = v.get<int64_t>();
        if (x < 0)
            throw std::runtime_error("negative number " + v.dump());
        return static_cast<uint64_t>(x);
    }
    if (v.is_boolean())
        return v.get<bool>() ? 1 : 0;
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        int base = hexDefault ? 16 : 10;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            s = s.substr(2);
            base = 16;
        }
        if (s.empty())
            throw std::runtime_error("empty number");
        char* end = nullptr;
        unsigned long long x = std::strtoull(s.c_str(), &end, base);
        if (*end != '\0')
            throw std::runtime_error("not a number: " + v.get<std::string>());
        return x;
    }
    throw std::runtime_error("not a number: " + v.dump());
}

std::vector<uint8_t> jsonBytes(const json& v) {
    std::vector<uint8_t> out;
    if (v.is_string()) {
        std::string s = v.get<std::string>();
        if (s.rfind("hex:", 0) == 0) {
            if (!fromHex(s.substr(4), out))
                throw std::runtime_error("bad hex data: " + s);
        } else {
            out.assign(s.begin(), s.end());
        }
    } else if (v.is_array()) {
        for (const auto& e : v) {
            uint64_t x = jsonInt(e);
            if (x > 255)
                throw std::runtime_error("byte out of range: " + e.dump());
            out.push_back(static_cast<uint8_t>(x));
        }
    } else if (!v.is_null()) {
        throw std::runtime_error("not byte data: " + v.dump());
    }
    return out;
}

std::string bytesToJson(const std::vector<uint8_t>& v) {
    return "hex:" + toHex(v);
}

static uint64_t ranged(const json& v, uint64_t max, const char* what, bool hex = false) {
    uint64_t x = jsonInt(v, hex);
    if (x > max)
        throw std::runtime_error(std::string(what) + " out of range: " + v.dump());
    return x;
}

// System options that hold byte arrays rather than numbers.
static bool isByteOption(int option) {
    return option == 31 || option == 32;
}

static Faults faultsFromJson(const json& j) {
    Faults f;
    if (j.contains("silentAfter"))
        f.silentAfter = jsonInt(j["silentAfter"]);
    if (j.contains("delayMs"))
        f.delayMs = static_cast<unsigned>(ranged(j["delayMs"], 600000, "delayMs"));
    if (j.contains("dropAfter"))
        f.dropAfter = jsonInt(j["dropAfter"]);
    if (j.contains("garbage")) {
        const json& g = j["garbage"];
        if (g.is_string() && g.get<std::string>().rfind("hex:", 0) != 0) {
            if (!fromHex(g.get<std::string>(), f.garbage))
                throw std::runtime_error("bad garbage bytes: " + g.dump());
        } else {
            f.garbage = jsonBytes(g);
        }
    }
    if (j.contains("garbageEvery"))
        f.garbageEvery = static_cast<unsigned>(ranged(j["garbageEvery"], 1000000, "garbageEvery"));
    if (f.garbageEvery == 0)
        f.garbageEvery = 1;
    if (j.contains("garbageTimes"))
        f.garbageTimes = static_cast<unsigned>(ranged(j["garbageTimes"], 1000000, "garbageTimes"));
    if (j.contains("reorderChunks"))
        f.reorderChunks = j["reorderChunks"].get<bool>();
    if (j.contains("buildReplyBytes"))
        f.buildReplyBytes =
            static_cast<unsigned>(ranged(j["buildReplyBytes"], 30, "buildReplyBytes"));
    if (j.contains("errors")) {
        for (const auto& e : j["errors"]) {
            ErrorFault ef;
            ef.cmd = static_cast<uint8_t>(ranged(e.at("cmd"), 255, "cmd"));
            ef.option = static_cast<uint8_t>(ranged(e.at("option"), 63, "option"));
            ef.code = static_cast<uint8_t>(ranged(e.at("code"), 255, "code"));
            f.errors.push_back(ef);
        }
    }
    return f;
}

ModuleConfig moduleFromJson(const json& j) {
    if (!j.is_object())
        throw std::runtime_error("a module must be a JSON object");
    ModuleConfig m;
    m.raw = j;
    if (j.contains("serial"))
        m.serial = static_cast<uint32_t>(ranged(j["serial"], 0xFFFFFFFFu, "serial", true));
    if (j.contains("model"))
        m.model = static_cast<uint8_t>(ranged(j["model"], 255, "model"));
    if (j.contains("address"))
        m.address = static_cast<uint8_t>(ranged(j["address"], 254, "address"));
    if (m.address == 0 || (m.address & 1))
        throw std::runtime_error("address must be even and non-zero");
    if (j.contains("routerAddress"))
        m.routerAddress = static_cast<int>(ranged(j["routerAddress"], 254, "routerAddress"));
    if (j.contains("version"))
        m.version = static_cast<uint32_t>(ranged(j["version"], 0xFFFFFFFFu, "version"));
    if (j.contains("build"))
        m.build = static_cast<uint32_t>(ranged(j["build"], 0xFFFFFFFFu, "build"));
    if (j.contains("heartbeatMs"))
        m.heartbeatMs = static_cast<unsigned>(ranged(j["heartbeatMs"], 3600000, "heartbeatMs"));
    if (j.contains("protocolFeatures"))
        m.protocolFeatures =
            static_cast<uint32_t>(ranged(j["protocolFeatures"], 0xFFFFFFFFu, "protocolFeatures"));
    if (j.contains("pooled") && j["pooled"].get<bool>())
        m.protocolFeatures |= 0x80000000u; // bit 31: pooled packets accepted
    if (j.contains("tcp") && !j["tcp"].is_null())
        m.tcp = j["tcp"].get<std::string>();
    if (j.contains("pty")) {
        if (j["pty"].is_string()) {
            m.pty = true;
            m.ptyLink = j["pty"].get<std::string>();
        } else {
            m.pty = j["pty"].get<bool>();
        }
    }
    if (j.contains("discovery"))
        m.discovery = j["discovery"].get<bool>();
    if (j.contains("discoveryQueryPort"))
        m.discoveryQueryPort =
            static_cast<uint16_t>(ranged(j["discoveryQueryPort"], 65535, "port"));
    if (j.contains("discoveryReplyPort"))
        m.discoveryReplyPort =
            static_cast<uint16_t>(ranged(j["discoveryReplyPort"], 65535, "port"));
    if (m.tcp.empty() && !m.pty)
        m.tcp = "127.0.0.1:0";

    if (j.contains("options")) {
        for (const auto& [key, value] : j["options"].items()) {
            int option = static_cast<int>(ranged(json(key), 63, "option"));
            if (isByteOption(option))
                m.byteOptions[option] = jsonBytes(value);
            else
                m.options[option] = static_cast<uint32_t>(ranged(value, 0xFFFFFFFFu, "value"));
        }
    }
    m.uniqueId = {m.serial, ~m.serial, 0x43534D31u /* "CSM1" */, m.model};
    if (j.contains("uniqueId")) {
        const json& u = j["uniqueId"];
        if (!u.is_array() || u.size() != 4)
            throw std::runtime_error("uniqueId needs four 32-bit words");
        for (std::size_t i = 0; i < 4; ++i)
            m.uniqueId[i] = static_cast<uint32_t>(ranged(u[i], 0xFFFFFFFFu, "uniqueId"));
    }
    if (j.contains("stores")) {
        for (const auto& s : j["stores"]) {
            StoreConfig sc;
            sc.store = static_cast<uint8_t>(ranged(s.at("store"), 255, "store"));
            for (const auto& sl : s.at("slots")) {
                SlotConfig slot;
                if (sl.contains("capacity"))
                    slot.capacity =
                        static_cast<uint16_t>(ranged(sl["capacity"], 65535, "capacity"));
                if (sl.contains("data"))
                    slot.data = jsonBytes(sl["data"]);
                if (slot.data.size() > slot.capacity)
                    throw std::runtime_error("slot data larger than its capacity");
                sc.slots.push_back(slot);
            }
            m.stores.push_back(sc);
        }
    } else {
        // Default: one store of four empty 1 KiB slots.
        m.stores.push_back(StoreConfig{0, std::vector<SlotConfig>(4)});
    }
    if (j.contains("factoryCapacity"))
        m.factoryCapacity = ranged(j["factoryCapacity"], 65535, "factoryCapacity");
    if (j.contains("factory")) {
        for (const auto& [key, value] : j["factory"].items()) {
            int sel = static_cast<int>(ranged(json(key), 15, "factory selector"));
            m.factory[sel] = jsonBytes(value);
            if (m.factory[sel].size() > m.factoryCapacity)
                throw std::runtime_error("factory data larger than factoryCapacity");
        }
    }
    if (j.contains("supportedUEI")) {
        m.hasSupportedUEI = true;
        for (const auto& e : j["supportedUEI"]) {
            std::string s = e.get<std::string>();
            unsigned c = 0, o = 0, i = 0;
            if (std::sscanf(s.c_str(), "%u:%u:%u", &c, &o, &i) != 3 || c > 255 || o > 63 || i > 31)
                throw std::runtime_error("supportedUEI entries are \"cmd:option:index\": " + s);
            m.supportedUEI.push_back(
                {static_cast<uint8_t>(c), static_cast<uint8_t>(o), static_cast<uint8_t>(i)});
        }
    }
    if (j.contains("classQuantity")) {
        for (const auto& [key, value] : j["classQuantity"].items())
            m.classQuantity[static_cast<int>(ranged(json(key), 255, "class"))] =
                static_cast<int>(ranged(value, 255, "quantity"));
    }
    if (j.contains("i2c")) {
        for (const auto& a : j["i2c"])
            m.i2c.push_back(static_cast<uint8_t>(ranged(a, 254, "i2c address")));
    }
    if (j.contains("faults"))
        m.faults = faultsFromJson(j["faults"]);
    return m;
}

namespace {

// Maps a module flag to the JSON it stands for, in `mod` (module fields) or
// `faults` (fault switches). Returns false for an unknown flag.
bool moduleFlag(const std::string& flag, const char* value, json& mod, json& faults) {
    auto num = [&](const char* key, json& into) { into[key] = std::string(value); };
    if (flag == "--serial")
        mod["serial"] = std::string(value);
    else if (flag == "--model")
        num("model", mod);
    else if (flag == "--address")
        num("address", mod);
    else if (flag == "--router-address")
        num("routerAddress", mod);
    else if (flag == "--version")
        num("version", mod);
    else if (flag == "--build")
        num("build", mod);
    else if (flag == "--heartbeat-ms")
        num("heartbeatMs", mod);
    else if (flag == "--protocol-features")
        num("protocolFeatures", mod);
    else if (flag == "--tcp")
        mod["tcp"] = std::string(value);
    else if (flag == "--pty-link")
        mod["pty"] = std::string(value);
    else if (flag == "--option") {
        const char* eq = std::strchr(value, '=');
        if (!eq)
            throw std::runtime_error("--option needs N=VALUE");
        // Kept as text: moduleFromJson reads it as a number or, for the
        // byte-array options, as the bytes of the text.
        mod["options"][std::string(value, eq)] = std::string(eq + 1);
    } else if (flag == "--silent-after")
        num("silentAfter", faults);
    else if (flag == "--delay-ms")
        num("delayMs", faults);
    else if (flag == "--drop-after")
        num("dropAfter", faults);
    else if (flag == "--garbage")
        faults["garbage"] = std::string(value);
    else if (flag == "--garbage-every")
        num("garbageEvery", faults);
    else if (flag == "--garbage-times")
        num("garbageTimes", faults);
    else if (flag == "--build-reply-bytes")
        num("buildReplyBytes", faults);
    else if (flag == "--error") {
        unsigned c = 0, o = 0, e = 0;
        if (std::sscanf(value, "%u:%u:%u", &c, &o, &e) != 3)
            throw std::runtime_error("--error needs CMD:OPTION:CODE");
        faults["errors"].push_back({{"cmd", c}, {"option", o}, {"code", e}});
    } else
        return false;
    return true;
}

} // namespace

bool parseCommandLine(int argc, char** argv, SimConfig& out, bool& help, std::string& error) {
    help = false;
    json mod = json::object();
    json faults = json::object();
    std::string configPath;
    json top = json::object();
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            auto value = [&]() -> const char* {
                if (i + 1 >= argc)
                    throw std::runtime_error(a + " needs a value");
                return argv[++i];
            };
            if (a == "--help" || a == "-h") {
                help = true;
                return true;
            } else if (a == "--config") {
                configPath = value();
            } else if (a == "--log") {
                top["log"] = std::string(value());
            } else if (a == "--state") {
                top["state"] = std::string(value());
            } else if (a == "--max-runtime") {
                top["maxRuntime"] = std::string(value());
            } else if (a == "--pty") {
                mod["pty"] = true;
            } else if (a == "--discovery") {
                mod["discovery"] = true;
            } else if (a == "--reorder-chunks") {
                faults["reorderChunks"] = true;
            } else if (a.rfind("--", 0) == 0 && i + 1 < argc &&
                       moduleFlag(a, argv[i + 1], mod, faults)) {
                ++i;
            } else {
                throw std::runtime_error("unknown or incomplete argument: " + a);
            }
        }
        if (!faults.empty())
            mod["faults"] = faults;

        json file = json::object();
        if (!configPath.empty()) {
            std::ifstream in(configPath);
            if (!in)
                throw std::runtime_error("cannot read " + configPath);
            file = json::parse(in);
        }
        json modules = json::array();
        if (file.contains("modules")) {
            modules = file["modules"];
        } else if (!configPath.empty()) {
            modules.push_back(file);
        } else {
            modules.push_back(json::object());
        }
        if (!modules.is_array() || modules.empty())
            throw std::runtime_error("\"modules\" must be a non-empty array");
        for (auto& m : modules) {
            // Flags override every module; fault switches merge key by key.
            json f = m.contains("faults") ? m["faults"] : json::object();
            for (const auto& [k, v] : mod.items()) {
                if (k == "faults") {
                    for (const auto& [fk, fv] : v.items())
                        f[fk] = fv;
                } else if (k == "options" && m.contains("options")) {
                    for (const auto& [ok, ov] : v.items())
                        m["options"][ok] = ov;
                } else {
                    m[k] = v;
                }
            }
            if (!f.empty())
                m["faults"] = f;
            out.modules.push_back(moduleFromJson(m));
        }
        for (const char* key : {"log", "state", "maxRuntime"}) {
            if (file.contains(key) && !top.contains(key))
                top[key] = file[key];
        }
        if (top.contains("log"))
            out.logPath = top["log"].get<std::string>();
        if (top.contains("state"))
            out.statePath = top["state"].get<std::string>();
        if (top.contains("maxRuntime"))
            out.maxRuntimeS = static_cast<unsigned>(jsonInt(top["maxRuntime"]));
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
    return true;
}

} // namespace csim
