// Directories and paths: testing, creating, listing and deleting directories,
// and building path strings, either into a caller's buffer (the aDirectory_
// functions) or as a string object (BuildPath).
//
// Every function reports through an aErr code rather than the system's error
// numbers, except where a contract below says it returns a truth value or a
// pointer. None of them prints anything, except aDirectory_DeleteTree when it
// fails to remove a file. All of them may block on the file system, but never
// wait for anything else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "devlib/aError.h"

// The path separator, a one-character string.
#define aDIR_PATH_SEP "/"
#define aDIR_PATH_SEP_CHAR '/'

// The longest path (in characters, without the terminating NUL) that the
// functions of this unit and of the file layer accept.
constexpr size_t aDIR_MAX_PATH = 4096;

// The most components aDirectory_BuildPath joins in one call.
constexpr int aDIR_MAX_COMPONENTS = 10;

// The size of the buffer in which aDirectory_List builds each entry's path;
// entries whose path does not fit are skipped.
constexpr size_t aDIR_LIST_PATH_SIZE = 2048;

// What a listing callback learns about one entry.
struct aDirectoryListData {
    const char* entryPath; // full path: the listed directory, separator, entry name;
                           // valid only during the callback
    int32_t entrySize;     // size in bytes (cut to 32 bits)
    int isDirectory;       // 1 for a directory, 0 otherwise
};

// A listing callback: gets one entry and the caller's context; returns false
// to stop the listing.
typedef bool (*aDirectoryListProc)(const aDirectoryListData* data, void* context);

// True when path exists and is a directory (symbolic links are followed).
// False for a null path, an over-long path or any other entry.
bool aDirectory_Exists(const char* path);

// Makes sure the directory `path` exists, creating every missing directory
// along it with the permission bits `mode` (the process's umask applies).
// Returns aErrNone when the directory exists afterwards or already existed; a
// creation that fails because the name is taken counts as success whatever
// holds the name (so a regular file at `path` gives aErrNone and is left
// alone). aErrPermission when a directory cannot be created (also below a
// regular file); aErrParam for a null or empty path; aErrFileNameLength when
// the path is longer than aDIR_MAX_PATH characters.
aErr aDirectory_Ensure(const char* path, uint32_t mode);

// Calls `callback` for every entry of the directory `path` in the system's
// order, "." and ".." included, with the entry's data and `context`, until the
// callback returns false. Entries whose status cannot be read, or whose full
// path does not fit aDIR_LIST_PATH_SIZE, are skipped. Returns aErrNotFound
// when the directory cannot be opened, aErrParam for a null path or callback,
// else aErrNone.
aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context);

// Removes the empty directory `path`. aErrNone on success, aErrUnknown on any
// failure (including a null path).
aErr aDirectory_Delete(const char* path);

// Removes the directory `path` with everything below it (symbolic links are
// removed, never followed). aErrNotFound when the directory cannot be opened.
// When a file cannot be removed it prints the system error, prefixed with
// "aDirectory_DeleteTree", to standard error and "---error unlink-ing file
// [path]" to standard output, and stops; the final removal of the (not
// emptied) directory then gives aErrUnknown. Otherwise the result of
// aDirectory_Delete on `path`.
aErr aDirectory_DeleteTree(const char* path);

// Stores the current working directory in buffer (size bytes, NUL
// included). aErrParam when the buffer is null, it does not fit or it cannot
// be determined (the buffer then holds the empty string if size > 0).
aErr aDirectory_CWD(char* buffer, size_t size);

// Stores the path of the running executable (from "/proc/self/exe"), cut to
// size - 1 characters and NUL-terminated. aErrParam for a null buffer or a
// size of 0; aErrRead when the link cannot be read (buffer then empty).
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// Stores the current user's home directory in buffer (size bytes, NUL
// included): the home directory of the user's password-database entry, or
// the HOME environment variable when there is no entry (or the entry's home
// is empty). Returns aErrNone on success. aErrNotFound when neither gives a
// directory, aErrOverrun when the directory does not fit, aErrParam for a
// null buffer or a size of 0; on every failure the buffer holds the empty
// string (when size > 0). May block on the password database (NSS).
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// Builds a path from up to aDIR_MAX_COMPONENTS components into buffer (size
// bytes): the first component, then each further one, with a separator
// between two components unless the text so far ends with one or the next
// component begins with one. The list of components ends with a null
// pointer. An empty first component gives no leading separator.
//   aErrParam     null buffer, size 0, a component that is the buffer itself,
//                 more than aDIR_MAX_COMPONENTS components (the buffer is
//                 then the empty string);
//   aErrOverrun   the path does not fit; the buffer keeps the part built so
//                 far (always NUL-terminated).
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

// aDirectory_BuildPath with exactly the two components first and second.
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);

// Returns the start of the last occurrence of pattern in string, or null
// when there is none (or either is null). An empty pattern gives string.
const char* backwards_memcmp(const char* string, const char* pattern);

// Returns the first component followed, for every further component, by the
// separator and that component. The separator is always inserted, even when
// a component ends or begins with one (BuildPath("/home/u/", ".store",
// nullptr) is "/home/u//.store"). The list ends with a null pointer; there is
// no limit on length or count. A null first component gives "".
std::string BuildPath(const char* first, ...);
