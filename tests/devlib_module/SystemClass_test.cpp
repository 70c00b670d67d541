// The system entity against corvantis-sim: every getter the simulator
// answers, the setters read back, calls, and byte-array options.
#include "devlib/SystemClass.h"

#include <gtest/gtest.h>

#include <functional>

#include "devlib/Module.h"
#include "tests/devlib_module/SimModule.h"

using namespace Halvern::Corvantis;
using simtest::SimModule;
using simtest::Transport;

namespace {

class SystemClassTest : public ::testing::TestWithParam<Transport> {
protected:
    void start(std::vector<std::string> extra) {
        std::vector<std::string> flags = simtest::transportFlags(GetParam());
        flags.insert(flags.end(), extra.begin(), extra.end());
        sim = std::make_unique<SimModule>(flags);
        ASSERT_TRUE(sim->ok());
        module = std::make_unique<Module>(2);
        ASSERT_EQ(module->connectFromSpec(GetParam() == Transport::TCP ? sim->tcpSpec()
                                                                       : sim->serialSpec()),
                  aErrNone);
        system.init(module.get(), 0);
    }

    std::unique_ptr<SimModule> sim;
    std::unique_ptr<Module> module;
    SystemClass system;
};

// Getters and the value the simulator was configured to give.
struct Getter {
    const char* name;
    std::function<aErr(SystemClass&, int64_t*)> get;
    int64_t expected;
};

template <typename T>
std::function<aErr(SystemClass&, int64_t*)> wrap(aErr (SystemClass::*method)(T*)) {
    return [method](SystemClass& system, int64_t* out) {
        T value{};
        aErr result = (system.*method)(&value);
        *out = static_cast<int64_t>(value);
        return result;
    };
}

TEST_P(SystemClassTest, EveryGetter) {
    ASSERT_NO_FATAL_FAILURE(start({"--serial",
                                   "12345678",
                                   "--model",
                                   "7",
                                   "--address",
                                   "4",
                                   "--router-address",
                                   "6",
                                   "--version",
                                   "0x2F020B05",
                                   "--build",
                                   "777",
                                   "--protocol-features",
                                   "0x80000001",
                                   "--option",
                                   "4=1",
                                   "--option",
                                   "6=2",
                                   "--option",
                                   "12=5050000",
                                   "--option",
                                   "13=8",
                                   "--option",
                                   "15=3",
                                   "--option",
                                   "16=9",
                                   "--option",
                                   "21=260000",
                                   "--option",
                                   "23=0xFFB3B4C0",
                                   "--option",
                                   "25=0xFFFFFFD6",
                                   "--option",
                                   "26=77",
                                   "--option",
                                   "27=31000000",
                                   "--option",
                                   "28=0xFEBF90C0",
                                   "--option",
                                   "29=2",
                                   "--option",
                                   "30=1",
                                   "--option",
                                   "33=9000000",
                                   "--option",
                                   "34=12000000",
                                   "--option",
                                   "35=5",
                                   "--option",
                                   "38=1",
                                   "--option",
                                   "40=65538",
                                   "--option",
                                   "42=200"}));
    ASSERT_EQ(module->getModuleAddress(), 4);
    const Getter getters[] = {
        {"getModule", wrap(&SystemClass::getModule), 4},
        {"getRouter", wrap(&SystemClass::getRouter), 6},
        {"getLED", wrap(&SystemClass::getLED), 1},
        {"getBootSlot", wrap(&SystemClass::getBootSlot), 2},
        {"getVersion", wrap(&SystemClass::getVersion), 0x2F020B05},
        {"getModel", wrap(&SystemClass::getModel), 7},
        {"getSerialNumber", wrap(&SystemClass::getSerialNumber), 0x12345678},
        {"getInputVoltage", wrap(&SystemClass::getInputVoltage), 5050000},
        {"getModuleHardwareOffset", wrap(&SystemClass::getModuleHardwareOffset), 8},
        {"getModuleSoftwareOffset", wrap(&SystemClass::getModuleSoftwareOffset), 3},
        {"getRouterAddressSetting", wrap(&SystemClass::getRouterAddressSetting), 9},
        {"getInputCurrent", wrap(&SystemClass::getInputCurrent), 260000},
        {"getMaximumTemperature", wrap(&SystemClass::getMaximumTemperature), -5000000},
        {"getUnregulatedVoltage", wrap(&SystemClass::getUnregulatedVoltage), -42},
        {"getUnregulatedCurrent", wrap(&SystemClass::getUnregulatedCurrent), 77},
        {"getTemperature", wrap(&SystemClass::getTemperature), 31000000},
        {"getMinimumTemperature", wrap(&SystemClass::getMinimumTemperature), -21000000},
        {"getInputPowerSource", wrap(&SystemClass::getInputPowerSource), 2},
        {"getInputPowerBehavior", wrap(&SystemClass::getInputPowerBehavior), 1},
        {"getPowerLimit", wrap(&SystemClass::getPowerLimit), 9000000},
        {"getPowerLimitMax", wrap(&SystemClass::getPowerLimitMax), 12000000},
        {"getPowerLimitState", wrap(&SystemClass::getPowerLimitState), 5},
        {"getLinkInterface", wrap(&SystemClass::getLinkInterface), 1},
        {"getHardwareVersion", wrap(&SystemClass::getHardwareVersion), 65538},
        {"getErrors", wrap(&SystemClass::getErrors), 0}, // a healthy module
        {"getLEDMaxBrightness", wrap(&SystemClass::getLEDMaxBrightness), 200},
        {"getBuild", wrap(&SystemClass::getBuild), 777},
        {"getProtocolFeatures", wrap(&SystemClass::getProtocolFeatures), 0x80000001},
    };
    for (const Getter& getter : getters) {
        int64_t value = -1;
        EXPECT_EQ(getter.get(system, &value), aErrNone) << getter.name;
        EXPECT_EQ(value, getter.expected) << getter.name;
    }
    // Values without a fixed configuration: the heartbeat interval (none
    // configured), the base address and the uptime still answer.
    uint8_t byte = 0xEE;
    EXPECT_EQ(system.getHBInterval(&byte), aErrNone);
    EXPECT_EQ(byte, 0);
    EXPECT_EQ(system.getModuleBaseAddress(&byte), aErrNone);
    uint32_t uptime = 0;
    EXPECT_EQ(system.getUptime(&uptime), aErrNone);
    EXPECT_EQ(system.getModule(nullptr), aErrParam);
    EXPECT_EQ(system.getTemperature(nullptr), aErrParam);
}

TEST_P(SystemClassTest, SettersReadBack) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    struct Setter {
        const char* name;
        std::function<aErr(SystemClass&)> set;
        std::function<aErr(SystemClass&, int64_t*)> get;
        int64_t expected;
    };
    const Setter setters[] = {
        {"LED", [](SystemClass& s) { return s.setLED(9); }, wrap(&SystemClass::getLED), 1},
        {"Router", [](SystemClass& s) { return s.setRouter(10); }, wrap(&SystemClass::getRouter),
         10},
        {"BootSlot", [](SystemClass& s) { return s.setBootSlot(3); },
         wrap(&SystemClass::getBootSlot), 3},
        {"SoftwareOffset", [](SystemClass& s) { return s.setModuleSoftwareOffset(2); },
         wrap(&SystemClass::getModuleSoftwareOffset), 2},
        {"PowerBehavior", [](SystemClass& s) { return s.setInputPowerBehavior(2); },
         wrap(&SystemClass::getInputPowerBehavior), 2},
        {"PowerLimitMax", [](SystemClass& s) { return s.setPowerLimitMax(7500000); },
         wrap(&SystemClass::getPowerLimitMax), 7500000},
        {"LinkInterface", [](SystemClass& s) { return s.setLinkInterface(1); },
         wrap(&SystemClass::getLinkInterface), 1},
        {"LEDMaxBrightness", [](SystemClass& s) { return s.setLEDMaxBrightness(17); },
         wrap(&SystemClass::getLEDMaxBrightness), 17},
    };
    for (const Setter& setter : setters) {
        EXPECT_EQ(setter.set(system), aErrNone) << setter.name;
        int64_t value = -1;
        EXPECT_EQ(setter.get(system, &value), aErrNone) << setter.name;
        EXPECT_EQ(value, setter.expected) << setter.name;
    }
    EXPECT_EQ(system.routeToMe(true), aErrNone);
    EXPECT_EQ(system.routeToMe(false), aErrNone);
    EXPECT_EQ(system.save(), aErrNone);
    EXPECT_EQ(system.logEvents(), aErrNone);
    EXPECT_EQ(system.resetEntityToFactoryDefaults(), aErrNone);
    uint8_t led = 0xEE;
    EXPECT_EQ(system.getLED(&led), aErrNone);
    EXPECT_EQ(led, 0); // back to the configured value
    EXPECT_EQ(system.resetDeviceToFactoryDefaults(), aErrNone);
    EXPECT_EQ(system.reset(), aErrNone);
}

TEST_P(SystemClassTest, ByteArrayOptions) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    const uint8_t name[] = "Bench A";
    ASSERT_EQ(system.setName(name, sizeof(name) - 1), aErrNone);
    uint8_t buffer[64] = {};
    size_t length = 0;
    ASSERT_EQ(system.getName(buffer, sizeof(buffer), &length), aErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), length), "Bench A");

    const uint32_t words[] = {0x01020304, 0xA0B0C0D0, 7};
    ASSERT_EQ(system.setInputPowerBehaviorConfig(words, 3), aErrNone);
    uint32_t back[8] = {};
    size_t count = 0;
    ASSERT_EQ(system.getInputPowerBehaviorConfig(back, 8, &count), aErrNone);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(std::vector<uint32_t>(back, back + 3), std::vector<uint32_t>(words, words + 3));
    // Too small a buffer for the words.
    EXPECT_EQ(system.getInputPowerBehaviorConfig(back, 2, &count), aErrMemory);
    EXPECT_LE(count, 2u);
}

TEST_P(SystemClassTest, ReadOnlyAndFailingOptions) {
    ASSERT_NO_FATAL_FAILURE(start({"--error", "3:27:21"}));
    int32_t temperature = 1;
    EXPECT_EQ(system.getTemperature(&temperature), aErrUnimplemented);
    EXPECT_EQ(temperature, 1);
    SystemClass other;
    other.init(module.get(), 1); // the simulator has one system entity
    uint8_t address = 0;
    EXPECT_EQ(other.getModule(&address), aErrIndexRange);
}

INSTANTIATE_TEST_SUITE_P(Transports, SystemClassTest,
                         ::testing::Values(Transport::TCP, Transport::Serial),
                         [](const ::testing::TestParamInfo<Transport>& info) {
                             return simtest::transportName(info.param);
                         });

} // namespace
