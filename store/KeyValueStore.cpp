// KeyValueStore: loading, parsing, typed access and the crash-safe save.
#include "store/KeyValueStore.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/Log.h"
#include "devlib/aDirectory.h"
#include "devlib/unix_file.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

// Lines shorter than this (line end included) carry no entry.
constexpr size_t kMinimumLineLength = 3;
// ctime() text without its line feed.
constexpr size_t kTimeTextLength = 24;
// Room for any formatted number ("%f" of the largest double needs 317).
constexpr size_t kNumberTextSize = 400;

bool sIsSpace(char c) {
    return isspace(static_cast<unsigned char>(c)) != 0;
}

} // namespace

std::string KeyValueStore_TemporaryPath(const std::string& directory, const std::string& name) {
    // Process id and a per-process counter: two writers (processes or
    // threads) never share a temporary file.
    static std::atomic<unsigned> counter{0};
    std::string temporary =
        "." + name + ".tmp" + std::to_string(getpid()) + "." + std::to_string(counter++);
    return BuildPath(directory.c_str(), temporary.c_str(), nullptr);
}

std::string KeyValueStore_Now() {
    time_t now = time(nullptr);
    char text[64] = {0};
    if (ctime_r(&now, text) == nullptr)
        return std::string();
    std::string result(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r'))
        result.pop_back();
    if (result.size() > kTimeTextLength)
        result.resize(kTimeTextLength);
    return result;
}

KeyValueStore::KeyValueStore() = default;

KeyValueStore::KeyValueStore(const char* name) {
    if (name != nullptr)
        Load(name);
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto it = values.find(key);
    return it == values.end() ? nullptr : it->second.c_str();
}

const char* KeyValueStore::sNumericText(const std::string& key) {
    auto it = values.find(key);
    if (it == values.end()) {
        // The missing key is recorded empty, so that a later Save shows the
        // key the program looked for; this is not a change of any value.
        values.emplace(key, std::string());
        return nullptr;
    }
    return it->second.empty() ? nullptr : it->second.c_str();
}

int KeyValueStore::GetInt(const std::string& key, int fallback) {
    const char* text = sNumericText(key);
    if (text == nullptr)
        return fallback;
    long value = strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t fallback) {
    const char* text = sNumericText(key);
    if (text == nullptr)
        return fallback;
    unsigned long long value = strtoull(text, nullptr, 16);
    return value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
}

bool KeyValueStore::GetBOOL(const std::string& key, bool fallback) {
    const char* text = sNumericText(key);
    if (text == nullptr)
        return fallback;
    return strtol(text, nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double fallback) {
    const char* text = sNumericText(key);
    if (text == nullptr)
        return fallback;
    return strtod(text, nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const char* fallback) const {
    auto it = values.find(key);
    if (it != values.end())
        return it->second;
    return fallback != nullptr ? std::string(fallback) : std::string();
}

bool KeyValueStore::sSet(const std::string& key, const std::string& text) {
    auto it = values.find(key);
    const std::string current = it == values.end() ? std::string() : it->second;
    if (current != text)
        dirty = true;
    values[key] = text;
    return true;
}

bool KeyValueStore::Add(const std::string& key, int value) {
    char text[kNumberTextSize];
    snprintf(text, sizeof text, "%d", value);
    return sSet(key, text);
}

bool KeyValueStore::Add(const std::string& key, double value) {
    char text[kNumberTextSize];
    snprintf(text, sizeof text, "%f", value);
    return sSet(key, text);
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return sSet(key, value != nullptr ? std::string(value) : std::string());
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    return sSet(key, value);
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value) {
    char text[kNumberTextSize];
    snprintf(text, sizeof text, "0x%08X", value);
    return sSet(key, text);
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    if (&other != this) {
        for (const auto& entry : other.values)
            values[entry.first] = entry.second;
    }
    dirty = true;
    return true;
}

bool KeyValueStore::Clear() {
    values.clear();
    dirty = true;
    return true;
}

void KeyValueStore::sParseLine(const char* line, size_t length) {
    if (length < kMinimumLineLength || line[0] == '#')
        return;
    const char* end = line + length;
    const char* p = line;
    while (p < end && sIsSpace(*p))
        ++p;
    const char* equals = static_cast<const char*>(memchr(p, '=', static_cast<size_t>(end - p)));
    if (equals == nullptr)
        return;
    const char* keyEnd = equals;
    while (keyEnd > p && sIsSpace(keyEnd[-1]))
        --keyEnd;
    if (keyEnd == p)
        return;
    const char* value = equals + 1;
    while (value < end && sIsSpace(*value))
        ++value;
    const char* valueEnd = end;
    while (valueEnd > value && sIsSpace(valueEnd[-1]))
        --valueEnd;
    values[std::string(p, keyEnd)] = std::string(value, valueEnd);
}

aErr KeyValueStore::Load(const char* name) {
    if (name == nullptr)
        return aErrParam;
    aFileHandle* file = aFile_Open(name, aFileModeRead);
    if (file == nullptr) {
        int error = errno;
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 name, error);
        Add(KEY_CREATED_TIME, KeyValueStore_Now());
        Save(name);
    }
    fileName = name;
    dirty = false;
    if (file == nullptr)
        return aErrParam;

    char line[kLineBufferSize];
    size_t length = 0;
    while (aFile_ReadLine(file, line, sizeof line, &length) == aErrNone)
        sParseLine(line, length);
    return aFile_Close(&file);
}

bool KeyValueStore::sWriteFile(const std::string& path) {
    // The new content goes to a dot file next to the target (so that the
    // store never offers it as a build), is synced, and then replaces the
    // target in one rename: a crash leaves either the old or the new file.
    std::string directory = ".";
    std::string base = path;
    size_t slash = path.rfind(aDIR_PATH_SEP_CHAR);
    if (slash != std::string::npos) {
        directory = slash == 0 ? std::string(aDIR_PATH_SEP) : path.substr(0, slash);
        base = path.substr(slash + 1);
    }
    std::string temporary = KeyValueStore_TemporaryPath(directory, base);

    aFileHandle* file = aFile_Open(temporary.c_str(), aFileModeWrite);
    if (file == nullptr)
        return false;
    bool ok = true;
    for (const auto& entry : values) {
        std::string text = entry.first + "=" + entry.second + "\n";
        size_t written = 0;
        if (aFile_Write(file, text.data(), text.size(), &written) != aErrNone ||
            written != text.size()) {
            ok = false;
            break;
        }
    }
    int error = 0;
    if (ok && aFile_Sync(file) != aErrNone) {
        error = errno;
        ok = false;
    }
    if (aFile_Close(&file) != aErrNone)
        ok = false;
    if (ok && aFile_Rename(temporary.c_str(), path.c_str()) != aErrNone) {
        error = errno;
        ok = false;
    }
    if (!ok) {
        aFile_Delete(temporary.c_str());
        errno = error;
        return false;
    }
    aFile_SyncDirectory(directory.c_str());
    return true;
}

void KeyValueStore::Save(const char* name) {
    if (name != nullptr) {
        fileName = name;
    } else if (fileName.empty()) {
        fileName = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n",
                 fileName.c_str());
    }
    if (dirty)
        values[KEY_UPDATED_TIME] = KeyValueStore_Now();

    errno = 0;
    if (!sWriteFile(fileName)) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 fileName.c_str(), errno);
        return;
    }
    dirty = false;
}
