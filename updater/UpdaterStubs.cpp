// Operations whose units are not part of this build yet. Each reports at error
// level and fails, so every command line already reaches its operation. A unit
// that implements an operation removes it from here.
#include "updater/Updater.h"

namespace {
void notAvailable(UpdaterDisplayInterface& display, const char* what) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s: not available in this build", what);
}
} // namespace

bool Updater::Recover_Firmware(std::string, unsigned int, unsigned int, unsigned int, std::string,
                               bool) {
    notAvailable(display(), "Recover_Firmware");
    return false;
}

bool Updater::Get_Fingerprint(Fingerprint&, std::string, unsigned int, std::string, unsigned int,
                              bool) {
    notAvailable(display(), "Get_Fingerprint");
    return false;
}

unsigned int Updater::Download_Firmware(Fingerprint, std::string, bool) {
    notAvailable(display(), "Download_Firmware");
    return 0;
}
