// Helpers of the Updater's units that talk to modules: switching a module's
// networking off before it connects, and the raw build-number query.
#pragma once

#include <cstdint>

#include "app/UpdaterDisplayInterface.h"
#include "devlib/Module.h"
#include "devlib/aError.h"

// Applies a network configuration with networking, fallback and the link
// server off (local only), so a module attached by USB is opened directly
// rather than through a local link server. Shows "Failed to SET network
// configuration" on failure and returns the result code.
aErr _disableEther(Halvern::Corvantis::Module& module, UpdaterDisplayInterface& display);

// The module's firmware build number, asked with a raw module-information
// packet (0x49 0xFF); 0 when the query fails or the reply is malformed.
uint32_t _get_build_number(Halvern::Corvantis::Module& module);

class BirdFile;

// Transfers the image's firmware blocks into the module with the upgrade
// protocol (up to five attempts per block) and reboots it. noLinkDropWait:
// the module sits behind a router, whose link stays up during the reboot.
// useUEIBytes: offer the data as UEI byte arrays when the module takes them.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Halvern::Corvantis::Module& module,
                        BirdFile& image, bool noLinkDropWait, bool useUEIBytes);
