// Directories and paths over POSIX: stat, mkdir, opendir and the password
// database. System error numbers become aErr codes here.
#include "devlib/aDirectory.h"

#include <dirent.h>
#include <errno.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Size of the scratch buffer handed to getpwuid_r when the system gives no
// hint; grown (up to the limit) when the entry does not fit.
constexpr size_t kPasswordBufferStart = 1024;
constexpr size_t kPasswordBufferLimit = 1024 * 1024;

// Length of s, but never more than limit + 1: enough to tell "too long"
// without walking an arbitrarily long string.
size_t sBoundedLength(const char* s, size_t limit) {
    return strnlen(s, limit + 1);
}

bool sIsDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir that treats "the name is taken" as success, whatever holds it.
bool sMakeDirectory(const char* path, uint32_t mode) {
    if (mkdir(path, static_cast<mode_t>(mode)) == 0)
        return true;
    return errno == EEXIST;
}

// Copies text into buffer when it fits with its NUL; otherwise leaves the
// buffer empty.
aErr sCopyOut(char* buffer, size_t size, const char* text) {
    size_t length = strlen(text);
    if (length >= size) {
        buffer[0] = '\0';
        return aErrOverrun;
    }
    memcpy(buffer, text, length + 1);
    return aErrNone;
}

} // namespace

bool aDirectory_Exists(const char* path) {
    if (path == nullptr || sBoundedLength(path, aDIR_MAX_PATH) > aDIR_MAX_PATH)
        return false;
    return sIsDirectory(path);
}

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
    if (path == nullptr || path[0] == '\0')
        return aErrParam;
    if (sBoundedLength(path, aDIR_MAX_PATH) > aDIR_MAX_PATH)
        return aErrFileNameLength;
    if (sIsDirectory(path))
        return aErrNone;

    // Work on a copy, cutting it at each separator in turn to name the
    // prefix. Find the longest prefix that already is a directory first, so
    // that nothing above it is touched (a parent the user may not even be
    // allowed to stat).
    std::vector<char> work(path, path + strlen(path) + 1);
    size_t start = 0;
    for (size_t i = work.size() - 1; i > 0; --i) {
        if (work[i - 1] != aDIR_PATH_SEP_CHAR)
            continue;
        work[i - 1] = '\0';
        bool exists = (i - 1 > 0) && sIsDirectory(work.data());
        work[i - 1] = aDIR_PATH_SEP_CHAR;
        if (exists) {
            start = i;
            break;
        }
    }

    // Create every missing directory from there on, one separator at a time.
    // Two separators in a row name an empty component and are skipped.
    for (size_t i = start; i < work.size() - 1; ++i) {
        if (work[i] != aDIR_PATH_SEP_CHAR || i == 0 || work[i - 1] == aDIR_PATH_SEP_CHAR)
            continue;
        work[i] = '\0';
        bool ok = sIsDirectory(work.data()) || sMakeDirectory(work.data(), mode);
        work[i] = aDIR_PATH_SEP_CHAR;
        if (!ok)
            return aErrPermission;
    }

    if (!sIsDirectory(path) && !sMakeDirectory(path, mode))
        return aErrPermission;
    return aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListProc callback, void* context) {
    if (path == nullptr || callback == nullptr)
        return aErrParam;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return aErrNotFound;

    char entryPath[aDIR_LIST_PATH_SIZE];
    for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (aDirectory_JoinPath(entryPath, sizeof entryPath, path, entry->d_name) != aErrNone)
            continue;
        struct stat st;
        if (stat(entryPath, &st) != 0)
            continue;
        aDirectoryListData data;
        data.entryPath = entryPath;
        data.entrySize = static_cast<int32_t>(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
        if (!callback(&data, context))
            break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_Delete(const char* path) {
    if (path == nullptr || rmdir(path) != 0)
        return aErrUnknown;
    return aErrNone;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (path == nullptr)
        return aErrNotFound;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return aErrNotFound;

    // The path buffer lives on the heap: the recursion is as deep as the tree.
    std::vector<char> entryPath(aDIR_LIST_PATH_SIZE);
    for (struct dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        if (aDirectory_JoinPath(entryPath.data(), entryPath.size(), path, entry->d_name) !=
            aErrNone)
            break;
        // lstat: a symbolic link to a directory is removed, not followed.
        struct stat st;
        bool isDirectory = lstat(entryPath.data(), &st) == 0 && S_ISDIR(st.st_mode);
        if (isDirectory) {
            if (aDirectory_DeleteTree(entryPath.data()) != aErrNone)
                break;
        } else if (unlink(entryPath.data()) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", entryPath.data());
            break;
        }
    }
    closedir(dir);
    return aDirectory_Delete(path);
}

aErr aDirectory_CWD(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return aErrParam;
    if (getcwd(buffer, size) == nullptr) {
        buffer[0] = '\0';
        return aErrParam;
    }
    return aErrNone;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return aErrParam;
    ssize_t length = readlink("/proc/self/exe", buffer, size - 1);
    if (length < 0) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[length] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return aErrParam;
    buffer[0] = '\0';

    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    size_t bufferSize = hint > 0 ? static_cast<size_t>(hint) : kPasswordBufferStart;
    std::vector<char> scratch;
    struct passwd entry;
    struct passwd* found = nullptr;
    for (;;) {
        scratch.resize(bufferSize);
        int rc = getpwuid_r(getuid(), &entry, scratch.data(), scratch.size(), &found);
        if (rc == ERANGE && bufferSize < kPasswordBufferLimit) {
            bufferSize *= 2;
            continue;
        }
        if (rc != 0)
            found = nullptr;
        break;
    }
    if (found != nullptr && found->pw_dir != nullptr && found->pw_dir[0] != '\0')
        return sCopyOut(buffer, size, found->pw_dir);

    const char* home = getenv("HOME");
    if (home != nullptr && home[0] != '\0')
        return sCopyOut(buffer, size, home);
    return aErrNotFound;
}

namespace {

aErr sBuildPath(char* buffer, size_t size, const char* first, va_list args) {
    if (buffer == nullptr || size == 0)
        return aErrParam;
    buffer[0] = '\0';

    // Collect the components first: the count and the aliasing are checked
    // before anything is written.
    const char* components[aDIR_MAX_COMPONENTS];
    int count = 0;
    for (const char* c = first; c != nullptr; c = va_arg(args, const char*)) {
        if (count == aDIR_MAX_COMPONENTS || c == buffer)
            return aErrParam;
        components[count++] = c;
    }
    if (count == 0)
        return aErrNone;

    size_t length = strnlen(components[0], size);
    if (length >= size - 1)
        return aErrOverrun;
    memcpy(buffer, components[0], length);
    buffer[length] = '\0';

    for (int i = 1; i < count; ++i) {
        const char* c = components[i];
        size_t room = size - length - 1;
        if (room > 1 && length > 0 && buffer[length - 1] != aDIR_PATH_SEP_CHAR &&
            c[0] != aDIR_PATH_SEP_CHAR) {
            buffer[length++] = aDIR_PATH_SEP_CHAR;
            buffer[length] = '\0';
            --room;
        }
        size_t componentLength = strnlen(c, room + 1);
        if (componentLength >= room)
            return aErrOverrun;
        memcpy(buffer + length, c, componentLength);
        length += componentLength;
        buffer[length] = '\0';
    }
    return aErrNone;
}

} // namespace

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    va_list args;
    va_start(args, first);
    aErr result = sBuildPath(buffer, size, first, args);
    va_end(args);
    return result;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(buffer, size, first, second, nullptr);
}

const char* backwards_memcmp(const char* string, const char* pattern) {
    if (string == nullptr || pattern == nullptr)
        return nullptr;
    size_t patternLength = strlen(pattern);
    if (patternLength == 0)
        return string;
    size_t length = strlen(string);
    if (patternLength > length)
        return nullptr;
    for (size_t start = length - patternLength + 1; start-- > 0;) {
        if (memcmp(string + start, pattern, patternLength) == 0)
            return string + start;
    }
    return nullptr;
}

std::string BuildPath(const char* first, ...) {
    std::string path;
    if (first == nullptr)
        return path;
    path = first;
    va_list args;
    va_start(args, first);
    for (const char* c = va_arg(args, const char*); c != nullptr; c = va_arg(args, const char*)) {
        path += aDIR_PATH_SEP;
        path += c;
    }
    va_end(args);
    return path;
}
