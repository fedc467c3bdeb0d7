// The product's icon in the real setup.exe: the nine images land where the
// launcher's lay, nothing else moves, the checksum stays right, and icons
// without the nine images are refused with what is missing.
#include "tool_test_support.h"
#include "brand.h"
#include "pe_image.h"

#include "icon_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace stubmedia;
using namespace stubmedia_test;

namespace {

std::string RealSetupExe()
{
    std::string path = SETUPSTUB_WIN32_EXE;
    if (!fs::is_regular_file(path))
        ADD_FAILURE() << path << " is missing: build the win32 preset first";
    return path;
}

const PeResource* Find(const std::vector<PeResource>& resources, uint32_t type, uint32_t id)
{
    for (const PeResource& r : resources)
        if (r.type == type && r.id == id && r.language == 1033 && !r.named)
            return &r;
    return nullptr;
}

class BrandTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/stubmedia-brand-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    fs::path dir;
};

TEST(PeChecksum, MatchesTheLinkersChecksumOfTheRealProgram)
{
    PeImage image;
    std::string error;
    ASSERT_TRUE(ReadPeFile(RealSetupExe(), &image, &error)) << error;
    ASSERT_NE(StoredChecksum(image), 0u);
    EXPECT_EQ(PeChecksum(image.bytes, image.checksumOffset), StoredChecksum(image));
}

TEST_F(BrandTest, NineImagesReplaceTheLaunchersInPlace)
{
    std::string setup = RealSetupExe();
    std::vector<std::string> images = NineImages();
    // Shortened palettes (biClrUsed below the full count) are padded to the slot's size.
    images[3] = Dib(48, 8, 4, 200);
    images[2] = Dib(16, 4, 3, 5);
    images.push_back(Png(256));  // a large image for newer systems: left out
    WriteBytes(dir / "product.ico", Ico(images));

    BrandReport report = BrandSetupExe(setup, (dir / "product.ico").string(), (dir / "branded.exe").string());
    ASSERT_TRUE(report.written) << (report.findings.items.empty() ? "" : report.findings.items[0].message);
    ASSERT_EQ(report.unused.size(), 1u);
    EXPECT_EQ(report.unused[0], "256x256 PNG");

    PeImage before, after;
    std::string error;
    ASSERT_TRUE(ReadPeFile(setup, &before, &error));
    ASSERT_TRUE(ReadPeFile((dir / "branded.exe").string(), &after, &error));
    ASSERT_EQ(after.bytes.size(), before.bytes.size());
    std::vector<PeResource> old, now;
    ASSERT_TRUE(ReadResources(before, &old, &error));
    ASSERT_TRUE(ReadResources(after, &now, &error)) << error;
    ASSERT_EQ(now.size(), old.size());
    for (size_t i = 0; i < now.size(); ++i) {
        EXPECT_EQ(std::tie(now[i].type, now[i].id, now[i].language, now[i].offset, now[i].size),
                  std::tie(old[i].type, old[i].id, old[i].language, old[i].offset, old[i].size));
    }

    std::string expected = before.bytes;
    for (int i = 0; i < 9; ++i) {
        const PeResource* r = Find(now, kRtIcon, uint32_t(i + 1));
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(r->size, IconImageBytes(kIconSlots[i]));
        std::string got = after.bytes.substr(r->offset, r->size);
        uint32_t full = kIconSlots[i].bpp <= 8 ? 1u << kIconSlots[i].bpp : 0;
        std::string want;
        if (i == 3 || i == 2) {
            // Header with biClrUsed 0, the stored colours, zeros up to the full palette, the bits.
            uint32_t stored = i == 3 ? 200 : 5;
            want = images[i].substr(0, 40);
            Put(want, 32, 0, 4);
            want += images[i].substr(40, stored * 4) + std::string((full - stored) * 4, '\0') +
                    images[i].substr(40 + stored * 4);
        } else {
            want = images[i];
        }
        EXPECT_EQ(got, want) << "RT_ICON " << i + 1;
        expected.replace(r->offset, r->size, got);
    }
    // Nothing else changed but the checksum, which is right again.
    expected.replace(after.checksumOffset, 4, after.bytes.substr(after.checksumOffset, 4));
    EXPECT_TRUE(expected == after.bytes);
    EXPECT_NE(StoredChecksum(after), StoredChecksum(before));
    EXPECT_EQ(StoredChecksum(after), PeChecksum(after.bytes, after.checksumOffset));

    ASSERT_TRUE(BrandSetupExe(setup, (dir / "product.ico").string(), (dir / "again.exe").string()).written);
    EXPECT_TRUE(ReadBytes(dir / "again.exe") == after.bytes);
}

TEST_F(BrandTest, IconsWithoutTheNineImagesAreRefusedWithWhatIsMissing)
{
    std::vector<std::string> nine = NineImages();
    auto without = [&](int slot, const std::string& instead) {
        std::vector<std::string> images = nine;
        images[slot] = instead;
        return Ico(images);
    };
    std::vector<std::string> large;
    for (int bpp : {4, 8, 32})
        for (int size : {64, 24})
            large.push_back(Dib(size, bpp, size));
    std::string cut = Ico(nine);
    cut.resize(cut.size() - 10);  // the last image's mask is cut short

    struct Case {
        const char* name;
        std::string icon;
        const char* code;
        std::vector<std::string> mentioned;
    } cases[] = {
        {"one image lacking", Ico(std::vector<std::string>(nine.begin(), nine.begin() + 8)), "icon-images-missing",
         {"lacks 16x16 at 32 bpp as", "icotool -c"}},
        {"PNG instead of a bitmap", without(6, Png(48)), "icon-images-missing", {"lacks 48x48 at 32 bpp", "48x48 PNG"}},
        {"other depth", without(1, Dib(32, 24, 9)), "icon-images-missing", {"lacks 32x32 at 4 bpp", "32x32 at 24 bpp"}},
        {"compressed bitmap", without(4, Dib(32, 8, 9, 0, 1)), "icon-images-missing",
         {"lacks 32x32 at 8 bpp", "compressed bitmap"}},
        {"other sizes only", Ico(large), "icon-images-missing",
         {"lacks 48x48 at 4 bpp, 32x32 at 4 bpp, 16x16 at 4 bpp, 48x48 at 8 bpp, 32x32 at 8 bpp, 16x16 at 8 bpp, "
          "48x48 at 32 bpp, 32x32 at 32 bpp, 16x16 at 32 bpp",
          "64x64 at 4 bpp", "convert"}},
        {"image data cut short", cut, "icon-damaged", {"image 9 lies beyond the end"}},
        {"not an icon file", Png(48), "icon-not-ico", {"not an icon file"}},
        {"palette longer than the depth", without(2, Dib(16, 4, 9, 17)), "icon-images-missing",
         {"lacks 16x16 at 4 bpp", "palette longer"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProductIcon icon;
        Findings findings;
        EXPECT_FALSE(ParseProductIcon(c.icon, "product.ico", &icon, findings));
        const Finding* f = findings.Find(c.code);
        ASSERT_NE(f, nullptr) << (findings.items.empty() ? "no finding" : findings.items[0].code);
        for (const std::string& m : c.mentioned)
            EXPECT_NE(f->message.find(m), std::string::npos) << m << " in: " << f->message;
    }

    // A mask cut short inside its image's own bytes is no usable image either.
    std::vector<std::string> shortMask = nine;
    shortMask[8].resize(shortMask[8].size() - 4);
    ProductIcon icon;
    Findings findings;
    EXPECT_FALSE(ParseProductIcon(Ico(shortMask), "product.ico", &icon, findings));
    ASSERT_NE(findings.Find("icon-images-missing"), nullptr);
    EXPECT_NE(findings.Find("icon-images-missing")->message.find("16x16 at 32 bpp (cut short"), std::string::npos);
}

TEST_F(BrandTest, SignedOrForeignProgramsAreNotBranded)
{
    WriteBytes(dir / "product.ico", Ico(NineImages()));
    std::string setup = ReadBytes(RealSetupExe());
    PeImage image;
    std::string error;
    ASSERT_TRUE(ParsePe(setup, &image, &error));
    std::string signedCopy = setup;
    Put(signedCopy, image.dataDirOffset + 8 * kPeCertificateDirectory + 4, 16, 4);
    WriteBytes(dir / "signed.exe", signedCopy);
    WriteBytes(dir / "text.exe", "MZ but nothing more");
    // A program whose icon group is laid out otherwise (eight images).
    std::vector<PeResource> resources;
    ASSERT_TRUE(ReadResources(image, &resources, &error));
    const PeResource* group = Find(resources, kRtGroupIcon, kIconGroupId);
    ASSERT_NE(group, nullptr);
    std::string foreign = setup;
    Put(foreign, group->offset + 4, 8, 2);
    WriteBytes(dir / "foreign.exe", foreign);

    struct Case {
        const char* file;
        const char* code;
    } cases[] = {{"signed.exe", "brand-signed"}, {"text.exe", "brand-not-program"}, {"foreign.exe", "brand-not-launcher"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        BrandReport report =
            BrandSetupExe((dir / c.file).string(), (dir / "product.ico").string(), (dir / "out.exe").string());
        EXPECT_FALSE(report.written);
        EXPECT_NE(report.findings.Find(c.code), nullptr);
        EXPECT_FALSE(fs::exists(dir / "out.exe"));
    }
}

}  // namespace
