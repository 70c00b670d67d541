// The system entity (command 3): identity, addresses, power, temperature
// and housekeeping options of a module.
//
// Each operation is one UEI exchange on the entity's index (usually 0) and
// returns its aErr (see EntityClass): the module's own code for an error
// reply, aErrTimeout after 1000 ms without a reply, aErrResource without a
// module or link, aErrParam for a null output. Outputs are written only on
// success (or aErrStreamStale for a streamed value).
#pragma once

#include <cstddef>
#include <cstdint>

#include "devlib/Entity.h"
#include "devlib/aProtocol.h"

namespace Halvern {
namespace Corvantis {

// Option codes of the system entity.
enum : uint8_t {
    sysModule = 1,
    sysRouter = 2,
    sysHBInterval = 3,
    sysLED = 4,
    sysBootSlot = 6,
    sysVersion = 7,
    sysModel = 8,
    sysSerialNumber = 9,
    sysSave = 10,
    sysReset = 11,
    sysInputVoltage = 12,
    sysModuleHardwareOffset = 13,
    sysModuleBaseAddress = 14,
    sysModuleSoftwareOffset = 15,
    sysRouterAddressSetting = 16,
    sysRouteToMe = 20,
    sysInputCurrent = 21,
    sysUptime = 22,
    sysMaximumTemperature = 23,
    sysLogEvents = 24,
    sysUnregulatedVoltage = 25,
    sysUnregulatedCurrent = 26,
    sysTemperature = 27,
    sysMinimumTemperature = 28,
    sysInputPowerSource = 29,
    sysInputPowerBehavior = 30,
    sysInputPowerBehaviorConfig = 31,
    sysName = 32,
    sysPowerLimit = 33,
    sysPowerLimitMax = 34,
    sysPowerLimitState = 35,
    sysResetEntityToFactoryDefaults = 36,
    sysResetDeviceToFactoryDefaults = 37,
    sysLinkInterface = 38,
    sysHardwareVersion = 40,
    sysErrors = 41,
    sysLEDMaxBrightness = 42,
    sysBuild = 43,
    sysProtocolFeatures = 45,
};

class SystemClass : public EntityClass {
public:
    SystemClass() = default;
    ~SystemClass() override = default;

    // Binds to the system entity `index` of `module`. Always aErrNone.
    aErr init(Module* module, uint8_t index);

    aErr getModule(uint8_t* address);
    aErr setRouter(uint8_t address);
    aErr getRouter(uint8_t* address);
    aErr setHBInterval(uint8_t interval);
    aErr getHBInterval(uint8_t* interval);
    // Any non-zero `on` sends 1.
    aErr setLED(uint8_t on);
    aErr getLED(uint8_t* on);
    aErr setBootSlot(uint8_t slot);
    aErr getBootSlot(uint8_t* slot);
    // The packed firmware version (see aVersion).
    aErr getVersion(uint32_t* version);
    aErr getModel(uint8_t* model);
    aErr getSerialNumber(uint32_t* serialNumber);
    aErr save();
    aErr reset();
    aErr getInputVoltage(uint32_t* microvolts);
    aErr getModuleHardwareOffset(uint8_t* offset);
    aErr getModuleBaseAddress(uint8_t* address);
    aErr setModuleSoftwareOffset(uint8_t offset);
    aErr getModuleSoftwareOffset(uint8_t* offset);
    aErr getRouterAddressSetting(uint8_t* setting);
    // Asks a router module to route its network's traffic to this host (true)
    // or to stop doing so (false).
    aErr routeToMe(bool enable);
    aErr getInputCurrent(uint32_t* current);
    aErr getUptime(uint32_t* minutes);
    aErr getMaximumTemperature(int32_t* temperature);
    aErr logEvents();
    aErr getUnregulatedVoltage(int32_t* voltage);
    aErr getUnregulatedCurrent(int32_t* current);
    aErr getTemperature(int32_t* temperature);
    aErr getMinimumTemperature(int32_t* temperature);
    aErr getInputPowerSource(uint8_t* source);
    aErr setInputPowerBehavior(uint8_t behavior);
    aErr getInputPowerBehavior(uint8_t* behavior);
    // A byte array of 32-bit words, sent as they are stored in memory.
    aErr setInputPowerBehaviorConfig(const uint32_t* words, size_t countInWords);
    // Reads up to capacityInWords words; *countInWords is the number read.
    aErr getInputPowerBehaviorConfig(uint32_t* words, size_t capacityInWords, size_t* countInWords);
    aErr setName(const uint8_t* name, size_t length);
    aErr getName(uint8_t* buffer, size_t capacity, size_t* length);
    aErr getPowerLimit(uint32_t* limit);
    aErr setPowerLimitMax(uint32_t limit);
    aErr getPowerLimitMax(uint32_t* limit);
    aErr getPowerLimitState(uint32_t* state);
    aErr resetEntityToFactoryDefaults();
    aErr resetDeviceToFactoryDefaults();
    aErr setLinkInterface(uint8_t linkInterface);
    aErr getLinkInterface(uint8_t* linkInterface);
    aErr getHardwareVersion(uint32_t* version);
    aErr getErrors(uint32_t* errors);
    aErr setLEDMaxBrightness(uint8_t brightness);
    aErr getLEDMaxBrightness(uint8_t* brightness);
    aErr getBuild(uint32_t* build);
    aErr getProtocolFeatures(uint32_t* features);
};

} // namespace Corvantis
} // namespace Halvern
