// Benchmarks of BIRD file loading and patching on an 8 MiB firmware image
// compressed with zlib at its default level.
//
// Two images: "code", bytes of limited entropy that compress about 2:1 as
// program code does, with a tail of 0xFF padding; and "padding", an image
// that is almost all 0xFF and compresses about 1000:1, which takes the
// path where the first 8:1 output buffer is too small.
//
// Before the timed runs the program loads each image once and prints the
// peak resident memory that the load added (VmHWM after resetting it through
// /proc/self/clear_refs), next to the compressed and inflated sizes.

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "firmware/BirdFile.h"

namespace {

constexpr size_t kImageSize = 8u << 20;
constexpr uint32_t kLoadAddress = 0x08000000;
constexpr uint32_t kSerialOffset = kLoadAddress + 0x400;
constexpr uint32_t kDescriptorOffset = kLoadAddress + 0x800;

std::string g_dir;
std::string g_code;
std::string g_padding;

void putBE32(std::vector<uint8_t>& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>(v >> shift));
    }
}

std::vector<uint8_t> makeImage(bool code) {
    std::vector<uint8_t> image(kImageSize, 0xFF);
    if (code) {
        // Three quarters "instructions": a small alphabet with repeats.
        uint32_t x = 0x2545F491;
        for (size_t i = 0; i < kImageSize * 3 / 4; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            image[i] = static_cast<uint8_t>((x & 0x3F) | ((i & 0x100) ? 0x80 : 0));
        }
    }
    return image;
}

// Writes a generic BIRD file holding an info block, the serial offsets and
// one firmware block with the image; returns its path.
std::string writeBird(const std::string& name, const std::vector<uint8_t>& image) {
    std::vector<uint8_t> content;
    putBE32(content, 3);
    content.push_back(4);
    putBE32(content, 64);
    const char* info = "1234            1.2.3           00000000        MTM-IO-SERIAL   ";
    content.insert(content.end(), info, info + 64);
    content.push_back(2);
    putBE32(content, 8);
    putBE32(content, kSerialOffset);
    putBE32(content, kDescriptorOffset);
    content.push_back(1);
    putBE32(content, static_cast<uint32_t>(image.size() + 4));
    putBE32(content, kLoadAddress);
    content.insert(content.end(), image.begin(), image.end());
    putBE32(content,
            static_cast<uint32_t>(crc32(0, content.data(), static_cast<uInt>(content.size()))));

    uLongf zsize = compressBound(static_cast<uLong>(content.size()));
    std::vector<uint8_t> file(6 + zsize);
    std::memcpy(file.data(), "bird\x01\x01", 6);
    if (compress2(file.data() + 6, &zsize, content.data(), static_cast<uLong>(content.size()),
                  Z_DEFAULT_COMPRESSION) != Z_OK) {
        throw std::runtime_error("compress failed");
    }
    file.resize(6 + zsize);
    std::string path = g_dir + "/" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
    return path;
}

long statusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) {
            return std::atol(line.c_str() + std::strlen(key));
        }
    }
    return -1;
}

// Runs in a fresh process (see main), so that no memory the benchmark setup
// freed is still counted as resident.
int measureLoadMemory(const char* label, const std::string& path) {
    long fileSize = 0;
    {
        std::ifstream in(path, std::ios::binary | std::ios::ate);
        fileSize = static_cast<long>(in.tellg());
    }
    // Writing 5 resets the peak resident size of this process.
    std::ofstream("/proc/self/clear_refs") << "5";
    long before = statusKiB("VmRSS:");
    uint32_t contentSize = 0;
    {
        BirdFile f(path.c_str());
        contentSize = f.contentSize;
    }
    long peak = statusKiB("VmHWM:");
    std::printf("%-8s compressed %8ld B, content %8u B, load peak RSS +%ld KiB (compressed + "
                "content = %ld KiB)\n",
                label, fileSize, contentSize, peak - before,
                (fileSize + static_cast<long>(contentSize)) / 1024);
    return 0;
}

void reportLoadMemory(const char* self, const char* label, const std::string& path) {
    std::fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        execl(self, self, "--measure-load", label, path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (child > 0) {
        waitpid(child, &status, 0);
    }
}

void BM_Load(benchmark::State& state, const std::string* path) {
    for (auto _ : state) {
        BirdFile f(path->c_str());
        benchmark::DoNotOptimize(f.blocks.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kImageSize));
}

void BM_ReplaceSerialNumber(benchmark::State& state, const std::string* path) {
    BirdFile f(path->c_str());
    uint32_t serial = 0x40F5849A;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.ReplaceSerialNumber(serial++));
    }
}

void BM_DecodeFirmwareBlocks(benchmark::State& state, const std::string* path) {
    BirdFile f(path->c_str());
    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    for (auto _ : state) {
        benchmark::DoNotOptimize(f.DecodeFirmwareBlocks(key));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(kImageSize));
}

BENCHMARK_CAPTURE(BM_Load, code, &g_code)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Load, padding, &g_padding)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReplaceSerialNumber, code, &g_code)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_DecodeFirmwareBlocks, code, &g_code)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--measure-load") == 0) {
        return measureLoadMemory(argv[2], argv[3]);
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/bench_birdfile.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_dir = buffer.data();
    g_code = writeBird("code.bird", makeImage(true));
    g_padding = writeBird("padding.bird", makeImage(false));
    reportLoadMemory("/proc/self/exe", "code", g_code);
    reportLoadMemory("/proc/self/exe", "padding", g_padding);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::remove(g_code.c_str());
    std::remove(g_padding.c_str());
    rmdir(g_dir.c_str());
    return 0;
}
