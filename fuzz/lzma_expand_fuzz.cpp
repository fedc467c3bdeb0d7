// ExpandLzmaFile on arbitrary bytes: the bytes become the source file, the
// expansion must not crash, leak a block or a stream, or accept a header
// that the container refuses.
#include "lzma_expand.h"
#include "platform/sim/sim_control.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/stat.h>

namespace {

std::string dir;

void Fail(const char* what)
{
    std::fprintf(stderr, "lzma_expand_fuzz: %s\n", what);
    std::abort();
}

void SetUpOnce()
{
    if (!dir.empty())
        return;
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/setupstub-fuzz-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        Fail("no temporary directory");
    dir = pattern;
    std::atexit([] {
        unlink((dir + "/source.lzma").c_str());
        unlink((dir + "/expanded.bin").c_str());
        rmdir(dir.c_str());
    });
}

// A fresh machine for every input: its event and call lists would otherwise
// grow with each one, and libFuzzer scans for leaks after every run whose
// allocations outlive it.
void ResetMachine()
{
    sim::Reset();
    sim::AddDrive(u'C', dir, DRIVE_FIXED);
    // Small, so that headers declaring large sizes fail at the allocation,
    // and so do the widest literal contexts (lc + lp 11 and 12): resetting
    // their millions of probabilities took nine tenths of the time. The host
    // tests expand those; the fuzzer still reaches their refused allocation.
    sim::SetHeapLimit(size_t(2) << 20);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SetUpOnce();
    ResetMachine();
    const std::string sourcePath = dir + "/source.lzma";
    FILE* file = std::fopen(sourcePath.c_str(), "wb");
    if (!file || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0)
        Fail("cannot write the source file");

    FILE* source = std::fopen(sourcePath.c_str(), "rb");
    if (!source)
        Fail("cannot open the source file");
    int sourceFd = fileno(source);
    bool ok = ExpandLzmaFile(source, u"C:\\expanded.bin");

    if (fcntl(sourceFd, F_GETFD) != -1)
        Fail("source stream left open");
    if (sim::HeapInUse() != 0)
        Fail("heap block left");
    if (ok) {
        if (size < 13)
            Fail("success on a file shorter than the header");
        bool allOnes = true;
        uint64_t declared = 0;
        for (int i = 0; i < 8; ++i) {
            allOnes = allOnes && data[5 + i] == 0xFF;
            declared |= uint64_t(data[5 + i]) << (8 * i);
        }
        if (allOnes || declared > UINT32_MAX || data[0] >= 225)
            Fail("success on a refused header");
        struct stat st;
        if (stat((dir + "/expanded.bin").c_str(), &st) != 0 || uint64_t(st.st_size) > declared)
            Fail("output larger than the declared size");
    }
    return 0;
}
