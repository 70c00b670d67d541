// The upgrade entity of a module (cmdUPGRADE): initialise the module's
// loader, announce each block, send its bytes in packets or as one UEI byte
// array, have the module confirm their byte sum, write them to flash, start
// a transferred loader and reboot the module into its new firmware.
//
// Every request is a packet to the module whose data begin with cmdUPGRADE
// and a sub-command; every awaited reply is matched on its first two data
// bytes and awaited for up to 1000 ms. Every operation returns the first aErr
// that occurred and runs on the caller's thread.
#pragma once

#include <cstdint>

#include "app/UpdaterDisplayInterface.h"
#include "devlib/Entity.h"
#include "devlib/Module.h"
#include "devlib/aError.h"
#include "devlib/aPacket.h"

// Upgrade sub-commands (second data byte of every upgrade packet).
enum : uint8_t {
    val_UPGRADE_INIT = 0,      // -> 5F 00 load-base[4]
    val_UPGRADE_DATA = 1,      // 1 to 26 data bytes -> 5F 01 count
    val_UPGRADE_LOAD = 2,      // start the transferred loader -> 5F 02
    val_UPGRADE_PREPARE = 3,   // flags, address[4] -> 5F 07 status block-size[2]
    val_UPGRADE_SUM = 4,       // -> 5F 07 status sum[4]
    val_UPGRADE_WRITE = 5,     // length[2] -> 5F 07 status
    val_UPGRADE_REBOOT = 6,    // no reply
    val_UPGRADE_STATUS = 7,    // the reply code of prepare, sum and write
    val_UPGRADE_DATA_UEI = 10, // UEI option taking a whole chunk as a byte array
};

// Largest number of image bytes in one data packet (28 data bytes minus the
// command and sub-command).
constexpr unsigned int kUpgradeDataPerPacket = 26;
// How often one data packet is sent again after the module acknowledged a
// different count, before the block fails with aErrPacket.
constexpr int kUpgradeDataResendLimit = 10;
// Reconnection after a loader start: attempts by the module's own serial
// number, then by the default serial number.
constexpr int kUpgradeReconnectAttempts = 5;
constexpr unsigned int kUpgradeReconnectDelayMs = 500;
// The wait for the link to drop after the reboot request: one step, and the
// bound after which the update goes on as if the link had dropped.
constexpr unsigned int kUpgradeRebootPollMs = 250;
constexpr unsigned int kUpgradeRebootWaitMs = 30000;
// Bit of the protocol features word that says the module takes pooled packets.
constexpr uint32_t kProtocolFeaturePooledPackets = 0x80000000u;

class UpdaterEntity : public Halvern::Corvantis::EntityClass {
public:
    UpdaterEntity() = default;
    ~UpdaterEntity() override = default;

    // Binds the entity to `module` (not owned) with entity index `index`.
    // validate: ask for the byte sum after every data block; noLinkDropWait:
    // after the reboot request do not wait for the link to drop (a router's
    // link stays up while the module behind it reboots). Clears the UEI-data
    // flag.
    aErr init(Halvern::Corvantis::Module* module, unsigned char index, bool validate,
              bool noLinkDropWait);

    // Initialises the module's loader. aErrPacket for a reply of 5 data bytes
    // or fewer.
    aErr LoaderInit();
    // Announces a block (data: a 4-byte big-endian load address, then the
    // image). On success blockSize holds the chunk size the module asked for;
    // aErrInvalidOption when the module refused the block.
    aErr TransferPrepare(const unsigned char* data, unsigned int length, unsigned char flags,
                         unsigned short& blockSize);
    // Sends a loader block's image bytes in one pass and checks their sum.
    aErr LoaderTransfer(const unsigned char* data, unsigned int length);
    // Sends a firmware block's image in chunks of blockSize, each checked
    // and written, drawing the progress bar on the display.
    aErr FirmwareTransfer(const unsigned char* data, unsigned int length, unsigned short blockSize,
                          UpdaterDisplayInterface& display);
    // Has the module write the last `length` bytes received. aErrInvalidOption
    // when the module reports an error or does not answer.
    aErr FirmwareWrite(unsigned int length);
    // Starts the transferred loader. When the confirmation does not come the
    // module is reconnected (it may have attached anew) and asked again;
    // aErrTimeout when it never confirms. May block about 10 x 500 ms.
    aErr LoaderStart();
    // Asks the module to reboot, then waits (at most kUpgradeRebootWaitMs)
    // for its link to drop, drawing the spinner. Returns the send result.
    aErr LoaderReboot(UpdaterDisplayInterface& display);
    // aErrNone when the module accepts chunks as a UEI byte array (and the
    // entity then sends them that way).
    aErr CheckUEIDataSupport();
    // Switches pooled packets on for the module's link when its protocol
    // features say it takes them.
    aErr CheckPooledPacketsSupport();

    // Bound of LoaderReboot's wait for the link to drop (kUpgradeRebootWaitMs
    // unless changed), for callers whose modules are known to reboot faster.
    void setRebootWaitBound(unsigned int ms) { m_rebootWaitMs = ms; }

private:
    // One awaited reply of the upgrade entity: its data bytes, from the
    // cmdUPGRADE byte on, and their count.
    struct UpgradeReply {
        uint8_t data[aPACKET_MAXDATA] = {};
        uint8_t length = 0;
        // The request was never sent (its failure was logged and returned).
        bool sendFailed = false;
        // The status byte of a prepare, sum or write reply; nonzero (not
        // accepted) when the reply is too short to hold one.
        uint8_t status() const;
    };

    // One exchange of the upgrade protocol: sends { cmdUPGRADE, request[0 ..
    // length-1] } to the module and, when `reply` is given, awaits the
    // module's packet that begins { cmdUPGRADE, replyTo } (up to 1000 ms).
    // A failed send is logged with `sendFailure`, a format given the code
    // (int) and its text (const char*), which it may use or not; the send's
    // code is then returned and reply->sendFailed set. With sendFailure null a
    // failed send is not looked at and the reply is awaited all the same.
    // Otherwise returns the wait's result (aErrNone when the reply came),
    // or, with no reply asked for, the send's.
    aErr _request(const uint8_t* request, uint8_t length, const char* sendFailure,
                  uint8_t replyTo = 0, UpgradeReply* reply = nullptr);
    // Awaits the reply { cmdUPGRADE, replyTo, ... } without sending anything
    // (up to 1000 ms); aErrNone when it came.
    aErr _await(uint8_t replyTo, UpgradeReply& reply);
    // Asks the module for its byte sum of the block just sent and compares
    // it with `sum`: aErrPacket when no reply comes, aErrInvalidOption for a
    // nonzero status or a different sum.
    aErr _validate_sum(unsigned int sum, unsigned int blocks);

    aErr _block_transfer(const unsigned char* data, unsigned int length, unsigned int& blocks);
    aErr _block_transfer_uei_helper(const unsigned char* data, unsigned int length,
                                    unsigned int& blocks, unsigned int& sum);
    aErr _reconnect(unsigned int delayMs);

    Halvern::Corvantis::Module* m_module = nullptr;
    bool m_validate = true;
    bool m_noLinkDropWait = false;
    bool m_ueiData = false;
    unsigned int m_rebootWaitMs = kUpgradeRebootWaitMs;
};
