// stubmedia image: the image holds every file of the medium under the name
// the launcher looks up and the label Windows reports, read back by readers
// other than the writer's; names and labels a format cannot hold are refused
// before anything is written.
#include "tool_test_support.h"
#include "image.h"
#include "launcher_sim.h"
#include "run_program.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;
using namespace stubmedia;

namespace {

std::string Codes(const Findings& findings)
{
    std::string codes;
    for (const Finding& f : findings.items)
        if (f.severity == Severity::Error)
            codes += (codes.empty() ? "" : " ") + f.code;
    return codes;
}

// Every file under root with its bytes, by relative path.
std::map<std::string, std::string> Files(const fs::path& root)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).generic_string()] = ReadBytes(entry.path());
    return files;
}

class ImageTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               ("stubmedia-image-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        medium = root / "medium";
        fs::create_directories(medium);
    }
    void TearDown() override { fs::remove_all(root); }

    // A medium with the traits that break images: a name of exactly 64
    // characters, a non-ASCII name, an empty file, a file over one sector
    // run of random bytes, a subfolder.
    void FillMedium(const std::string& autorun)
    {
        std::mt19937 random(15);
        std::string noise(3 * 1024 * 1024 + 17, '\0');
        for (char& c : noise)
            c = char(random());
        WriteBytes(medium / "setup.exe", "MZ" + noise.substr(0, 40000));
        WriteBytes(medium / "autorun.inf", autorun);
        WriteBytes(medium / "Product.ms_", noise);
        WriteBytes(medium / "1031.ms_", "transform 1031");
        WriteBytes(medium / "1033.ms_", "transform 1033");
        WriteBytes(medium / (std::string(60, 'n') + ".msi"), "sixty-four characters in all");
        WriteBytes(medium / "Lies mich – Grüße.txt", "\xEF\xBB\xBFumlauts\r\n");
        WriteBytes(medium / "empty.txt", "");
        WriteBytes(medium / "docs" / "Handbuch.pdf", noise.substr(100, 5000));
    }

    ImageReport Make(ImageFormat format, const std::string& label, const std::string& name)
    {
        ImageOptions options;
        options.mediumDir = medium.string();
        options.output = (root / name).string();
        options.format = format;
        if (!label.empty())
            options.label = U16(label);
        return MakeImage(options);
    }

    fs::path root, medium;
};

const char kMapAutorun[] = "[autorun]\r\nopen=setup.exe\r\nlabel=PRODUCT1033\r\n\r\n[Setup]\r\n"
                           "UpgradeCode={12345678-ABCD-1234-ABCD-1234567890AB}\r\nInstaller=Product.msi\r\n";
const char kLabelAutorun[] = "[autorun]\r\nopen=setup.exe\r\n\r\n[Setup]\r\n"
                             "UpgradeCode={12345678-ABCD-1234-ABCD-1234567890AB}\r\nInstaller=Product.msi\r\n"
                             "UseVolumeNameForLanguage=1\r\n";

// The Joliet volume identifier, straight from the supplementary descriptor.
std::u16string JolietLabel(const fs::path& image)
{
    std::string bytes = ReadBytes(image);
    for (size_t sector = 16; (sector + 1) * 2048 <= bytes.size(); ++sector) {
        const char* d = bytes.data() + sector * 2048;
        if (d[0] == char(255))
            break;
        if (d[0] == 2 && d[88] == '%' && d[89] == '/') {
            std::u16string id;
            for (int i = 0; i < 32; i += 2)
                id += char16_t((uint8_t(d[40 + i]) << 8) | uint8_t(d[41 + i]));
            return id.substr(0, id.find_last_not_of(u' ') + 1);
        }
    }
    return u"(no Joliet descriptor)";
}

const std::vector<std::pair<std::string, std::string>> kUtf8 = {{"LC_ALL", "C.UTF-8"}};

TEST_F(ImageTest, IsoHoldsEveryFileUnderItsJolietNameAndTheLabelInBothDescriptors)
{
    FillMedium(kMapAutorun);
    ImageReport report = Make(ImageFormat::Iso, "PRODUCT1031", "medium.iso");
    ASSERT_TRUE(report.written) << Describe(report.findings);
    EXPECT_EQ(report.reportedLabel, u"PRODUCT1031");
    EXPECT_EQ(report.imageSize, fs::file_size(root / "medium.iso"));
    EXPECT_EQ(report.imageSize % 2048, 0u);

    // xorriso, not libisofs' reading side, and the Joliet tree as Windows reads it.
    ProgramResult extract = RunProgram({"xorriso", "-rockridge", "off", "-indev", (root / "medium.iso").string(),
                                        "-osirrox", "on", "-extract", "/", (root / "out").string()},
                                       kUtf8);
    ASSERT_EQ(extract.exitCode, 0) << "xorriso (Debian package xorriso): " << extract.output;
    EXPECT_EQ(Files(root / "out"), Files(medium));
    ProgramResult pvd = RunProgram({"xorriso", "-indev", (root / "medium.iso").string(), "-pvd_info"}, kUtf8);
    EXPECT_NE(pvd.output.find("Volume Id    : PRODUCT1031\n"), std::string::npos) << pvd.output;
    EXPECT_EQ(JolietLabel(root / "medium.iso"), u"PRODUCT1031");
}

TEST_F(ImageTest, FatHoldsEveryFileUnderItsLongNameAndTheLabel)
{
    FillMedium(kMapAutorun);
    ImageReport report = Make(ImageFormat::Fat, "PRODUCT1031", "stick.img");
    ASSERT_TRUE(report.written) << Describe(report.findings);
    fs::path image = root / "stick.img";
    fs::create_directories(root / "out");
    ProgramResult copy = RunProgram({"mcopy", "-i", image.string(), "-s", "-n", "::/*", (root / "out").string() + "/"},
                                    {{"MTOOLS_SKIP_CHECK", "1"}});
    ASSERT_EQ(copy.exitCode, 0) << "mcopy (Debian package mtools): " << copy.output;
    EXPECT_EQ(Files(root / "out"), Files(medium));
    ProgramResult label = RunProgram({"mlabel", "-i", image.string(), "-s", "::"}, {{"MTOOLS_SKIP_CHECK", "1"}});
    EXPECT_NE(label.output.find("Volume label is PRODUCT1031"), std::string::npos) << label.output;
}

TEST_F(ImageTest, NamesAFormatCannotHoldAreRefusedBeforeAnythingIsWritten)
{
    struct Case {
        ImageFormat format;
        std::string name;
        std::string code;
    } cases[] = {
        // A common ISO tool cuts this to 64 silently; the launcher then finds no package.
        {ImageFormat::Iso, std::string(61, 'p') + ".msi", "image-name"},
        {ImageFormat::Iso, "what?.txt", "image-name"},
        {ImageFormat::Iso, "a;b.txt", "image-name"},
        {ImageFormat::Fat, "what?.txt", "image-name"},
        {ImageFormat::Fat, "trailing.", "image-name"},
        {ImageFormat::Fat, "a<b>.txt", "image-name"},
        // Windows finds one file for both names.
        {ImageFormat::Iso, "PRODUCT.MS_", "image-name-clash"},
        {ImageFormat::Fat, "PRODUCT.MS_", "image-name-clash"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(medium);
        FillMedium(kMapAutorun);
        WriteBytes(medium / c.name, "x");
        ImageReport report = Make(c.format, "PRODUCT1031", "out.img");
        EXPECT_EQ(Codes(report.findings), c.code) << Describe(report.findings);
        EXPECT_FALSE(report.written);
        EXPECT_FALSE(fs::exists(root / "out.img"));
    }
}

TEST_F(ImageTest, LabelsAreCheckedAgainstEachFormat)
{
    struct Case {
        ImageFormat format;
        std::string label;
        bool ok;
    } cases[] = {
        {ImageFormat::Iso, "PRODUCT_1031", true},
        {ImageFormat::Iso, "ABCDEFGHIJKL1031", true},    // 16: all that Joliet holds
        {ImageFormat::Iso, "ABCDEFGHIJKLM1031", false},  // 17: Windows would show 16, losing the number's end
        {ImageFormat::Iso, "product1031", false},        // no d-characters
        {ImageFormat::Iso, "PRODUCT 1031", false},
        {ImageFormat::Fat, "PRODUCT1031", true},
        {ImageFormat::Fat, "MY DISK1031", true},
        {ImageFormat::Fat, "PRODUCTX1031", false},  // 12
        {ImageFormat::Fat, "Product1031", false},
        {ImageFormat::Fat, "PROD.1031", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::string problem = c.format == ImageFormat::Iso ? IsoLabelProblem(U16(c.label)) : FatLabelProblem(U16(c.label));
        EXPECT_EQ(problem.empty(), c.ok) << problem;
    }
    FillMedium(kMapAutorun);
    ImageReport report = Make(ImageFormat::Iso, "product1031", "out.iso");
    EXPECT_EQ(Codes(report.findings), "image-label");
    EXPECT_FALSE(fs::exists(root / "out.iso"));
    // No --label: [autorun] label.
    report = Make(ImageFormat::Fat, "", "out.img");
    ASSERT_TRUE(report.written) << Describe(report.findings);
    EXPECT_EQ(report.labelSource, "[autorun] label");
    EXPECT_EQ(report.reportedLabel, u"PRODUCT1033");
}

TEST_F(ImageTest, TheLabelMethodNeedsALabelThatEndsInALanguageWithItsTransform)
{
    FillMedium(kLabelAutorun);
    struct Case {
        std::string label;
        std::string codes;
    } cases[] = {
        {"PRODUCT", "label-no-language"},
        {"PRODUCT1041", "transform-missing"},
        {"PRODUCT1031", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        ImageReport report = Make(ImageFormat::Iso, c.label, c.label + ".iso");
        EXPECT_TRUE(report.labelMethod);
        EXPECT_EQ(Codes(report.findings), c.codes) << Describe(report.findings);
        EXPECT_EQ(report.written, c.codes.empty());
    }
    ImageContents back = ReadImage((root / "PRODUCT1031.iso").string(), std::string());
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_EQ(back.label, u"PRODUCT1031");
}

TEST_F(ImageTest, TheImageMayNotLieInsideTheMediumOrReplaceAFileUnasked)
{
    FillMedium(kMapAutorun);
    ImageOptions options;
    options.mediumDir = medium.string();
    options.output = (medium / "docs" / "self.iso").string();
    options.label = u"PRODUCT1031";
    EXPECT_EQ(Codes(MakeImage(options).findings), "image-output-inside");
    WriteBytes(root / "old.iso", "old");
    options.output = (root / "old.iso").string();
    EXPECT_EQ(Codes(MakeImage(options).findings), "image-output-exists");
    EXPECT_EQ(ReadBytes(root / "old.iso"), "old");
    options.force = true;
    EXPECT_TRUE(MakeImage(options).written);
}

}  // namespace
