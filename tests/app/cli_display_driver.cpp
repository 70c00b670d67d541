// Drives a CLI_Display from its arguments, one action each, so a test can run
// the display on a pseudo-terminal or with redirected output and compare what
// it writes:
//   P<fraction>          update_progress(fraction, null)
//   L<fraction>:<label>  update_progress(fraction, label)
//   S<count>             update_spinner(true, null) count times
//   W<label>             update_spinner(true, label)
//   s                    update_spinner(false, null)
//   C / T                display_progress(false / true)
//   I<text> / E<text>    message at information / error level
//   M / m                mute / unmute messages
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/CLI_Display.h"

int main(int argc, char* argv[]) {
    CLI_Display display;
    for (int i = 1; i < argc; ++i) {
        const char* action = argv[i];
        const char* rest = action + 1;
        switch (action[0]) {
        case 'P':
            display.update_progress(strtod(rest, nullptr), nullptr);
            break;
        case 'L': {
            const char* colon = strchr(rest, ':');
            std::string label = colon ? colon + 1 : "";
            display.update_progress(strtod(rest, nullptr), label.c_str());
            break;
        }
        case 'S':
            for (long n = strtol(rest, nullptr, 10); n > 0; --n) {
                display.update_spinner(true, nullptr);
            }
            break;
        case 'W':
            display.update_spinner(true, rest);
            break;
        case 's':
            display.update_spinner(false, nullptr);
            break;
        case 'C':
            display.display_progress(false);
            break;
        case 'T':
            display.display_progress(true);
            break;
        case 'I':
            display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", rest);
            break;
        case 'E':
            display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", rest);
            break;
        case 'M':
            display.mute_messages(true);
            break;
        case 'm':
            display.mute_messages(false);
            break;
        default:
            return 2;
        }
    }
    return 0;
}
