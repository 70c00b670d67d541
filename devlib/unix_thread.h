// Threads over POSIX threads, for the plain-function layer of the device
// library.
#pragma once

// A heap record holding one POSIX thread id. Opaque: use the functions below.
struct aThread;

// Entry function of a thread; its result is discarded.
typedef void* (*aThreadEntry)(void* argument);

// Starts a thread running entry(argument). Null when entry is null, when
// memory is exhausted or when the thread cannot be started. The thread runs
// until entry returns; the caller must end it by making entry return and
// then call aThread_Destroy, which joins it.
aThread* aThread_Create(aThreadEntry entry, void* argument);

// Joins the thread (blocking until its entry function returns: the caller
// makes sure it will), frees the handle and sets *thread to null. Returns
// the system's join result: 0 on success, a POSIX error number otherwise
// (EINVAL for a null pointer or handle; EDEADLK when called from the thread
// itself, in which case the handle is still freed and the thread left
// detached). Not an aErr.
int aThread_Destroy(aThread** thread);

// Gives up the processor briefly: sleeps 5 microseconds.
void aThread_Yield();

// Sleep of aThread_Yield, in microseconds.
constexpr unsigned aTHREAD_YIELD_US = 5;
