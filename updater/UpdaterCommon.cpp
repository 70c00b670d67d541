#include "updater/UpdaterCommon.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <limits>

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& updaterDirectory,
                                                  const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(updaterDirectory);
    } catch (const std::exception& e) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller ? caller : "", e.what());
        return nullptr;
    }
}

bool _parseBuildNumber(const std::string& text, unsigned int& value) {
    if (text.empty())
        return false;
    unsigned long long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<unsigned>(c - '0');
        if (number > std::numeric_limits<unsigned int>::max())
            return false;
    }
    value = static_cast<unsigned int>(number);
    return true;
}

std::string _localTimeText() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    // The ctime layout, without its trailing line break.
    if (std::strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local) == 0)
        return {};
    return text;
}

std::string _birdFileName(unsigned int build) {
    return std::to_string(build) + ".bird";
}
