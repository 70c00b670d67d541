// The local firmware store: a root directory (the updater directory) with
// one directory per module, named after its serial number ("%08X"), which
// holds the module's BIRD files ("BUILD.bird") and its attribute file
// (".settings"). Names beginning with a dot are the store's own; every other
// entry of a device directory is a local build candidate.
//
// UpdaterStore owns the root; UpdaterStoreItem stands for one entry below it
// (a device directory, or a file in one) with its attributes. Both are made
// for one operation and copied by value; nothing is cached between calls,
// every lookup lists the directory afresh. Diagnostics go to the debug log
// under DEBUG_Updater. Construction and directory creation failures throw
// std::runtime_error; everything else reports through its result. All
// operations block on the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devlib/aError.h"
#include "firmware/BirdFile.h"
#include "store/KeyValueStore.h"

// What an UpdaterStoreItem names.
enum store_item_t : uint8_t {
    STORE_ITEM_FILE = 0,
    STORE_ITEM_DIRECTORY = 1,
    STORE_ITEM_NONE = 2, // an item that names nothing yet
};

// Permission bits of the directories the store creates.
constexpr uint32_t kStoreDirectoryMode = 0755;

class UpdaterStoreItem {
public:
    // An empty item: empty paths, STORE_ITEM_NONE, empty attributes tied to no
    // file.
    UpdaterStoreItem();
    // Sets the members and loads the attributes from
    // basePath/itemName/.settings, creating that file when missing (which
    // fails harmlessly, with debug-log messages only, when itemName is a
    // file: the attributes then live in memory only).
    UpdaterStoreItem(const std::string& basePath, const std::string& itemName,
                     store_item_t itemType);
    UpdaterStoreItem(const UpdaterStoreItem&) = default;
    UpdaterStoreItem& operator=(const UpdaterStoreItem&) = default;
    UpdaterStoreItem(UpdaterStoreItem&&) = default;
    UpdaterStoreItem& operator=(UpdaterStoreItem&&) = default;

    // True when both basePath and itemName are non-empty.
    bool IsValid() const;

    // True when the item's directory (basePath/itemName) holds an entry
    // named exactly fileName (not "." or ".."). Logs like
    // UpdaterStore::FindDevice.
    bool FileExists(const std::string& fileName) const;

    // Creates or truncates basePath/itemName/fileName and writes length bytes
    // of data. The data go to a temporary dot file next to it, are synced and
    // renamed over the target, so a failure or a crash never leaves a
    // truncated file and keeps an older file as it was. aErrNotFound when
    // data is null (nothing is created) or the file cannot be opened for
    // writing; aErrIO when writing, syncing or renaming fails; else aErrNone.
    aErr WriteFile(const std::string& fileName, const uint8_t* data, size_t length) const;

    // Loads basePath/itemName/fileName as a BIRD file. Throws
    // std::runtime_error "Invalid bird " followed by the full path when its
    // header is not that of a BIRD file (BirdFile::VerifyFile), and the
    // error of the BirdFile constructor ("Failed to load bird data") when it
    // does not load.
    BirdFile ReadBirdFile(const std::string& fileName) const;

    // The full path of the entry, basePath/itemName.
    std::string Path() const;

    std::string basePath;     // the directory that holds the entry
    std::string itemName;     // the entry's own name
    store_item_t itemType;    // what it names
    KeyValueStore attributes; // basePath/itemName/.settings
};

// The context of a directory search (FindDevice, FileExists).
struct result_t {
    bool found = false;               // a matching entry was met
    std::string searchName;           // the exact entry name searched for
    UpdaterStoreItem* item = nullptr; // filled with the match; null: presence only
};

class UpdaterStore {
public:
    // Stores the root path and makes sure the directory exists (with its
    // parents, mode 0755). Throws std::runtime_error:
    //   "UpdaterStore: PATH exists and is a file" when the path is not a
    //   directory;
    //   "UpdaterStore: Could not create directory PATH error E" when it
    //   cannot be created (E the aErr code in decimal).
    explicit UpdaterStore(const std::string& basePath);

    // The root directory.
    const std::string& BasePath() const { return basePath; }

    // The device directory of serial ("%08X"), or of the directory name,
    // created when missing (mode 0755; an existing one is reused and its
    // files left alone), as an item of type STORE_ITEM_DIRECTORY with its
    // attributes loaded (the attribute file created when missing). Throws
    // std::runtime_error as the constructor does when the directory cannot be
    // made.
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string& name);

    // True when the root holds an entry named exactly `name` (a device
    // directory); then fills *item (when not null) with it and loads its
    // attributes. A miss leaves *item untouched. Logs
    // "UpdaterStore: FindDevice Found|Not Found NAME.".
    bool FindDevice(const std::string& name, UpdaterStoreItem* item);
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item);

    // When the module's directory exists, appends to builds one item for
    // every entry in it whose name does not begin with a dot, in listing
    // order (files as STORE_ITEM_FILE). Otherwise leaves builds unchanged.
    // Always true.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& builds);

private:
    std::string basePath;
};

// The device directory name of a serial number: "%08X".
std::string UpdaterStore_SerialName(uint32_t serial);
