// KeyValueStore: an attribute file held in memory.
//
// An attribute file is plain text, one "key=value" line per entry. The store
// keeps the entries in a map ordered by key (byte by byte) and writes them
// back in that order. Every value is text; the typed getters and setters
// convert on the way out and in. The loader tolerates hand-edited files
// (comments, white space, CR LF line ends); the saver rewrites the whole file
// so that a crash never leaves a half-written one (see Save).
//
// Diagnostics go to the debug log under DEBUG_Attributes. Nothing here
// throws. A store is not safe for use by two threads at once.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "devlib/aError.h"

class KeyValueStore {
public:
    // The attribute file of every device directory, and the file Save uses
    // when no name was ever given.
    static const char* const DEFAULT_FILENAME; // ".settings"
    // Set once, when Load finds no file and creates it.
    static const char* const KEY_CREATED_TIME; // "CREATED_TIME"
    // Refreshed by every Save of a changed store.
    static const char* const KEY_UPDATED_TIME; // "UPDATED_TIME"

    // Lines are read into a buffer of this size; a line that does not fit
    // (more than 2046 characters before its line end) ends the reading.
    static constexpr size_t kLineBufferSize = 2048;

    // An empty store tied to no file.
    KeyValueStore();
    // An empty store, then Load(fileName) when fileName is not null.
    explicit KeyValueStore(const char* fileName);
    KeyValueStore(const KeyValueStore&) = default;
    KeyValueStore& operator=(const KeyValueStore&) = default;
    KeyValueStore(KeyValueStore&&) = default;
    KeyValueStore& operator=(KeyValueStore&&) = default;

    // The value text of key, or null when the key is absent. The pointer is
    // valid until the key's value changes or the store goes away. Never
    // creates an entry.
    const char* operator[](const std::string& key) const;

    // Typed getters. Each returns `fallback` when the key is missing or its
    // text is empty; a missing key is then created with an empty value
    // (written by the next Save as "key=") without setting the dirty flag.
    //   GetInt:    decimal (leading white space, optional sign, digits, up to
    //              the first other character; no digits gives 0; clamped to
    //              the range of int).
    //   GetHex:    hexadecimal, an optional leading 0x accepted.
    //   GetBOOL:   true when the decimal value is not 0.
    //   GetDouble: floating point (strtod rules).
    int GetInt(const std::string& key, int fallback);
    uint32_t GetHex(const std::string& key, uint32_t fallback);
    bool GetBOOL(const std::string& key, bool fallback);
    double GetDouble(const std::string& key, double fallback);
    // The stored text when the key exists, even when empty; otherwise
    // `fallback`, or "" when fallback is null. Never creates an entry.
    std::string GetString(const std::string& key, const char* fallback = nullptr) const;

    // Setters. Each stores the value as text and sets the dirty flag when the
    // text differs from the current one (a missing key counts as empty
    // text). All return true.
    bool Add(const std::string& key, int value);         // "%d"
    bool Add(const std::string& key, double value);      // "%f", six decimals
    bool Add(const std::string& key, const char* value); // as is; null as ""
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value); // "0x%08X"
    // Copies every entry of other into this store, replacing equal keys;
    // always sets the dirty flag.
    bool Add(const KeyValueStore& other);
    // Removes every entry; always sets the dirty flag.
    bool Clear();

    // Reads the entries of the file `fileName` into the store, without
    // emptying it first: a later line for a key replaces the earlier value.
    // When the file cannot be opened, stores the current time under
    // KEY_CREATED_TIME and saves the store to that name, creating the file.
    // Either way the store is then tied to fileName and clean. Returns
    // aErrNone after reading an existing file, aErrParam when it could not be
    // opened (or fileName is null, which reads nothing). Blocks on the disk.
    aErr Load(const char* fileName);

    // Writes every entry, in key order, as "key=value\n" to the file
    // `fileName` (which becomes the store's file), or to the store's own file
    // when fileName is null (DEFAULT_FILENAME in the current directory when it
    // never had one). A dirty store first stores the current time under
    // KEY_UPDATED_TIME. The file is written under a temporary name in the
    // same directory, synced and renamed over the old one, so it is either
    // the old file or the complete new one. On success the store is clean;
    // on failure the old file is left as it was and the store stays dirty
    // (the failure is logged). Blocks on the disk, including its sync.
    void Save(const char* fileName = nullptr);

    // The file the store was last loaded from or saved to ("" until then).
    const std::string& FileName() const { return fileName; }
    // True when a value changed since the last Load or Save.
    bool IsDirty() const { return dirty; }
    // All entries, in key order.
    const std::map<std::string, std::string>& Values() const { return values; }
    // The number of entries.
    size_t Size() const { return values.size(); }

private:
    // Stores text under key, setting dirty when it differs.
    bool sSet(const std::string& key, const std::string& text);
    // Parses one line read from a file; lines without a key are ignored.
    void sParseLine(const char* line, size_t length);
    // The value text of key for a numeric getter: null when it is missing
    // (then created empty) or empty.
    const char* sNumericText(const std::string& key);
    // Writes the whole store to path through a temporary file; true on
    // success.
    bool sWriteFile(const std::string& path);

    std::string fileName;
    std::map<std::string, std::string> values;
    bool dirty = false;
};

// The current local time in the 24-character layout of ctime(), without the
// line feed, e.g. "Tue Apr 29 14:03:07 2025".
std::string KeyValueStore_Now();

// A fresh temporary file name in directory for a file that will replace
// directory/name: a dot file (so that the store never offers it as a local
// build) unique to this process and call, e.g. ".name.tmp1234.0".
std::string KeyValueStore_TemporaryPath(const std::string& directory, const std::string& name);
