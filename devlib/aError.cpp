#include "devlib/aError.h"

#include <cstdarg>
#include <cstdio>

std::atomic<bool> aCorvantisDebuggingEnable{false};
std::atomic<uint32_t> aCorvantisDebuggingLevel{0};

namespace {

struct ErrorEntry {
    const char* name;
    const char* description;
};

// Indexed by code; the order is the numbering shared with the modules.
const ErrorEntry ERROR_TEXT[aErrCount] = {
    {"aErrNone", "Success, no error"},
    {"aErrMemory", "Memory allocation"},
    {"aErrParam", "Invalid parameter"},
    {"aErrNotFound", "Not found"},
    {"aErrFileNameLength", "File name too long"},
    {"aErrBusy", "Resource busy"},
    {"aErrIO", "Input/Output error"},
    {"aErrMode", "Invalid Mode"},
    {"aErrWrite", "Write error"},
    {"aErrRead", "Read error"},
    {"aErrEOF", "End of file"},
    {"aErrNotReady", "Not ready, no bytes available"},
    {"aErrPermission", "Insufficient permissions"},
    {"aErrRange", "Value out of range"},
    {"aErrSize", "Invalid Size"},
    {"aErrOverrun", "Buffer/queue overrun"},
    {"aErrParse", "Parse error"},
    {"aErrConfiguration", "Configuration error"},
    {"aErrTimeout", "Timeout occurred"},
    {"aErrInitialization", "Initialization error"},
    {"aErrVersion", "Invalid version"},
    {"aErrUnimplemented", "Functionality unimplemented"},
    {"aErrDuplicate", "Duplicate request"},
    {"aErrCancel", "Cancellation occurred, or did not complete"},
    {"aErrPacket", "Packet byte invalid"},
    {"aErrConnection", "Connection error"},
    {"aErrIndexRange", "Index out of range"},
    {"aErrShortCommand", "Corvantis command to short"},
    {"aErrInvalidEntity", "Invalid entity error"},
    {"aErrInvalidOption", "Invalid option code"},
    {"aErrResource", "Resource unavailable"},
    {"aErrMedia", "Media error"},
    {"aErrAsyncReturn", "Asynchronous return error"},
    {"aErrStreamStale", "Stream value is stale"},
    {"aErrUnknown", "Unknown error"},
};

const ErrorEntry& sEntry(aErr error) {
    return ERROR_TEXT[error > aErrUnknown ? aErrUnknown : error];
}

} // namespace

const char* aError_GetErrorText(aErr error) {
    return sEntry(error).name;
}

const char* aError_GetErrorDescription(aErr error) {
    return sEntry(error).description;
}

void aCorvantisDebugPrintf(uint32_t mask, const char* format, ...) {
    if (!aCorvantisDebugging(mask) || format == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}
