// Packed firmware version numbers, the library's own version and its
// feature list.
//
// A packed version has two forms. The legacy form keeps major in bits 28-31,
// minor in bits 24-27 and patch in bits 0-23; the current form keeps major in
// bits 16-23, minor in bits 8-15 and patch in bits 0-7.
#pragma once

#include <cstddef>
#include <cstdint>

// True when the packed value is in the legacy form.
bool aVersion_IsLegacyFormat(uint32_t packed);
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);
// Writes "%d.%d.%d" of the three parts into buffer (size bytes, always
// terminated when size > 0). Returns the length of the full text.
size_t aVersion_ParseString(uint32_t packed, char* buffer, size_t size);
// Packs a version: the current form when major > 2, or major == 2 and
// minor > 14; otherwise the legacy form.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch);

// The library's own version: 2.11.2.
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
const char* aVersion_GetString();

// True when refMajor.refMinor.refPatch is at or above major.minor.patch,
// comparing the parts as unsigned 8-bit numbers, major first.
bool aVersion_IsAtLeastCompare(uint8_t refMajor, uint8_t refMinor, uint8_t refPatch,
                               uint8_t major, uint8_t minor, uint8_t patch);
// The library's version compared in the same way.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True for the features the library has ("VERSION").
bool aVersion_HasFeature(const char* name);
// A newly allocated text listing each feature as "NAME - description"; the
// caller frees it with aVersion_DestroyFeatureList, which also clears the pointer.
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
