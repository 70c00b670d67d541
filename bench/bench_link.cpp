// Link engine throughput and idle cost over TCP on loopback.
//
//   BM_LinkSend/pooled:0|1  packets per second one way (host to module), each
//                           packet 12 wire bytes, with and without pooling;
//   BM_LinkIdleCpu          CPU time the process spends over 5 seconds with
//                           one connected, idle link (reader and writer
//                           waiting), as a share of one core.
//
// The module side is a small sink on 127.0.0.1 that accepts one connection
// and counts the bytes it reads.
#include <atomic>
#include <chrono>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "devlib/aLink.h"
#include "devlib/aPacket.h"

namespace {

// Packets queued per round; the link's FIFO holds at most 1000.
constexpr int kPacketsPerRound = 500;
constexpr uint8_t kDataSize = 10;
constexpr size_t kWireBytes = kDataSize + 2;
// No round may take longer than this.
constexpr auto kRoundBound = std::chrono::seconds(20);
constexpr auto kIdleSpan = std::chrono::seconds(5);

class Sink {
public:
    Sink() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        listen(listener_, 1);
        socklen_t len = sizeof(a);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { run(); });
    }
    ~Sink() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    uint16_t port() const { return port_; }
    size_t received() const { return received_; }

private:
    void run() {
        int conn = -1;
        while (!stop_) {
            pollfd p{conn < 0 ? listener_ : conn, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            if (conn < 0) {
                conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                continue;
            }
            char buf[65536];
            ssize_t n = recv(conn, buf, sizeof(buf), 0);
            if (n <= 0) {
                close(conn);
                conn = -1;
                continue;
            }
            received_ += static_cast<size_t>(n);
        }
        if (conn >= 0) {
            close(conn);
        }
    }
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

void BM_LinkSend(benchmark::State& state) {
    Sink sink;
    unsigned int id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sink.port());
    if (id == 0) {
        state.SkipWithError("no link");
        return;
    }
    aLink_EnablePooledPackets(id, state.range(0) != 0);
    uint8_t data[kDataSize] = {3, 0x41, 0x20, 1, 2, 3, 4, 5, 6, 7};
    aPacket* packet = aPacket_CreateWithData(2, kDataSize, data);
    size_t expected = 3; // the start's force-route packet
    for (auto _ : state) {
        for (int i = 0; i < kPacketsPerRound; i++) {
            aLink_PutPacket(id, packet);
        }
        expected += kPacketsPerRound * kWireBytes;
        auto deadline = std::chrono::steady_clock::now() + kRoundBound;
        while (sink.received() < expected && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        if (sink.received() < expected) {
            state.SkipWithError("packets lost or stalled");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kPacketsPerRound);
    aPacket_Destroy(&packet);
    aLink_Destroy(&id);
}
BENCHMARK(BM_LinkSend)->ArgName("pooled")->Arg(0)->Arg(1)->UseRealTime();

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec +
           u.ru_stime.tv_usec / 1e6;
}

void BM_LinkIdleCpu(benchmark::State& state) {
    Sink sink;
    unsigned int id = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sink.port());
    if (id == 0) {
        state.SkipWithError("no link");
        return;
    }
    double cpu = 0;
    for (auto _ : state) {
        double before = cpuSeconds();
        std::this_thread::sleep_for(kIdleSpan);
        cpu = cpuSeconds() - before;
    }
    // The sink's own thread polls every 50 ms too; its share is included.
    state.counters["cpu_ms_per_5s"] = cpu * 1000.0;
    state.counters["core_percent"] = 100.0 * cpu / 5.0;
    aLink_Destroy(&id);
}
BENCHMARK(BM_LinkIdleCpu)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
