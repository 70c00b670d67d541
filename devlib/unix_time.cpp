#include "devlib/unix_time.h"

#include <cerrno>
#include <ctime>
#include <sys/time.h>

uint64_t aTime_GetMSTicks() {
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0) {
        return 0;
    }
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_usec) / 1000u;
}

void aTime_MSSleep(unsigned long milliseconds) {
    // Whole milliseconds go in slices; the arithmetic stays in microseconds
    // so that no slice exceeds aTIME_SLICE_US, and a signal that cuts a
    // slice short makes it resume with the time left.
    unsigned long long remainingUs = static_cast<unsigned long long>(milliseconds) * 1000ull;
    while (remainingUs > 0) {
        const unsigned long long sliceUs =
            remainingUs < aTIME_SLICE_US ? remainingUs : aTIME_SLICE_US;
        struct timespec request;
        request.tv_sec = static_cast<time_t>(sliceUs / 1000000ull);
        request.tv_nsec = static_cast<long>((sliceUs % 1000000ull) * 1000ull);
        struct timespec left;
        while (nanosleep(&request, &left) != 0 && errno == EINTR) {
            request = left;
        }
        remainingUs -= sliceUs;
    }
}
