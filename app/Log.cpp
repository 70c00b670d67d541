#include "app/Log.h"

#include <cstdarg>
#include <cstring>

namespace {
// Every text is formatted into this much room; longer texts are cut.
constexpr size_t kLogBufferSize = 2048;
} // namespace

uint32_t Log::s_mask = 0;
FILE* Log::s_output = nullptr;

void Log::log(uint32_t package, const char* format, ...) {
    if (!IsActive(package) || format == nullptr) {
        return;
    }
    char text[kLogBufferSize];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0 || s_output == nullptr) {
        return;
    }
    // One write per text, so lines from a worker thread do not interleave
    // with those of the main thread inside a line.
    size_t size = strnlen(text, sizeof text - 1);
    fwrite(text, 1, size, s_output);
}

void Log::SetOutput(FILE* stream) {
    s_output = stream;
}

void Log::ActivatePackage(uint32_t mask) {
    s_mask |= mask;
}

void Log::DeactivatePackage(uint32_t mask) {
    s_mask &= ~mask;
}

uint32_t Log::ActivePackages() {
    return s_mask;
}

bool Log::IsActive(uint32_t package) {
    return package == 0 || (package & s_mask) != 0;
}
