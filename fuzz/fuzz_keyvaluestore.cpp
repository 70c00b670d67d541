// Fuzz target of the attribute-file loader: any file content must load
// without a read outside its lines, give only well-formed entries, and come
// back unchanged through a save and a second load.
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "store/KeyValueStore.h"

namespace {

std::string& scratchPath() {
    static std::string path;
    return path;
}

// Removes the scratch files and their directory when the fuzzer exits.
void removeScratch() {
    const std::string& dir = scratchPath();
    if (dir.empty())
        return;
    for (const char* name : {"/input", "/saved"})
        unlink((dir + name).c_str());
    // The saves' temporary files are gone after each save; rmdir fails
    // harmlessly if one was left by a crash.
    rmdir(dir.c_str());
}

// One scratch directory per fuzzing process, below TMPDIR, or /dev/shm when
// it exists (the saves sync their files, which a memory file system makes
// cheap), else /tmp.
const std::string& scratchDirectory() {
    static std::string path = [] {
        const char* base = getenv("TMPDIR");
        if (base == nullptr || base[0] == '\0')
            base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string templ = std::string(base) + "/fuzz_keyvaluestore.XXXXXX";
        char* made = mkdtemp(&templ[0]);
        if (made == nullptr)
            abort();
        scratchPath() = made;
        atexit(removeScratch);
        return std::string(made);
    }();
    return path;
}

bool writeAll(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

void check(bool condition) {
    if (!condition)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input = scratchDirectory() + "/input";
    const std::string saved = scratchDirectory() + "/saved";
    if (!writeAll(input, data, size))
        return 0;

    KeyValueStore store;
    check(store.Load(input.c_str()) == aErrNone);
    check(!store.IsDirty());
    for (const auto& entry : store.Values()) {
        const std::string& key = entry.first;
        const std::string& value = entry.second;
        check(!key.empty());
        check(key.find('=') == std::string::npos);
        check(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
        check(key.size() + value.size() < KeyValueStore::kLineBufferSize);
        check(!isspace(static_cast<unsigned char>(key.front())));
        check(!isspace(static_cast<unsigned char>(key.back())));
        if (!value.empty()) {
            check(!isspace(static_cast<unsigned char>(value.front())));
            check(!isspace(static_cast<unsigned char>(value.back())));
        }
        // The typed getters accept any text.
        KeyValueStore copy = store;
        (void)copy.GetInt(key, 1);
        (void)copy.GetHex(key, 1);
        (void)copy.GetDouble(key, 1.0);
        (void)copy.GetBOOL(key, true);
    }

    // A saved store loads back to the same entries, except keys beginning
    // with "#", which the writer puts at the start of a line where the
    // reader takes them for comments.
    store.Save(saved.c_str());
    check(!store.IsDirty());
    KeyValueStore reloaded;
    check(reloaded.Load(saved.c_str()) == aErrNone);
    auto expected = store.Values();
    for (auto it = expected.begin(); it != expected.end();)
        it = it->first[0] == '#' ? expected.erase(it) : std::next(it);
    check(reloaded.Values() == expected);
    return 0;
}
