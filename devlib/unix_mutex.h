// Named mutexes over POSIX threads, for the plain-function layer of the
// device library. System error numbers become aErr codes here.
#pragma once

#include <cstddef>

#include "devlib/aError.h"

// Longest mutex name, in characters.
constexpr size_t aMUTEX_MAXNAME = 255;

// A heap record holding one POSIX mutex with default attributes (not
// recursive) and its name. Opaque: use the functions below.
struct aMutex;

// A new unlocked mutex named name (null or "" for none). Null when the name
// has 256 characters or more, when memory is exhausted or when the mutex
// cannot be initialised. The caller frees it with aMutex_Destroy.
aMutex* aMutex_Create(const char* name);

// The mutex's name ("" for none, or for a null mutex). Valid until the mutex
// is destroyed.
const char* aMutex_Identifier(const aMutex* mutex);

// Locks the mutex, blocking without bound until it is free. aErrParam for a
// null mutex or EINVAL; aErrDuplicate for EDEADLK (the calling thread
// already holds it, when the system detects it); aErrUnknown for any other
// refusal.
aErr aMutex_Lock(aMutex* mutex);

// Locks the mutex when it is free; never blocks. aErrBusy when another holder
// has it (EBUSY); aErrParam for a null mutex or EINVAL; aErrUnknown otherwise.
aErr aMutex_TryLock(aMutex* mutex);

// Unlocks the mutex. aErrPermission when the calling thread does not hold it
// and the system refuses (EPERM); aErrParam for a null mutex or EINVAL;
// aErrUnknown otherwise. Never blocks.
aErr aMutex_Unlock(aMutex* mutex);

// Destroys the mutex, frees the record and sets *mutex to null in every case
// (even when the system reports an error). aErrParam for a null pointer or
// null mutex, or EINVAL; aErrBusy for EBUSY (still locked: the record is
// freed regardless, so never destroy a held mutex); aErrResource for EAGAIN;
// aErrUnknown otherwise. Never blocks.
aErr aMutex_Destroy(aMutex** mutex);

// The operations whose system error numbers are turned into aErr codes.
enum aMutexOperation { aMutexOpLock, aMutexOpTryLock, aMutexOpUnlock, aMutexOpDestroy };

// The aErr code for a POSIX error number returned by an operation (0 gives
// aErrNone): EINVAL aErrParam for all; EDEADLK aErrDuplicate (lock); EBUSY
// aErrBusy (try-lock, destroy); EPERM aErrPermission (unlock); EAGAIN
// aErrResource (destroy); any other aErrUnknown. The functions above use it;
// it is public so that code wrapping other POSIX primitives maps the same way.
aErr aMutex_ErrorFromErrno(aMutexOperation operation, int error);
