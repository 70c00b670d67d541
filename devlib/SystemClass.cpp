#include "devlib/SystemClass.h"

namespace Halvern {
namespace Corvantis {

namespace {

// Signed 32-bit values travel as their two's-complement bit pattern.
aErr sGetSigned32(EntityClass& entity, uint8_t option, int32_t* value) {
    if (value == nullptr) {
        return aErrParam;
    }
    uint32_t raw = 0;
    aErr result = entity.getUEI32(option, &raw);
    if (result == aErrNone || result == aErrStreamStale) {
        *value = static_cast<int32_t>(raw);
    }
    return result;
}

constexpr size_t kWordBytes = 4;

} // namespace

aErr SystemClass::init(Module* module, uint8_t index) {
    return EntityClass::init(module, cmdSYSTEM, index);
}

aErr SystemClass::setLED(uint8_t on) {
    return setUEI8(sysLED, on != 0 ? 1 : 0);
}

aErr SystemClass::routeToMe(bool enable) {
    return setUEI8(sysRouteToMe, enable ? 1 : 0);
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t countInWords) {
    if (words == nullptr && countInWords != 0) {
        return aErrParam;
    }
    return setUEIBytes(sysInputPowerBehaviorConfig, reinterpret_cast<const uint8_t*>(words),
                       countInWords * kWordBytes);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacityInWords,
                                              size_t* countInWords) {
    if (words == nullptr || countInWords == nullptr) {
        return aErrParam;
    }
    size_t bytes = 0;
    aErr result = getUEIBytes(sysInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words),
                              capacityInWords * kWordBytes, &bytes);
    // A trailing partial word is not counted, so the count never names more
    // words than were filled.
    *countInWords = bytes / kWordBytes;
    return result;
}

aErr SystemClass::setName(const uint8_t* name, size_t length) {
    return setUEIBytes(sysName, name, length);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* length) {
    return getUEIBytes(sysName, buffer, capacity, length);
}

aErr SystemClass::getModule(uint8_t* value) {
    return getUEI8(sysModule, value);
}

aErr SystemClass::setRouter(uint8_t value) {
    return setUEI8(sysRouter, value);
}

aErr SystemClass::getRouter(uint8_t* value) {
    return getUEI8(sysRouter, value);
}

aErr SystemClass::setHBInterval(uint8_t value) {
    return setUEI8(sysHBInterval, value);
}

aErr SystemClass::getHBInterval(uint8_t* value) {
    return getUEI8(sysHBInterval, value);
}

aErr SystemClass::getLED(uint8_t* value) {
    return getUEI8(sysLED, value);
}

aErr SystemClass::setBootSlot(uint8_t value) {
    return setUEI8(sysBootSlot, value);
}

aErr SystemClass::getBootSlot(uint8_t* value) {
    return getUEI8(sysBootSlot, value);
}

aErr SystemClass::getVersion(uint32_t* value) {
    return getUEI32(sysVersion, value);
}

aErr SystemClass::getModel(uint8_t* value) {
    return getUEI8(sysModel, value);
}

aErr SystemClass::getSerialNumber(uint32_t* value) {
    return getUEI32(sysSerialNumber, value);
}

aErr SystemClass::save() {
    return callUEI(sysSave);
}

aErr SystemClass::reset() {
    return callUEI(sysReset);
}

aErr SystemClass::getInputVoltage(uint32_t* value) {
    return getUEI32(sysInputVoltage, value);
}

aErr SystemClass::getModuleHardwareOffset(uint8_t* value) {
    return getUEI8(sysModuleHardwareOffset, value);
}

aErr SystemClass::getModuleBaseAddress(uint8_t* value) {
    return getUEI8(sysModuleBaseAddress, value);
}

aErr SystemClass::setModuleSoftwareOffset(uint8_t value) {
    return setUEI8(sysModuleSoftwareOffset, value);
}

aErr SystemClass::getModuleSoftwareOffset(uint8_t* value) {
    return getUEI8(sysModuleSoftwareOffset, value);
}

aErr SystemClass::getRouterAddressSetting(uint8_t* value) {
    return getUEI8(sysRouterAddressSetting, value);
}

aErr SystemClass::getInputCurrent(uint32_t* value) {
    return getUEI32(sysInputCurrent, value);
}

aErr SystemClass::getUptime(uint32_t* value) {
    return getUEI32(sysUptime, value);
}

aErr SystemClass::getMaximumTemperature(int32_t* value) {
    return sGetSigned32(*this, sysMaximumTemperature, value);
}

aErr SystemClass::logEvents() {
    return callUEI(sysLogEvents);
}

aErr SystemClass::getUnregulatedVoltage(int32_t* value) {
    return sGetSigned32(*this, sysUnregulatedVoltage, value);
}

aErr SystemClass::getUnregulatedCurrent(int32_t* value) {
    return sGetSigned32(*this, sysUnregulatedCurrent, value);
}

aErr SystemClass::getTemperature(int32_t* value) {
    return sGetSigned32(*this, sysTemperature, value);
}

aErr SystemClass::getMinimumTemperature(int32_t* value) {
    return sGetSigned32(*this, sysMinimumTemperature, value);
}

aErr SystemClass::getInputPowerSource(uint8_t* value) {
    return getUEI8(sysInputPowerSource, value);
}

aErr SystemClass::setInputPowerBehavior(uint8_t value) {
    return setUEI8(sysInputPowerBehavior, value);
}

aErr SystemClass::getInputPowerBehavior(uint8_t* value) {
    return getUEI8(sysInputPowerBehavior, value);
}

aErr SystemClass::getPowerLimit(uint32_t* value) {
    return getUEI32(sysPowerLimit, value);
}

aErr SystemClass::setPowerLimitMax(uint32_t value) {
    return setUEI32(sysPowerLimitMax, value);
}

aErr SystemClass::getPowerLimitMax(uint32_t* value) {
    return getUEI32(sysPowerLimitMax, value);
}

aErr SystemClass::getPowerLimitState(uint32_t* value) {
    return getUEI32(sysPowerLimitState, value);
}

aErr SystemClass::resetEntityToFactoryDefaults() {
    return callUEI(sysResetEntityToFactoryDefaults);
}

aErr SystemClass::resetDeviceToFactoryDefaults() {
    return callUEI(sysResetDeviceToFactoryDefaults);
}

aErr SystemClass::setLinkInterface(uint8_t value) {
    return setUEI8(sysLinkInterface, value);
}

aErr SystemClass::getLinkInterface(uint8_t* value) {
    return getUEI8(sysLinkInterface, value);
}

aErr SystemClass::getHardwareVersion(uint32_t* value) {
    return getUEI32(sysHardwareVersion, value);
}

aErr SystemClass::getErrors(uint32_t* value) {
    return getUEI32(sysErrors, value);
}

aErr SystemClass::setLEDMaxBrightness(uint8_t value) {
    return setUEI8(sysLEDMaxBrightness, value);
}

aErr SystemClass::getLEDMaxBrightness(uint8_t* value) {
    return getUEI8(sysLEDMaxBrightness, value);
}

aErr SystemClass::getBuild(uint32_t* value) {
    return getUEI32(sysBuild, value);
}

aErr SystemClass::getProtocolFeatures(uint32_t* value) {
    return getUEI32(sysProtocolFeatures, value);
}

} // namespace Corvantis
} // namespace Halvern
