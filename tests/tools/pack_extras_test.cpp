// pack makes the medium the product's own: subfolders come along, the
// [autorun] texts are written as given, and setup.exe is branded and signed
// the same way every time.
#include "tool_test_support.h"
#include "commands.h"
#include "report.h"
#include "medium.h"
#include "pe_image.h"

#include "icon_fixture.h"
#include "wixl_fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;
using namespace stubmedia;
using namespace stubmedia_test;

namespace {

constexpr char16_t kGuid[] = u"{12345678-ABCD-1234-ABCD-1234567890AB}";

std::string Messages(const Findings& findings)
{
    std::string all;
    for (const Finding& f : findings.items)
        all += f.code + " " + f.where + ": " + f.message + "\n";
    return all;
}

class PackExtrasTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/stubmedia-pack-extras-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        input = dir / "input";
        // A real package and its base language's transform: pack checks what they hold.
        std::string base = wixl_fixture::BuildPackage(input, "Setup.msi", wixl_fixture::Product());
        wixl_fixture::MakeTransform(input, base, wixl_fixture::Product());
        setupExe = SETUPSTUB_WIN32_EXE;
        ASSERT_TRUE(fs::is_regular_file(setupExe)) << setupExe << " is missing: build the win32 preset first";
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    PackOptions Options(const std::string& medium)
    {
        PackOptions options;
        options.inputDir = input.string();
        options.outputDir = (dir / medium).string();
        options.upgradeCode = kGuid;
        options.compress = false;
        options.setupExe = setupExe;
        options.scratchDir = (dir / "scratch" / medium).string();
        return options;
    }

    struct RefusalCase {
        const char* name;
        std::function<void(PackOptions&)> set;
        const char* code;
    };

    // Each case is refused with its code and leaves no medium folder behind.
    template <size_t N>
    void ExpectRefused(const RefusalCase (&cases)[N])
    {
        for (const RefusalCase& c : cases) {
            SCOPED_TRACE(c.name);
            PackOptions options = Options("refused");
            c.set(options);
            PackReport report = PackMedium(options, nullptr);
            EXPECT_FALSE(report.written);
            EXPECT_NE(report.findings.Find(c.code), nullptr) << Messages(report.findings);
            EXPECT_FALSE(fs::exists(options.outputDir));
        }
    }

    fs::path dir, input;
    std::string setupExe;
};

TEST_F(PackExtrasTest, SubfoldersAreCopiedAndAutorunTextsWritten)
{
    WriteBytes(input / "docs" / "Readme.txt", "read me\n");
    WriteBytes(input / "redist" / "x86" / "runtime.msi", "a redistributable, copied as it is\n");
    fs::create_directories(input / "redist" / "empty");
    fs::create_directory_symlink(input / "docs", input / "redist" / "docs-link");

    PackOptions options = Options("medium");
    options.action = u"Install Brelm Sample";
    options.label = u"BRELM";
    PackReport report = PackMedium(options, nullptr);
    ASSERT_TRUE(report.written) << Messages(report.findings);

    fs::path medium = options.outputDir;
    EXPECT_EQ(ReadBytes(medium / "docs" / "Readme.txt"), "read me\n");
    EXPECT_EQ(ReadBytes(medium / "redist" / "x86" / "runtime.msi"), "a redistributable, copied as it is\n");
    EXPECT_TRUE(fs::is_directory(medium / "redist" / "empty"));
    EXPECT_FALSE(fs::exists(medium / "redist" / "docs-link"));
    const Finding* link = report.findings.Find("input-link-skipped");
    ASSERT_NE(link, nullptr) << Messages(report.findings);
    EXPECT_EQ(link->where, "redist/docs-link");
    std::vector<std::string> others;
    for (const PackedFile& f : report.files)
        if (f.role == "other")
            others.push_back(f.name);
    EXPECT_EQ(others, (std::vector<std::string>{"docs/Readme.txt", "redist/x86/runtime.msi"}));
    EXPECT_EQ(report.findings.Find("input-folder-skipped"), nullptr);

    EXPECT_EQ(ReadBytes(medium / "autorun.inf").substr(0, 85),
              "[autorun]\r\nopen=setup.exe\r\nicon=setup.exe\r\naction=Install Brelm Sample\r\nlabel=BRELM\r\n");
    // Not a package of this medium: the one under redist is no [Setup] choice.
    CheckOptions check;
    check.mediumDir = options.outputDir;
    EXPECT_FALSE(CheckMedium(check).findings.HasErrors());
}

TEST_F(PackExtrasTest, RefusedMediaLeaveNothingBehind)
{
    ASSERT_TRUE(MakeTestSigner(dir.string())) << ReadBytes(dir / "openssl.log");
    WriteBytes(dir / "wrong.txt", "not the password\n");
    WriteBytes(input / "docs" / "sub" / "Readme.txt", "read me\n");
    RefusalCase cases[] = {
        // Known only once osslsigncode opens the key, after setup.exe is copied.
        {"wrong password",
         [&](PackOptions& o) {
             o.sign.pkcs12 = (dir / "signer.p12").string();
             o.sign.passwordFile = (dir / "wrong.txt").string();
         },
         "sign-pkcs12"},
        // Known only when the written medium is checked, after the subfolders are copied.
        {"another product's upgrade code",
         [](PackOptions& o) { o.upgradeCode = u"{87654321-ABCD-1234-ABCD-1234567890AB}"; }, "package-upgrade-code"},
    };
    ExpectRefused(cases);
}

TEST_F(PackExtrasTest, RefusalsComeBeforeAnythingIsWritten)
{
    std::vector<std::string> eight = NineImages();
    eight.pop_back();
    WriteBytes(dir / "eight.ico", Ico(eight));
    RefusalCase cases[] = {
        {"line break in the action", [](PackOptions& o) { o.action = u"Install\r\nopen=evil.exe"; }, "autorun-text"},
        {"control character in the label", [](PackOptions& o) { o.label = u"BRELM\t1"; }, "autorun-text"},
        {"icon lacking an image", [&](PackOptions& o) { o.icon = (dir / "eight.ico").string(); },
         "icon-images-missing"},
        {"no key file", [&](PackOptions& o) { o.sign.pkcs12 = (dir / "none.p12").string(); }, "sign-pkcs12"},
    };
    ExpectRefused(cases);
}

TEST_F(PackExtrasTest, BrandedSignedLauncherIsTheSameForTheSameInputs)
{
    ASSERT_TRUE(MakeTestSigner(dir.string())) << ReadBytes(dir / "openssl.log");
    std::vector<std::string> images = NineImages();
    WriteBytes(dir / "product.ico", Ico(images));

    std::string first;
    for (const char* name : {"first", "second"}) {
        SCOPED_TRACE(name);
        PackOptions options = Options(name);
        options.icon = (dir / "product.ico").string();
        options.sign.pkcs12 = (dir / "signer.p12").string();
        options.sign.passwordFile = (dir / "password.txt").string();
        PackReport report = PackMedium(options, nullptr);
        ASSERT_TRUE(report.written) << Messages(report.findings);
        EXPECT_TRUE(report.branded);
        EXPECT_TRUE(report.signature.intact);
        EXPECT_FALSE(report.findings.HasErrors()) << Messages(report.findings);

        fs::path setup = fs::path(options.outputDir) / "setup.exe";
        PeImage image;
        std::string error;
        ASSERT_TRUE(ReadPeFile(setup.string(), &image, &error));
        std::vector<PeResource> resources;
        ASSERT_TRUE(ReadResources(image, &resources, &error));
        for (const PeResource& r : resources) {
            if (r.type == kRtIcon && r.id == 1) {
                EXPECT_TRUE(image.bytes.substr(r.offset, r.size) == images[0]);
            }
        }
        EXPECT_NE(DataDirectory(image, kPeCertificateDirectory).size, 0u);
        for (const PackedFile& f : report.files) {
            if (f.role == "launcher") {
                EXPECT_EQ(f.size, image.bytes.size());
            }
        }

        // check sees the signature pack made: signed, by whom, intact.
        CheckOptions check;
        check.mediumDir = options.outputDir;
        CheckReport checked = CheckMedium(check);
        EXPECT_TRUE(checked.signature.isSigned);
        EXPECT_TRUE(checked.signature.intact);
        EXPECT_NE(checked.signature.signer.find("Brelm Test Signer"), std::string::npos);
        EXPECT_EQ(checked.findings.Find("setup-unsigned"), nullptr);

        if (first.empty())
            first = image.bytes;
        else
            EXPECT_TRUE(first == image.bytes);
    }
}

TEST_F(PackExtrasTest, CommandLinesBrandSignAndCheckTheSignature)
{
    ASSERT_TRUE(MakeTestSigner(dir.string())) << ReadBytes(dir / "openssl.log");
    WriteBytes(dir / "product.ico", Ico(NineImages()));
    auto run = [](std::vector<std::string> args, int* code) {
        std::ostringstream out, err;
        *code = RunStubmedia(args, out, err);
        return out.str() + err.str();
    };
    std::string medium = (dir / "medium").string();
    std::string guid = "{12345678-ABCD-1234-ABCD-1234567890AB}";
    struct Usage {
        std::vector<std::string> args;
        const char* message;
    } usages[] = {
        {{"brand", setupExe}, "--icon is required"},
        {{"sign", setupExe}, "--pkcs12 is required"},
        {{"pack", input.string(), medium, "--upgrade-code", guid, "--timestamp-url", "http://localhost/"},
         "go with --sign-pkcs12"},
    };
    for (const Usage& u : usages) {
        int code = 0;
        std::string said = run(u.args, &code);
        EXPECT_EQ(code, 2) << said;
        EXPECT_NE(said.find(u.message), std::string::npos) << said;
    }

    int code = 0;
    std::string said = run({"pack", input.string(), medium, "--upgrade-code", guid, "--setup-exe", setupExe, "--icon",
                            (dir / "product.ico").string(), "--sign-pkcs12", (dir / "signer.p12").string(),
                            "--sign-password-file", (dir / "password.txt").string(), "--action", "Install Brelm",
                            "--quiet", "--json"},
                           &code);
    ASSERT_EQ(code, 0) << said;
    Json packed = Json::parse(said);
    EXPECT_TRUE(packed["branded"].get<bool>());
    EXPECT_TRUE(packed["signature"]["intact"].get<bool>()) << said;

    said = run({"check", medium, "--json"}, &code);
    EXPECT_EQ(code, 0) << said;
    Json checked = Json::parse(said);
    EXPECT_TRUE(checked["signature"]["signed"].get<bool>());
    EXPECT_TRUE(checked["signature"]["intact"].get<bool>());
    EXPECT_NE(checked["signature"]["signer"].get<std::string>().find("Brelm Test Signer"), std::string::npos);

    // One changed byte in the program's code: check fails and says so.
    std::string bytes = ReadBytes(fs::path(medium) / "setup.exe");
    bytes[0x600] = char(bytes[0x600] ^ 0x20);
    WriteBytes(fs::path(medium) / "setup.exe", bytes);
    said = run({"check", medium}, &code);
    EXPECT_EQ(code, 1) << said;
    EXPECT_NE(said.find("BROKEN"), std::string::npos) << said;
    EXPECT_NE(said.find("[signature-broken]"), std::string::npos) << said;
}

}  // namespace
