// Buffered file access over stdio, with the system's error numbers turned
// into aErr codes at this boundary.
#include "devlib/unix_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>
#include <new>

namespace {

bool sPathOk(const char* path) {
    return path != nullptr && path[0] != '\0' &&
           strnlen(path, aFILE_MAX_PATH + 1) <= aFILE_MAX_PATH;
}

bool sCanRead(const aFileHandle* h) {
    return h->mode == aFileModeRead || h->mode == aFileModeAppend;
}

bool sCanWrite(const aFileHandle* h) {
    return h->mode == aFileModeWrite || h->mode == aFileModeAppend;
}

// The error of a path operation (unlink, rename) as an aErr.
aErr sPathError(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return aErrNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
        return aErrPermission;
    case ENAMETOOLONG:
        return aErrFileNameLength;
    default:
        return aErrIO;
    }
}

} // namespace

bool aFile_Exists(const char* path) {
    if (!sPathOk(path))
        return false;
    struct stat st;
    return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileHandle* aFile_Open(const char* path, aFileMode mode) {
    // errno tells callers that log it why no handle came back, also for the
    // refusals made here before the system is asked.
    if (path == nullptr || path[0] == '\0') {
        errno = EINVAL;
        return nullptr;
    }
    if (!sPathOk(path)) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    // "e": close-on-exec, so that a file held open here never leaks into a
    // child process.
    const char* how = nullptr;
    switch (mode) {
    case aFileModeRead:
        how = "rbe";
        break;
    case aFileModeWrite:
        how = "wbe";
        break;
    case aFileModeAppend:
        how = "a+be";
        break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    // A directory opens for reading under stdio but is not a file.
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return nullptr;
    }

    aFileHandle* handle = new (std::nothrow) aFileHandle;
    if (handle == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    handle->stream = fopen(path, how);
    if (handle->stream == nullptr) {
        int error = errno;
        delete handle;
        errno = error;
        return nullptr;
    }
    if (mode == aFileModeAppend)
        fseek(handle->stream, 0, SEEK_END);
    handle->mode = mode;
    handle->check = aFILE_CHECK;
    return handle;
}

aErr aFile_Close(aFileHandle** handle) {
    if (handle == nullptr)
        return aErrParam;
    aFileHandle* h = *handle;
    *handle = nullptr;
    if (!aVALIDFILE(h))
        return aErrParam;
    int rc = fclose(h->stream);
    h->stream = nullptr;
    h->check = 0;
    delete h;
    return rc == 0 ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileHandle* handle, void* buffer, size_t length, size_t* read) {
    if (read != nullptr)
        *read = 0;
    if (!aVALIDFILE(handle) || buffer == nullptr)
        return aErrParam;
    if (!sCanRead(handle))
        return aErrMode;
    size_t count = fread(buffer, 1, length, handle->stream);
    if (read != nullptr)
        *read = count;
    if (count == 0 && length != 0) {
        bool error = ferror(handle->stream) != 0;
        clearerr(handle->stream);
        return error ? aErrIO : aErrEOF;
    }
    return aErrNone;
}

aErr aFile_Write(aFileHandle* handle, const void* data, size_t length, size_t* written) {
    if (written != nullptr)
        *written = 0;
    if (!aVALIDFILE(handle) || data == nullptr)
        return aErrParam;
    if (!sCanWrite(handle))
        return aErrMode;
    size_t count = fwrite(data, 1, length, handle->stream);
    if (written != nullptr)
        *written = count;
    if (count < length)
        clearerr(handle->stream);
    if (count == 0 && length != 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_ReadLine(aFileHandle* handle, char* buffer, size_t size, size_t* length) {
    if (length != nullptr)
        *length = 0;
    if (!aVALIDFILE(handle) || buffer == nullptr || size < 2)
        return aErrParam;
    buffer[0] = '\0';
    if (!sCanRead(handle))
        return aErrMode;
    // fgets takes an int size; a buffer larger than that is read in part.
    int chunk = size > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(size);
    if (fgets(buffer, chunk, handle->stream) == nullptr) {
        buffer[0] = '\0';
        bool error = ferror(handle->stream) != 0;
        clearerr(handle->stream);
        return error ? aErrIO : aErrEOF;
    }
    size_t n = strlen(buffer);
    if (length != nullptr)
        *length = n;
    if (n == static_cast<size_t>(chunk) - 1 && buffer[n - 1] != '\n')
        return aErrOverrun;
    return aErrNone;
}

aErr aFile_Printf(aFileHandle* handle, const char* format, ...) {
    if (!aVALIDFILE(handle) || format == nullptr)
        return aErrParam;
    if (!sCanWrite(handle))
        return aErrMode;
    va_list args;
    va_start(args, format);
    int rc = vfprintf(handle->stream, format, args);
    va_end(args);
    if (rc < 0) {
        clearerr(handle->stream);
        return aErrIO;
    }
    return aErrNone;
}

aErr aFile_Seek(aFileHandle* handle, long offset, int origin) {
    if (!aVALIDFILE(handle))
        return aErrParam;
    long base = 0;
    switch (origin) {
    case aSeekStart:
        base = 0;
        break;
    case aSeekCurrent:
        base = ftell(handle->stream);
        if (base < 0)
            return aErrIO;
        break;
    case aSeekEnd: {
        size_t size = 0;
        if (aFile_GetSize(handle, &size) != aErrNone)
            return aErrIO;
        base = static_cast<long>(size);
        break;
    }
    default:
        return aErrParam;
    }
    size_t size = 0;
    if (aFile_GetSize(handle, &size) != aErrNone)
        return aErrIO;
    long target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 ||
        static_cast<unsigned long>(target) > size)
        return aErrRange;
    if (fseek(handle->stream, target, SEEK_SET) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_GetSize(aFileHandle* handle, size_t* size) {
    if (size != nullptr)
        *size = 0;
    if (!aVALIDFILE(handle) || size == nullptr)
        return aErrParam;
    // Buffered output counts: flush it so that the system's size is current.
    if (sCanWrite(handle))
        fflush(handle->stream);
    struct stat st;
    if (fstat(fileno(handle->stream), &st) != 0 || st.st_size < 0)
        return aErrIO;
    *size = static_cast<size_t>(st.st_size);
    return aErrNone;
}

aErr aFile_GetPosition(aFileHandle* handle, size_t* position) {
    if (!aVALIDFILE(handle))
        return aErrParam;
    long where = ftell(handle->stream);
    if (where < 0)
        return aErrIO;
    if (position != nullptr)
        *position = static_cast<size_t>(where);
    return aErrNone;
}

aErr aFile_SetUnbuffered(aFileHandle* handle) {
    if (!aVALIDFILE(handle))
        return aErrParam;
    if (!sCanWrite(handle))
        return aErrMode;
    fflush(handle->stream);
    if (setvbuf(handle->stream, nullptr, _IONBF, 0) != 0)
        return aErrMode;
    return aErrNone;
}

aErr aFile_Sync(aFileHandle* handle) {
    if (!aVALIDFILE(handle))
        return aErrParam;
    if (!sCanWrite(handle))
        return aErrMode;
    if (fflush(handle->stream) != 0) {
        clearerr(handle->stream);
        return aErrIO;
    }
    if (fsync(fileno(handle->stream)) != 0)
        return aErrIO;
    return aErrNone;
}

aErr aFile_Delete(const char* path) {
    if (path == nullptr)
        return aErrParam;
    if (strnlen(path, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH)
        return aErrFileNameLength;
    if (unlink(path) != 0)
        return sPathError(errno);
    return aErrNone;
}

aErr aFile_Rename(const char* from, const char* to) {
    if (from == nullptr || to == nullptr)
        return aErrParam;
    if (strnlen(from, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH ||
        strnlen(to, aFILE_MAX_PATH + 1) > aFILE_MAX_PATH)
        return aErrFileNameLength;
    if (rename(from, to) != 0)
        return sPathError(errno);
    return aErrNone;
}

aErr aFile_SyncDirectory(const char* dirPath) {
    if (dirPath == nullptr)
        return aErrParam;
    int fd = open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return aErrNotFound;
    int rc = fsync(fd);
    close(fd);
    return rc == 0 ? aErrNone : aErrIO;
}
