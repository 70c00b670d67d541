// The local firmware store: device directories, exact-name searches, local
// build lists and crash-safe file writes.
#include "store/UpdaterStore.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "app/Log.h"
#include "devlib/aDirectory.h"
#include "devlib/unix_file.h"

namespace {

// The entry's own name: the part of its full path after the last separator.
const char* sEntryName(const char* entryPath) {
    const char* slash = strrchr(entryPath, aDIR_PATH_SEP_CHAR);
    return slash == nullptr ? entryPath : slash + 1;
}

bool sIsDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Makes sure path is a directory, creating it and its parents when missing.
void sEnsureDirectory(const std::string& path) {
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str()))
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    aErr error = aDirectory_Ensure(path.c_str(), kStoreDirectoryMode);
    // A name taken by something that is not a directory (a dangling link,
    // for one) passes aDirectory_Ensure but is no store directory.
    if (error == aErrNone && !aDirectory_Exists(path.c_str()))
        error = aErrPermission;
    if (error != aErrNone)
        throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                                 std::to_string(error));
    Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

// Listing callback of the searches: stops at the entry whose name equals the
// searched name exactly. A name that merely contains it (00000ABC.old for
// 00000ABC) is another entry and must not stand in for it.
bool sFindItem(const aDirectoryListData* data, void* context) {
    result_t* result = static_cast<result_t*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->entryPath,
             data->isDirectory, static_cast<int>(data->entrySize), result->searchName.c_str());
    const char* name = sEntryName(data->entryPath);
    if (sIsDotEntry(name) || result->searchName != name)
        return true;
    result->found = true;
    if (result->item != nullptr) {
        std::string base(data->entryPath, static_cast<size_t>(name - data->entryPath));
        if (base.size() > 1)
            base.pop_back(); // the separator before the name
        *result->item = UpdaterStoreItem(
            base, name, data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    }
    return false;
}

// Runs the exact-name search of `name` in directory and logs the outcome.
bool sSearch(const std::string& directory, const std::string& name, UpdaterStoreItem* item) {
    result_t result;
    result.searchName = name;
    result.item = item;
    aDirectory_List(directory.c_str(), sFindItem, &result);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n",
             result.found ? "Found" : "Not Found", name.c_str());
    return result.found;
}

struct CollectContext {
    std::string directory;
    std::vector<UpdaterStoreItem>* builds;
};

bool sFindItems(const aDirectoryListData* data, void* context) {
    CollectContext* collect = static_cast<CollectContext*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", data->entryPath, data->isDirectory,
             static_cast<int>(data->entrySize));
    const char* name = sEntryName(data->entryPath);
    if (name[0] == '.')
        return true;
    collect->builds->emplace_back(collect->directory, name,
                                  data->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
    return true;
}

} // namespace

std::string UpdaterStore_SerialName(uint32_t serial) {
    char name[16];
    snprintf(name, sizeof name, "%08X", serial);
    return name;
}

// ---- UpdaterStoreItem ----

UpdaterStoreItem::UpdaterStoreItem() : itemType(STORE_ITEM_NONE) {}

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& name,
                                   store_item_t type)
    : basePath(base), itemName(name), itemType(type) {
    attributes.Load(
        BuildPath(basePath.c_str(), itemName.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr)
            .c_str());
}

bool UpdaterStoreItem::IsValid() const {
    return !basePath.empty() && !itemName.empty();
}

std::string UpdaterStoreItem::Path() const {
    return BuildPath(basePath.c_str(), itemName.c_str(), nullptr);
}

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
    return sSearch(Path(), fileName, nullptr);
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const uint8_t* data,
                                 size_t length) const {
    if (data == nullptr)
        return aErrNotFound;
    std::string directory = Path();
    std::string target = BuildPath(directory.c_str(), fileName.c_str(), nullptr);
    // The temporary name begins with a dot, so that a leftover after a crash
    // is never offered as a local build.
    std::string temporary = KeyValueStore_TemporaryPath(directory, fileName);

    aFileHandle* file = aFile_Open(temporary.c_str(), aFileModeWrite);
    if (file == nullptr)
        return aErrNotFound;
    size_t written = 0;
    aErr error = aFile_Write(file, data, length, &written);
    if (error == aErrNone && written != length)
        error = aErrIO;
    if (error == aErrNone && aFile_Sync(file) != aErrNone)
        error = aErrIO;
    if (aFile_Close(&file) != aErrNone && error == aErrNone)
        error = aErrIO;
    if (error == aErrNone && aFile_Rename(temporary.c_str(), target.c_str()) != aErrNone)
        error = aErrIO;
    if (error != aErrNone) {
        aFile_Delete(temporary.c_str());
        return error;
    }
    aFile_SyncDirectory(directory.c_str());
    return aErrNone;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
    std::string path = BuildPath(basePath.c_str(), itemName.c_str(), fileName.c_str(), nullptr);
    if (!BirdFile::VerifyFile(path.c_str()))
        throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path.c_str());
}

// ---- UpdaterStore ----

UpdaterStore::UpdaterStore(const std::string& base) : basePath(base) {
    sEnsureDirectory(basePath);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
    return AddDevice(UpdaterStore_SerialName(serial));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
    sEnsureDirectory(BuildPath(basePath.c_str(), name.c_str(), nullptr));
    return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) {
    return sSearch(basePath, name, item);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) {
    return FindDevice(UpdaterStore_SerialName(serial), item);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& builds) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device))
        return true;
    CollectContext collect{device.Path(), &builds};
    aDirectory_List(collect.directory.c_str(), sFindItems, &collect);
    return true;
}
