#include "server/HTTPRequest.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <utility>

#include <curl/curl.h>

#include "app/Log.h"

namespace {

// Largest body size announced by a server that is reserved up front; a
// larger announcement still works, it just grows the buffer as it arrives.
constexpr curl_off_t kMaxReserveBytes = 256 * 1024 * 1024;
// How many characters of each received chunk the debug log shows.
constexpr int kLoggedChunkCharacters = 100;

// What the receive function works on: the result being filled and the
// handle, so that the announced body size can be looked up once.
struct ReceiveContext {
    HTTPResponse* result;
    CURL* handle;
    bool reserved;
};

// A positive whole number of seconds from the environment, else the default.
long secondsFromEnvironment(const char* name, long fallback) {
    const char* text = std::getenv(name);
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (*end != '\0' || value < 1)
        return fallback;
    return value;
}

// libcurl's global state must be set up once before the first handle and
// not concurrently; curl_easy_init would otherwise do it on its own, racing
// when two threads make their first request together.
void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t rcv_data(char* data, size_t size, size_t count, void* user) {
    ReceiveContext* context = static_cast<ReceiveContext*>(user);
    const size_t bytes = size * count;
    if (!context->reserved) {
        context->reserved = true;
        curl_off_t announced = -1;
        if (curl_easy_getinfo(context->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced) ==
                CURLE_OK &&
            announced > 0 && announced <= kMaxReserveBytes)
            context->result->body().reserve(static_cast<size_t>(announced));
    }
    if (Log::IsActive(DEBUG_ServerComm)) {
        const int shown = static_cast<int>(std::min<size_t>(bytes, kLoggedChunkCharacters));
        Log::log(DEBUG_ServerComm, "rcv_data called (..., %d, %d, %08X) [%100.*s]\n",
                 static_cast<int>(size), static_cast<int>(count),
                 static_cast<unsigned>(reinterpret_cast<uintptr_t>(context->result)), shown, data);
    }
    context->result->process(data, bytes);
    Log::log(DEBUG_ServerComm, "rcv_data returns %d\n", static_cast<int>(bytes));
    return bytes;
}

} // namespace

HTTPResponse::HTTPResponse(std::string requestURL) : request(std::move(requestURL)) {}

void HTTPResponse::process(const char* data, size_t count) {
    response.append(data, count);
}

std::string HTTPRequest::BuildURL(const char* url,
                                  const std::map<std::string, std::string>& parameters) {
    std::string full = url ? url : "";
    if (parameters.empty())
        return full;
    full += "?";
    for (const auto& entry : parameters) {
        full += entry.first;
        full += "=";
        full += entry.second;
        full += "&";
    }
    return full;
}

HTTPResponse HTTPRequest::GET(const char* url,
                              const std::map<std::string, std::string>& parameters) {
    initialiseCurlOnce();
    CURL* handle = curl_easy_init();
    HTTPResponse result(BuildURL(url, parameters));
    if (!handle)
        throw std::runtime_error("Could not create curl instance");

    ReceiveContext context{&result, handle, false};
    const long connectTimeout =
        secondsFromEnvironment("UPDATER_HTTP_CONNECT_TIMEOUT", kConnectTimeoutSeconds);
    const long lowSpeedTime =
        secondsFromEnvironment("UPDATER_HTTP_LOW_SPEED_TIME", kLowSpeedTimeSeconds);

    // Each option is set in turn until libcurl rejects one.
    CURLcode code = curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, rcv_data);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_WRITEDATA, &context);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_URL, result.get_request());
    // The peer's certificate chain and name are both verified for https.
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_SSL_VERIFYSTATUS, 0L);
    // The URL comes from the command line: nothing but HTTP(S) is fetched.
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    // No signals: the request may run on a worker thread while the main
    // thread draws progress, and signal-based time-outs are process-wide.
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, connectTimeout);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, kLowSpeedLimitBytesPerSecond);
    if (code == CURLE_OK)
        code = curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, lowSpeedTime);

    if (code == CURLE_OK) {
        Log::log(DEBUG_ServerComm, "GET(%s)\n", result.get_request());
        code = curl_easy_perform(handle);
    }
    long status = 0;
    if (code == CURLE_OK)
        code = curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);

    curl_easy_cleanup(handle);
    if (code != CURLE_OK)
        throw std::runtime_error(curl_easy_strerror(code));
    result.set_status(status);
    return result;
}
