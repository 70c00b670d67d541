#include "devlib/unix_thread.h"

#include <cerrno>
#include <new>
#include <pthread.h>
#include <unistd.h>

struct aThread {
    pthread_t id;
};

aThread* aThread_Create(aThreadEntry entry, void* argument) {
    if (entry == nullptr) {
        return nullptr;
    }
    aThread* thread = new (std::nothrow) aThread;
    if (thread == nullptr) {
        return nullptr;
    }
    if (pthread_create(&thread->id, nullptr, entry, argument) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

int aThread_Destroy(aThread** thread) {
    if (thread == nullptr || *thread == nullptr) {
        return EINVAL;
    }
    int result;
    if (pthread_equal((*thread)->id, pthread_self())) {
        // A thread cannot join itself; let it end on its own.
        pthread_detach((*thread)->id);
        result = EDEADLK;
    } else {
        result = pthread_join((*thread)->id, nullptr);
    }
    delete *thread;
    *thread = nullptr;
    return result;
}

void aThread_Yield() {
    usleep(aTHREAD_YIELD_US);
}
