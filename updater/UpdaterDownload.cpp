// Fetching a build into the store, and the build lists and feature token of
// one module: the operations behind -G, -B, -L and -J.
#include "updater/Updater.h"

#include <chrono>
#include <cstdlib>
#include <exception>
#include <future>
#include <memory>
#include <system_error>
#include <thread>

#include "app/Log.h"
#include "firmware/BirdFile.h"
#include "server/UpdateServerRequest.h"
#include "server/base64.h"
#include "store/UpdaterStore.h"
#include "updater/UpdaterCommon.h"

namespace {

// How often the spinner is redrawn while an image downloads.
constexpr std::chrono::milliseconds kSpinnerInterval{100};
constexpr const char* kSpinnerLabel = "Downloading";

// Releases what base64_decode allocated.
struct FreeDeleter {
    void operator()(unsigned char* p) const { std::free(p); }
};

// A build number from a server's text, or 0 (with the debug line) when the
// text is not one.
unsigned int sServerBuild(const std::string& text, bool* isNumber = nullptr) {
    unsigned int build = 0;
    const bool ok = _parseBuildNumber(text, build);
    if (!ok)
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    if (isNumber)
        *isNumber = ok;
    return ok ? build : 0;
}

// True when the server's build list for the module holds the build. Keys
// that are not numbers are skipped, so they never match any build.
bool _valid_build(unsigned int serial, unsigned int build, const char* serverURL) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, serverURL))
        return false;
    for (const auto& entry : builds) {
        bool isNumber = false;
        const unsigned int listed = sServerBuild(entry.first, &isNumber);
        if (isNumber && listed == build)
            return true;
    }
    return false;
}

} // namespace

unsigned int Updater::Download_Firmware(unsigned int serial, std::string build, bool override,
                                        bool noCal) {
    UpdaterDisplayInterface& out = display();
    const char* url = m_serverURL.c_str();

    unsigned int buildNumber = 0;
    if (!build.empty() && !_parseBuildNumber(build, buildNumber)) {
        out.message(UpdaterDisplayInterface::LEVEL_ERROR, "Build number '%s' must be an number",
                    build.c_str());
        return 0;
    }
    if (serial == 0) {
        out.message(UpdaterDisplayInterface::LEVEL_ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(url)) {
        out.message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s", url);
        return 0;
    }

    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(out, m_updaterDirectory, "Download_Firmware");
    if (!store)
        return 0;
    UpdaterStoreItem item;
    if (!store->FindDevice(serial, &item)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            item = store->AddDevice(serial);
        } catch (const std::exception&) {
            out.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string currentBuild;
    std::string version;
    if (!UpdateServerRequest::QueryBuild(serial, currentBuild, version, url)) {
        out.message(UpdaterDisplayInterface::LEVEL_ERROR, "No build information for device");
        return 0;
    }
    // A build of 0 means no particular build, as an empty text does.
    if (buildNumber == 0)
        buildNumber = sServerBuild(currentBuild);

    out.message(UpdaterDisplayInterface::LEVEL_INFO, "Retrieving build %u", buildNumber);
    if (!override) {
        out.message(UpdaterDisplayInterface::LEVEL_INFO, "Validating build %u with server",
                    buildNumber);
        if (!_valid_build(serial, buildNumber, url)) {
            out.message(UpdaterDisplayInterface::LEVEL_ERROR, "No valid build %u", buildNumber);
            return 0;
        }
        out.message(UpdaterDisplayInterface::LEVEL_INFO, "Build %u is valid", buildNumber);
    } else {
        out.message(UpdaterDisplayInterface::LEVEL_INFO,
                    "Override specified, skipping validation of build %u", buildNumber);
    }

    // The request runs on a worker thread while this thread keeps the
    // spinner going. The worker gets its own copies of the texts; the image
    // text is read here only after the result has arrived and the worker
    // has been joined.
    std::string image;
    std::promise<bool> resultPromise;
    std::future<bool> result = resultPromise.get_future();
    const std::string buildText = std::to_string(buildNumber);
    const std::string serverURL = m_serverURL;
    auto fetch = [&image, &resultPromise, serial, version, buildText, serverURL, noCal] {
        bool ok = false;
        try {
            ok = UpdateServerRequest::GetBuild(serial, version, buildText, image, serverURL.c_str(),
                                               noCal);
        } catch (const std::exception&) {
            // Only memory exhaustion can get here; it counts as a failed request.
            image.clear();
            ok = false;
        }
        resultPromise.set_value(ok);
    };
    std::thread worker;
    try {
        worker = std::thread(fetch);
    } catch (const std::system_error&) {
        // No thread to be had: the request runs here, without a spinner.
        fetch();
    }
    out.update_spinner(true, kSpinnerLabel);
    while (result.wait_for(kSpinnerInterval) != std::future_status::ready)
        out.update_spinner(true, kSpinnerLabel);
    out.update_spinner(false, kSpinnerLabel);
    const bool fetched = result.get();
    if (worker.joinable())
        worker.join();
    if (!fetched)
        out.message(UpdaterDisplayInterface::LEVEL_ERROR, "Download failed");

    size_t length = 0;
    std::unique_ptr<unsigned char, FreeDeleter> bytes;
    if (!image.empty())
        bytes.reset(base64_decode(image.data(), image.size(), &length));
    // The text is no longer needed; free it before the file is written.
    std::string().swap(image);
    if (!bytes) {
        out.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }

    const std::string fileName = _birdFileName(buildNumber);
    const std::string when = _localTimeText();
    const aErr written = item.WriteFile(fileName, bytes.get(), length);
    if (written != aErrNone) {
        out.message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to write file with %d",
                    static_cast<int>(written));
        return 0;
    }
    item.attributes.Add("LATEST_DOWNLOAD", fileName);
    item.attributes.Add("LAST_DOWNLOAD_DATE", when);
    item.attributes.Save();
    return buildNumber;
}

std::map<std::string, std::string> Updater::Get_BuildList(unsigned int serial, bool* answered) {
    std::map<std::string, std::string> builds;
    if (answered)
        *answered = false;
    const char* url = m_serverURL.c_str();
    if (!UpdateServerRequest::ping(url)) {
        display().message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s",
                          url);
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, url)) {
        display().message(UpdaterDisplayInterface::LEVEL_ERROR,
                          "Failed to retrieve builds for %08X", serial);
        return builds;
    }
    if (answered)
        *answered = true;
    return builds;
}

std::string Updater::Get_JWT(unsigned int serial) {
    std::string token;
    const char* url = m_serverURL.c_str();
    if (!UpdateServerRequest::ping(url)) {
        display().message(UpdaterDisplayInterface::LEVEL_ERROR, "Server request failed for %s",
                          url);
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, url)) {
        display().message(UpdaterDisplayInterface::LEVEL_ERROR, "Failed to retrieve jwt for %08X",
                          serial);
        token.clear();
    }
    return token;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(unsigned int serial) {
    std::map<std::string, std::string> builds;
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display(), m_updaterDirectory, "Get_BuildListLocal");
    if (!store)
        return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        const std::string& name = item.itemName;
        const std::string key = name.substr(0, name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            const std::string path = item.basePath + "/" + name;
            bool loaded = false;
            if (BirdFile::VerifyFile(path.c_str())) {
                try {
                    BirdFile image(path.c_str());
                    version = image.GetVersion();
                    loaded = true;
                } catch (const std::exception&) {
                    loaded = false;
                }
            }
            if (!loaded)
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            else if (!version.empty())
                Log::log(DEBUG_Updater, "Found VERSION in birdfile: %s - Version: \n",
                         path.c_str());
        }
        builds.emplace(key, version);
    }
    return builds;
}
