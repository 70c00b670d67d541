// Helpers shared by the Updater's units (update, download, recovery). Not
// part of the Updater's interface: only updater/*.cpp include this.
#pragma once

#include <memory>
#include <string>

#include "app/UpdaterDisplayInterface.h"
#include "store/UpdaterStore.h"

// The store on updaterDirectory, or an empty owner when its constructor
// throws; the error "Failed to Create UpdaterStore in: %s - Exception: %s"
// (caller's name, the error text) has then been shown. Blocks on the disk.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& updaterDirectory,
                                                  const char* caller);

// Reads text as a build number: decimal digits only (no sign, no spaces),
// at most 32 bits. False for anything else, the empty text included, and
// value is then left alone.
bool _parseBuildNumber(const std::string& text, unsigned int& value);

// The current local time in the 24-character ctime form without its line
// break, e.g. "Tue Apr 29 10:15:00 2025", as the attribute dates are kept.
std::string _localTimeText();

// The stored name of a build's image: the build number in decimal and ".bird".
std::string _birdFileName(unsigned int build);
