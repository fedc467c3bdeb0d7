// ExpandLzmaFile on the simulated Windows: header checks, stop conditions,
// every failure with the state it leaves the destination in, memory use,
// and round trips of files made by the SDK's encoder and by lzma_alone.
#include "harness.h"
#include "lzma_expand.h"
#include "lzma_fixture.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

namespace {

namespace fs = std::filesystem;

const std::u16string kSource = u"M:\\Setup.ms_";
const std::u16string kDestination = u"C:\\Temp\\Setup.msi";
const std::string kStale = "stale bytes of an earlier run";

int OpenFileDescriptors()
{
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;  // the directory stream itself
}

std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(generator() & 0xFF);
    return bytes;
}

// Text-like: words from a small vocabulary, so there are matches at every distance.
std::string TextBytes(size_t size, uint32_t seed)
{
    static const char* const words[] = {"setup ", "package ", "transform ", "medium ", "install ",
                                        "language ", "drive\r\n", "the ", "of ", "0x1F2E ", "eject "};
    std::mt19937 generator(seed);
    std::string text;
    while (text.size() < size)
        text += words[generator() % (sizeof words / sizeof *words)];
    text.resize(size);
    return text;
}

uint8_t PropertiesByte(int lc, int lp, int pb) { return uint8_t((pb * 5 + lp) * 9 + lc); }

size_t ProbabilityBytes(int lc, int lp) { return 2 * (1846 + (size_t(768) << (lc + lp))); }

void SetDeclaredSize(std::string* file, uint64_t size)
{
    for (int i = 0; i < 8; ++i)
        (*file)[5 + i] = char((size >> (8 * i)) & 0xFF);
}

std::string RunLzmaAlone(const std::string& dir, const std::string& data, const std::string& options)
{
    std::string in = dir + "/alone.in", out = dir + "/alone.lzma";
    std::ofstream(in, std::ios::binary) << data;
    std::string command = std::string(STUB_LZMA_ALONE) + " e " + in + " " + out + " " + options + " >" + dir +
                          "/alone.log 2>&1";
    if (std::system(command.c_str()) != 0)
        return "";
    std::ifstream file(out, std::ios::binary);
    std::ostringstream all;
    all << file.rdbuf();
    return all.str();
}

class LzmaExpandTest : public SimTest {
protected:
    // Expands file (written to the medium) into the destination, which holds
    // stale bytes before. Checks that both streams are closed afterwards.
    bool Expand(const std::string& file, const std::u16string& destination = kDestination)
    {
        WriteFile(kSource, file);
        if (destination == kDestination)
            WriteFile(kDestination, kStale);
        int before = OpenFileDescriptors();
        FILE* source = _wfopen(kSource.c_str(), u"rb");
        EXPECT_NE(source, nullptr);
        if (!source)
            return false;
        sim::ResetHeapPeak();
        bool result = ExpandLzmaFile(source, destination.c_str());
        EXPECT_EQ(OpenFileDescriptors(), before) << "a stream was left open";
        EXPECT_EQ(sim::HeapInUse(), 0u) << "a heap block was left";
        return result;
    }
};

// ---- Failures after the destination is open: false, and the destination
// (which held stale bytes) exists and is empty.

struct FailureCase {
    const char* name;
    std::string file;
};

std::vector<FailureCase> FailureCases()
{
    std::string text = TextBytes(5000, 1);
    std::string marked = lzma_fixture::EncodeStream(text, 3, 0, 2, true);
    std::string plain = lzma_fixture::EncodeStream(text, 3, 0, 2, false);
    const uint8_t props = PropertiesByte(3, 0, 2);
    std::string damaged = lzma_fixture::Header(props, 1 << 20, text.size()) + plain;
    damaged[13] = 1;  // the range decoder's first byte is always 0
    return {
        {"empty file", ""},
        {"four header bytes", std::string("\x5d\x00\x00\x10", 4)},
        {"five header bytes, no size", lzma_fixture::Header(props, 1 << 20, 0).substr(0, 5)},
        {"one size byte missing", lzma_fixture::Header(props, 1 << 20, 0).substr(0, 12)},
        {"exactly the header, size 0", lzma_fixture::Header(props, 1 << 20, 0)},
        {"exactly the header, size 10", lzma_fixture::Header(props, 1 << 20, 10)},
        {"four stream bytes, size 0", lzma_fixture::Header(props, 1 << 20, 0) + std::string(4, '\0')},
        {"size all 0xFF before a marked stream", lzma_fixture::Header(props, 1 << 20, UINT64_MAX) + marked},
        {"size 4 GiB", lzma_fixture::Header(props, 1 << 20, uint64_t(1) << 32) + marked},
        {"size with only the top byte set", lzma_fixture::Header(props, 1 << 20, uint64_t(0x80) << 56) + marked},
        {"properties 225", lzma_fixture::Header(225, 1 << 20, text.size()) + marked},
        {"properties 255", lzma_fixture::Header(255, 1 << 20, text.size()) + marked},
        {"stream cut in half", lzma_fixture::Header(props, 1 << 20, text.size()) + plain.substr(0, plain.size() / 2)},
        {"stream shorter than the declared size", lzma_fixture::Header(props, 1 << 20, text.size() + 1) + plain},
        {"first stream byte not 0", damaged},
    };
}

TEST_F(LzmaExpandTest, FailuresLeaveAnEmptyDestination)
{
    for (const FailureCase& c : FailureCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(Expand(c.file));
        ASSERT_TRUE(Exists(kDestination));
        EXPECT_EQ(ReadFile(kDestination), "");
    }
}

// ---- Successes at the edges of the container.

struct EdgeCase {
    const char* name;
    std::string file;
    std::string expected;
};

std::vector<EdgeCase> EdgeCases()
{
    std::string text = TextBytes(20000, 2);
    const uint8_t props = PropertiesByte(3, 0, 2);
    std::string marked = lzma_fixture::EncodeStream(text, 3, 0, 2, true);
    std::string plain = lzma_fixture::EncodeStream(text, 3, 0, 2, false);

    // Matches reach back 40000 bytes: a decoder that trusted a dictionary
    // field below that would reject them.
    std::string far = RandomBytes(40000, 3);
    far += far;
    std::string farStream = lzma_fixture::EncodeStream(far, 3, 0, 2, false, 5, 1 << 20);

    return {
        {"size 0 with the five start bytes", lzma_fixture::Header(props, 1 << 20, 0) + std::string(5, '\0'), ""},
        {"size 0 ignores a whole stream behind", lzma_fixture::Header(props, 1 << 20, 0) + plain, ""},
        {"end marker before the declared size", lzma_fixture::Header(props, 1 << 20, text.size() + 777) + marked,
         text},
        {"end marker at the declared size", lzma_fixture::Header(props, 1 << 20, text.size()) + marked, text},
        {"declared size cuts the stream", lzma_fixture::Header(props, 1 << 20, 1234) + plain, text.substr(0, 1234)},
        {"input after the declared size", lzma_fixture::Header(props, 1 << 20, text.size()) + plain + "trailing junk",
         text},
        {"dictionary field 0", lzma_fixture::Header(props, 0, far.size()) + farStream, far},
        {"dictionary field 4 KiB", lzma_fixture::Header(props, 4096, far.size()) + farStream, far},
    };
}

TEST_F(LzmaExpandTest, EdgesOfTheContainer)
{
    for (const EdgeCase& c : EdgeCases()) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(Expand(c.file));
        EXPECT_EQ(ReadFile(kDestination), c.expected);
    }
}

// ---- Round trips, with the memory the expansion takes: exactly the
// compressed data, the declared size and the probability array.

TEST_F(LzmaExpandTest, RoundTripsOfTheSdkEncoder)
{
    struct Settings {
        int lc, lp, pb;
    };
    const Settings settings[] = {{3, 0, 2}, {0, 0, 0}, {8, 0, 0}, {0, 4, 4}, {1, 2, 3}, {8, 4, 4}};
    const std::string inputs[] = {TextBytes(100000, 4), RandomBytes(70000, 5), std::string(1, 'x')};
    for (const Settings& s : settings)
        for (const std::string& data : inputs)
            for (bool endMarker : {false, true}) {
                SCOPED_TRACE("lc " + std::to_string(s.lc) + " lp " + std::to_string(s.lp) + " pb " +
                             std::to_string(s.pb) + " size " + std::to_string(data.size()) +
                             (endMarker ? " with end marker" : ""));
                std::string file = CompressLzmaAlone(data, s.lc, s.lp, s.pb, endMarker, true);
                EXPECT_EQ(uint8_t(file[0]), PropertiesByte(s.lc, s.lp, s.pb));
                ASSERT_TRUE(Expand(file));
                EXPECT_TRUE(ReadFile(kDestination) == data);
                EXPECT_EQ(sim::HeapPeak(), file.size() - 13 + data.size() + ProbabilityBytes(s.lc, s.lp));
            }
}

TEST_F(LzmaExpandTest, LargestPropertiesTakeTheLargestArray)
{
    // 224: lc 8, lp 4, pb 4, that is 3,147,574 probabilities.
    std::string data = TextBytes(10000, 6);
    std::string file = CompressLzmaAlone(data, 8, 4, 4, false, true);
    ASSERT_EQ(uint8_t(file[0]), 224);
    ASSERT_TRUE(Expand(file));
    EXPECT_EQ(ReadFile(kDestination), data);
    EXPECT_EQ(ProbabilityBytes(8, 4), 2u * 3147574u);
    EXPECT_EQ(sim::HeapPeak(), file.size() - 13 + data.size() + 2 * 3147574);
}

TEST_F(LzmaExpandTest, RoundTripsOfLzmaAlone)
{
    struct Case {
        const char* options;
        int lc, lp;
    };
    const Case cases[] = {{"", 3, 0}, {"-lc0 -lp4 -pb4", 0, 4}, {"-lc8 -lp0 -pb0 -d16", 8, 0}, {"-a0 -d12", 3, 0}};
    const std::string inputs[] = {TextBytes(500000, 7), RandomBytes(100000, 8)};
    for (const Case& c : cases)
        for (const std::string& data : inputs) {
            SCOPED_TRACE(std::string("lzma_alone e ") + c.options + " size " + std::to_string(data.size()));
            std::string file = RunLzmaAlone(root, data, c.options);
            ASSERT_GE(file.size(), 13u) << "lzma_alone failed";
            ASSERT_TRUE(Expand(file));
            EXPECT_TRUE(ReadFile(kDestination) == data);
            EXPECT_EQ(sim::HeapPeak(), file.size() - 13 + data.size() + ProbabilityBytes(c.lc, c.lp));
        }
}

TEST_F(LzmaExpandTest, LzmaAloneEndMarkerNeedsTheSizePatchedIn)
{
    // With -eos the tool writes the size as unknown, which is refused; the
    // same stream with its size stated expands.
    std::string data = TextBytes(50000, 9);
    std::string file = RunLzmaAlone(root, data, "-eos");
    ASSERT_GE(file.size(), 13u) << "lzma_alone failed";
    EXPECT_FALSE(Expand(file));
    EXPECT_EQ(ReadFile(kDestination), "");
    SetDeclaredSize(&file, data.size());
    EXPECT_TRUE(Expand(file));
    EXPECT_TRUE(ReadFile(kDestination) == data);
}

// ---- Memory: all three blocks are asked for before any is tested, and a
// missing one is an ordinary failure.

TEST_F(LzmaExpandTest, AllocationFailures)
{
    // Compressible, so that the output is the larger block and each limit hits only one.
    std::string data = TextBytes(200000, 10);
    std::string file = CompressLzmaAlone(data, 3, 0, 2, false, true);
    ASSERT_GT(data.size(), file.size() + 1000);
    const size_t probs = ProbabilityBytes(3, 0), declared = data.size(), compressed = file.size() - 13;

    struct Case {
        const char* name;
        std::function<void()> arrange;
        size_t peak;  // what was taken anyway: the other two blocks
    };
    const Case cases[] = {
        {"probabilities", [] { sim::InjectFault("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1); }, declared + compressed},
        {"output", [&] { sim::SetHeapLimit(probs + compressed + 1000); }, probs + compressed},
        {"input", [&] { sim::SetHeapLimit(probs + declared + 1000); }, probs + declared},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::ClearFaults();
        sim::SetHeapLimit(size_t(1) << 30);
        c.arrange();
        EXPECT_FALSE(Expand(file));
        EXPECT_EQ(ReadFile(kDestination), "");
        EXPECT_EQ(sim::HeapPeak(), c.peak);
    }
}

TEST_F(LzmaExpandTest, JustBelowFourGiBDependsOnTheHeap)
{
    // FF FF FF FF 00 00 00 00 passes the header test; then the 4 GiB - 1
    // output buffer decides. An end marker after a few bytes ends the stream.
    std::string data = "a few bytes before the end marker";
    std::string file = CompressLzmaAlone(data, 3, 0, 2, true, true);
    SetDeclaredSize(&file, 0xFFFFFFFFu);

    sim::SetHeapLimit(size_t(64) << 20);
    EXPECT_FALSE(Expand(file));
    EXPECT_EQ(ReadFile(kDestination), "");

    sim::SetHeapLimit(size_t(5) << 30);
    EXPECT_TRUE(Expand(file));
    EXPECT_EQ(ReadFile(kDestination), data);
    EXPECT_EQ(sim::HeapPeak(), file.size() - 13 + 0xFFFFFFFFu + ProbabilityBytes(3, 0));
}

// ---- The destination cannot be opened: false, untouched, source closed.

TEST_F(LzmaExpandTest, DestinationThatCannotBeOpened)
{
    std::string file = CompressLzmaAlone("payload", 3, 0, 2, false, true);

    // Faulted open: the stale file keeps its bytes.
    WriteFile(kDestination, kStale);
    WriteFile(kSource, file);
    int before = OpenFileDescriptors();
    FILE* source = _wfopen(kSource.c_str(), u"rb");
    ASSERT_NE(source, nullptr);
    sim::InjectFault("_wfopen", ERROR_ACCESS_DENIED, 1);
    EXPECT_FALSE(ExpandLzmaFile(source, kDestination.c_str()));
    EXPECT_EQ(OpenFileDescriptors(), before);
    EXPECT_EQ(ReadFile(kDestination), kStale);

    // A directory in the way, and a directory that does not exist.
    MakeDirectory(u"C:\\Temp\\Folder");
    EXPECT_FALSE(Expand(file, u"C:\\Temp\\Folder"));
    EXPECT_TRUE(fs::is_directory(sim::HostPath(u"C:\\Temp\\Folder")));
    EXPECT_FALSE(Expand(file, u"C:\\Temp\\Missing\\Setup.msi"));
    EXPECT_FALSE(Exists(u"C:\\Temp\\Missing"));
}

// ---- Streams that fail under the expansion. A stream of our own (glibc's
// fopencookie) stands for a medium whose reads fail after the length was
// taken, or one that cannot seek.

struct CookieSource {
    std::string bytes;
    size_t readable;  // reads fail past this offset
    bool seekable;
    size_t offset = 0;
    bool closed = false;
};

ssize_t CookieRead(void* cookie, char* buffer, size_t size)
{
    auto* s = static_cast<CookieSource*>(cookie);
    if (s->offset >= s->readable)
        return -1;
    size_t n = std::min(size, s->readable - s->offset);
    std::memcpy(buffer, s->bytes.data() + s->offset, n);
    s->offset += n;
    return ssize_t(n);
}

int CookieSeek(void* cookie, off64_t* position, int whence)
{
    auto* s = static_cast<CookieSource*>(cookie);
    if (!s->seekable)
        return -1;
    off64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? off64_t(s->offset) : off64_t(s->bytes.size());
    s->offset = size_t(base + *position);
    *position = off64_t(s->offset);
    return 0;
}

int CookieClose(void* cookie)
{
    static_cast<CookieSource*>(cookie)->closed = true;
    return 0;
}

TEST_F(LzmaExpandTest, SourceStreamFailures)
{
    std::string data = RandomBytes(100000, 11);
    std::string file = CompressLzmaAlone(data, 3, 0, 2, false, true);
    struct Case {
        const char* name;
        size_t readable;
        bool seekable;
        bool result;
    };
    const Case cases[] = {
        {"sound stream", file.size(), true, true},
        {"payload read fails", file.size() - 100, true, false},
        {"header read fails", 3, true, false},
        {"cannot seek", file.size(), false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(kDestination, kStale);
        CookieSource state{file, c.readable, c.seekable};
        FILE* source = fopencookie(&state, "rb", {CookieRead, nullptr, CookieSeek, CookieClose});
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(ExpandLzmaFile(source, kDestination.c_str()), c.result);
        EXPECT_TRUE(state.closed);
        EXPECT_TRUE(ReadFile(kDestination) == (c.result ? data : ""));
        EXPECT_EQ(sim::HeapInUse(), 0u);
    }
}

// ---- Writes that fail: false, and the destination holds what was written.

TEST_F(LzmaExpandTest, WriteThatCannotFinish)
{
    // A file size limit lets the write stop part way, as a full disk would.
    std::string data = TextBytes(512 << 10, 12);
    std::string file = CompressLzmaAlone(data, 3, 0, 2, false, true);
    constexpr rlim_t kLimit = 200000;
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    WriteFile(kSource, file);
    WriteFile(kDestination, kStale);
    int before = OpenFileDescriptors();
    FILE* source = _wfopen(kSource.c_str(), u"rb");
    ASSERT_NE(source, nullptr);
    auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = kLimit;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    bool result = ExpandLzmaFile(source, kDestination.c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(result);
    EXPECT_EQ(OpenFileDescriptors(), before);
    EXPECT_TRUE(ReadFile(kDestination) == data.substr(0, kLimit));
}

TEST_F(LzmaExpandTest, WriteThatFailsOnlyWhenFlushed)
{
    // A small output fits the stream's buffer, so the write itself reports
    // every byte; the failure shows when the buffer goes to the device.
    std::string file = CompressLzmaAlone("fits in the buffer", 3, 0, 2, false, true);
    std::string host = sim::HostPath(u"C:\\Temp\\Full.msi");
    ASSERT_EQ(symlink("/dev/full", host.c_str()), 0);
    EXPECT_FALSE(Expand(file, u"C:\\Temp\\Full.msi"));
    // And a large one, where the write itself fails.
    EXPECT_FALSE(Expand(CompressLzmaAlone(TextBytes(100000, 13), 3, 0, 2, false, true), u"C:\\Temp\\Full.msi"));
}

}  // namespace
