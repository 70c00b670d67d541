// Error codes of the device library, their names and descriptions, and the
// library's diagnostic switch.
//
// Every operation of the device library returns an aErr. 0 is success. The
// numbering is shared with the modules' firmware: an error reply from a
// module carries one of these codes in a data byte, and the library hands
// that byte on unchanged as its own result, so the values never change.
#pragma once

#include <atomic>
#include <cstdint>

// An error code. A plain unsigned integer rather than an enumeration, so that
// a code reported by a module (any byte value) can travel as a result without
// a cast and without being outside the type's range.
typedef uint32_t aErr;

enum : aErr {
    aErrNone = 0,            // "Success, no error"
    aErrMemory = 1,          // "Memory allocation"
    aErrParam = 2,           // "Invalid parameter"
    aErrNotFound = 3,        // "Not found"
    aErrFileNameLength = 4,  // "File name too long"
    aErrBusy = 5,            // "Resource busy"
    aErrIO = 6,              // "Input/Output error"
    aErrMode = 7,            // "Invalid Mode"
    aErrWrite = 8,           // "Write error"
    aErrRead = 9,            // "Read error"
    aErrEOF = 10,            // "End of file"
    aErrNotReady = 11,       // "Not ready, no bytes available"
    aErrPermission = 12,     // "Insufficient permissions"
    aErrRange = 13,          // "Value out of range"
    aErrSize = 14,           // "Invalid Size"
    aErrOverrun = 15,        // "Buffer/queue overrun"
    aErrParse = 16,          // "Parse error"
    aErrConfiguration = 17,  // "Configuration error"
    aErrTimeout = 18,        // "Timeout occurred"
    aErrInitialization = 19, // "Initialization error"
    aErrVersion = 20,        // "Invalid version"
    aErrUnimplemented = 21,  // "Functionality unimplemented"
    aErrDuplicate = 22,      // "Duplicate request"
    aErrCancel = 23,         // "Cancellation occurred, or did not complete"
    aErrPacket = 24,         // "Packet byte invalid"
    aErrConnection = 25,     // "Connection error"
    aErrIndexRange = 26,     // "Index out of range"
    aErrShortCommand = 27,   // "Corvantis command to short"
    aErrInvalidEntity = 28,  // "Invalid entity error"
    aErrInvalidOption = 29,  // "Invalid option code"
    aErrResource = 30,       // "Resource unavailable"
    aErrMedia = 31,          // "Media error"
    aErrAsyncReturn = 32,    // "Asynchronous return error"
    aErrStreamStale = 33,    // "Stream value is stale"
    aErrUnknown = 34,        // "Unknown error"
};

// Number of codes in the table (0 to aErrUnknown).
constexpr aErr aErrCount = aErrUnknown + 1;

// The name of a code, for example "aErrTimeout". Any code above aErrUnknown
// (compared unsigned) yields "aErrUnknown". The text is static: never freed,
// valid for the life of the process. Never blocks.
const char* aError_GetErrorText(aErr error);

// The description of a code, for example "Timeout occurred". Any code above
// aErrUnknown yields "Unknown error". Static text as above. Never blocks.
const char* aError_GetErrorDescription(aErr error);

// The library's diagnostic switch. The device library writes diagnostic
// lines to standard output only while aCorvantisDebuggingEnable is true, and
// then only the lines whose mask bit is set in aCorvantisDebuggingLevel:
//   aDEBUG_LIFECYCLE (1) link life cycle and synchronisation,
//   aDEBUG_PACKETS   (2) packet traces,
//   aDEBUG_SERVER    (4) the link server.
// Both start cleared; the updater never sets them. They are atomic so that a
// program (or a test) may switch diagnostics while link threads run.
extern std::atomic<bool> aCorvantisDebuggingEnable;
extern std::atomic<uint32_t> aCorvantisDebuggingLevel;

constexpr uint32_t aDEBUG_LIFECYCLE = 0x1;
constexpr uint32_t aDEBUG_PACKETS = 0x2;
constexpr uint32_t aDEBUG_SERVER = 0x4;

// True when diagnostics are on for any bit of mask.
inline bool aCorvantisDebugging(uint32_t mask) {
    return aCorvantisDebuggingEnable.load(std::memory_order_relaxed) &&
           (aCorvantisDebuggingLevel.load(std::memory_order_relaxed) & mask) != 0;
}

// Writes one printf-formatted diagnostic to standard output when
// aCorvantisDebugging(mask) holds, and flushes it; does nothing otherwise.
// The only place where the device library prints.
void aCorvantisDebugPrintf(uint32_t mask, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
