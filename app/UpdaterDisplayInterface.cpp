#include "app/UpdaterDisplayInterface.h"

#include <cstdarg>
#include <cstdio>

namespace {
// Every message is formatted into this much room; longer texts are cut.
constexpr size_t kMessageBufferSize = 2048;
} // namespace

void UpdaterDisplayInterface::message(Level level, const char* format, ...) {
    if (m_muted || format == nullptr) {
        return;
    }
    char text[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    int length = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (length < 0) {
        text[0] = '\0';
    }
    if (level == LEVEL_ERROR) {
        error_message(text);
    } else {
        info_message(text);
    }
}
