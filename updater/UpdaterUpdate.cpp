// The update command: choose an image, patch the module's serial number into
// a generic one, connect (directly or through a router), check that the image
// fits the module, transfer the loader and the firmware, and record the
// transfer in the module's attributes.
#include "updater/Updater.h"

#include <exception>
#include <memory>
#include <stdexcept>

#include "app/Log.h"
#include "devlib/SystemClass.h"
#include "devlib/unix_streamusb.h"
#include "devlib/unix_time.h"
#include "firmware/BirdFile.h"
#include "server/UpdateServerRequest.h"
#include "store/UpdaterStore.h"
#include "updater/UpdaterCommon.h"
#include "updater/UpdaterEntity.h"
#include "updater/UpdaterNetwork.h"

using Halvern::Corvantis::Module;
using Halvern::Corvantis::SystemClass;

namespace {

// A module that starts a transferred loader may attach anew: how often it is
// looked for again, and the pause after each miss.
constexpr int kLoaderRediscoverAttempts = 15;
constexpr unsigned long kLoaderRediscoverPauseMs = 1000;
// Attempts per firmware block (the first one and four retries).
constexpr int kFirmwareBlockAttempts = 5;

// Connects over USB by serial number, then over TCP/IP when USB does not
// know the module.
aErr sConnectBySerial(Module& module, unsigned int serial) {
    aErr err = module.connect(linkTypeUSB, serial);
    if (aStream_USBLastOpenResult() == aErrPermission)
        Log::log(DEBUG_Updater, "%s\n", aStream_USBPermissionHint());
    if (err == aErrNotFound)
        err = module.connect(linkTypeTCPIP, serial);
    return err;
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& image, Module& module,
                        unsigned int serial) {
    if (image.blocks.empty())
        return false;
    if (!image.hasSerialOffsets && !image.ValidateSerialNumber(serial))
        return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t moduleSerial = 0;
    aErr err = system.getSerialNumber(&moduleSerial);
    if (err != aErrNone)
        moduleSerial = 0;
    if (moduleSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 static_cast<int>(err));
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* name = aDefs_GetModelName(model);
    if (!image.ValidateModel(name)) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Connected device model and Bird file model do not match [%s] (%d)", name,
                        static_cast<int>(err));
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& image) {
    UpdaterEntity upgrade;
    upgrade.init(&module, 0, true, false);
    aErr err = upgrade.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", static_cast<int>(err),
                 aError_GetErrorText(err));
        return err;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferring loader to device");
    const std::vector<BirdBlock> loaders = image.FindBlocks(BirdFile::BLOCK_LOADER);
    display.display_progress(true);
    int number = 1;
    int transferred = 0;
    unsigned int total = 0;
    for (const BirdBlock& block : loaders) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO,
                        "Transferring loader block %d of %d, %d bytes", number,
                        static_cast<int>(loaders.size()), static_cast<int>(block.length));
        unsigned short blockSize = 0;
        err = upgrade.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", static_cast<int>(err),
                     aError_GetErrorText(err));
            break;
        }
        err = upgrade.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", static_cast<int>(err),
                     aError_GetErrorText(err));
            continue;
        }
        total += block.length;
        ++transferred;
        ++number;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes",
                    transferred, static_cast<int>(total));
    display.display_progress(false);
    if (err == aErrNone) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "Starting Load on Device");
        err = upgrade.LoaderStart();
        if (err == aErrTimeout) {
            // A module may restart into its new loader without answering.
            Log::log(DEBUG_Updater, "Timeout on LoaderStart. Usually indicates this is an iMX "
                                    "Load ignore err.\n");
            err = aErrNone;
        } else if (err != aErrNone) {
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Error starting loader [%d, %s]",
                            static_cast<int>(err), aError_GetErrorText(err));
        }
    }
    return err;
}

} // namespace

// Shared with the recovery flow, which writes firmware through a started
// recovery loader.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& image,
                        bool noLinkDropWait, bool useUEIBytes) {
    UpdaterEntity upgrade;
    upgrade.init(&module, 0, true, noLinkDropWait);
    if (useUEIBytes && upgrade.CheckUEIDataSupport() == aErrNone)
        upgrade.CheckPooledPacketsSupport();
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", image.path.c_str());
    const std::vector<BirdBlock> firmware = image.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    aErr err = aErrNone;
    unsigned int number = 1;
    int transferred = 0;
    unsigned int total = 0;
    for (const BirdBlock& block : firmware) {
        for (int attempt = 0; attempt < kFirmwareBlockAttempts; ++attempt) {
            display.message(UpdaterDisplayInterface::LEVEL_INFO,
                            "Transferring firmware block %u of %u, %d bytes", number,
                            static_cast<unsigned int>(firmware.size()),
                            static_cast<int>(block.length));
            if (attempt > 0)
                display.message(UpdaterDisplayInterface::LEVEL_INFO, "  Retry %d", attempt);
            unsigned short blockSize = 0;
            err = upgrade.TransferPrepare(block.data, block.length, block.flags, blockSize);
            if (err != aErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n",
                         static_cast<int>(err), aError_GetErrorText(err));
                break;
            }
            err = upgrade.FirmwareTransfer(block.data, block.length, blockSize, display);
            if (err == aErrNone)
                break;
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", static_cast<int>(err),
                     aError_GetErrorText(err));
        }
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        ++transferred;
        ++number;
        total += block.length;
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Transferred %d blocks, %d total bytes",
                    transferred, static_cast<int>(total));
    if (err == aErrNone)
        err = upgrade.LoaderReboot(display);
    return err;
}

BirdFile Updater::load_bird(const char* label, std::string birdFile, unsigned int serial,
                            unsigned int build, bool download) {
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(m_display, m_updaterDirectory, "load_bird");
    if (!store)
        return BirdFile();
    if (!birdFile.empty()) {
        m_display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s from Birdfile: %s", label,
                          birdFile.c_str());
        return BirdFile(birdFile.c_str());
    }
    UpdaterStoreItem item = store->AddDevice(serial);
    m_display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s firmware with build: %u", label,
                      build);
    try {
        return item.ReadBirdFile(_birdFileName(build));
    } catch (const std::exception&) {
        if (!download)
            throw std::runtime_error("Error reading birdfile");
    }
    m_display.message(UpdaterDisplayInterface::LEVEL_INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return item.ReadBirdFile(_birdFileName(build));
}

bool Updater::Update_Firmware(unsigned int serial, unsigned int build, std::string birdFile,
                              unsigned char moduleAddress, unsigned int routerSerial,
                              bool override) {
    if (serial == 0) {
        m_display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                          "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(m_display, m_updaterDirectory, "Update_Firmware");
    if (!store)
        return false;
    UpdaterStoreItem item;
    store->FindDevice(serial, &item);
    const uint64_t start = aTime_GetMSTicks();

    if (birdFile.empty()) {
        if (build == 0) {
            std::string buildText, firmware;
            if (UpdateServerRequest::QueryBuild(serial, buildText, firmware, m_serverURL.c_str())) {
                if (!_parseBuildNumber(buildText, build))
                    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n",
                             buildText.c_str());
            }
            if (build != 0) {
                // The server's build counts only when the store holds it.
                try {
                    BirdFile held = item.ReadBirdFile(_birdFileName(build));
                } catch (const std::exception&) {
                    build = 0;
                    m_display.message(UpdaterDisplayInterface::LEVEL_INFO,
                                      "New firmware is available.  Updater will proceed if valid "
                                      "firmware is found locally.");
                }
            }
        }
        if (build == 0) {
            build = static_cast<unsigned int>(item.attributes.GetInt("LATEST_DOWNLOAD", 0));
            if (build != 0)
                m_display.message(UpdaterDisplayInterface::LEVEL_INFO,
                                  "Updating with the Latest Download");
        }
        if (build == 0) {
            build = static_cast<unsigned int>(item.attributes.GetInt("LATEST_TRANSFER", 0));
            if (build != 0)
                m_display.message(UpdaterDisplayInterface::LEVEL_INFO,
                                  "Updating with the Latest Transfer");
        }
        if (build == 0) {
            m_display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                              "Could not find valid build for this device.");
            return false;
        }
    }

    BirdFile image;
    try {
        image = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::exception&) {
        m_display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to load bird file");
        return false;
    }

    if (image.hasSerialOffsets) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!image.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module target(moduleAddress, true);
    aErr result = _disableEther(target, m_display);
    if (result == aErrNone) {
        if (routerSerial != 0 && moduleAddress == 0) {
            std::vector<DeviceInfo> network = Discover_SXNetwork_Devices(routerSerial, 0);
            if (network.empty()) {
                m_display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                  "Unable to find modules on Network");
                return false;
            }
            uint16_t address = 0;
            for (const DeviceInfo& entry : network)
                if (entry.serialNumber == serial)
                    address = entry.networkAddress;
            if (address == 0) {
                m_display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                  "Module address required for indirect firmware update, could "
                                  "not find serial number [0x%08X] on network",
                                  serial);
                return false;
            }
            target.setModuleAddress(static_cast<uint8_t>(address));
        }
        if (routerSerial != 0) {
            auto router = std::make_unique<Module>(0, true);
            _disableEther(*router, m_display);
            if (sConnectBySerial(*router, routerSerial) != aErrNone) {
                m_display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                  "Failed to connect to link module [%08X]", routerSerial);
                return false;
            }
            result = target.connectThroughLinkModule(router.get());
            if (result != aErrNone)
                m_display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                  "Failed to connect to module [%08X]", serial);
            // The target keeps the router's connection.
            router.reset();
        } else {
            result = sConnectBySerial(target, serial);
            if (result != aErrNone)
                m_display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                                  "Failed to connect to module [%08X]", serial);
        }
    }

    if (result == aErrNone) {
        if (!override && !_validate_birdfile(m_display, image, target, serial)) {
            m_display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Birdfile failed validation");
            return false;
        }
        result = _transfer_loader(m_display, target, image);
        if (result == aErrNone && !target.isConnected()) {
            target.disconnect();
            for (int i = 0; i < kLoaderRediscoverAttempts; ++i) {
                if (target.discoverAndConnect(linkTypeUSB, serial) == aErrNone &&
                    target.isConnected())
                    break;
                aTime_MSSleep(kLoaderRediscoverPauseMs);
            }
        }
        result = _transfer_firmware(m_display, target, image, routerSerial != 0, m_useUEIBytes);
    }

    if (result != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", static_cast<int>(result));
        return false;
    }

    if (birdFile.empty())
        birdFile = _birdFileName(build);
    // A module updated from a file before anything was fetched for it gets
    // its store directory now, so the record lands there and not in the
    // current directory.
    if (!item.IsValid())
        item = store->AddDevice(serial);
    item.attributes.Add("LATEST_TRANSFER", birdFile);
    item.attributes.Add("LAST_TRANSFER_DATE", _localTimeText());
    item.attributes.Save();
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    m_display.message(UpdaterDisplayInterface::LEVEL_INFO, "Update time: %.4f sec",
                      static_cast<double>(aTime_GetMSTicks() - start) / 1000.0);
    return true;
}
