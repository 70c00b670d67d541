#include "devlib/unix_mutex.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <pthread.h>

struct aMutex {
    pthread_mutex_t mutex;
    char name[aMUTEX_MAXNAME + 1];
};

aMutex* aMutex_Create(const char* name) {
    const size_t length = name != nullptr ? strnlen(name, aMUTEX_MAXNAME + 1) : 0;
    if (length > aMUTEX_MAXNAME) {
        return nullptr;
    }
    aMutex* mutex = new (std::nothrow) aMutex;
    if (mutex == nullptr) {
        return nullptr;
    }
    if (pthread_mutex_init(&mutex->mutex, nullptr) != 0) {
        delete mutex;
        return nullptr;
    }
    if (length > 0) {
        std::memcpy(mutex->name, name, length);
    }
    mutex->name[length] = '\0';
    return mutex;
}

const char* aMutex_Identifier(const aMutex* mutex) {
    return mutex != nullptr ? mutex->name : "";
}

aErr aMutex_ErrorFromErrno(aMutexOperation operation, int error) {
    if (error == 0) {
        return aErrNone;
    }
    if (error == EINVAL) {
        return aErrParam;
    }
    switch (operation) {
    case aMutexOpLock:
        return error == EDEADLK ? aErrDuplicate : aErrUnknown;
    case aMutexOpTryLock:
        return error == EBUSY ? aErrBusy : aErrUnknown;
    case aMutexOpUnlock:
        return error == EPERM ? aErrPermission : aErrUnknown;
    case aMutexOpDestroy:
        return error == EBUSY ? aErrBusy : error == EAGAIN ? aErrResource : aErrUnknown;
    }
    return aErrUnknown;
}

aErr aMutex_Lock(aMutex* mutex) {
    if (mutex == nullptr) {
        return aErrParam;
    }
    return aMutex_ErrorFromErrno(aMutexOpLock, pthread_mutex_lock(&mutex->mutex));
}

aErr aMutex_TryLock(aMutex* mutex) {
    if (mutex == nullptr) {
        return aErrParam;
    }
    return aMutex_ErrorFromErrno(aMutexOpTryLock, pthread_mutex_trylock(&mutex->mutex));
}

aErr aMutex_Unlock(aMutex* mutex) {
    if (mutex == nullptr) {
        return aErrParam;
    }
    return aMutex_ErrorFromErrno(aMutexOpUnlock, pthread_mutex_unlock(&mutex->mutex));
}

aErr aMutex_Destroy(aMutex** mutex) {
    if (mutex == nullptr || *mutex == nullptr) {
        return aErrParam;
    }
    const aErr result =
        aMutex_ErrorFromErrno(aMutexOpDestroy, pthread_mutex_destroy(&(*mutex)->mutex));
    delete *mutex;
    *mutex = nullptr;
    return result;
}
