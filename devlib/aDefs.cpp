#include "devlib/aDefs.h"

#include <cstddef>

namespace {

struct ModelName {
    uint32_t model;
    const char* name;
};

// Display names of the family's modules. Names fit the 12-character model
// column of the device list.
constexpr ModelName kModelNames[] = {
    {0x04, "CV-USB1"},    {0x05, "CV-NET1"},   {0x07, "CV-NET2"},   {0x08, "CV-SERIAL4"},
    {0x0D, "CV-HUB4"},    {0x0E, "CV-RELAY8"}, {0x10, "CV-DAQ16"},  {0x11, "CV-HUB8"},
    {0x12, "CV-SWITCH2"}, {0x13, "CV-PWR4"},   {0x14, "CV-ROUTER"}, {0x15, "CV-LOAD1"},
    {0x16, "CV-TEMP8"},   {0x17, "CV-EXT3"},
};

constexpr const char* kUnknownModel = "Unknown";

} // namespace

const char* aDefs_GetModelName(uint32_t model) {
    for (const ModelName& entry : kModelNames) {
        if (entry.model == model) {
            return entry.name;
        }
    }
    return kUnknownModel;
}
