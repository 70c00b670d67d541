// Queries to the update server: ping, current build, build lists, images,
// recovery lookups and feature tokens, each an HTTP GET to one base URL with
// the parameter op, plus the ordering of build lists by version.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    typedef std::pair<std::string, std::string> BuildEntry; // (build text, version text)

    // The (build, version) entries of the map, newest version first. Entries
    // whose version has not three decimal parts come last, in key order.
    static std::vector<BuildEntry> SortBuildsByVersion(const std::map<std::string, std::string>& builds);

    // The ordering used by SortBuildsByVersion: true when a's version is
    // greater than b's (each part compared as its low 8 bits).
    static bool _sortVersion(const BuildEntry& a, const BuildEntry& b);
};
