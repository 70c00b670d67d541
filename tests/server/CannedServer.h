// A small HTTP server on 127.0.0.1 for the client tests: it answers every GET
// of /cgi/u with the status and body set for the request's op (or the
// default reply) and remembers the request targets it saw, so a test can
// check what the client sent and how it reads any reply text.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

class CannedServer {
public:
    struct Reply {
        int status = 200;
        std::string body;
        // Sent in pieces of this many bytes with chunked transfer coding; 0:
        // one body with a Content-Length.
        size_t chunk = 0;
    };

    CannedServer() {
        server_.Get("/cgi/u", [this](const httplib::Request& req, httplib::Response& res) {
            Reply reply;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                targets_.push_back(req.target);
                auto found = replies_.find(req.get_param_value("op"));
                reply = found != replies_.end() ? found->second : default_;
            }
            res.status = reply.status;
            if (reply.chunk == 0) {
                res.set_content(reply.body, "text/plain");
                return;
            }
            res.set_chunked_content_provider(
                "text/plain", [reply](size_t offset, httplib::DataSink& sink) {
                    if (offset >= reply.body.size()) {
                        sink.done();
                        return true;
                    }
                    const size_t n = std::min(reply.chunk, reply.body.size() - offset);
                    sink.write(reply.body.data() + offset, n);
                    return true;
                });
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // Bounded wait until the listening loop runs.
        for (int i = 0; i < 200 && !server_.is_running(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ~CannedServer() {
        server_.stop();
        thread_.join();
    }
    CannedServer(const CannedServer&) = delete;
    CannedServer& operator=(const CannedServer&) = delete;

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int port() const { return port_; }

    void set(const std::string& op, int status, const std::string& body, size_t chunk = 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        replies_[op] = Reply{status, body, chunk};
    }
    void setDefault(int status, const std::string& body) {
        std::lock_guard<std::mutex> lock(mutex_);
        default_ = Reply{status, body, 0};
    }
    std::vector<std::string> targets() {
        std::lock_guard<std::mutex> lock(mutex_);
        return targets_;
    }

private:
    httplib::Server server_;
    int port_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, Reply> replies_;
    Reply default_{404, "not here\n", 0};
    std::vector<std::string> targets_;
};
