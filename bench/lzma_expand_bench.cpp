// ExpandLzmaFile against liblzma's LZMA-alone decoder on the same 64 MiB
// files, one text-like and one poorly compressible: speed of the whole
// expansion (read, decode, write) and ExpandLzmaFile's peak heap.
#include "lzma_expand.h"
#include "lzma_fixture.h"
#include "platform/sim/sim_control.h"

#include <lzma.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <time.h>

namespace fs = std::filesystem;

namespace {

constexpr size_t kSize = size_t(64) << 20;
constexpr int kRuns = 7;

std::string TextLike(size_t size)
{
    static const char* const words[] = {
        "the ", "of ", "and ", "setup ", "package ", "installer ", "transform ", "language ", "medium ",
        "drive ", "eject ", "product ", "upgrade ", "code ", "file ", "directory ", "temporary ", "Windows ",
        "launch ", "wait ", "exit ", "expand ", "stream ", "header ", "buffer ", "\r\n", ", ", ". "};
    std::mt19937 generator(1);
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) {
        text += words[generator() % (sizeof words / sizeof *words)];
        if (generator() % 16 == 0)
            text += std::to_string(generator() % 100000) + " ";
    }
    text.resize(size);
    return text;
}

// Every byte drawn afresh, its upper nibble skewed: about 7.2 bits of
// entropy per byte, so the stream is nearly all literals at ~90 %.
std::string PoorlyCompressible(size_t size)
{
    std::mt19937 generator(2);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        uint32_t r = generator();
        c = char(((r & (r >> 8)) & 0xF0) | ((r >> 16) & 0x0F));
    }
    return bytes;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of this process: less disturbed than wall time when other work
// shares the machine.
double CpuSeconds()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// liblzma as a program would use it for the same job: the file into memory,
// one decode into an output buffer of the declared size, one write.
bool ExpandWithLiblzma(const std::string& sourcePath, const std::string& destinationPath)
{
    FILE* source = std::fopen(sourcePath.c_str(), "rb");
    if (!source)
        return false;
    std::fseek(source, 0, SEEK_END);
    long length = std::ftell(source);
    std::fseek(source, 0, SEEK_SET);
    uint8_t* input = static_cast<uint8_t*>(std::malloc(size_t(length)));
    bool ok = input && std::fread(input, 1, size_t(length), source) == size_t(length) && length >= 13;
    std::fclose(source);
    uint64_t declared = 0;
    for (int i = 0; ok && i < 8; ++i)
        declared |= uint64_t(input[5 + i]) << (8 * i);
    uint8_t* output = ok ? static_cast<uint8_t*>(std::malloc(size_t(declared))) : nullptr;
    lzma_stream stream = LZMA_STREAM_INIT;
    ok = ok && output && lzma_alone_decoder(&stream, UINT64_MAX) == LZMA_OK;
    if (ok) {
        stream.next_in = input;
        stream.avail_in = size_t(length);
        stream.next_out = output;
        stream.avail_out = size_t(declared);
        ok = lzma_code(&stream, LZMA_FINISH) == LZMA_STREAM_END && stream.total_out == declared;
    }
    lzma_end(&stream);
    FILE* destination = ok ? std::fopen(destinationPath.c_str(), "wb+") : nullptr;
    ok = destination && std::fwrite(output, 1, size_t(declared), destination) == size_t(declared);
    if (destination && std::fclose(destination) != 0)
        ok = false;
    std::free(input);
    std::free(output);
    return ok;
}

bool ExpandWithStub(const std::string& sourcePath)
{
    FILE* source = std::fopen(sourcePath.c_str(), "rb");
    return source && ExpandLzmaFile(source, u"C:\\expanded.bin");
}

struct Result {
    double stubSeconds = 1e30;
    double liblzmaSeconds = 1e30;
    double stubCpu = 1e30;
    double liblzmaCpu = 1e30;
    size_t peak = 0;
};

// The SDK encoder at its usual level with an 8 MiB dictionary, lc 3 lp 0 pb
// 2. Encoding takes minutes, so the file is kept in the bench directory and
// reused while it still expands to this data (checked after the runs).
std::string Compressed(const std::string& data, const std::string& path, bool fresh, double* encodeSeconds)
{
    *encodeSeconds = 0;
    if (!fresh && fs::exists(path))
        return ReadAll(path);
    auto start = std::chrono::steady_clock::now();
    std::string file = lzma_fixture::Header(0x5D, 1u << 23, data.size()) +
                       lzma_fixture::EncodeStream(data, 3, 0, 2, false, 5, 1u << 23);
    *encodeSeconds = Seconds(std::chrono::steady_clock::now() - start);
    std::ofstream(path, std::ios::binary) << file;
    return file;
}

int Measure(const char* name, const char* fileName, const std::string& data, const std::string& dir,
            bool fresh = false)
{
    std::string sourcePath = dir + "/" + fileName;
    double encodeSeconds = 0;
    std::string file = Compressed(data, sourcePath, fresh, &encodeSeconds);
    std::string stubOut = dir + "/expanded.bin", liblzmaOut = dir + "/liblzma.bin";

    Result r;
    for (int run = 0; run < kRuns; ++run) {
        sim::ResetHeapPeak();
        double c0 = CpuSeconds();
        auto t0 = std::chrono::steady_clock::now();
        if (!ExpandWithStub(sourcePath)) {
            if (!fresh)
                return Measure(name, fileName, data, dir, true);
            std::printf("%s: ExpandLzmaFile failed\n", name);
            return 1;
        }
        auto t1 = std::chrono::steady_clock::now();
        double c1 = CpuSeconds();
        r.peak = std::max(r.peak, sim::HeapPeak());
        if (!ExpandWithLiblzma(sourcePath, liblzmaOut)) {
            std::printf("%s: liblzma failed\n", name);
            return 1;
        }
        auto t2 = std::chrono::steady_clock::now();
        double c2 = CpuSeconds();
        r.stubCpu = std::min(r.stubCpu, c1 - c0);
        r.liblzmaCpu = std::min(r.liblzmaCpu, c2 - c1);
        r.stubSeconds = std::min(r.stubSeconds, Seconds(t1 - t0));
        r.liblzmaSeconds = std::min(r.liblzmaSeconds, Seconds(t2 - t1));
    }
    if (ReadAll(stubOut) != data || ReadAll(liblzmaOut) != data) {
        if (!fresh)
            return Measure(name, fileName, data, dir, true);
        std::printf("%s: an output differs from the input\n", name);
        return 1;
    }

    const size_t compressed = file.size() - 13;
    const size_t probs = 2 * (1846 + (size_t(768) << 3));
    const size_t formula = compressed + data.size() + probs;
    const double stubRate = double(data.size()) / r.stubSeconds / 1e6;
    const double liblzmaRate = double(data.size()) / r.liblzmaSeconds / 1e6;
    std::printf("%s: %zu bytes -> %zu compressed (%.1f %%), %s\n", name, data.size(), file.size(),
                100.0 * double(file.size()) / double(data.size()),
                encodeSeconds > 0 ? ("encoded in " + std::to_string(int(encodeSeconds)) + " s").c_str()
                                  : "encoded earlier");
    std::printf("  ExpandLzmaFile  %8.1f MB/s wall, %8.1f MB/s CPU  (best of %d: %.3f s wall, %.3f s CPU)\n",
                stubRate, double(data.size()) / r.stubCpu / 1e6, kRuns, r.stubSeconds, r.stubCpu);
    std::printf("  liblzma         %8.1f MB/s wall, %8.1f MB/s CPU  (best of %d: %.3f s wall, %.3f s CPU)\n",
                liblzmaRate, double(data.size()) / r.liblzmaCpu / 1e6, kRuns, r.liblzmaSeconds, r.liblzmaCpu);
    std::printf("  ratio ExpandLzmaFile / liblzma: %.3f wall, %.3f CPU (goal >= 1.0)\n", stubRate / liblzmaRate,
                r.liblzmaCpu / r.stubCpu);
    std::printf("  peak heap %zu bytes; compressed + declared + 2 x probabilities = %zu; difference %lld bytes "
                "(goal within 65536)\n",
                r.peak, formula, static_cast<long long>(r.peak) - static_cast<long long>(formula));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    fs::path dir = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path() / "setupstub-bench";
    fs::create_directories(dir);
    sim::Reset();
    sim::AddDrive(u'C', dir.string(), DRIVE_FIXED);
    sim::SetHeapLimit(size_t(1) << 30);
    std::printf("liblzma %s; files in %s\n", lzma_version_string(), dir.string().c_str());
    int failures = Measure("text-like", "text-like.lzma", TextLike(kSize), dir.string());
    failures += Measure("poorly compressible", "poorly-compressible.lzma", PoorlyCompressible(kSize), dir.string());
    fs::remove(dir / "expanded.bin");
    fs::remove(dir / "liblzma.bin");
    return failures ? 1 : 0;
}
