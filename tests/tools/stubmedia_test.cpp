// stubmedia: a packed medium checks clean and explains as the launcher runs
// it; broken media each get the finding a setup engineer needs.
#include "tool_test_support.h"
#include "commands.h"
#include "launcher_sim.h"
#include "lzma_alone.h"
#include "medium.h"
#include "pack_tidy.h"
#include "shared_files.h"
#include "wixl_fixture.h"

extern "C" {
#include <LzmaEnc.h>
}

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

namespace fs = std::filesystem;
using namespace stubmedia;

namespace {

constexpr char kGuid[] = "{12345678-ABCD-1234-ABCD-1234567890AB}";

void Replace(const fs::path& path, const std::string& from, const std::string& to)
{
    std::string text = ReadBytes(path);
    size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from << " in " << text;
    text.replace(at, from.size(), to);
    WriteBytes(path, text);
}

// A compound-file signature and text that compresses like a real package.
std::string FakePackage(uint32_t seed, size_t size)
{
    static const char* kWords[] = {"Feature", "Component", "Registry", "File", "Directory", "Media", "Property"};
    std::string bytes = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
    uint32_t state = seed;
    while (bytes.size() < size) {
        state = state * 1103515245u + 12345u;
        bytes += kWords[(state >> 16) % 7];
        bytes += char('0' + (state >> 8) % 10);
        bytes += char(state >> 24);
    }
    bytes.resize(size);
    return bytes;
}

// The smallest file that reads as a PE program for the given machine.
std::string FakeProgram(uint16_t machine)
{
    std::string bytes(0x48, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    bytes[0x44] = char(machine & 0xFF);
    bytes[0x45] = char(machine >> 8);
    return bytes;
}

struct ToolRun {
    int code;
    std::string out;
    std::string err;
};

ToolRun Stubmedia(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    int code = RunStubmedia(args, out, err);
    return {code, out.str(), err.str()};
}

std::string Codes(const Findings& findings, Severity severity)
{
    std::string codes;
    for (const Finding& f : findings.items)
        if (f.severity == severity)
            codes += (codes.empty() ? "" : " ") + f.code;
    return codes;
}

class StubmediaTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/stubmedia-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        suiteRoot = pattern;
        setupExe = (fs::path(suiteRoot) / "setup.exe").string();
        WriteBytes(setupExe, FakeProgram(0x14C));
        input = (fs::path(suiteRoot) / "input").string();
        // Real packages of one product for both roles, and its language transforms.
        wixl_fixture::Product intel;
        intel.extraFiles = 12;
        wixl_fixture::Product x64 = intel;
        x64.arch = "x64";
        std::string base = wixl_fixture::BuildPackage(input, "Setup.msi", intel);
        wixl_fixture::BuildPackage(input, "Setup64.msi", x64);
        wixl_fixture::MakeTransform(input, base, wixl_fixture::German(intel));
        wixl_fixture::Product japanese = intel;
        japanese.language = 1041;
        japanese.greeting = "Konnichiwa";
        japanese.readmeName = "yomite.txt";
        wixl_fixture::MakeTransform(input, base, japanese);
        wixl_fixture::MakeTransform(input, base, intel);

        compressed = (fs::path(suiteRoot) / "compressed").string();
        ToolRun packed = Stubmedia({"pack", input, compressed, "--upgrade-code", kGuid, "--map", "1031=1031,0x0C07=1031",
                                "--map", "1041=1041", "--setup-exe", setupExe, "--quiet"});
        ASSERT_EQ(packed.code, 0) << packed.out << packed.err;
        plain = (fs::path(suiteRoot) / "plain").string();
        packed = Stubmedia({"pack", input, plain, "--upgrade-code", kGuid, "--plain", "--map", "1031=1031",
                            "--setup-exe", setupExe, "--quiet"});
        ASSERT_EQ(packed.code, 0) << packed.out << packed.err;
    }

    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(suiteRoot, ignored);
    }

    void SetUp() override
    {
        char pattern[] = "/tmp/stubmedia-case-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // A private copy of a packed medium, to damage.
    fs::path CopyOf(const std::string& medium, const std::string& name)
    {
        fs::path copy = fs::path(root) / name;
        fs::copy(medium, copy, fs::copy_options::recursive);
        return copy;
    }

    static inline std::string suiteRoot, setupExe, input, compressed, plain;
    std::string root;
};

// ---------------------------------------------------------------- pack

TEST_F(StubmediaTest, PackWritesTheLaunchersFilesAndSettings)
{
    fs::path medium(compressed);
    for (const char* name : {"setup.exe", "autorun.inf", "Setup.ms_", "Setup64.ms_", "1031.ms_", "1033.ms_", "1041.ms_"})
        EXPECT_TRUE(fs::is_regular_file(medium / name)) << name;
    EXPECT_FALSE(fs::exists(medium / "Setup.msi"));
    EXPECT_EQ(ReadBytes(medium / "autorun.inf"),
              "[autorun]\r\nopen=setup.exe\r\nicon=setup.exe\r\n\r\n"
              "[Setup]\r\nUpgradeCode={12345678-ABCD-1234-ABCD-1234567890AB}\r\nInstaller=Setup.msi\r\n"
              "Installer64=Setup64.msi\r\n\r\n"
              "[LanguageMap]\r\n1031=1031\r\n3079=1031\r\n1041=1041\r\n");

    fs::path plainMedium(plain);
    for (const char* name : {"Setup.msi", "Setup64.msi", "1031.mst", "1033.mst", "1041.mst"})
        EXPECT_EQ(ReadBytes(plainMedium / name), ReadBytes(fs::path(input) / name)) << name;
    EXPECT_FALSE(fs::exists(plainMedium / "Setup.ms_"));
}

TEST_F(StubmediaTest, PackedFilesAreLzmaAloneWithTheSizeInTheHeader)
{
    for (const char* name : {"Setup.msi", "1031.mst"}) {
        std::string source = (fs::path(input) / name).string();
        std::string packed = (fs::path(compressed) / U8(CompressedName(U16(name)))).string();
        LzmaFileInfo info = ReadLzmaFileInfo(packed);
        ASSERT_TRUE(info.headerComplete);
        EXPECT_FALSE(info.sizeUnknown);
        EXPECT_EQ(info.declaredSize, fs::file_size(source));
        EXPECT_EQ(info.properties, 0x5D);  // lc 3, lp 0, pb 2

        // Another decoder than the launcher's agrees.
        std::string decoded = root + "/decoded";
        std::string command = std::string(STUB_LZMA_ALONE) + " d '" + packed + "' '" + decoded + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << "lzma_alone missing or failed: " << command;
        EXPECT_EQ(ReadBytes(decoded), ReadBytes(source)) << name;
    }
}

TEST_F(StubmediaTest, PackShowsProgressForLargeFiles)
{
    PackOptions options;
    options.inputDir = input;
    options.outputDir = root + "/medium";
    options.upgradeCode = U16(kGuid);
    options.map = {{1031, 1031}};
    options.setupExe = setupExe;
    // Setup.msi and Setup64.msi, not the transforms
    options.progressThreshold = std::min(fs::file_size(fs::path(input) / "Setup.msi"),
                                         fs::file_size(fs::path(input) / "Setup64.msi"));
    ASSERT_GT(options.progressThreshold, fs::file_size(fs::path(input) / "1031.mst"));
    std::ostringstream progress;
    PackReport report = PackMedium(options, &progress);
    ASSERT_FALSE(report.findings.HasErrors()) << Describe(report.findings);
    std::string lines = progress.str();
    EXPECT_NE(lines.find("compressing Setup.msi: 0% of"), std::string::npos) << lines;
    EXPECT_NE(lines.find("compressing Setup.msi: 100% of"), std::string::npos) << lines;
    EXPECT_NE(lines.find("verifying Setup64.ms_ with the launcher's expansion"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("1031.mst"), std::string::npos) << lines;
    for (const PackedFile& f : report.files)
        EXPECT_EQ(f.verified, f.compressed) << f.name;
}

TEST_F(StubmediaTest, PackRefusesMediaThatWouldFail)
{
    fs::path noEnglish = fs::path(root) / "no-english";
    WriteBytes(noEnglish / "Setup.msi", FakePackage(1, 1000));
    WriteBytes(noEnglish / "1031.mst", FakePackage(2, 100));
    fs::path twoPackages = fs::path(root) / "two";
    WriteBytes(twoPackages / "A.msi", FakePackage(1, 1000));
    WriteBytes(twoPackages / "B.msi", FakePackage(1, 1000));
    WriteBytes(twoPackages / "1033.mst", FakePackage(2, 100));
    fs::path busy = fs::path(root) / "busy";
    WriteBytes(busy / "old.txt", "left over");
    fs::path placeholder = fs::path(root) / "placeholder";
    fs::create_directories(placeholder);
    fs::copy_file(fs::path(input) / "Setup.msi", placeholder / "Setup.msi");
    WriteBytes(placeholder / "1033.mst", "placeholder transform");

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        const char* expected;  // in the output or the error stream
    };
    const std::string out = root + "/out";
    const std::vector<Case> cases = {
        {"upgrade code required", {"pack", input, out, "--setup-exe", setupExe}, 2, "--upgrade-code is required"},
        {"upgrade code not a GUID", {"pack", input, out, "--upgrade-code", "PRODUCT", "--setup-exe", setupExe}, 1,
         "[upgrade-code-not-guid]"},
        {"transform of a map value missing",
         {"pack", input, out, "--upgrade-code", kGuid, "--map", "1031=1036", "--setup-exe", setupExe}, 1,
         "1036.mst: the medium can choose language 1036 (--map 1031=1036), but the input folder has no 1036.mst"},
        {"fallback transform missing", {"pack", noEnglish.string(), out, "--upgrade-code", kGuid, "--setup-exe", setupExe},
         1, "language 1033 (the 1033 fallback for systems without a map entry)"},
        {"label without a language",
         {"pack", input, out, "--upgrade-code", kGuid, "--language-from-label", "--label", "PRODUCT", "--setup-exe",
          setupExe},
         1, "[label-no-language]"},
        {"label method without a label",
         {"pack", input, out, "--upgrade-code", kGuid, "--language-from-label", "--setup-exe", setupExe}, 2,
         "--language-from-label needs --label"},
        {"map and label together",
         {"pack", input, out, "--upgrade-code", kGuid, "--language-from-label", "--label", "P1031", "--map",
          "1031=1031", "--setup-exe", setupExe},
         2, "exclude each other"},
        {"bad map entry", {"pack", input, out, "--upgrade-code", kGuid, "--map", "German=1031"}, 2,
         "--map entry \"German=1031\" is not SYSTEM=LANGUAGE"},
        {"two packages, neither 64-bit by name",
         {"pack", twoPackages.string(), out, "--upgrade-code", kGuid, "--setup-exe", setupExe}, 1,
         "[pack-packages-ambiguous]"},
        {"output folder not empty", {"pack", input, busy.string(), "--upgrade-code", kGuid, "--setup-exe", setupExe},
         1, "[pack-output-not-empty]"},
        {"transform that is no transform",
         {"pack", placeholder.string(), out, "--upgrade-code", kGuid, "--setup-exe", setupExe}, 1,
         "[transform-invalid]"},
        {"package of another upgrade code",
         {"pack", input, out, "--upgrade-code", "{99999999-ABCD-1234-ABCD-1234567890AB}", "--setup-exe", setupExe}, 1,
         "[package-upgrade-code]"},
        {"medium folder inside the input",
         {"pack", input, input + "/medium", "--upgrade-code", kGuid, "--setup-exe", setupExe}, 1,
         "[pack-output-in-input]"},
        {"medium folder holding the input, cleaned",
         {"pack", input, suiteRoot + "/.", "--clean", "--upgrade-code", kGuid, "--setup-exe", setupExe}, 1,
         "[pack-output-in-input]"},
        {"clean a folder that is no medium",
         {"pack", input, busy.string(), "--clean", "--upgrade-code", kGuid, "--setup-exe", setupExe}, 1,
         "[pack-clean-not-medium]"},
        {"no launcher to ship",
         {"pack", input, out, "--upgrade-code", kGuid, "--setup-exe", root + "/nothing.exe"}, 1,
         "[pack-setup-missing]"},
        {"unknown option", {"pack", input, out, "--upgrade-code", kGuid, "--compres"}, 2, "unknown option --compres"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolRun run = Stubmedia(c.args);
        EXPECT_EQ(run.code, c.exitCode);
        EXPECT_NE((run.out + run.err).find(c.expected), std::string::npos) << run.out << run.err;
        EXPECT_FALSE(fs::exists(out)) << "nothing is written for a medium that would fail";
    }
}

TEST_F(StubmediaTest, PackLeavesNoStaleFormsAndSaysWhatTheTargetNeeds)
{
    auto pack = [&](const fs::path& in, const fs::path& medium, std::vector<std::string> more) {
        std::vector<std::string> args = {"pack", in.string(), medium.string(), "--upgrade-code", kGuid,
                                         "--setup-exe", setupExe, "--quiet", "--json"};
        args.insert(args.end(), more.begin(), more.end());
        ToolRun run = Stubmedia(args);
        EXPECT_EQ(run.code, 0) << run.out << run.err;
        return nlohmann::json::parse(run.out);
    };
    auto codes = [](const nlohmann::json& report) {
        std::set<std::string> found;
        for (const auto& f : report["findings"])
            found.insert(f["code"].get<std::string>());
        return found;
    };

    // Each pack over an earlier medium of the other form, and --clean over one with an extra file.
    struct Case {
        const char* name;
        std::vector<std::string> first, second;
        std::vector<const char*> present, absent;
    };
    const std::vector<Case> cases = {
        {"--force --plain over compressed", {}, {"--force", "--plain"}, {"Setup.msi", "1033.mst"},
         {"Setup.ms_", "1033.ms_", "Setup64.ms_"}},
        // The old plain package would be installed instead of the new compressed one.
        {"--force over plain", {"--plain"}, {"--force"}, {"Setup.ms_", "1041.ms_"}, {"Setup.msi", "1041.mst"}},
        {"--clean over compressed", {}, {"--clean", "--plain"}, {"Setup.msi"}, {"Setup.ms_", "extra.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path medium = fs::path(root) / "medium";
        fs::remove_all(medium);
        std::vector<std::string> first = {"--map", "1041=1041"}, second = first;
        first.insert(first.end(), c.first.begin(), c.first.end());
        second.insert(second.end(), c.second.begin(), c.second.end());
        pack(input, medium, first);
        WriteBytes(medium / "extra.txt", "left over");
        nlohmann::json report = pack(input, medium, second);
        for (const char* name : c.present)
            EXPECT_TRUE(fs::exists(medium / name)) << name;
        for (const char* name : c.absent)
            EXPECT_FALSE(fs::exists(medium / name)) << name;
        ToolRun check = Stubmedia({"check", medium.string()});
        EXPECT_EQ(check.code, 0) << check.out;
        EXPECT_EQ(check.out.find("transform-name"), std::string::npos) << check.out;
    }

    // The package and the transform expanded, and the eject helper's copy of setup.exe.
    nlohmann::json report = pack(input, fs::path(root) / "compressed", {"--map", "1041=1041"});
    uint64_t package = std::max(fs::file_size(fs::path(input) / "Setup.msi"), fs::file_size(fs::path(input) / "Setup64.msi"));
    uint64_t transform = 0;
    for (const char* name : {"1031.mst", "1033.mst", "1041.mst"})
        transform = std::max(transform, uint64_t(fs::file_size(fs::path(input) / name)));
    EXPECT_EQ(report["tempSpace"], package + transform + fs::file_size(setupExe));
    EXPECT_TRUE(codes(report).count("temp-space")) << report.dump(2);
    // A plain medium: only the eject helper.
    report = pack(input, fs::path(root) / "plain", {"--map", "1041=1041", "--plain"});
    EXPECT_EQ(report["tempSpace"], fs::file_size(setupExe));
}

TEST(PackGain, LittleGainIsNotedWithTheHintPlain)
{
    struct Case {
        const char* role;
        uint64_t size, stored;
        const char* code;  // empty: no note
    };
    for (const Case& c : std::vector<Case>{
             {"package", 1000, 1000, "compression-useless"},
             {"package64", 1000, 1003, "compression-useless"},
             {"package", 1000, 980, "compression-low-gain"},  // a package with its own cabinets
             {"package", 1000, 901, "compression-low-gain"},
             {"package", 1000, 899, ""},
             {"transform", 1000, 990, ""},  // transforms are small: their gain does not matter
         }) {
        PackedFile file;
        file.role = c.role;
        file.name = "Setup.ms_";
        file.compressed = true;
        file.size = c.size;
        file.storedSize = c.stored;
        Findings findings;
        NoteCompressionGain(file, findings);
        SCOPED_TRACE(std::string(c.role) + " " + std::to_string(c.stored));
        EXPECT_EQ(Codes(findings, Severity::Note), c.code);
        if (*c.code) {
            EXPECT_NE(findings.items[0].message.find("--plain"), std::string::npos);
        }
    }
}

TEST_F(StubmediaTest, PackTakesTheLabelMethodAndWarnsAboutTheUnreadableLabelFallback)
{
    fs::path in = fs::path(root) / "in";
    fs::create_directories(in);
    fs::copy_file(fs::path(input) / "Setup.msi", in / "Setup.msi");
    fs::copy_file(fs::path(input) / "1041.mst", in / "1041.mst");
    // The upgrade code is written in upper case, whatever case it was given in.
    ToolRun run = Stubmedia({"pack", in.string(), root + "/out", "--upgrade-code",
                             "{12345678-abcd-1234-abcd-1234567890ab}", "--language-from-label",
                         "--label", "PRODUCT1041", "--setup-exe", setupExe, "--json"});
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_TRUE(nlohmann::json::accept(run.out)) << run.out;
    EXPECT_NE(run.out.find("\"autorun\": \"[autorun]\\r\\nopen=setup.exe\\r\\nicon=setup.exe\\r\\nlabel=PRODUCT1041"
                           "\\r\\n\\r\\n[Setup]\\r\\nUpgradeCode={12345678-ABCD-1234-ABCD-1234567890AB}\\r\\n"
                           "Installer=Setup.msi\\r\\nUseVolumeNameForLanguage=1\\r\\n\""),
              std::string::npos)
        << run.out;
    // No 1033 transform: only a medium whose label cannot be read would need it.
    EXPECT_NE(run.out.find("\"code\": \"pack-transform-missing\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"severity\": \"warning\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("stubmedia image takes it"), std::string::npos) << run.out;
}

TEST_F(StubmediaTest, PackWritesTextBeyondAsciiAsUtf16NeverWithAUtf8Mark)
{
    // Windows' reader does not decode a UTF-8 byte-order mark; UTF-16LE with
    // its mark reads the same on every system.
    fs::path in = fs::path(root) / "in";
    fs::create_directories(in);
    for (const char* name : {"Setup.msi", "1031.mst", "1033.mst"})
        fs::copy_file(fs::path(input) / name, in / name);
    fs::path out = fs::path(root) / "out";
    ToolRun run = Stubmedia({"pack", in.string(), out.string(), "--upgrade-code", kGuid, "--language-from-label",
                             "--label", "PRODUKT\xC3\x9C" "1031", "--setup-exe", setupExe});
    ASSERT_EQ(run.code, 0) << run.out;
    std::string bytes = ReadBytes(out / "autorun.inf");
    ASSERT_GE(bytes.size(), 2u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xFE");
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        text.push_back(char16_t(uint8_t(bytes[i]) | uint8_t(bytes[i + 1]) << 8));
    EXPECT_NE(text.find(u"label=PRODUKT\u00DC1031\r\n"), std::u16string::npos) << U8(text);
    CheckOptions options;
    options.mediumDir = out.string();
    options.label = u"PRODUKT\u00DC1031";
    CheckReport report = CheckMedium(options);
    EXPECT_EQ(Codes(report.findings, Severity::Error), "") << Describe(report.findings);
}

TEST_F(StubmediaTest, PackWritesAFailingMediumOnlyWhenForced)
{
    const std::string out = root + "/forced";
    const std::string other = "{99999999-ABCD-1234-ABCD-1234567890AB}";
    ToolRun refused = Stubmedia({"pack", input, out, "--upgrade-code", other, "--setup-exe", setupExe, "--plain"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_FALSE(fs::exists(out));
    ToolRun forced =
        Stubmedia({"pack", input, out, "--upgrade-code", other, "--setup-exe", setupExe, "--plain", "--force"});
    EXPECT_EQ(forced.code, 1) << "the errors stand";
    EXPECT_NE((forced.out + forced.err).find("[package-upgrade-code]"), std::string::npos) << forced.out << forced.err;
    EXPECT_TRUE(fs::is_regular_file(fs::path(out) / "Setup.msi"));
    EXPECT_TRUE(fs::is_regular_file(fs::path(out) / "autorun.inf"));
}

// ---------------------------------------------------------------- check

TEST_F(StubmediaTest, PackedMediaCheckClean)
{
    for (const std::string& medium : {compressed, plain}) {
        SCOPED_TRACE(medium);
        CheckOptions options;
        options.mediumDir = medium;
        CheckReport report = CheckMedium(options);
        EXPECT_EQ(Codes(report.findings, Severity::Error), "") << Describe(report.findings);
        // The suite's launcher is a bare PE header, never signed.
        EXPECT_EQ(Codes(report.findings, Severity::Warning), "setup-unsigned") << Describe(report.findings);
        ToolRun run = Stubmedia({"check", medium});
        EXPECT_EQ(run.code, 0) << run.out << run.err;
    }

    CheckOptions options;
    options.mediumDir = compressed;
    CheckReport report = CheckMedium(options);
    std::vector<uint16_t> languages;
    for (const LanguageChoice& c : report.languages)
        languages.push_back(c.language);
    EXPECT_EQ(languages, (std::vector<uint16_t>{1031, 1031, 1041, 1033}));
    ASSERT_EQ(report.compressed.size(), 5u);  // both packages and three transforms
    for (const CompressedReport& c : report.compressed)
        EXPECT_TRUE(c.decoded && c.expands) << c.file;
}

// Writes a compressed stream closed by an end marker, with a larger size in its header.
void WriteEarlyEndMarker(const fs::path& path, const std::string& data, uint64_t declared)
{
    ISzAlloc alloc = {[](void*, size_t n) { return std::malloc(n); }, [](void*, void* p) { std::free(p); }};
    CLzmaEncProps props;
    LzmaEncProps_Init(&props);
    props.writeEndMark = 1;
    std::string out(data.size() + 1024, '\0');
    SizeT outLength = out.size() - 13, propsSize = 5;
    ASSERT_EQ(LzmaEncode(reinterpret_cast<Byte*>(&out[13]), &outLength, reinterpret_cast<const Byte*>(data.data()),
                         data.size(), &props, reinterpret_cast<Byte*>(&out[0]), &propsSize, 1, nullptr, &alloc,
                         &alloc),
              SZ_OK);
    for (int i = 0; i < 8; ++i)
        out[5 + i] = char(declared >> (8 * i));
    out.resize(13 + outLength);
    WriteBytes(path, out);
}

TEST_F(StubmediaTest, CheckSaysWhatTheLauncherWouldTripOn)
{
    using Damage = std::function<void(const fs::path&)>;
    auto setHeader = [](const char* file, size_t offset, std::string bytes) -> Damage {
        return [=](const fs::path& m) {
            std::string data = ReadBytes(m / file);
            data.replace(offset, bytes.size(), bytes);
            WriteBytes(m / file, data);
        };
    };
    auto edit = [](std::string from, std::string to) -> Damage {
        return [=](const fs::path& m) { Replace(m / "autorun.inf", from, to); };
    };
    auto remove = [](const char* file) -> Damage { return [=](const fs::path& m) { fs::remove(m / file); }; };
    auto prepend = [](std::string bytes) -> Damage {
        return [=](const fs::path& m) { WriteBytes(m / "autorun.inf", bytes + ReadBytes(m / "autorun.inf")); };
    };
    auto setupFirst = [](std::string bytes) -> Damage {  // [Setup] and what follows, then [autorun]
        return [=](const fs::path& m) {
            std::string text = ReadBytes(m / "autorun.inf");
            size_t setup = text.find("[Setup]");
            WriteBytes(m / "autorun.inf", bytes + text.substr(setup) + "\r\n" + text.substr(0, setup));
        };
    };

    struct Case {
        const char* name;
        const std::string* medium;
        Damage damage;
        std::vector<std::string> args;  // more check options
        const char* code;
        Severity severity;
        const char* message;  // part of the finding's text
        const char* errors;   // every error code check must give, in order
    };
    const std::string longCode = std::string(kGuid) + "-and-then-some-more-characters-beyond";
    const std::string transformSize = std::to_string(fs::file_size(fs::path(input) / "1031.mst"));
    const std::string endsEarly = "after " + transformSize + " of the 50000 bytes";
    const std::vector<Case> cases = {
        {"upgrade code not a GUID", &compressed, edit(kGuid, "PRODUCT-1"), {}, "upgrade-code-not-guid",
         Severity::Error, "\"PRODUCT-1\" is not a braced GUID", "upgrade-code-not-guid"},
        {"upgrade code longer than 63", &compressed, edit(kGuid, longCode), {}, "upgrade-code-too-long",
         Severity::Error, "75 characters; the launcher reads only the first 63, \"{12345678-ABCD-1234-ABCD-1234567890AB}-and-then-some-more-chara\"",
         "upgrade-code-too-long"},
        {"upgrade code in lower case", &compressed, edit("ABCD-1234-ABCD", "abcd-1234-abcd"), {},
         "upgrade-code-lower-case", Severity::Warning, "write it in upper case", ""},
        {"upgrade code missing", &compressed, edit(std::string("UpgradeCode=") + kGuid + "\r\n", ""), {},
         "upgrade-code-missing", Severity::Error, "never finds the product installed", "upgrade-code-missing"},
        {"package in neither form", &compressed, remove("Setup64.ms_"), {}, "package-missing", Severity::Error,
         "names \"Setup64.msi\", but neither Setup64.msi nor its compressed form Setup64.ms_ is in the medium folder: "
         "64-bit Windows gets no package",
         "package-missing"},
        {"package name with a folder, compressed", &compressed,
         [](const fs::path& m) {
             fs::create_directories(m / "disk1");
             fs::rename(m / "Setup.ms_", m / "disk1" / "Setup.ms_");
             Replace(m / "autorun.inf", "Installer=Setup.msi", "Installer=disk1\\Setup.msi");
         },
         {}, "package-name-unstageable", Severity::Error, "expands only packages named without a folder",
         "package-name-unstageable"},
        {"package name longer than the launcher reads", &plain, edit("Installer=Setup.msi", "Installer=" + std::string(300, 'x') + ".msi"),
         {}, "value-too-long", Severity::Error, "304 characters; the launcher reads at most 259",
         "value-too-long package-missing"},
        {"no 32-bit package", &compressed, edit("Installer=Setup.msi\r\n", ""), {}, "installer-missing",
         Severity::Warning, "on 32-bit Windows the launcher starts no installer", ""},
        {"both plain and compressed package", &compressed,
         [&](const fs::path& m) { fs::copy_file(fs::path(input) / "Setup.msi", m / "Setup.msi"); }, {},
         "package-both", Severity::Warning, "uses the plain one and never expands the compressed one",
         // the plain package then needs plain transforms beside it
         "transform-missing transform-missing transform-missing"},
        {"compressed transform of a map value missing", &compressed, remove("1041.ms_"), {}, "transform-missing",
         Severity::Error,
         "the medium can choose language 1041 ([LanguageMap] 1041=1041, for systems of language 1041 (0x0411)) for "
         "64-bit Windows, but 1041.ms_ is missing: the launcher expands Setup64.ms_ but cannot stage the transform",
         "transform-missing transform-missing"},
        {"fallback transform missing", &compressed, remove("1033.ms_"), {}, "transform-missing", Severity::Error,
         "language 1033 (the 1033 fallback, for systems whose language has no [LanguageMap] entry)",
         "transform-missing transform-missing"},
        {"fallback transform missing, checked for one mapped system", &compressed, remove("1033.ms_"),
         {"--system-language", "0x0407"}, "", Severity::Error, "", ""},
        {"fallback transform missing, checked for an unmapped system", &compressed, remove("1033.ms_"),
         {"--system-language", "1036"}, "transform-missing", Severity::Error,
         "the system language 1036 (0x040C) has no [LanguageMap] entry", "transform-missing transform-missing"},
        {"plain transform not beside the plain package", &plain, remove("1031.mst"), {}, "transform-missing",
         Severity::Error, "1031.mst is not beside Setup.msi: msiexec gets TRANSFORMS=1031.mst and Windows Installer "
         "ends with error 1624",
         "transform-missing transform-missing"},
        {"map value not a number", &compressed, edit("1041=1041", "1041=Japanese"), {}, "map-value-not-number",
         Severity::Error, "\"Japanese\" is not a number: the launcher converts it to 0 and asks for the transform 0.mst",
         "map-value-not-number transform-missing transform-missing"},
        {"map value longer than nine characters", &compressed, edit("1041=1041", "1041=0000001041"), {},
         "map-value-too-long", Severity::Error,
         "\"0000001041\" has 10 characters; the launcher reads only the first 9, \"000000104\", and uses language 104",
         "map-value-too-long transform-missing transform-missing"},
        {"map value beyond 16 bits", &compressed, edit("1041=1041", "1041=66577"), {}, "map-value-out-of-range",
         Severity::Warning, "keeps its low 16 bits, 1041", ""},
        {"map key in hexadecimal", &compressed, edit("1041=1041", "0x0411=1041"), {}, "map-key-never-matches",
         Severity::Warning, "looks up the system language in decimal without leading zeros", ""},
        {"label method, label without a language", &compressed, edit("[Setup]\r\n", "[Setup]\r\nUseVolumeNameForLanguage=1\r\n"),
         {"--label", "PRODUCT"}, "label-no-language", Severity::Error,
         "the volume label \"PRODUCT\" does not end in a language number: the launcher reads its last four "
         "characters \"DUCT\" and falls back to 1033",
         "label-no-language"},
        {"label method, the label's transform missing", &compressed,
         [](const fs::path& m) {
             Replace(m / "autorun.inf", "[Setup]\r\n", "[Setup]\r\nUseVolumeNameForLanguage=yes\r\n");
             fs::remove(m / "1041.ms_");
         },
         {"--label", "PRODUCT1041"}, "transform-missing", Severity::Error,
         "language 1041 (the volume label \"PRODUCT1041\" ends in 1041)", "transform-missing transform-missing"},
        {"label method switched off with 0", &compressed, edit("[Setup]\r\n", "[Setup]\r\nUseVolumeNameForLanguage=0\r\n"),
         {"--label", "PRODUCT1041"}, "switch-misleading", Severity::Warning,
         "selects the volume-label method all the same", ""},
        {"label method unknown label", &compressed, edit("[Setup]\r\n", "[Setup]\r\nUseVolumeNameForLanguage=1\r\n"),
         {}, "label-unknown", Severity::Warning, "pass --label", ""},
        {"size not in the header", &compressed, setHeader("Setup.ms_", 5, std::string(8, '\xFF')), {},
         "compressed-size-unknown", Severity::Error, "xz --format=lzma", "compressed-size-unknown"},
        {"declared size of 4 GiB", &compressed, setHeader("1031.ms_", 5, std::string("\0\0\0\0\1\0\0\0", 8)), {},
         "compressed-too-large", Severity::Error, "4 GiB or more", "compressed-too-large"},
        {"properties byte 225", &compressed, setHeader("1033.ms_", 0, "\xE1"), {}, "compressed-bad-properties",
         Severity::Error, "properties byte 225", "compressed-bad-properties"},
        // 1856 MiB declared: with the payload and the decoder state just past the most setup.exe holds.
        {"size that cannot fit in memory", &compressed, setHeader("Setup64.ms_", 5, std::string("\0\0\0\x74\0\0\0\0", 8)),
         {}, "compressed-memory", Severity::Error, "setup.exe holds at most 1946157056 bytes (1856.0 MiB)",
         "compressed-memory"},
        {"damaged stream", &compressed,
         [](const fs::path& m) {
             std::string data = ReadBytes(m / "Setup.ms_");
             data.resize(data.size() / 2);
             WriteBytes(m / "Setup.ms_", data);
         },
         {}, "compressed-damaged", Severity::Error, "the launcher's expansion fails", "compressed-damaged"},
        {"header only", &compressed, [](const fs::path& m) { WriteBytes(m / "1041.ms_", ReadBytes(m / "1041.ms_").substr(0, 13)); },
         {}, "compressed-damaged", Severity::Error, "no compressed data after its header", "compressed-damaged"},
        {"shorter than the header", &compressed, [](const fs::path& m) { WriteBytes(m / "1041.ms_", std::string("\x5D\0\0", 3)); }, {},
         "compressed-short", Severity::Error, "is 3 bytes, shorter than the 13-byte LZMA-alone header",
         "compressed-short"},
        {"end marker before the declared size", &compressed,
         [&](const fs::path& m) {
             WriteEarlyEndMarker(m / "1031.ms_", ReadBytes(fs::path(input) / "1031.mst"), 50000);
         },
         {}, "compressed-ends-early", Severity::Warning, endsEarly.c_str(), ""},
        {"UTF-8 mark before [autorun]", &compressed, prepend("\xEF\xBB\xBF"), {}, "autorun-utf8-mark",
         Severity::Error, "\"[autorun]\", which is no section, so AutoPlay sees no [autorun]", "autorun-utf8-mark"},
        {"UTF-8 mark before [Setup]", &compressed, setupFirst("\xEF\xBB\xBF"), {}, "autorun-utf8-mark",
         Severity::Error, "the launcher sees none of [Setup]: with no upgrade code and no package it starts no installer",
         "autorun-utf8-mark upgrade-code-missing installer-missing"},
        {"UTF-8 mark before a blank line", &compressed, prepend("\xEF\xBB\xBF\r\n"), {}, "autorun-utf8-mark",
         Severity::Error, "a key line in no section, which does no harm", "autorun-utf8-mark"},
        {"no autorun.inf", &compressed, remove("autorun.inf"), {}, "autorun-missing", Severity::Error,
         "reads its settings from it", "autorun-missing"},
        {"no setup.exe", &compressed, remove("setup.exe"), {}, "setup-missing", Severity::Error,
         "the launcher and autorun.inf must lie side by side", "setup-missing"},
        {"64-bit test build shipped", &compressed,
         [](const fs::path& m) { WriteBytes(m / "setup.exe", FakeProgram(0x8664)); }, {}, "setup-64bit",
         Severity::Warning, "never reads Installer64", ""},
        {"typo in a key", &compressed, edit("Installer64=", "Installer_64="), {}, "unknown-key", Severity::Warning,
         "the launcher does not read this key", ""},
        {"key set twice", &compressed, edit("Installer=Setup.msi", "Installer=Setup.msi\r\nInstaller=Other.msi"), {},
         "duplicate-key", Severity::Warning, "only the first is read", ""},
        {"transform named with a leading zero", &compressed,
         [](const fs::path& m) { fs::copy_file(m / "1031.ms_", m / "01031.ms_"); }, {}, "transform-name",
         Severity::Warning, "in decimal without leading zeros", ""},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path medium = CopyOf(*c.medium, "case" + std::to_string(index++));
        c.damage(medium);
        CheckOptions options;
        options.mediumDir = medium.string();
        for (size_t i = 0; i + 1 < c.args.size(); i += 2) {
            if (c.args[i] == "--label")
                options.label = U16(c.args[i + 1]);
            else if (c.args[i] == "--system-language")
                options.systemLanguage = ParseLanguageNumber(c.args[i + 1]);
        }
        CheckReport report = CheckMedium(options);
        EXPECT_EQ(Codes(report.findings, Severity::Error), c.errors) << Describe(report.findings);
        if (*c.code) {
            const Finding* finding = nullptr;
            for (const Finding& f : report.findings.items)
                if (f.code == c.code && f.message.find(c.message) != std::string::npos)
                    finding = &f;
            ASSERT_NE(finding, nullptr) << "no " << c.code << " saying: " << c.message << "\n"
                                        << Describe(report.findings);
            EXPECT_EQ(finding->severity, c.severity);
        }

        std::vector<std::string> args = {"check", medium.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun run = Stubmedia(args);
        EXPECT_EQ(run.code, *c.errors ? 1 : 0) << run.out;
    }
}

TEST_F(StubmediaTest, CheckReportsJson)
{
    fs::path medium = CopyOf(compressed, "m");
    fs::remove(medium / "1041.ms_");
    ToolRun run = Stubmedia({"check", medium.string(), "--json"});
    EXPECT_EQ(run.code, 1);
    EXPECT_TRUE(nlohmann::json::accept(run.out)) << run.out;
    const std::string declared =
        "\"declaredSize\": " + std::to_string(fs::file_size(fs::path(input) / "Setup.msi"));
    for (const char* part : {"\"command\": \"check\"", "\"languageMethod\": \"map\"", "\"errors\": 2",
                             "\"code\": \"transform-missing\"", "\"where\": \"1041.ms_\"", declared.c_str(),
                             "\"expands\": true"})
        EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;

    // A host name that is no UTF-8 still gives a report, with U+FFFD in its place.
    run = Stubmedia({"check", root + "/media\xFF", "--json"});
    EXPECT_EQ(run.code, 1);
    ASSERT_TRUE(nlohmann::json::accept(run.out)) << run.out;
    EXPECT_EQ(nlohmann::json::parse(run.out)["medium"], root + "/media\xEF\xBF\xBD");
}

// ---------------------------------------------------------------- explain

TEST_F(StubmediaTest, ExplainRunsTheLauncherForTheGivenSystem)
{
    const std::u16string temp = u"C:\\Users\\User\\AppData\\Local\\Temp\\";
    struct Case {
        const char* name;
        const std::string* medium;
        std::function<void(ExplainOptions&)> system;
        const char* packageKey;
        uint16_t language;
        std::u16string parameters;
        std::u16string directory;
        const char* reasonPart;
    };
    const std::vector<Case> cases = {
        {"64-bit, mapped language", &compressed, [](ExplainOptions& o) { o.systemLanguage = 0x0407; }, "Installer64",
         1031, u"-i \"" + temp + u"\\Setup64.msi\" TRANSFORMS=1031.mst", temp, "looked up as key 1031, set to \"1031\""},
        {"another system language mapped to the same", &compressed, [](ExplainOptions& o) { o.systemLanguage = 0x0C07; },
         "Installer64", 1031, u"-i \"" + temp + u"\\Setup64.msi\" TRANSFORMS=1031.mst", temp, "key 3079"},
        {"32-bit", &compressed,
         [](ExplainOptions& o) {
             o.systemLanguage = 0x0411;
             o.wow64 = false;
         },
         "Installer", 1041, u"-i \"" + temp + u"\\Setup.msi\" TRANSFORMS=1041.mst", temp, "key 1041"},
        {"unmapped language", &compressed, [](ExplainOptions& o) { o.systemLanguage = 0x040C; }, "Installer64", 1033,
         u"-i \"" + temp + u"\\Setup64.msi\" TRANSFORMS=1033.mst", temp, "which is not set, so the launcher falls back to 1033"},
        {"logging flag", &compressed,
         [](ExplainOptions& o) {
             o.systemLanguage = 0x0407;
             o.logging = true;
         },
         "Installer64", 1031,
         u"-i \"" + temp + u"\\Setup64.msi\" /l*v \"" + temp + u"\\BRELM_PELLIX.log\" TRANSFORMS=1031.mst", temp, "key 1031"},
        {"plain medium", &plain, [](ExplainOptions& o) { o.systemLanguage = 0x0407; }, "Installer64", 1031,
         u"-i \"D:\\Setup64.msi\" TRANSFORMS=1031.mst", u"D:", "key 1031"},
        {"plain medium on drive E", &plain,
         [](ExplainOptions& o) {
             o.systemLanguage = 0x0407;
             o.driveLetter = u'E';
             o.wow64 = false;
         },
         "Installer", 1031, u"-i \"E:\\Setup.msi\" TRANSFORMS=1031.mst", u"E:", "key 1031"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExplainOptions options;
        options.mediumDir = *c.medium;
        c.system(options);
        ExplainReport r = ExplainMedium(options);
        EXPECT_FALSE(r.findings.HasErrors()) << Describe(r.findings);
        EXPECT_EQ(r.packageKey, c.packageKey);
        EXPECT_EQ(r.language, c.language);
        EXPECT_NE(r.languageReason.find(c.reasonPart), std::string::npos) << r.languageReason;
        ASSERT_TRUE(r.msiexecStarted);
        EXPECT_EQ(r.msiexecFile, u"C:\\Windows\\system32\\msiexec.exe");
        EXPECT_EQ(r.msiexecParameters, c.parameters);
        EXPECT_EQ(r.msiexecDirectory, c.directory);
        EXPECT_TRUE(r.stagingOk) << r.stagingProblem;
        EXPECT_EQ(r.guardName, u"brelm_pellix_" + U16(kGuid));
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_TRUE(r.ejectHelperStarted);
        EXPECT_EQ(r.ejectCommandLine,
                  u"\"" + temp + u"brelm_eject.exe\" -eject#" + std::u16string(1, options.driveLetter) + u"508");
    }
}

TEST_F(StubmediaTest, ExplainTellsTheLabelMethodsChoice)
{
    fs::path medium = CopyOf(compressed, "label");
    Replace(medium / "autorun.inf", "[Setup]\r\n", "[Setup]\r\nUseVolumeNameForLanguage=1\r\n");
    struct Case {
        std::optional<std::u16string> label;
        bool unreadable;
        uint16_t language;
        const char* reasonPart;
    };
    for (const Case& c : std::vector<Case>{
             {u"PRODUCT1041", false, 1041, "its last four characters \"1041\" give 1041"},
             {u"PRODUCT", false, 1033, "\"DUCT\" give no number, so the launcher falls back to 1033"},
             {u"PRODUCT1041", true, 1033, "the volume query fails"},
             {u"P1", false, 1033, "fewer than four characters"},
         }) {
        SCOPED_TRACE(U8(c.label.value_or(u"")));
        ExplainOptions options;
        options.mediumDir = medium.string();
        options.label = c.label;
        options.labelUnreadable = c.unreadable;
        ExplainReport r = ExplainMedium(options);
        EXPECT_EQ(r.languageMethod, "label");
        EXPECT_EQ(r.language, c.language);
        EXPECT_NE(r.languageReason.find(c.reasonPart), std::string::npos) << r.languageReason;
        EXPECT_NE(r.msiexecParameters.find(U16("TRANSFORMS=" + std::to_string(c.language) + ".mst")),
                  std::u16string::npos);
    }
}

TEST_F(StubmediaTest, ExplainShowsWhatFails)
{
    fs::path medium = CopyOf(compressed, "broken");
    fs::remove(medium / "1031.ms_");
    ToolRun run = Stubmedia({"explain", medium.string(), "--system-language", "0x0407"});
    EXPECT_EQ(run.code, 1);
    EXPECT_NE(run.out.find("problem: " + U8(u"D:\\1031.ms_") + " is not on the medium"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("[staging-fails]"), std::string::npos) << run.out;
    // msiexec is started all the same, as the launcher does.
    EXPECT_NE(run.out.find("parameters: -i \"C:\\Users\\User\\AppData\\Local\\Temp\\\\Setup64.msi\" TRANSFORMS=1031.mst"),
              std::string::npos)
        << run.out;

    ExplainOptions options;
    options.mediumDir = compressed;
    options.installed = true;
    ExplainReport r = ExplainMedium(options);
    EXPECT_TRUE(r.installed);
    EXPECT_FALSE(r.msiexecStarted);
    EXPECT_TRUE(r.ejectHelperStarted);
    EXPECT_EQ(r.exitCode, 0);

    fs::path noPackage = CopyOf(compressed, "nopackage");
    Replace(noPackage / "autorun.inf", "Installer=Setup.msi\r\n", "");
    options = ExplainOptions();
    options.mediumDir = noPackage.string();
    options.wow64 = false;
    r = ExplainMedium(options);
    EXPECT_FALSE(r.msiexecStarted);
    EXPECT_NE(r.exitCode, 0);  // the last error of the failed read, or 1603
    ASSERT_NE(r.findings.Find("no-installer"), nullptr);
    EXPECT_NE(r.findings.Find("no-installer")->message.find("32-bit Windows reads only Installer"), std::string::npos);

    options.msiexecExitCode = 1602;
    options.mediumDir = compressed;
    r = ExplainMedium(options);
    EXPECT_EQ(r.exitCode, 1602);
    EXPECT_FALSE(r.ejectHelperStarted);
}

TEST_F(StubmediaTest, ExplainReportsJson)
{
    ToolRun run = Stubmedia({"explain", compressed, "--system-language", "1031", "--logging", "--json"});
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(nlohmann::json::accept(run.out)) << run.out;
    for (const char* part : {"\"number\": 1031", "\"method\": \"map\"", "\"form\": \"compressed\"",
                             "\"parameters\": \"-i \\\"C:\\\\Users\\\\User\\\\AppData\\\\Local\\\\Temp\\\\\\\\Setup64.msi\\\" /l*v"})
        EXPECT_NE(run.out.find(part), std::string::npos) << part << "\n" << run.out;
    EXPECT_FALSE(nlohmann::json::accept(run.out.substr(0, run.out.size() / 2)));
}

TEST_F(StubmediaTest, ShippedFilesAreFoundRelativeToTheTool)
{
    fs::path prefix = fs::path(root) / "opt" / "setupstub";
    fs::create_directories(prefix / "bin");
    WriteBytes(prefix / "bin" / "stubmedia", "");
    fs::create_directories(fs::path(root) / "usr" / "bin");
    fs::create_symlink(prefix / "bin" / "stubmedia", fs::path(root) / "usr" / "bin" / "stubmedia");
    const std::string expected = (prefix / "share" / "setupstub").string();
    for (const fs::path& program : {prefix / "bin" / "stubmedia", fs::path(root) / "usr" / "bin" / "stubmedia",
                                    prefix / "bin" / ".." / "bin" / "stubmedia"})
        EXPECT_EQ(SharedDirOf(program.string()), expected) << program;
}

TEST_F(StubmediaTest, CommandLineHelpAndUsage)
{
    ToolRun help = Stubmedia({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("stubmedia pack <input folder> <medium folder>"), std::string::npos);
    for (const char* command : {"pack", "check", "explain"}) {
        ToolRun run = Stubmedia({command, "--help"});
        EXPECT_EQ(run.code, 0) << command;
        EXPECT_NE(run.out.find(std::string("usage: stubmedia ") + command), std::string::npos) << command;
    }
    ToolRun topic = Stubmedia({"help", "pack"});
    EXPECT_EQ(topic.code, 0);
    EXPECT_NE(topic.out.find("--upgrade-code {GUID}"), std::string::npos) << topic.out;
    ToolRun version = Stubmedia({"--version"});
    EXPECT_EQ(version.code, 0);
    EXPECT_EQ(version.out.rfind("stubmedia 1.", 0), 0u) << version.out;
    EXPECT_EQ(Stubmedia({}).code, 2);
    EXPECT_EQ(Stubmedia({"burn"}).code, 2);
    EXPECT_EQ(Stubmedia({"check"}).code, 2);
    EXPECT_EQ(Stubmedia({"explain", compressed, "--system-language", "German"}).code, 2);
    EXPECT_EQ(Stubmedia({"explain", compressed, "--32bit", "--64bit"}).code, 2);
    ToolRun missing = Stubmedia({"check", root + "/nothing"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.out.find("is not a folder"), std::string::npos);
}

}  // namespace
