#include "server/UpdateServerRequest.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

#include "app/Log.h"
#include "server/HTTPRequest.h"

namespace {

constexpr int64_t kHTTPStatusOK = 200;
// Build-list lines shorter than this carry no entry.
constexpr size_t kMinimumBuildLine = 3;
// A token line shorter than this, or a token part shorter than
// kMinimumTokenPart, is no token.
constexpr size_t kMinimumTokenLine = 3;
constexpr size_t kMinimumTokenPart = 2;
constexpr size_t kVersionParts = 3;

// One line of a reply body: where it starts and how long it is, without its
// line feed. Lines refer into the body instead of copying it, which matters
// for an image reply of several megabytes.
struct Line {
    size_t start;
    size_t length;
};

// The non-empty lines of the body, split at line feeds.
std::vector<Line> sSplitLines(const std::string& body) {
    std::vector<Line> lines;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos)
            end = body.size();
        if (end > start)
            lines.push_back({start, end - start});
        start = end + 1;
    }
    return lines;
}

std::string sLineText(const std::string& body, const Line& line) {
    return body.substr(line.start, line.length);
}

// The text up to the first of the given delimiters.
std::string sUpTo(const std::string& text, size_t from, const char* delimiters, size_t* next) {
    size_t end = text.find_first_of(delimiters, from);
    if (end == std::string::npos)
        end = text.size();
    if (next)
        *next = end;
    return text.substr(from, end - from);
}

const char* sURL(const char* url) {
    return url ? url : UPDATER_DEFAULT_SERVER_URL;
}

// The steps every query shares: the request, the status and the "ok" line.
// On success response holds the reply and lines its non-empty lines, the
// first of them being the "ok" line.
// statusName, when given, replaces the name in the message about a status
// other than 200.
bool sQuery(const char* name, const char* url, const std::map<std::string, std::string>& params,
            HTTPResponse& response, std::vector<Line>& lines, const char* statusName = nullptr) {
    try {
        response = HTTPRequest::GET(sURL(url), params);
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    if (response.get_status() != kHTTPStatusOK) {
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", statusName ? statusName : name,
                 static_cast<int>(response.get_status()), response.get_response());
        return false;
    }
    lines = sSplitLines(response.body());
    if (lines.empty() || lines[0].length < 2 || response.body().compare(lines[0].start, 2, "ok")) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                 response.get_request());
        return false;
    }
    return true;
}

std::string sSerialText(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

} // namespace

bool UpdateServerRequest::ping(const char* url) {
    HTTPResponse response("");
    std::vector<Line> lines;
    return sQuery("ping", url, {{"op", "hi"}, {"rv", "2"}}, response, lines, "PING");
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                                     const char* url) {
    HTTPResponse response("");
    std::vector<Line> lines;
    if (!sQuery("QueryBuild", url, {{"op", "qu"}, {"sn", sSerialText(serial)}}, response, lines))
        return false;
    const std::string& body = response.body();
    if (lines.size() < 2) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", "QueryBuild",
                 response.get_request());
        return false;
    }
    build = sUpTo(sLineText(body, lines[1]), 0, "\r", nullptr);
    if (lines.size() > 2)
        firmware = sUpTo(sLineText(body, lines[2]), 0, "\r", nullptr);
    return true;
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware,
                                   const std::string& build, std::string& data, const char* url,
                                   bool noCal) {
    data.clear();
    HTTPResponse response("");
    std::vector<Line> lines;
    const std::map<std::string, std::string> params = {{"op", "bird"},
                                                       {"sn", sSerialText(serial)},
                                                       {"fw", firmware},
                                                       {"bld", build},
                                                       {"no_cal", noCal ? "true" : "false"}};
    if (!sQuery("GetBuild", url, params, response, lines))
        return false;
    if (lines.size() > 1) {
        // Keep only line 2 of the body and hand the buffer over.
        std::string& body = response.body();
        body.erase(lines[1].start + lines[1].length);
        body.erase(0, lines[1].start);
        data = std::move(body);
    }
    return true;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
    builds.clear();
    HTTPResponse response("");
    std::vector<Line> lines;
    if (!sQuery("GetBuildList", url, {{"op", "builds"}, {"sn", sSerialText(serial)}}, response,
                lines))
        return false;
    const std::string& body = response.body();
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i].length < kMinimumBuildLine)
            continue;
        const std::string entry = sLineText(body, lines[i]);
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", entry.c_str());
        size_t next = 0;
        const std::string buildText = sUpTo(entry, 0, ";\r\n", &next);
        std::string version;
        if (next < entry.size())
            version = sUpTo(entry, next + 1, ";\r\n", nullptr);
        // A line that begins with a delimiter names no build.
        if (buildText.empty())
            continue;
        builds.emplace(buildText, version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", buildText.c_str(),
                 version.c_str());
    }
    return true;
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t& serial,
                                          uint32_t& build, const char* url) {
    if (!fingerprint)
        return false;
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X", fingerprint[0], fingerprint[1],
                  fingerprint[2], fingerprint[3]);
    HTTPResponse response("");
    std::vector<Line> lines;
    if (!sQuery("GetRecoveryInfo", url, {{"op", "fix"}, {"fp", fp}, {"brief", "true"}}, response,
                lines))
        return false;
    const std::string& body = response.body();
    if (lines.size() < 3) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", "GetRecoveryInfo",
                 response.get_request());
        return false;
    }
    const std::string first = sLineText(body, lines[0]);
    const std::string serialText = sLineText(body, lines[1]);
    const std::string buildText = sLineText(body, lines[2]);
    serial = static_cast<uint32_t>(std::strtoull(serialText.c_str(), nullptr, 16));
    build = static_cast<uint32_t>(std::strtoull(buildText.c_str(), nullptr, 0));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", first.c_str(),
             serialText.c_str(), buildText.c_str());
    return true;
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url) {
    HTTPResponse response("");
    std::vector<Line> lines;
    if (!sQuery("GetDeviceJWT", url,
                {{"op", "ent_jwt"}, {"sn", sSerialText(serial)}, {"json", "false"}}, response,
                lines))
        return false;
    if (lines.size() < 2 || lines[1].length < kMinimumTokenLine) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", "GetDeviceJWT",
                 response.get_request());
        return false;
    }
    const std::string entry = sLineText(response.body(), lines[1]);
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT", entry.c_str());
    const size_t firstDot = entry.find('.');
    const size_t secondDot =
        firstDot == std::string::npos ? std::string::npos : entry.find('.', firstDot + 1);
    if (secondDot == std::string::npos) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", "GetDeviceJWT",
                 response.get_request());
        return false;
    }
    const std::string header = entry.substr(0, firstDot);
    const std::string payload = entry.substr(firstDot + 1, secondDot - firstDot - 1);
    const std::string signature = sUpTo(entry, secondDot + 1, "\r\n", nullptr);
    if (header.size() < kMinimumTokenPart || payload.size() < kMinimumTokenPart ||
        signature.size() < kMinimumTokenPart) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", "GetDeviceJWT",
                 response.get_request());
        return false;
    }
    token = header + "." + payload + "." + signature;
    return true;
}

std::vector<std::string> UpdateServerRequest::SplitCorvantisVersion(const std::string& version) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot == std::string::npos ? dot : dot - start));
        if (dot == std::string::npos)
            break;
        // More parts than a version has: no need to look further.
        if (parts.size() > kVersionParts)
            return {};
        start = dot + 1;
    }
    if (parts.size() != kVersionParts)
        return {};
    return parts;
}
