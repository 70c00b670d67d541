// One HTTP(S) GET with query parameters over libcurl's easy interface. The
// reply body is read whole into memory and handed back with the request URL
// and the HTTP status; every query to the update server is built on this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// The outcome of one GET: the URL that was requested, the HTTP status and the
// body. It owns nothing but its strings and is moved out to the caller.
class HTTPResponse {
public:
    explicit HTTPResponse(std::string requestURL);

    // The complete URL that was requested, query included.
    const char* get_request() const { return request.c_str(); }
    // The body received so far (NUL-terminated; it may hold NUL bytes of its own).
    const char* get_response() const { return response.c_str(); }
    // The HTTP response code; 0 until the request completed.
    int64_t get_status() const { return status; }

    void set_status(int64_t code) { status = code; }
    // Appends count received bytes to the body.
    void process(const char* data, size_t count);

    // Direct access to the body, so that a caller can take a large reply
    // (a whole firmware image) without copying it.
    std::string& body() { return response; }
    const std::string& body() const { return response; }

private:
    std::string request;
    int64_t status = 0;
    std::string response;
};

class HTTPRequest {
public:
    // Bounds of every transfer. A connection that is not established within
    // the connect time-out, or a transfer that moves fewer than
    // kLowSpeedLimitBytesPerSecond bytes per second for the low-speed time,
    // is abandoned with libcurl's error text. Both times may be overridden
    // (in whole seconds, 1 or more) through the environment variables
    // UPDATER_HTTP_CONNECT_TIMEOUT and UPDATER_HTTP_LOW_SPEED_TIME, which the
    // tests use to give up on a silent server quickly.
    static constexpr long kConnectTimeoutSeconds = 15;
    static constexpr long kLowSpeedTimeSeconds = 60;
    static constexpr long kLowSpeedLimitBytesPerSecond = 1;

    // Performs one GET of url with the parameters appended as a query (see
    // BuildURL) and returns the reply. Any HTTP status, 4xx and 5xx included,
    // is a normal result for the caller to judge. Throws std::runtime_error
    // with libcurl's description of the failure when the request cannot be
    // carried out (name resolution, connection, TLS, time-out, a transfer
    // cut short), or "Could not create curl instance". Blocks for at most
    // the connect time-out plus as long as data keeps arriving at the low
    // speed limit or faster. Only http:// and https:// URLs are followed; an
    // https peer must present a certificate that the system's CA store
    // accepts, for the name in the URL. Safe to call from several threads at
    // once: each call has its own handle.
    static HTTPResponse GET(const char* url, const std::map<std::string, std::string>& parameters);

    // The request URL: url alone for an empty map; otherwise url, "?", and
    // for every entry in key order key "=" value "&" (the trailing "&"
    // stays). Keys and values are inserted verbatim, without URL encoding.
    static std::string BuildURL(const char* url,
                                const std::map<std::string, std::string>& parameters);
};
