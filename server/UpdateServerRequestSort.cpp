// Ordering of build lists by version, newest first.
#include "server/UpdateServerRequest.h"

#include <algorithm>
#include <cstdint>

#include "app/Log.h"
#include "devlib/aVersion.h"

namespace {

// A version reduced to what the ordering compares: each part's low 8 bits.
struct VersionKey {
    uint8_t major = 0;
    uint8_t minor = 0;
    uint8_t patch = 0;
};

// Reads one part as an unsigned decimal number: digits only, at least one,
// and within 32 bits. On failure stores why in error.
bool sConvertPart(const std::string& part, uint8_t& lowBits, std::string& error) {
    if (part.empty()) {
        error = "empty version part";
        return false;
    }
    uint64_t value = 0;
    for (char c : part) {
        if (c < '0' || c > '9') {
            error = "not a decimal number [" + part + "]";
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            error = "version part out of range [" + part + "]";
            return false;
        }
    }
    lowBits = static_cast<uint8_t>(value & 0xFF);
    return true;
}

enum class KeyResult { Ok, NotThreeParts, ConversionFailed };

KeyResult sVersionKey(const std::string& version, VersionKey& key, std::string& error) {
    std::vector<std::string> parts = UpdateServerRequest::SplitCorvantisVersion(version);
    if (parts.size() != 3) {
        return KeyResult::NotThreeParts;
    }
    if (!sConvertPart(parts[0], key.major, error) || !sConvertPart(parts[1], key.minor, error) ||
        !sConvertPart(parts[2], key.patch, error)) {
        return KeyResult::ConversionFailed;
    }
    return KeyResult::Ok;
}

void sLogConversionFailure(const std::string& error) {
    Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
             error.c_str());
}

// a greater than b, major first.
bool sGreater(const VersionKey& a, const VersionKey& b) {
    return !aVersion_IsAtLeastCompare(b.major, b.minor, b.patch, a.major, a.minor, a.patch);
}

} // namespace

bool UpdateServerRequest::_sortVersion(const BuildEntry& a, const BuildEntry& b) {
    VersionKey keyA;
    VersionKey keyB;
    std::string error;
    KeyResult resultA = sVersionKey(a.second, keyA, error);
    if (resultA == KeyResult::ConversionFailed) {
        sLogConversionFailure(error);
        return false;
    }
    KeyResult resultB = sVersionKey(b.second, keyB, error);
    if (resultB == KeyResult::ConversionFailed) {
        sLogConversionFailure(error);
        return false;
    }
    if (resultA != KeyResult::Ok || resultB != KeyResult::Ok) {
        return false;
    }
    return sGreater(keyA, keyB);
}

std::vector<UpdateServerRequest::BuildEntry>
UpdateServerRequest::SortBuildsByVersion(const std::map<std::string, std::string>& builds) {
    // _sortVersion calls every unreadable version equal to everything, which
    // is no strict weak ordering; handing it to std::sort over such entries
    // is undefined behaviour. So the readable versions are sorted on their
    // keys alone and the unreadable ones follow in key order.
    struct Keyed {
        VersionKey key;
        const BuildEntry* entry;
    };
    std::vector<BuildEntry> entries(builds.begin(), builds.end());
    std::vector<Keyed> readable;
    std::vector<const BuildEntry*> unreadable;
    readable.reserve(entries.size());
    for (const BuildEntry& entry : entries) {
        Keyed keyed{VersionKey(), &entry};
        std::string error;
        KeyResult result = sVersionKey(entry.second, keyed.key, error);
        if (result == KeyResult::Ok) {
            readable.push_back(keyed);
        } else {
            if (result == KeyResult::ConversionFailed) {
                sLogConversionFailure(error);
            }
            unreadable.push_back(&entry);
        }
    }
    // Stable, so builds of equal versions stay in key order.
    std::stable_sort(readable.begin(), readable.end(),
                     [](const Keyed& a, const Keyed& b) { return sGreater(a.key, b.key); });
    std::vector<BuildEntry> sorted;
    sorted.reserve(entries.size());
    for (const Keyed& keyed : readable) {
        sorted.push_back(*keyed.entry);
    }
    for (const BuildEntry* entry : unreadable) {
        sorted.push_back(*entry);
    }
    return sorted;
}
