#include "updater/UpdaterEntity.h"

#include <algorithm>

#include "app/Log.h"
#include "devlib/Link.h"
#include "devlib/SystemClass.h"
#include "devlib/aProtocol.h"
#include "devlib/unix_time.h"
#include "updater/Updater.h"

using Halvern::Corvantis::Link;
using Halvern::Corvantis::SystemClass;

namespace {

// Offsets in a prepare, sum or write reply (5F 07 status ...).
constexpr int kStatusByte = 2;
// The status a reply too short to hold one counts as: not accepted.
constexpr uint8_t kStatusMissing = 0xFF;

uint32_t be32(const unsigned char* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Tries `connect` up to kUpgradeReconnectAttempts times, logging each attempt
// with `attemptLine` (given the attempt's number and the number of attempts)
// and waiting delayMs after each failure. Returns the last attempt's result.
template <class Connect>
aErr reconnectAttempts(const char* attemptLine, unsigned int delayMs, Connect connect) {
    aErr err = aErrNotFound;
    for (int attempt = 1; attempt <= kUpgradeReconnectAttempts; ++attempt) {
        Log::log(DEBUG_Network, attemptLine, attempt, kUpgradeReconnectAttempts);
        err = connect();
        if (err == aErrNone) {
            Log::log(DEBUG_Network, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_Network, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 static_cast<int>(delayMs));
        aTime_MSSleep(delayMs);
    }
    return err;
}

} // namespace

uint8_t UpdaterEntity::UpgradeReply::status() const {
    return length > kStatusByte ? data[kStatusByte] : kStatusMissing;
}

aErr UpdaterEntity::_request(const uint8_t* request, uint8_t length, const char* sendFailure,
                             uint8_t replyTo, UpgradeReply* reply) {
    const aErr sent = sendPacket(cmdUPGRADE, length, request);
    if (sent != aErrNone && sendFailure) {
        // Every send-failure line takes the code; some also its text.
        Log::log(DEBUG_Network_FIRM, sendFailure, static_cast<int>(sent),
                 aError_GetErrorText(sent));
        if (reply)
            reply->sendFailed = true;
        return sent;
    }
    if (!reply)
        return sent;
    return _await(replyTo, *reply);
}

aErr UpdaterEntity::_await(uint8_t replyTo, UpgradeReply& reply) {
    const uint8_t match[] = {cmdUPGRADE, replyTo};
    reply.length = sizeof match;
    return receivePacket(match, &reply.length, reply.data);
}

aErr UpdaterEntity::init(Halvern::Corvantis::Module* module, unsigned char index, bool validate,
                         bool noLinkDropWait) {
    m_module = module;
    m_validate = validate;
    m_noLinkDropWait = noLinkDropWait;
    m_ueiData = false;
    return EntityClass::init(module, cmdUPGRADE, index);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    const uint8_t request[] = {val_UPGRADE_INIT};
    UpgradeReply reply;
    const aErr err = _request(request, sizeof request, "NETWORK: Error sending UPGRADE_INIT (%d)\n",
                              val_UPGRADE_INIT, &reply);
    if (err != aErrNone)
        return err;
    // { cmdUPGRADE, val_UPGRADE_INIT, load-base[4] }
    if (reply.length <= 5)
        return aErrPacket;
    const uint32_t base = be32(reply.data + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", static_cast<int>(base), base);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const unsigned char* data, unsigned int length,
                                    unsigned char flags, unsigned short& blockSize) {
    if (!data || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n",
             static_cast<int>(length), flags, blockSize);
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, data[0], data[1], data[2], data[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", static_cast<int>(be32(data)));
    // { val_UPGRADE_PREPARE, flags, address[4] big-endian }
    const uint8_t request[] = {val_UPGRADE_PREPARE, flags, data[0], data[1], data[2], data[3]};
    UpgradeReply reply;
    const aErr err =
        _request(request, sizeof request, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n",
                 val_UPGRADE_STATUS, &reply);
    if (err != aErrNone)
        return err;
    // { cmdUPGRADE, val_UPGRADE_STATUS, status, block-size[2] }
    if (reply.length < 5 || reply.status() != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    blockSize = static_cast<unsigned short>((reply.data[3] << 8) | reply.data[4]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             blockSize);
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer_uei_helper(const unsigned char* data, unsigned int length,
                                               unsigned int& blocks, unsigned int& sum) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n",
             static_cast<int>(length));
    aErr err = setUEIBytes(val_UPGRADE_DATA_UEI, data, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n",
                 static_cast<int>(err));
        return err;
    }
    for (unsigned int i = 0; i < length; ++i)
        sum += data[i];
    blocks = 1;
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const unsigned char* data, unsigned int length,
                                    unsigned int& blocks) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    unsigned int sum = 0;
    unsigned int sent = 0;
    aErr err = aErrNone;

    if (m_ueiData) {
        err = _block_transfer_uei_helper(data, length, blocks, sum);
        if (err != aErrNone)
            return err;
        sent = length;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", static_cast<int>(length));
    } else {
        int resends = 0;
        while (sent < length && err == aErrNone) {
            const unsigned int n = std::min(length - sent, kUpgradeDataPerPacket);
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n",
                     static_cast<int>(n));
            // { val_UPGRADE_DATA, bytes[n] }
            uint8_t request[1 + kUpgradeDataPerPacket];
            request[0] = val_UPGRADE_DATA;
            std::copy(data + sent, data + sent + n, request + 1);
            UpgradeReply reply;
            const aErr result =
                _request(request, static_cast<uint8_t>(n + 1),
                         "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", val_UPGRADE_DATA, &reply);
            if (reply.sendFailed)
                return result;
            if (result != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            // { cmdUPGRADE, val_UPGRADE_DATA, count }
            const unsigned int accepted = reply.length > 2 ? reply.data[2] : 0;
            if (accepted != n) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n",
                         static_cast<int>(accepted), static_cast<int>(n));
                // The same bytes go again, a bounded number of times.
                if (++resends > kUpgradeDataResendLimit) {
                    err = aErrPacket;
                    break;
                }
                continue;
            }
            resends = 0;
            for (unsigned int i = 0; i < n; ++i)
                sum += data[sent + i];
            sent += n;
            ++blocks;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     static_cast<int>(n), static_cast<int>(length - sent),
                     static_cast<int>(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", static_cast<int>(sent),
             static_cast<int>(length));

    if (err == aErrNone && m_validate)
        err = _validate_sum(sum, blocks);
    return err;
}

aErr UpdaterEntity::_validate_sum(unsigned int sum, unsigned int blocks) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    const uint8_t request[] = {val_UPGRADE_SUM};
    UpgradeReply reply;
    // No send-failure line: a failed send shows as the missing reply.
    if (_request(request, sizeof request, nullptr, val_UPGRADE_STATUS, &reply) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    // { cmdUPGRADE, val_UPGRADE_STATUS, status, sum[4] }; a reply too short
    // to hold the sum cannot match.
    const uint8_t status = reply.status();
    const uint32_t moduleSum = reply.length >= 7 ? be32(reply.data + 3) : ~sum;
    if (status != 0 || moduleSum != sum) {
        Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
                 moduleSum);
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n",
             status, sum, moduleSum, static_cast<int>(blocks));
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const unsigned char* data, unsigned int length) {
    if (!data || length < 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n", be32(data),
             static_cast<int>(length - 4));
    unsigned int blocks = 0;
    return _block_transfer(data + 4, length - 4, blocks);
}

aErr UpdaterEntity::FirmwareTransfer(const unsigned char* data, unsigned int length,
                                     unsigned short blockSize, UpdaterDisplayInterface& display) {
    if (!data || length < 4)
        return aErrParam;
    // A module that asks for chunks of 0 bytes could never be served.
    if (blockSize == 0 && length > 4)
        return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n", be32(data),
             static_cast<int>(length - 4));
    unsigned int remaining = length - 4;
    const unsigned char* next = data + 4;
    unsigned int chunks = 0;
    aErr err = aErrNone;
    display.display_progress(true);
    while (remaining > 0 && err == aErrNone) {
        const unsigned int n = std::min<unsigned int>(remaining, blockSize);
        unsigned int blocks = 0;
        err = _block_transfer(next, n, blocks);
        if (err != aErrNone)
            break;
        next += n;
        remaining -= n;
        ++chunks;
        display.update_progress(static_cast<double>(length - remaining) / length, nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 static_cast<int>(n), static_cast<int>(remaining), static_cast<int>(length));
        err = FirmwareWrite(n);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n",
             static_cast<int>(length - remaining), static_cast<int>(length));
    if (err != aErrNone)
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::FirmwareWrite(unsigned int length) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             static_cast<int>(length));
    // { val_UPGRADE_WRITE, length[2] big-endian }
    const uint8_t request[] = {val_UPGRADE_WRITE, static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length)};
    UpgradeReply reply;
    const aErr err =
        _request(request, sizeof request, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n",
                 val_UPGRADE_STATUS, &reply);
    if (reply.sendFailed)
        return err;
    // { cmdUPGRADE, val_UPGRADE_STATUS, status }; no reply counts as a refusal.
    if (err != aErrNone || reply.status() != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::_reconnect(unsigned int delayMs) {
    if (!m_module)
        return aErrResource;
    m_module->disconnect();
    const aErr err = reconnectAttempts("NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                                       delayMs, [this] { return m_module->reconnect(); });
    if (err == aErrNone)
        return aErrNone;
    // A module whose loader runs may attach under the default serial number.
    return reconnectAttempts("NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n",
                             delayMs,
                             [this] { return m_module->connect(linkTypeUSB, kNoSerialNumber); });
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    const uint8_t request[] = {val_UPGRADE_LOAD};
    UpgradeReply reply;
    aErr err = _request(request, sizeof request, "NETWORK: Error sending UPGRADE_LOAD (%d)\n",
                        val_UPGRADE_LOAD, &reply);
    if (reply.sendFailed)
        return err;
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    // The module may have dropped off while its loader started.
    err = _reconnect(kUpgradeReconnectDelayMs);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 static_cast<int>(err), aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = _await(val_UPGRADE_LOAD, reply);
    if (err == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
        return aErrNone;
    }
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n",
             static_cast<int>(err), aError_GetErrorText(err));
    return aErrTimeout;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    const uint8_t request[] = {val_UPGRADE_REBOOT};
    // No reply is awaited; a failed send is logged and the wait goes on.
    const aErr err = _request(request, sizeof request, "NETWORK: Error sending Loader REBOOT\n");
    // Wait for the link to drop, at most m_rebootWaitMs: a module that
    // keeps its link up is then treated as rebooted.
    const uint64_t start = aTime_GetMSTicks();
    while (m_module && m_module->isConnected()) {
        aTime_MSSleep(kUpgradeRebootPollMs);
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (m_noLinkDropWait || aTime_GetMSTicks() - start >= m_rebootWaitMs)
            break;
    }
    display.update_spinner(false, "Verifying Update");
    return err;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    if (!m_module)
        return aErrResource;
    aErr err = m_module->hasUEI(cmdUPGRADE, val_UPGRADE_DATA_UEI, 0, 0x80);
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n",
             static_cast<int>(err));
    if (err == aErrNone)
        m_ueiData = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (!m_module)
        return aErrResource;
    SystemClass system;
    system.init(m_module, 0);
    uint32_t features = 0;
    aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n",
             static_cast<int>(features), static_cast<int>(err));
    if (err != aErrNone)
        return err;
    if (features & kProtocolFeaturePooledPackets) {
        Link* link = m_module->getLink();
        if (!link)
            return aErrConnection;
        return link->enablePooledPackets(true);
    }
    return aErrNone;
}
