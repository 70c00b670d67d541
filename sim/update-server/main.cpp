// corvantis-update-server: an update server for the Corvantis updater that
// answers the whole query API (/cgi/u?op=...) from a directory tree. It binds
// to 127.0.0.1 only. See README.md for the tree layout, the replies and the
// fault switches that the tests use.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "BirdInfo.h"

namespace {

constexpr const char* kEndpoint = "/cgi/u";
constexpr const char* kBindAddress = "127.0.0.1";
// How often the lifetime watcher looks at the stop flag and the clock, and
// the slice in which a configured reply delay is slept.
constexpr std::chrono::milliseconds kWatchInterval{50};
constexpr std::chrono::milliseconds kDelaySlice{10};
// Longest reply delay accepted on the command line.
constexpr long kMaxDelayMs = 10 * 60 * 1000;

std::atomic<bool> gStop{false};

void onSignal(int) {
    gStop = true;
}

struct Options {
    std::string root;
    int port = 0;
    std::string logPath;
    long maxSeconds = 0; // 0: run until a signal
    std::set<std::string> faultOps;
    int status = 0;
    std::string firstLine;
    bool hasFirstLine = false;
    long delayMs = 0;
    long truncate = -1;
    bool crlf = false;
};

void usage() {
    std::fprintf(stderr,
                 "usage: corvantis-update-server --root DIR [--port N] [--log FILE]\n"
                 "         [--max-seconds N] [--fault-op OP[,OP...]] [--status CODE]\n"
                 "         [--first-line TEXT] [--delay-ms N] [--truncate BYTES] [--crlf]\n");
}

bool parseLong(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno || end == text || *end || v < low || v > high)
        return false;
    value = v;
    return true;
}

bool parseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long n = 0;
        if (a == "--crlf") {
            o.crlf = true;
        } else if (!value(v)) {
            return false;
        } else if (a == "--root") {
            o.root = v;
        } else if (a == "--port" && parseLong(v, 0, 65535, n)) {
            o.port = static_cast<int>(n);
        } else if (a == "--log") {
            o.logPath = v;
        } else if (a == "--max-seconds" && parseLong(v, 0, 86400 * 365L, n)) {
            o.maxSeconds = n;
        } else if (a == "--fault-op") {
            std::stringstream list(v);
            std::string op;
            while (std::getline(list, op, ','))
                if (!op.empty())
                    o.faultOps.insert(op);
        } else if (a == "--status" && parseLong(v, 100, 599, n)) {
            o.status = static_cast<int>(n);
        } else if (a == "--first-line") {
            o.firstLine = v;
            o.hasFirstLine = true;
        } else if (a == "--delay-ms" && parseLong(v, 0, kMaxDelayMs, n)) {
            o.delayMs = n;
        } else if (a == "--truncate" && parseLong(v, 0, 1L << 40, n)) {
            o.truncate = n;
        } else {
            return false;
        }
    }
    return !o.root.empty();
}

// --- the simulator's own small codecs -----------------------------------

std::string base64(const std::string& bytes, bool urlSafe) {
    const char* alphabet = urlSafe
                               ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                               : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned w = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 |
                     (unsigned char)bytes[i + 2];
        out += alphabet[w >> 18 & 63];
        out += alphabet[w >> 12 & 63];
        out += alphabet[w >> 6 & 63];
        out += alphabet[w & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest) {
        unsigned w = (unsigned char)bytes[i] << 16;
        if (rest == 2)
            w |= (unsigned char)bytes[i + 1] << 8;
        out += alphabet[w >> 18 & 63];
        out += alphabet[w >> 12 & 63];
        if (!urlSafe) {
            out += rest == 2 ? alphabet[w >> 6 & 63] : '=';
            out += '=';
        } else if (rest == 2) {
            out += alphabet[w >> 6 & 63];
        }
    }
    return out;
}

bool isHex8(const std::string& s) {
    return s.size() == 8 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c); });
}

bool isDecimal(const std::string& s) {
    return !s.empty() && s.size() <= 10 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string upper(std::string s) {
    for (auto& c : s)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

bool readWhole(const std::string& path, std::string& out) {
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    f.seekg(0, std::ios::end);
    const std::streamoff size = f.tellg();
    f.seekg(0, std::ios::beg);
    if (size < 0)
        return false;
    out.resize(static_cast<size_t>(size));
    return static_cast<bool>(f.read(&out[0], size)) || size == 0;
}

std::string firstWord(const std::string& text) {
    std::istringstream s(text);
    std::string w;
    s >> w;
    return w;
}

// --- the tree ------------------------------------------------------------

class Tree {
public:
    explicit Tree(std::string root) : root_(std::move(root)) {}

    // The module's folder: the serial's name in upper or lower case.
    std::string folder(const std::string& serial) const {
        for (const std::string& name : {upper(serial), serial}) {
            std::string path = root_ + "/" + name;
            DIR* d = opendir(path.c_str());
            if (d) {
                closedir(d);
                return path;
            }
        }
        return {};
    }

    // Build number to file path, ordered by number.
    std::map<unsigned long, std::string> builds(const std::string& folderPath) const {
        std::map<unsigned long, std::string> out;
        DIR* d = opendir(folderPath.c_str());
        if (!d)
            return out;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            const std::string ext = ".bird";
            if (name.size() <= ext.size() ||
                name.compare(name.size() - ext.size(), ext.size(), ext))
                continue;
            std::string stem = name.substr(0, name.size() - ext.size());
            if (!isDecimal(stem))
                continue;
            out.emplace(std::stoul(stem), folderPath + "/" + name);
        }
        closedir(d);
        return out;
    }

    // The current build: the one named in the folder's "current" file when
    // it names a build that exists, else the highest.
    bool current(const std::string& folderPath, unsigned long& build) const {
        auto all = builds(folderPath);
        if (all.empty())
            return false;
        std::string text;
        if (readWhole(folderPath + "/current", text)) {
            std::string word = firstWord(text);
            if (isDecimal(word) && all.count(std::stoul(word))) {
                build = std::stoul(word);
                return true;
            }
        }
        build = all.rbegin()->first;
        return true;
    }

    // Looks up a fingerprint (four words of hex text) in recovery.map.
    bool recovery(const std::vector<std::string>& words, std::string& serial,
                  std::string& build) const {
        std::ifstream f(root_ + "/recovery.map");
        std::string line;
        while (std::getline(f, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream s(line);
            std::vector<std::string> fields;
            std::string w;
            while (s >> w)
                fields.push_back(w);
            if (fields.size() < 6)
                continue;
            bool match = true;
            for (size_t i = 0; i < 4; ++i)
                match = match && upper(fields[i]) == upper(words[i]);
            if (match) {
                serial = upper(fields[4]);
                build = fields[5];
                return true;
            }
        }
        return false;
    }

private:
    std::string root_;
};

// --- replies ---------------------------------------------------------------

struct Reply {
    int status = 200;
    std::vector<std::string> lines; // the first is "ok" or "error"
};

Reply error(int status, const std::string& why) {
    return Reply{status, {"error", why}};
}

Reply answer(const Tree& tree, const httplib::Request& req) {
    const std::string op = req.get_param_value("op");
    const std::string sn = req.get_param_value("sn");
    if (op == "hi")
        return Reply{200, {"ok", "corvantis-update-server"}};
    if (op == "fix") {
        // The fingerprint arrives as four words separated by spaces (%20).
        std::istringstream s(req.get_param_value("fp"));
        std::vector<std::string> words;
        std::string w;
        while (s >> w && words.size() < 5)
            words.push_back(w);
        if (words.size() != 4)
            return error(400, "bad fingerprint");
        std::string serial, build;
        if (!tree.recovery(words, serial, build))
            return error(200, "unknown fingerprint");
        return Reply{200, {"ok", serial, build}};
    }
    if (op != "qu" && op != "bird" && op != "builds" && op != "ent_jwt")
        return error(400, "unknown op");
    if (!isHex8(sn))
        return error(400, "bad serial number");
    const std::string folder = tree.folder(sn);
    if (folder.empty())
        return error(200, "unknown module " + upper(sn));

    if (op == "qu") {
        unsigned long build = 0;
        if (!tree.current(folder, build))
            return error(200, "no builds for " + upper(sn));
        BirdInfo info;
        std::string why;
        readBirdInfo(tree.builds(folder)[build], info, why);
        return Reply{200, {"ok", std::to_string(build), info.version}};
    }
    if (op == "builds") {
        Reply r{200, {"ok"}};
        for (const auto& entry : tree.builds(folder)) {
            BirdInfo info;
            std::string why;
            readBirdInfo(entry.second, info, why);
            r.lines.push_back(std::to_string(entry.first) + ";" + info.version);
        }
        return r;
    }
    if (op == "bird") {
        const std::string bld = req.get_param_value("bld");
        if (!isDecimal(bld))
            return error(400, "bad build");
        auto all = tree.builds(folder);
        auto found = all.find(std::stoul(bld));
        std::string bytes;
        if (found == all.end() || !readWhole(found->second, bytes))
            return error(200, "no build " + bld + " for " + upper(sn));
        return Reply{200, {"ok", base64(bytes, false)}};
    }
    // op == "ent_jwt": the folder's "jwt" file, else a token made up here.
    std::string token;
    if (readWhole(folder + "/jwt", token)) {
        token = firstWord(token);
    } else {
        token = base64("{\"alg\":\"none\",\"typ\":\"JWT\"}", true) + "." +
                base64("{\"sn\":\"" + upper(sn) + "\",\"features\":[]}", true) + "." +
                base64("corvantis-update-server", true);
    }
    return Reply{200, {"ok", token}};
}

class RequestLog {
public:
    explicit RequestLog(const std::string& path) {
        if (!path.empty())
            file_ = std::fopen(path.c_str(), "a");
    }
    ~RequestLog() {
        if (file_)
            std::fclose(file_);
    }
    bool ok(const std::string& path) const { return path.empty() || file_; }
    void write(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!file_)
            return;
        std::fprintf(file_, "%s\n", line.c_str());
        std::fflush(file_);
    }

private:
    FILE* file_ = nullptr;
    std::mutex mutex_;
};

void sleepUnlessStopped(long ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!gStop && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(kDelaySlice);
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseOptions(argc, argv, o)) {
        usage();
        return 2;
    }
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    RequestLog log(o.logPath);
    if (!log.ok(o.logPath)) {
        std::fprintf(stderr, "corvantis-update-server: cannot open log %s\n", o.logPath.c_str());
        return 1;
    }
    Tree tree(o.root);
    httplib::Server server;

    server.Get(kEndpoint, [&](const httplib::Request& req, httplib::Response& res) {
        const std::string op = req.get_param_value("op");
        log.write("GET " + req.target);
        Reply reply = answer(tree, req);
        const bool faulty = o.faultOps.empty() || o.faultOps.count(op);
        if (faulty && o.status)
            reply.status = o.status;
        if (faulty && o.hasFirstLine && !reply.lines.empty())
            reply.lines[0] = o.firstLine;
        const char* lineEnd = (faulty && o.crlf) ? "\r\n" : "\n";
        auto body = std::make_shared<std::string>();
        for (const auto& line : reply.lines) {
            *body += line;
            *body += lineEnd;
        }
        if (faulty && o.delayMs)
            sleepUnlessStopped(o.delayMs);
        res.status = reply.status;
        if (faulty && o.truncate >= 0 && static_cast<size_t>(o.truncate) < body->size()) {
            // Announce the whole body, send only its start, then drop the
            // connection.
            const size_t sent = static_cast<size_t>(o.truncate);
            res.set_content_provider(body->size(), "text/plain",
                                     [body, sent](size_t offset, size_t, httplib::DataSink& sink) {
                                         if (offset < sent)
                                             sink.write(body->data() + offset, sent - offset);
                                         return false;
                                     });
        } else {
            res.set_content(*body, "text/plain");
        }
    });

    int port = o.port;
    if (port == 0) {
        port = server.bind_to_any_port(kBindAddress);
    } else if (!server.bind_to_port(kBindAddress, port)) {
        port = -1;
    }
    if (port <= 0) {
        std::fprintf(stderr, "corvantis-update-server: cannot bind %s:%d\n", kBindAddress, o.port);
        return 1;
    }
    std::printf("%d\n", port);
    std::fflush(stdout);

    std::atomic<bool> listenDone{false};
    std::thread watcher([&] {
        const auto start = std::chrono::steady_clock::now();
        while (!gStop) {
            if (o.maxSeconds &&
                std::chrono::steady_clock::now() - start >= std::chrono::seconds(o.maxSeconds))
                break;
            std::this_thread::sleep_for(kWatchInterval);
        }
        gStop = true;
        // Until the listening loop has ended: a stop that comes before the
        // loop has started is not seen by it.
        while (!listenDone) {
            server.stop();
            std::this_thread::sleep_for(kWatchInterval);
        }
    });
    server.listen_after_bind();
    listenDone = true;
    gStop = true;
    watcher.join();
    return 0;
}
