#include "harness.h"

#include "staging.h"
#include "text.h"

#include <LzmaEnc.h>

#include <array>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void* EncoderAlloc(void*, size_t size) { return std::malloc(size); }
void EncoderFree(void*, void* block) { std::free(block); }

// An LZMA-alone file with the size in its header, as media authors make them.
std::string Compress(const std::string& data)
{
    static std::map<std::string, std::string> compressed;  // the same contents recur in every case
    auto known = compressed.find(data);
    if (known != compressed.end())
        return known->second;
    ISzAlloc alloc = {EncoderAlloc, EncoderFree};
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.dictSize = 1 << 16;
    std::vector<Byte> stream(data.size() + data.size() / 2 + 1024);
    SizeT streamSize = stream.size();
    Byte header[LZMA_PROPS_SIZE];
    SizeT headerSize = sizeof header;
    SRes result = LzmaEncode(stream.data(), &streamSize, reinterpret_cast<const Byte*>(data.data()), data.size(),
                             &props, header, &headerSize, 0, nullptr, &alloc, &alloc);
    EXPECT_EQ(result, SZ_OK);
    std::string file(reinterpret_cast<const char*>(header), headerSize);
    for (int i = 0; i < 8; ++i)
        file.push_back(char(uint64_t(data.size()) >> (8 * i)));
    file.append(reinterpret_cast<const char*>(stream.data()), streamSize);
    return compressed[data] = file;
}

std::string RandomBytes(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(random());
    return bytes;
}

// Size bytes all 0xFF: a header the expansion refuses once it has created its destination.
const std::string kUnsizedHeader = std::string("\x5D\x00\x00\x01\x00", 5) + std::string(8, '\xFF') + "payload";

class StagingTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        // Guard characters past the capacity show writes beyond it; the rest is what the caller handed in.
        buffer.fill(u'\x7F');
        std::fill(buffer.begin(), buffer.begin() + kPathCapacity - 1, u'q');
        buffer[kPathCapacity - 1] = 0;
        handedIn = buffer;
    }

    bool Stage(const char16_t* name, WORD language = 1033)
    {
        sim::ClearEvents();
        bool staged = StagePackage(name, buffer.data(), language);
        for (size_t i = kPathCapacity; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], u'\x7F') << "written past the capacity at " << i;
        return staged;
    }

    std::u16string Held() const { return std::u16string(buffer.data()); }
    bool AsHandedIn() const { return buffer == handedIn; }

    // The file operations in the order they reached the machine.
    static std::vector<std::string> FileEvents()
    {
        std::vector<std::string> events;
        for (const std::string& e : sim::Events())
            for (const char* op : {"PathFileExistsW ", "SetFileAttributesW ", "DeleteFileW ", "_wfopen "})
                if (e.rfind(op, 0) == 0)
                    events.push_back(e);
        return events;
    }
    // Anything beyond looking: attribute changes, deletions, opens.
    static bool TouchedFiles()
    {
        for (const std::string& e : FileEvents())
            if (e.rfind("PathFileExistsW ", 0) != 0)
                return true;
        return false;
    }

    void PutPackage(const std::u16string& path, const std::string& data) { WriteFile(path, Compress(data)); }
    // The usual compressed medium, with stale staged files from an earlier run.
    void PutCompressedMediumAndStaleFiles()
    {
        PutPackage(u"M:\\Setup.ms_", package);
        PutPackage(u"M:\\1033.ms_", transform);
        WriteFile(u"C:\\Temp\\Setup.msi", stale);
        WriteFile(u"C:\\Temp\\1033.mst", stale);
    }

    std::array<WCHAR, kPathCapacity + 8> buffer;
    std::array<WCHAR, kPathCapacity + 8> handedIn;
    // Long enough to span several dictionary windows, partly compressible like real packages.
    const std::string package = RandomBytes(120000, 1) + std::string(80000, 'p') + RandomBytes(20000, 3);
    const std::string transform = RandomBytes(3000, 2);
    const std::string stale = "stale bytes from an earlier run";
};

TEST_F(StagingTest, PlainPackageIsUsedWhereItLiesAndNothingElseIsTouched)
{
    struct Case {
        const char16_t* name;
        std::u16string plain;
        bool compressedBeside;
    } cases[] = {
        {u"Setup.msi", u"M:\\Setup.msi", true},
        {u"Setup.msi", u"M:\\Setup.msi", false},  // no transform anywhere: still the plain package
        {u"disk1\\Setup.msi", u"M:\\disk1\\Setup.msi", true},
        {u"Setup", u"M:\\Setup", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.plain));
        Restart();
        WriteFile(c.plain, "plain package");
        if (c.compressedBeside) {
            std::u16string compressed = c.plain;
            compressed.back() = u'_';
            PutPackage(compressed, package);
            PutPackage(u"M:\\1033.ms_", transform);
        }
        WriteFile(u"C:\\Temp\\Setup.msi", stale);
        WriteFile(u"C:\\Temp\\1033.mst", stale);

        EXPECT_TRUE(Stage(c.name));
        EXPECT_EQ(Held(), c.plain);
        EXPECT_EQ(FileEvents(), std::vector<std::string>{"PathFileExistsW " + Narrow(c.plain)});
        EXPECT_EQ(ReadFile(u"C:\\Temp\\Setup.msi"), stale);
        EXPECT_EQ(ReadFile(u"C:\\Temp\\1033.mst"), stale);
        EXPECT_EQ(ReadFile(c.plain), "plain package");
    }
}

TEST_F(StagingTest, CompressedPackageAndTransformAreExpandedUnderTheirNames)
{
    struct Case {
        const char16_t* name;
        WORD language;
        std::u16string temp;
        std::u16string compressedPackage;
        std::u16string compressedTransform;
        std::u16string stagedPackage;
        std::u16string stagedTransform;
    } cases[] = {
        {u"Setup.msi", 1033, u"C:\\Temp\\", u"M:\\Setup.ms_", u"M:\\1033.ms_", u"C:\\Temp\\\\Setup.msi",
         u"C:\\Temp\\\\1033.mst"},
        {u"Setup", 1031, u"C:\\Temp\\", u"M:\\Setu_", u"M:\\1031.ms_", u"C:\\Temp\\\\Setup", u"C:\\Temp\\\\1031.mst"},
        {u"Setup.msi", 0, u"C:\\Temp\\", u"M:\\Setup.ms_", u"M:\\0.ms_", u"C:\\Temp\\\\Setup.msi",
         u"C:\\Temp\\\\0.mst"},
        {u"Setup.msi", 65535, u"C:\\Temp\\", u"M:\\Setup.ms_", u"M:\\65535.ms_", u"C:\\Temp\\\\Setup.msi",
         u"C:\\Temp\\\\65535.mst"},
        // A temporary directory given without its backslash gets exactly one.
        {u"Setup.msi", 1033, u"C:\\Temp", u"M:\\Setup.ms_", u"M:\\1033.ms_", u"C:\\Temp\\Setup.msi",
         u"C:\\Temp\\1033.mst"},
        // Names that merely resemble device names are ordinary files.
        {u"COM10.msi", 1033, u"C:\\Temp\\", u"M:\\COM10.ms_", u"M:\\1033.ms_", u"C:\\Temp\\\\COM10.msi",
         u"C:\\Temp\\\\1033.mst"},
        {u"Console.msi", 1033, u"C:\\Temp\\", u"M:\\Console.ms_", u"M:\\1033.ms_", u"C:\\Temp\\\\Console.msi",
         u"C:\\Temp\\\\1033.mst"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.stagedTransform));
        Restart();
        sim::SetTempPath(c.temp);
        PutPackage(c.compressedPackage, package);
        PutPackage(c.compressedTransform, transform);

        EXPECT_TRUE(Stage(c.name, c.language));
        EXPECT_EQ(Held(), c.stagedPackage);
        EXPECT_EQ(ReadFile(c.stagedPackage), package);
        EXPECT_EQ(ReadFile(c.stagedTransform), transform);
        // The package is expanded before the transform, each from its own stream.
        EXPECT_EQ(FileEvents(), (std::vector<std::string>{
                                    "PathFileExistsW M:\\" + Narrow(c.name),
                                    "PathFileExistsW " + Narrow(c.stagedPackage),
                                    "PathFileExistsW " + Narrow(c.stagedTransform),
                                    "_wfopen " + Narrow(c.compressedPackage) + " rb",
                                    "_wfopen " + Narrow(c.stagedPackage) + " wb+",
                                    "_wfopen " + Narrow(c.compressedTransform) + " rb",
                                    "_wfopen " + Narrow(c.stagedTransform) + " wb+",
                                }));
    }
}

TEST_F(StagingTest, EarlyFailuresLeaveBufferAndFilesAsTheyWere)
{
    struct Case {
        const char* what;
        std::function<void()> arrange;
        const char16_t* name;
    } cases[] = {
        {"no module path", [] { sim::InjectFault("GetModuleFileNameW", ERROR_NOT_ENOUGH_MEMORY); }, u"Setup.msi"},
        {"module path without a backslash", [] { sim::SetModulePath(u"setup.exe"); }, u"Setup.msi"},
        {"no temporary directory", [] { sim::InjectFault("GetTempPathW", ERROR_ACCESS_DENIED); }, u"Setup.msi"},
        {"temporary directory longer than its buffer",
         [] { sim::SetTempPath(u"C:\\" + std::u16string(256, u't') + u"\\"); }, u"Setup.msi"},
        {"temporary directory that fills its buffer",
         [] { sim::SetTempPath(u"C:\\" + std::u16string(255, u't') + u"\\"); }, u"Setup.msi"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        PutCompressedMediumAndStaleFiles();
        c.arrange();
        EXPECT_FALSE(Stage(c.name));
        EXPECT_TRUE(AsHandedIn());
        EXPECT_FALSE(TouchedFiles());
        EXPECT_EQ(ReadFile(u"C:\\Temp\\Setup.msi"), stale);
        EXPECT_EQ(ReadFile(u"C:\\Temp\\1033.mst"), stale);
    }

    // Missing arguments: not even the plain package is looked for.
    Restart();
    WriteFile(u"M:\\Setup.msi", "plain package");
    EXPECT_FALSE(Stage(nullptr));
    EXPECT_TRUE(AsHandedIn());
    EXPECT_TRUE(sim::Events().empty());
    sim::ClearEvents();
    EXPECT_FALSE(StagePackage(u"Setup.msi", nullptr, 1033));
    EXPECT_TRUE(sim::Events().empty());
}

TEST_F(StagingTest, CompressedPackageThatCannotBeOpenedFailsAfterStaleFilesAreDeleted)
{
    PutCompressedMediumAndStaleFiles();
    DeleteFileW(u"M:\\Setup.ms_");

    EXPECT_FALSE(Stage(u"Setup.msi"));
    EXPECT_EQ(Held(), u"C:\\Temp\\\\Setup.msi");
    EXPECT_FALSE(Exists(u"C:\\Temp\\Setup.msi"));
    EXPECT_FALSE(Exists(u"C:\\Temp\\1033.mst"));
    EXPECT_EQ(sim::FindEvent("_wfopen M:\\1033.ms_"), -1);
}

TEST_F(StagingTest, PackageExpansionFailureStopsBeforeTheTransform)
{
    struct Case {
        const char* what;
        std::function<void()> arrange;
        std::u16string temp;
        bool stagedPackageExists;
        std::string stagedPackage;
    } cases[] = {
        {"damaged package", [this] { WriteFile(u"M:\\Setup.ms_", kUnsizedHeader); }, u"C:\\Temp\\", true, ""},
        {"truncated package",
         [this] {
             std::string compressed = Compress(package);
             WriteFile(u"M:\\Setup.ms_", compressed.substr(0, compressed.size() / 2));
         },
         u"C:\\Temp\\", true, ""},
        {"temporary directory missing", [this] { PutPackage(u"M:\\Setup.ms_", package); }, u"C:\\Gone\\", false, ""},
        // Neither deleted nor opened for writing: it stays as it was.
        {"stale package in use",
         [this] {
             PutPackage(u"M:\\Setup.ms_", package);
             WriteFile(u"C:\\Temp\\Setup.msi", stale);
             sim::SetFileInUse(u"C:\\Temp\\Setup.msi", true);
         },
         u"C:\\Temp\\", true, "stale bytes from an earlier run"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        sim::SetTempPath(c.temp);
        PutPackage(u"M:\\1033.ms_", transform);
        WriteFile(u"C:\\Temp\\1033.mst", stale);
        c.arrange();

        EXPECT_FALSE(Stage(u"Setup.msi"));
        EXPECT_EQ(Held(), c.temp + u"\\Setup.msi");
        EXPECT_EQ(Exists(Held()), c.stagedPackageExists);
        if (c.stagedPackageExists) {
            EXPECT_EQ(ReadFile(Held()), c.stagedPackage);
        }
        if (c.temp == u"C:\\Temp\\") {
            EXPECT_FALSE(Exists(u"C:\\Temp\\1033.mst")) << "the stale transform is deleted first";
        }
        EXPECT_EQ(sim::FindEvent("_wfopen M:\\1033.ms_"), -1) << "the transform is not attempted";
    }
}

TEST_F(StagingTest, TransformFailureLeavesTheExpandedPackage)
{
    struct Case {
        const char* what;
        bool compressedTransformExists;
        bool stagedTransformExists;
    } cases[] = {
        {"transform missing", false, false},
        {"transform damaged", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        PutPackage(u"M:\\Setup.ms_", package);
        WriteFile(u"C:\\Temp\\1033.mst", stale);
        if (c.compressedTransformExists)
            WriteFile(u"M:\\1033.ms_", kUnsizedHeader);

        EXPECT_FALSE(Stage(u"Setup.msi"));
        EXPECT_EQ(Held(), u"C:\\Temp\\\\Setup.msi");
        EXPECT_EQ(ReadFile(u"C:\\Temp\\Setup.msi"), package);
        EXPECT_EQ(Exists(u"C:\\Temp\\1033.mst"), c.stagedTransformExists);
        if (c.stagedTransformExists) {
            EXPECT_EQ(ReadFile(u"C:\\Temp\\1033.mst"), "");
        }
    }
}

// Hard links show whether the old file was replaced or written over.
TEST_F(StagingTest, StaleReadOnlyOrHiddenStagedFilesAreMadeNormalAndDeleted)
{
    struct Case {
        const char* what;
        bool readOnly;
        bool hidden;
    } cases[] = {
        {"read-only", true, false},
        {"hidden", false, true},
        {"read-only and hidden", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        PutPackage(u"M:\\Setup.ms_", package);
        PutPackage(u"M:\\1033.ms_", transform);
        for (auto [path, link] : {std::pair{u"C:\\Temp\\Setup.msi", u"C:\\old-package"},
                                  std::pair{u"C:\\Temp\\1033.mst", u"C:\\old-transform"}}) {
            WriteFile(path, stale);
            ASSERT_EQ(::link(sim::HostPath(path).c_str(), sim::HostPath(link).c_str()), 0);
            if (c.readOnly)
                ::chmod(sim::HostPath(path).c_str(), 0444);
            sim::SetHidden(path, c.hidden);
        }

        EXPECT_TRUE(Stage(u"Setup.msi"));
        EXPECT_EQ(ReadFile(u"C:\\Temp\\Setup.msi"), package);
        EXPECT_EQ(ReadFile(u"C:\\Temp\\1033.mst"), transform);
        EXPECT_EQ(ReadFile(u"C:\\old-package"), stale);
        EXPECT_EQ(ReadFile(u"C:\\old-transform"), stale);
        EXPECT_EQ(GetFileAttributesW(u"C:\\Temp\\Setup.msi"), FILE_ATTRIBUTE_NORMAL);
        EXPECT_EQ(GetFileAttributesW(u"C:\\Temp\\1033.mst"), FILE_ATTRIBUTE_NORMAL);
        for (const char* staged : {"C:\\Temp\\\\Setup.msi", "C:\\Temp\\\\1033.mst"}) {
            int normal = sim::FindEvent(std::string("SetFileAttributesW ") + staged + " 128");
            int deleted = sim::FindEvent(std::string("DeleteFileW ") + staged);
            int created = sim::FindEvent(std::string("_wfopen ") + staged + " wb+");
            EXPECT_TRUE(normal >= 0 && normal < deleted && deleted < created) << staged;
        }
    }
}

TEST_F(StagingTest, StaleFileThatCannotBeMadeNormalNorDeletedIsRewrittenOnlyWhenNeitherHiddenNorSystem)
{
    // Windows refuses to create a file anew over a hidden or system one.
    struct Case {
        const char* what;
        DWORD attributes;
        bool staged;
    } cases[] = {
        {"normal", FILE_ATTRIBUTE_NORMAL, true},
        {"hidden", FILE_ATTRIBUTE_HIDDEN, false},
        {"system", FILE_ATTRIBUTE_SYSTEM, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        PutCompressedMediumAndStaleFiles();
        ASSERT_TRUE(SetFileAttributesW(u"C:\\Temp\\Setup.msi", c.attributes));
        sim::InjectFault("SetFileAttributesW", ERROR_ACCESS_DENIED);
        sim::InjectFault("DeleteFileW", ERROR_ACCESS_DENIED);

        EXPECT_EQ(Stage(u"Setup.msi"), c.staged);
        EXPECT_EQ(ReadFile(u"C:\\Temp\\Setup.msi"), c.staged ? package : stale);
        EXPECT_EQ(GetFileAttributesW(u"C:\\Temp\\Setup.msi"), c.attributes);
    }
}

TEST_F(StagingTest, StaleFileThatCannotBeDeletedIsRewrittenInPlace)
{
    PutCompressedMediumAndStaleFiles();
    ASSERT_EQ(::link(sim::HostPath(u"C:\\Temp\\Setup.msi").c_str(), sim::HostPath(u"C:\\same-file").c_str()), 0);
    sim::InjectFault("DeleteFileW", ERROR_ACCESS_DENIED);

    EXPECT_TRUE(Stage(u"Setup.msi"));
    EXPECT_EQ(ReadFile(u"C:\\Temp\\Setup.msi"), package);
    EXPECT_EQ(ReadFile(u"C:\\same-file"), package) << "truncated and rewritten, not replaced";
}

// A directory of the given length, its trailing backslash included.
std::u16string DirectoryOfLength(char16_t drive, size_t length, char16_t filler)
{
    std::u16string root{drive, u':', u'\\'};
    return length == root.size() ? root : root + std::u16string(length - 4, filler) + u"\\";
}

// Program and temporary directories of the lengths that just fit 260
// characters with the names joined to them, and one more.
TEST_F(StagingTest, PathsAtTheLengthLimit)
{
    struct Case {
        size_t programDirectory;
        size_t tempDirectory;
        const char16_t* name;
        WORD language;
        bool fits;
    } cases[] = {
        {250, 8, u"Setup.msi", 1033, true},  // M:\...\Setup.msi: 259
        {251, 8, u"Setup.msi", 1033, false},
        {250, 8, u"S.msi", 65535, true},  // M:\...\65535.ms_: 259
        {251, 8, u"S.msi", 65535, false},  // the package path fits, the transform path does not
        {3, 249, u"Setup.msi", 1033, true},  // C:\...\\Setup.msi: 259
        {3, 250, u"Setup.msi", 1033, false},
        {3, 249, u"S.msi", 65535, true},
        {3, 250, u"S.msi", 65535, false},  // the staged package would fit, its transform would not
        {250, 249, u"Setup.msi", 1033, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.name) + ", program directory " + std::to_string(c.programDirectory) +
                     ", temporary directory " + std::to_string(c.tempDirectory));
        Restart();
        std::u16string program = DirectoryOfLength(u'M', c.programDirectory, u'd');
        std::u16string temp = c.tempDirectory == 8 ? u"C:\\Temp\\" : DirectoryOfLength(u'C', c.tempDirectory, u't');
        std::u16string transformName = c.language == 1033 ? u"1033.mst" : u"65535.mst";
        std::u16string compressedPackage = program + c.name, compressedTransform = program + transformName;
        compressedPackage.back() = compressedTransform.back() = u'_';
        if (compressedPackage.size() < kPathCapacity)
            PutPackage(compressedPackage, package);
        if (compressedTransform.size() < kPathCapacity)
            PutPackage(compressedTransform, transform);
        sim::SetModulePath(program + u"setup.exe");
        MakeDirectory(temp);
        sim::SetTempPath(temp);

        EXPECT_EQ(Stage(c.name, c.language), c.fits);
        if (c.fits) {
            EXPECT_EQ(Held(), temp + u"\\" + c.name);
            EXPECT_EQ(ReadFile(Held()), package);
            EXPECT_EQ(ReadFile(temp + u"\\" + transformName), transform);
        } else {
            EXPECT_TRUE(AsHandedIn());
            EXPECT_FALSE(TouchedFiles());
        }
    }
}

// Such names would make the staged path, and the deletion of its stale copy,
// reach outside the temporary directory: staging refuses them.
TEST_F(StagingTest, NamesThatLeaveTheTemporaryDirectoryAreNotStaged)
{
    PutPackage(u"M:\\Setup.ms_", package);
    PutPackage(u"M:\\sub\\Setup.ms_", package);
    PutPackage(u"M:\\1033.ms_", transform);
    WriteFile(u"C:\\Setup.msi", "bystander");
    WriteFile(u"C:\\Temp\\sub\\Setup.msi", "bystander");
    for (const char16_t* name :
         {u"...", u" . ", u"..\\Setup.msi", u"sub\\Setup.msi", u"sub/Setup.msi", u"C:Setup.msi",
          u"Setup.msi:stream", u"\\Setup.msi", u"NUL", u"con.msi", u"Aux .msi", u"COM1.msi", u"lpt9", u"COM\u00B9",
          u"CONIN$", u"CONOUT$.msi"}) {
        SCOPED_TRACE(Narrow(name));
        buffer = handedIn;
        EXPECT_FALSE(Stage(name));
        EXPECT_TRUE(AsHandedIn());
        EXPECT_FALSE(TouchedFiles());
    }
    EXPECT_EQ(ReadFile(u"C:\\Setup.msi"), "bystander");
    EXPECT_EQ(ReadFile(u"C:\\Temp\\sub\\Setup.msi"), "bystander");
}

}  // namespace
