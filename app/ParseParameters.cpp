#include "app/ParseParameters.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "app/Log.h"
#include "server/UpdateServerRequest.h"

namespace {

enum class Kind { Command, Help, Parameter };

enum class OptionId {
    ListBuilds,
    ListLocalBuilds,
    Discover,
    Get,
    Info,
    Update,
    Override,
    Fingerprint,
    Unhandled,
    Check,
    Jwt,
    HelpShort,
    HelpUpper,
    NoEffect,
    LogMask,
    Z,
    UeiBytes,
    BaseDirectory,
    Build,
    Device,
    Transport,
    BirdFile,
    Router,
    SerialPort,
    BaudRate,
    NoEffectWithValue,
    ServerURL,
    HelpLong,
};

struct Option {
    const char* name;
    Kind kind;
    bool takesValue;
    OptionId id;
};

// Matched in this order.
constexpr Option kOptions[] = {
    {"-B", Kind::Command, false, OptionId::ListBuilds},
    {"-L", Kind::Command, false, OptionId::ListLocalBuilds},
    {"-D", Kind::Command, false, OptionId::Discover},
    {"-G", Kind::Command, false, OptionId::Get},
    {"-I", Kind::Command, false, OptionId::Info},
    {"-U", Kind::Command, false, OptionId::Update},
    {"-OVERRIDE", Kind::Command, false, OptionId::Override},
    {"-N", Kind::Command, false, OptionId::Fingerprint},
    {"-Y", Kind::Command, false, OptionId::Unhandled},
    {"-C", Kind::Command, false, OptionId::Check},
    {"-J", Kind::Command, false, OptionId::Jwt},
    {"-h", Kind::Help, false, OptionId::HelpShort},
    {"-H", Kind::Help, false, OptionId::HelpUpper},
    {"-n", Kind::Parameter, false, OptionId::NoEffect},
    {"-X", Kind::Parameter, true, OptionId::LogMask},
    {"-Z", Kind::Parameter, true, OptionId::Z},
    {"-m", Kind::Parameter, true, OptionId::UeiBytes},
    {"-i", Kind::Parameter, true, OptionId::BaseDirectory},
    {"-b", Kind::Parameter, true, OptionId::Build},
    {"-d", Kind::Parameter, true, OptionId::Device},
    {"-t", Kind::Parameter, true, OptionId::Transport},
    {"-f", Kind::Parameter, true, OptionId::BirdFile},
    {"-r", Kind::Parameter, true, OptionId::Router},
    {"-s", Kind::Parameter, true, OptionId::SerialPort},
    {"-o", Kind::Parameter, true, OptionId::BaudRate},
    {"-e", Kind::Parameter, false, OptionId::NoEffect},
    {"-l", Kind::Parameter, true, OptionId::NoEffectWithValue},
    {"-k", Kind::Parameter, true, OptionId::NoEffectWithValue},
    {"-u", Kind::Parameter, true, OptionId::ServerURL},
    {"--help", Kind::Help, false, OptionId::HelpLong},
};

constexpr UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr const char kHexDigits[] = "0123456789ABCDEFabcdef";

size_t sLeadingHyphens(const std::string& text) {
    size_t count = 0;
    while (count < text.size() && text[count] == '-') {
        ++count;
    }
    return count;
}

// The entry that name matches exactly, or the only entry of which name is a
// proper start with the same leading hyphens and at least one letter more.
// Null when nothing matches or the abbreviation is ambiguous.
const Option* sMatchOption(const std::string& name) {
    for (const Option& option : kOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    size_t hyphens = sLeadingHyphens(name);
    if (hyphens == 0 || hyphens == name.size()) {
        return nullptr;
    }
    const Option* found = nullptr;
    for (const Option& option : kOptions) {
        std::string entry = option.name;
        if (sLeadingHyphens(entry) == hyphens && entry.size() > name.size() &&
            entry.compare(0, name.size(), name) == 0) {
            if (found != nullptr) {
                return nullptr;
            }
            found = &option;
        }
    }
    return found;
}

bool sHasPrefix0x(const std::string& value) {
    return value.size() >= 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X');
}

// A serial number in hexadecimal, without its "0x" prefix: 0 unless every
// character is a hexadecimal digit and the number fits in 32 bits.
uint32_t sParseSerial(const std::string& digits) {
    if (digits.empty() || digits.find_first_not_of(kHexDigits) != std::string::npos) {
        return 0;
    }
    uint64_t value = 0;
    for (char c : digits) {
        unsigned digit = static_cast<unsigned>(strchr(kHexDigits, c) - kHexDigits);
        if (digit >= 16) {
            digit -= 6; // a..f follow A..F in the digit list
        }
        value = value * 16 + digit;
        if (value > UINT32_MAX) {
            // A longer number names some other device once cut to 32 bits.
            return 0;
        }
    }
    return static_cast<uint32_t>(value);
}

// A decimal number: 0 unless every character is a digit and the number fits
// in 32 bits.
uint32_t sParseDecimal(const std::string& value) {
    uint64_t result = 0;
    for (char c : value) {
        if (c < '0' || c > '9') {
            return 0;
        }
        result = result * 10 + static_cast<uint64_t>(c - '0');
        if (result > UINT32_MAX) {
            return 0;
        }
    }
    return static_cast<uint32_t>(result);
}

// Reads the -d / -r value; reports and fails when it is no nonzero number.
bool sSerialValue(const std::string& value, bool router, uint32_t& serial,
                  UpdaterDisplayInterface& display) {
    std::string digits = value;
    if (sHasPrefix0x(digits)) {
        Log::log(DEBUG_Updater, router ? "Discarding '0x' router serial number prefix\n"
                                       : "Discarding '0x' serial number prefix\n");
        digits.erase(0, 2);
    }
    serial = sParseSerial(digits);
    if (serial != 0) {
        return true;
    }
    display.message(kError,
                    router ? "Invalid router serial number obtained from argument [%s]"
                           : "Invalid serial number obtained from argument [%s]",
                    digits.c_str());
    return false;
}

bool sTransportValue(const std::string& value, Parameters& params,
                     UpdaterDisplayInterface& display) {
    params.transportGiven = true;
    if (value.compare(0, 3, "USB") == 0) {
        params.transport = kTransportUSB;
    } else if (value.compare(0, 3, "TCP") == 0) {
        params.transport = kTransportTCPIP;
    } else if (value.compare(0, 7, "RECOVER") == 0) {
        params.transport = kTransportRecover;
    } else {
        params.transport = kTransportInvalid;
        display.message(kError,
                        "Invalid transport type:[%s]\nMust be one of the following: USB, TCPIP, "
                        "RECOVER",
                        value.c_str());
        return false;
    }
    return true;
}

// -X: hexadecimal after "0x", else decimal. Digits that would carry the
// value past 32 bits count as unprocessed, like any other leftover.
void sLogMaskValue(const char* optionText, const std::string& value, Parameters& params,
                   UpdaterDisplayInterface& display) {
    params.logMaskGiven = true;
    bool hex = sHasPrefix0x(value);
    unsigned base = hex ? 16 : 10;
    size_t position = hex ? 2 : 0;
    uint64_t mask = 0;
    for (; position < value.size(); ++position) {
        char c = value[position];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            break;
        }
        if (mask * base + digit > UINT32_MAX) {
            break;
        }
        mask = mask * base + digit;
    }
    if (position < value.size()) {
        display.message(kError, "Invalid format for \"%s\" parameter, unprocessed characters [%s]",
                        optionText, value.c_str() + position);
        return;
    }
    params.logMask |= static_cast<uint32_t>(mask);
    Log::ActivatePackage(static_cast<uint32_t>(mask));
}

std::string sApplicationName(const char* argv0) {
    std::string name = argv0 != nullptr ? argv0 : "";
    size_t separator = name.find_last_of("/\\");
    return separator == std::string::npos ? name : name.substr(separator + 1);
}

// Applies one option without value. Returns false when the option is refused.
bool sApplyFlag(const Option& option, Parameters& params, UpdaterDisplayInterface& display) {
    switch (option.id) {
    case OptionId::ListBuilds:
        params.commands.Set(COMMAND_LIST_BUILDS);
        break;
    case OptionId::ListLocalBuilds:
        params.commands.Set(COMMAND_LIST_LOCAL_BUILDS);
        break;
    case OptionId::Discover:
        params.commands.Set(COMMAND_DISCOVER);
        break;
    case OptionId::Get:
        params.commands.Set(COMMAND_GET);
        break;
    case OptionId::Info:
        params.commands.Set(COMMAND_INFO);
        break;
    case OptionId::Update:
        params.commands.Set(COMMAND_UPDATE);
        break;
    case OptionId::Override:
        params.override = true;
        break;
    case OptionId::Fingerprint:
        params.commands.Set(COMMAND_FINGERPRINT);
        break;
    case OptionId::Check:
        params.commands.Set(COMMAND_CHECK);
        break;
    case OptionId::Jwt:
        params.commands.Set(COMMAND_JWT);
        break;
    case OptionId::Unhandled:
        display.message(kError, "Unhandled command: [%s]", option.name);
        return false;
    default:
        break;
    }
    return true;
}

// Applies one option with its value. Returns false when the value is refused.
bool sApplyValue(const Option& option, const std::string& value, Parameters& params,
                 UpdaterDisplayInterface& display) {
    switch (option.id) {
    case OptionId::LogMask:
        sLogMaskValue(option.name, value, params, display);
        break;
    case OptionId::Z:
        params.commands.Set(COMMAND_Z);
        break;
    case OptionId::UeiBytes:
        params.ueiBytesLoad = value.compare(0, 1, "1") == 0 || value.compare(0, 4, "true") == 0;
        break;
    case OptionId::BaseDirectory:
        params.baseDirectory = value;
        break;
    case OptionId::Build:
        params.build = std::to_string(sParseDecimal(value));
        break;
    case OptionId::Device:
        return sSerialValue(value, false, params.deviceSerial, display);
    case OptionId::Router:
        return sSerialValue(value, true, params.routerSerial, display);
    case OptionId::Transport:
        return sTransportValue(value, params, display);
    case OptionId::BirdFile:
        params.birdFile = value;
        break;
    case OptionId::SerialPort:
        params.serialPort = value;
        break;
    case OptionId::BaudRate:
        params.baudRate = sParseDecimal(value);
        break;
    case OptionId::ServerURL:
        params.serverURL = value;
        break;
    default:
        break;
    }
    return true;
}

} // namespace

int ParseParameters(int argc, char* argv[], Parameters& params, UpdaterDisplayInterface& display) {
    params = Parameters();
    params.serverURL = UPDATER_DEFAULT_SERVER_URL;
    if (argv == nullptr || argc < 0) {
        argc = 0;
    }
    params.appName = sApplicationName(argc > 0 ? argv[0] : nullptr);

    bool failed = false;
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr || argv[i][0] != '-') {
            continue;
        }
        std::string argument = argv[i];
        size_t equals = argument.find('=');
        bool inlineValue = equals != std::string::npos;
        const Option* option = sMatchOption(argument.substr(0, equals));
        if (option == nullptr) {
            continue;
        }
        if (!option->takesValue) {
            if (inlineValue) {
                continue;
            }
            if (option->kind == Kind::Help) {
                params.commands.Set(COMMAND_HELP);
                params.helpRequested = true;
                return 0;
            }
            failed = !sApplyFlag(*option, params, display) || failed;
            continue;
        }
        std::string value;
        if (inlineValue) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc && argv[i + 1] != nullptr && argv[i + 1][0] != '-') {
            value = argv[++i];
        } else {
            // Missing value; a following option is examined on the next turn.
            continue;
        }
        failed = !sApplyValue(*option, value, params, display) || failed;
    }

    Log::log(DEBUG_APP, "\nApplication parameters:[%s]\n", params.appName.c_str());
    for (int i = 0; i < argc; ++i) {
        Log::log(DEBUG_APP, "\t[%s]\n", argv[i] != nullptr ? argv[i] : "");
    }
    return failed ? 1 : 0;
}
