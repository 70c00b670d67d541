// Packed firmware version numbers, the library's own version and its
// feature list.
//
// Modules report their firmware version as one packed 32-bit number, in one
// of two forms:
//   legacy   major in bits 28-31, minor in bits 24-27, patch in bits 0-23;
//   current  the marker 0x2F in bits 24-31, major in bits 16-23, minor in
//            bits 8-15, patch in bits 0-7.
// The marker reads as version 2.15 in the legacy layout, and every legacy
// value is below 2.15, which is how the two are told apart.
#pragma once

#include <cstddef>
#include <cstdint>

// Top byte of a value in the current form.
constexpr uint32_t aVERSION_MARKER = 0x2F;
// Separator between minor and patch in the library's version text.
#define aVERSION_PHASE "."

// The library's own version.
constexpr uint8_t aVERSION_MAJOR = 2;
constexpr uint8_t aVERSION_MINOR = 11;
constexpr uint8_t aVERSION_PATCH = 2;

// True when the packed value is in the legacy form: its top nibble (as
// major) and second nibble (as minor) make a version below 2.15.
bool aVersion_IsLegacyFormat(uint32_t packed);

// The parts of a packed value in either form (legacy: bits 28-31, 24-27 and
// 0-23; current: bits 16-23, 8-15 and 0-7).
uint8_t aVersion_ParseMajor(uint32_t packed);
uint8_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);

// Writes "%d.%d.%d" of the three parts into buffer (size bytes, always
// terminated when size > 0; nothing is written for a null buffer or size 0).
// Returns the length of the full text, which may exceed size - 1 when the
// buffer was too small (as snprintf does).
size_t aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

// Packs a version: the current form when major > 2, or major == 2 and
// minor > 14 (the low 8 bits of patch); otherwise the legacy form (the low
// 4 bits of major and minor, the low 24 bits of patch).
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint32_t patch);

// The library's own version: 2.11.2, and its text "2.11.2" (static, built
// once; never freed).
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
const char* aVersion_GetString();

// True when refMajor.refMinor.refPatch is at or above major.minor.patch,
// comparing the parts as unsigned 8-bit numbers, major first.
bool aVersion_IsAtLeastCompare(uint8_t refMajor, uint8_t refMinor, uint8_t refPatch, uint8_t major,
                               uint8_t minor, uint8_t patch);
// True when the library's version is at or above major.minor.patch.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True for the features the library has ("VERSION"); false for null.
bool aVersion_HasFeature(const char* name);

// A newly allocated text listing each feature as "NAME - description", one
// per line when there are several ("VERSION - Version Query API" today).
// Null when memory is exhausted. The caller frees it with
// aVersion_DestroyFeatureList, which also sets the pointer to null (a null
// pointer or null text is ignored).
char* aVersion_GetFeatureList();
void aVersion_DestroyFeatureList(char** list);
