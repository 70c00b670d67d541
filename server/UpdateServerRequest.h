// Queries to the update server: ping, current build, build lists, images,
// recovery lookups and feature tokens, each an HTTP GET to one base URL with
// the parameter op, plus the ordering of build lists by version.
//
// Every query sends its parameters in name order (HTTPRequest::BuildURL) and
// reads a text reply in lines split at line feeds, empty lines skipped. A
// query succeeds only when the status is 200 and the first line begins with
// "ok"; the following lines carry the answer. A failure is a false result,
// reported only in the debug log (package DEBUG_ServerComm); nothing throws
// out of these operations. Each blocks for one HTTP request (see
// HTTPRequest::GET for its time bounds) and keeps no state between calls, so
// queries may run on any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// The update server used when a query is given no URL.
#define UPDATER_DEFAULT_SERVER_URL "http://" UPDATER_SERVER_HOST "/cgi/u"

class UpdateServerRequest {
public:
    typedef std::pair<std::string, std::string> BuildEntry; // (build text, version text)

    // In every query below, url is the server's base URL; null means
    // UPDATER_DEFAULT_SERVER_URL. Serial numbers are sent as "%08X".

    // op=hi&rv=2: true when the server answers "ok".
    static bool ping(const char* url);

    // op=qu: the module's current build number (line 2, without a trailing
    // carriage return) into build and its firmware identifier (line 3, up to
    // a carriage return) into firmware. Fails when line 2 is missing; a
    // missing line 3 leaves firmware as it was.
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                           const char* url);

    // op=bird: the BIRD file of the build as one line of base64 text (line 2,
    // taken as sent, without its line feed) into data, which is emptied
    // first. An answer without line 2 succeeds with an empty data text, which
    // callers treat as "no file". The reply body is moved, not copied, into
    // data, so the peak memory of a download is about one body.
    static bool GetBuild(uint32_t serial, const std::string& firmware, const std::string& build,
                         std::string& data, const char* url, bool noCal);

    // op=builds: every answer line of 3 characters or more, split at ";",
    // carriage returns and line feeds, gives (build, version or empty) into
    // builds, which is emptied before the request; a build already present
    // keeps its first version. Shorter lines are skipped.
    static bool GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                             const char* url);

    // op=fix&brief=true with the four fingerprint words: the module serial
    // number (line 2, hexadecimal) and build (line 3, decimal, 0x hexadecimal
    // or 0 octal), each converted up to its first unfit character. Fails
    // when either line is missing, leaving both outputs as they were.
    static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t& serial, uint32_t& build,
                                const char* url);

    // op=ent_jwt&json=false: the module's feature token (line 2 without its
    // line end) into token. Fails unless line 2 holds three dot-separated
    // parts of at least 2 characters each; token is then left as it was.
    static bool GetDeviceJWT(uint32_t serial, std::string& token, const char* url);

    // The (build, version) entries of the map, newest version first. Entries
    // whose version has not three decimal parts come last, in key order.
    static std::vector<BuildEntry> SortBuildsByVersion(const std::map<std::string, std::string>& builds);

    // The ordering used by SortBuildsByVersion: true when a's version is
    // greater than b's (each part compared as its low 8 bits).
    static bool _sortVersion(const BuildEntry& a, const BuildEntry& b);

    // The parts of a version text split at every "." when there are exactly
    // three (parts may be empty: "1..3" gives "1", "", "3"); otherwise an
    // empty list.
    static std::vector<std::string> SplitCorvantisVersion(const std::string& version);
};
