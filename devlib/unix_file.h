// Buffered file access behind a validated handle.
//
// A file is opened with aFile_Open, which returns a heap handle that the
// caller owns and must release with aFile_Close. Every operation on a handle
// first checks that the handle is alive (aVALIDFILE) and answers aErrParam
// when it is not. Results are aErr codes except where a contract says
// otherwise; nothing here prints. A failed read or write leaves the handle
// open. All functions may block on the file system (a local disk: briefly),
// never on anything else. A handle must not be used by two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "devlib/aError.h"

// The open modes of aFile_Open.
typedef int aFileMode;
enum : aFileMode {
    aFileModeRead = 0,   // existing file, reading
    aFileModeWrite = 1,  // created or truncated, writing
    aFileModeAppend = 2, // created if needed, reading and appending at the end
};

// The check word of a live handle; cleared when the handle is closed.
constexpr uint16_t aFILE_CHECK = 0xFEED;

// The longest path (in characters, without the NUL) that aFile_ accepts.
constexpr size_t aFILE_MAX_PATH = 4096;

// The record behind a handle. Its fields belong to this unit.
struct aFileHandle {
    FILE* stream;   // the buffered system stream
    aFileMode mode; // the mode it was opened with
    uint16_t check; // aFILE_CHECK while alive, 0 once closed
};

// True exactly when h is a non-null pointer to a live handle.
#define aVALIDFILE(h) ((h) != nullptr && (h)->check == aFILE_CHECK)

// Origins of aFile_Seek.
enum : int {
    aSeekStart = 0,
    aSeekCurrent = 1,
    aSeekEnd = 2,
};

// True when path names an existing entry that is not a directory (symbolic
// links followed). False for a null path or one longer than aFILE_MAX_PATH.
bool aFile_Exists(const char* path);

// Opens path in the given mode and returns a new handle, which the caller
// releases with aFile_Close; null when the path is null, empty or longer than
// aFILE_MAX_PATH, the mode is not one of aFileMode, memory runs out, or the
// system refuses the file; errno then tells why (EINVAL, ENAMETOOLONG,
// EISDIR, ENOMEM or the system's own). Files are opened in binary mode and
// with close-on-exec.
aFileHandle* aFile_Open(const char* path, aFileMode mode);

// Closes the stream, clears the check word, frees the handle and sets *handle
// to null, also when the handle was invalid (then it is not freed). aErrParam
// for a null address, a null handle or an invalid handle; aErrIO when the
// system reports an error while flushing (the handle is released anyway).
aErr aFile_Close(aFileHandle** handle);

// Reads up to length bytes into buffer and stores the count in *read (when
// read is not null). aErrParam for a null buffer; aErrMode unless opened in
// mode read or append; aErrEOF when nothing was read although length was
// not 0; aErrIO on a read error with nothing read. A short read is a success.
aErr aFile_Read(aFileHandle* handle, void* buffer, size_t length, size_t* read);

// Writes length bytes of data and stores the count in *written (when not
// null). aErrParam for null data; aErrMode unless opened in mode write or
// append; aErrIO when nothing was written although length was not 0.
aErr aFile_Write(aFileHandle* handle, const void* data, size_t length, size_t* written);

// Reads one line, including its line feed, into buffer (size bytes, NUL
// included) and stores its length in *length (when not null). The buffer
// starts out empty and the length 0. aErrParam for a null buffer or a size
// below 2; aErrMode unless opened in mode read or append; aErrEOF at end of
// file; aErrIO on a read error; aErrOverrun when the line filled the buffer
// (length size - 1) without ending in a line feed: the buffer then holds its
// first size - 1 characters and the rest stays unread.
aErr aFile_ReadLine(aFileHandle* handle, char* buffer, size_t size, size_t* length);

// Formatted output (printf rules). aErrParam for a null format; aErrMode
// unless opened in mode write or append; aErrIO on an output error.
aErr aFile_Printf(aFileHandle* handle, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Moves the position to offset counted from origin (aSeekStart, aSeekCurrent,
// aSeekEnd). aErrRange when the target lies outside 0 .. file size (the
// position is unchanged); aErrParam for another origin; aErrIO when the
// position cannot be queried or moved.
aErr aFile_Seek(aFileHandle* handle, long offset, int origin);

// Stores the file's size in bytes in *size, leaving the position as it was.
// aErrParam for a null address; aErrIO when the size cannot be determined
// (*size is then 0).
aErr aFile_GetSize(aFileHandle* handle, size_t* size);

// Stores the current position in *position when the address is not null.
// aErrIO when the position cannot be determined.
aErr aFile_GetPosition(aFileHandle* handle, size_t* position);

// Switches the stream to unbuffered output. aErrMode unless opened in mode
// write or append, or when the system refuses.
aErr aFile_SetUnbuffered(aFileHandle* handle);

// Writes buffered output to the system and waits until the system has
// stored the file's data on its medium (fsync). aErrMode unless opened in
// mode write or append; aErrIO when either step fails. May block for as long
// as the medium takes.
aErr aFile_Sync(aFileHandle* handle);

// Removes the file path. aErrParam for a null path, aErrFileNameLength beyond
// aFILE_MAX_PATH characters, aErrNotFound when it does not exist,
// aErrPermission when access is denied, aErrIO for any other failure.
aErr aFile_Delete(const char* path);

// Renames the file from over the entry to (replacing it atomically, as the
// system's rename does). aErrParam for a null path, aErrFileNameLength
// beyond aFILE_MAX_PATH characters, aErrNotFound when from does not exist,
// aErrPermission when access is denied, aErrIO for any other failure.
aErr aFile_Rename(const char* from, const char* to);

// Makes the directory entry of a renamed or created file durable by syncing
// the directory dirPath itself. aErrParam for a null path, aErrNotFound when
// it cannot be opened, aErrIO when the sync fails.
aErr aFile_SyncDirectory(const char* dirPath);
