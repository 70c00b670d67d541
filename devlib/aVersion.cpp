#include "devlib/aVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct Feature {
    const char* name;
    const char* description;
};

const Feature FEATS[] = {
    {"VERSION", "Version Query API"},
};
constexpr size_t NUM_FEATS = sizeof(FEATS) / sizeof(FEATS[0]);

constexpr uint32_t kLegacyPatchMask = 0x00FFFFFF;
constexpr uint8_t kFirstCurrentMajor = 2;
constexpr uint8_t kFirstCurrentMinor = 15;

bool sIsCurrentVersion(uint8_t major, uint8_t minor) {
    return major > kFirstCurrentMajor ||
           (major == kFirstCurrentMajor && minor >= kFirstCurrentMinor);
}

} // namespace

bool aVersion_IsLegacyFormat(uint32_t packed) {
    return !sIsCurrentVersion(static_cast<uint8_t>(packed >> 28),
                              static_cast<uint8_t>((packed >> 24) & 0x0F));
}

uint8_t aVersion_ParseMajor(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>(packed >> 28)
                                           : static_cast<uint8_t>(packed >> 16);
}

uint8_t aVersion_ParseMinor(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? static_cast<uint8_t>((packed >> 24) & 0x0F)
                                           : static_cast<uint8_t>(packed >> 8);
}

uint32_t aVersion_ParsePatch(uint32_t packed) {
    return aVersion_IsLegacyFormat(packed) ? packed & kLegacyPatchMask : packed & 0xFF;
}

size_t aVersion_ParseString(uint32_t packed, char* buffer, size_t size) {
    char text[32];
    const int length = std::snprintf(text, sizeof(text), "%u.%u.%u",
                                     static_cast<unsigned>(aVersion_ParseMajor(packed)),
                                     static_cast<unsigned>(aVersion_ParseMinor(packed)),
                                     static_cast<unsigned>(aVersion_ParsePatch(packed)));
    if (length < 0) {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        return 0;
    }
    if (buffer != nullptr && size > 0) {
        std::snprintf(buffer, size, "%s", text);
    }
    return static_cast<size_t>(length);
}

uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch) {
    if (sIsCurrentVersion(major, minor)) {
        return (aVERSION_MARKER << 24) | (static_cast<uint32_t>(major) << 16) |
               (static_cast<uint32_t>(minor) << 8) | (patch & 0xFF);
    }
    return (static_cast<uint32_t>(major & 0x0F) << 28) |
           (static_cast<uint32_t>(minor & 0x0F) << 24) | (patch & kLegacyPatchMask);
}

uint8_t aVersion_GetMajor() {
    return aVERSION_MAJOR;
}
uint8_t aVersion_GetMinor() {
    return aVERSION_MINOR;
}
uint8_t aVersion_GetPatch() {
    return aVERSION_PATCH;
}

const char* aVersion_GetString() {
    // Built on first use; the initialisation of a function-local static is
    // thread-safe.
    static char text[32];
    static const char* const built = [] {
        std::snprintf(text, sizeof(text), "%d.%d%s%d", aVERSION_MAJOR, aVERSION_MINOR,
                      aVERSION_PHASE, aVERSION_PATCH);
        return text;
    }();
    return built;
}

bool aVersion_IsAtLeastCompare(uint8_t refMajor, uint8_t refMinor, uint8_t refPatch, uint8_t major,
                               uint8_t minor, uint8_t patch) {
    if (refMajor != major) {
        return refMajor > major;
    }
    if (refMinor != minor) {
        return refMinor > minor;
    }
    return refPatch >= patch;
}

bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return aVersion_IsAtLeastCompare(aVERSION_MAJOR, aVERSION_MINOR, aVERSION_PATCH, major, minor,
                                     patch);
}

bool aVersion_HasFeature(const char* name) {
    if (name == nullptr) {
        return false;
    }
    for (const Feature& feature : FEATS) {
        if (std::strcmp(feature.name, name) == 0) {
            return true;
        }
    }
    return false;
}

char* aVersion_GetFeatureList() {
    static const char kSeparator[] = " - ";
    size_t size = 1;
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        size += (i > 0 ? 1 : 0) + std::strlen(FEATS[i].name) + std::strlen(kSeparator) +
                std::strlen(FEATS[i].description);
    }
    char* list = static_cast<char*>(std::malloc(size));
    if (list == nullptr) {
        return nullptr;
    }
    list[0] = '\0';
    for (size_t i = 0; i < NUM_FEATS; ++i) {
        if (i > 0) {
            std::strcat(list, "\n");
        }
        std::strcat(list, FEATS[i].name);
        std::strcat(list, kSeparator);
        std::strcat(list, FEATS[i].description);
    }
    return list;
}

void aVersion_DestroyFeatureList(char** list) {
    if (list == nullptr) {
        return;
    }
    std::free(*list);
    *list = nullptr;
}
