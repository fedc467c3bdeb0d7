// The manifest and stubmedia verify: a flipped byte, a missing and an extra
// file are each named, on a folder and inside ISO and FAT images.
#include "tool_test_support.h"
#include "commands.h"
#include "image.h"
#include "launcher_sim.h"
#include "manifest.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace stubmedia;

namespace {

// Flips one bit of the only occurrence of marker in the file.
void FlipByteOf(const fs::path& file, const std::string& marker)
{
    std::string bytes = ReadBytes(file);
    size_t at = bytes.find(marker);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(bytes.find(marker, at + 1), std::string::npos);
    bytes[at + marker.size() / 2] ^= 0x01;
    WriteBytes(file, bytes);
}

class VerifyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = fs::temp_directory_path() /
               ("stubmedia-verify-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        medium = root / "medium";
        WriteBytes(medium / "setup.exe", "MZ launcher bytes");
        WriteBytes(medium / "autorun.inf", "[Setup]\r\nInstaller=Product.msi\r\n");
        WriteBytes(medium / "Product.ms_", "PACKAGE-PAYLOAD-UNIQUE-0123456789");
        WriteBytes(medium / "1033.ms_", "transform 1033");
        WriteBytes(medium / "docs" / "Read me.txt", "words");
        Findings findings;
        ASSERT_TRUE(WriteManifest(medium.string(), findings)) << Describe(findings);
    }
    void TearDown() override { fs::remove_all(root); }

    std::string Image(ImageFormat format, const std::string& name)
    {
        ImageOptions options;
        options.mediumDir = medium.string();
        options.output = (root / name).string();
        options.format = format;
        options.label = u"PRODUCT1033";
        ImageReport report = MakeImage(options);
        EXPECT_TRUE(report.written) << Describe(report.findings);
        return options.output;
    }

    fs::path root, medium;
};

TEST_F(VerifyTest, ASoundMediumVerifiesInEveryForm)
{
    VerifyReport folder = VerifyMedium(medium.string());
    EXPECT_TRUE(folder.ok) << Describe(folder.findings);
    EXPECT_EQ(folder.expected.size(), 5u);
    for (ImageFormat format : {ImageFormat::Iso, ImageFormat::Fat}) {
        VerifyReport image = VerifyMedium(Image(format, format == ImageFormat::Iso ? "m.iso" : "m.img"));
        EXPECT_TRUE(image.ok) << image.kind << "\n" << Describe(image.findings);
        EXPECT_EQ(image.label, u"PRODUCT1033");
    }
}

TEST_F(VerifyTest, NamesEachMissingExtraAndDamagedFile)
{
    struct Case {
        const char* where;  // "folder", "iso", "fat"
    } cases[] = {{"folder"}, {"iso"}, {"fat"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        fs::remove_all(root / "copy");
        fs::copy(medium, root / "copy", fs::copy_options::recursive);
        fs::remove(root / "copy" / "1033.ms_");
        WriteBytes(root / "copy" / "docs" / "stray.txt", "not packed");
        std::string target = (root / "copy").string();
        std::string image;
        if (std::string(c.where) != "folder") {
            ImageOptions options;
            options.mediumDir = target;
            options.output = image = (root / (std::string("bad.") + c.where)).string();
            options.format = std::string(c.where) == "iso" ? ImageFormat::Iso : ImageFormat::Fat;
            options.label = u"PRODUCT1033";
            options.force = true;
            ASSERT_TRUE(MakeImage(options).written);
            target = image;
        }
        // The bad burn: one bit of the package, inside the image when there is one.
        FlipByteOf(image.empty() ? fs::path(target) / "Product.ms_" : fs::path(image), "PAYLOAD-UNIQUE");
        VerifyReport report = VerifyMedium(target);
        EXPECT_FALSE(report.ok);
        EXPECT_EQ(report.missing, std::vector<std::string>{"1033.ms_"});
        EXPECT_EQ(report.extra, std::vector<std::string>{"docs/stray.txt"});
        EXPECT_EQ(report.damaged, std::vector<std::string>{"Product.ms_"});
    }
}

TEST_F(VerifyTest, WithoutItsManifestOrWithADamagedOneNothingPasses)
{
    WriteBytes(medium / kManifestName, ReadBytes(medium / kManifestName) + "not a manifest line\n");
    EXPECT_TRUE(VerifyMedium(medium.string()).findings.Find("manifest-damaged"));
    fs::remove(medium / kManifestName);
    EXPECT_TRUE(VerifyMedium(medium.string()).findings.Find("manifest-missing"));
    EXPECT_TRUE(VerifyMedium((root / "nothing").string()).findings.Find("verify-missing"));
}

TEST_F(VerifyTest, NamesAreMatchedAsWindowsFindsThem)
{
    // A disc mastered without Joliet, mounted on Linux, shows upper-case names.
    fs::rename(medium / "Product.ms_", medium / "PRODUCT.MS_");
    VerifyReport report = VerifyMedium(medium.string());
    EXPECT_TRUE(report.ok) << Describe(report.findings);
}

}  // namespace
