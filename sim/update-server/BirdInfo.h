// The simulator's own reader of a BIRD file's info block: just enough of the
// format to list a build with its version. It shares nothing with the
// application's reader, so a misreading on either side shows in the tests.
#pragma once

#include <string>

struct BirdInfo {
    std::string build;   // the info block's build field, digits only
    std::string version; // the version field up to its first space
    std::string serial;  // the 8-character serial field
    std::string model;   // the model field without its trailing spaces
};

// Reads the file's info block. False (with a reason in why) when the file
// cannot be read, is not a BIRD file, does not inflate, or has no complete
// info block; nothing is read outside the file or its inflated content.
bool readBirdInfo(const std::string& path, BirdInfo& info, std::string& why);
