// check opens the medium's packages and transforms: media that would fail
// silently on Windows get an error, and their sound mirror images none.
#include "tool_test_support.h"
#include "commands.h"
#include "lzma_alone.h"
#include "medium.h"
#include "wixl_fixture.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

namespace fs = std::filesystem;
using namespace stubmedia;
using wixl_fixture::Product;

namespace {

std::string Errors(const Findings& findings)
{
    std::string codes;
    for (const Finding& f : findings.items)
        if (f.severity == Severity::Error)
            codes += (codes.empty() ? "" : " ") + f.code;
    return codes;
}

// The smallest file that reads as a 32-bit x86 PE program.
std::string Program()
{
    std::string bytes(0x48, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    bytes[0x3C] = 0x40;
    bytes.replace(0x40, 4, std::string("PE\0\0", 4));
    bytes[0x44] = char(0x4C);
    bytes[0x45] = char(0x01);
    return bytes;
}

class PackageCheckTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/package-check-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        fixtures = pattern;
        fs::path f(fixtures);
        Product intel;
        Product x64 = intel;
        x64.arch = "x64";
        Product external = intel;
        external.embedCabinet = false;
        Product otherFamily = intel;
        otherFamily.upgradeCode = "{99999999-ABCD-1234-ABCD-1234567890AB}";
        Product otherProduct = intel;
        otherProduct.productCode = "{88888888-4B5A-6978-8796-A5B4C3D2E1F0}";
        Product japanese = intel;
        japanese.language = 1041;
        japanese.greeting = "Konnichiwa";
        std::string base = wixl_fixture::BuildPackage(f, "Setup.msi", intel);
        wixl_fixture::BuildPackage(f, "x64.msi", x64);
        wixl_fixture::BuildPackage(f, "external.msi", external);
        wixl_fixture::BuildPackage(f, "family.msi", otherFamily);
        std::string other = wixl_fixture::BuildPackage(f / "other", "Setup.msi", otherProduct);
        wixl_fixture::MakeTransform(f, base, wixl_fixture::German(intel));
        wixl_fixture::MakeTransform(f, base, japanese);
        wixl_fixture::MakeTransform(f, base, intel);
        wixl_fixture::MakeTransform(f / "other", other, wixl_fixture::German(otherProduct));
    }

    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(fixtures, ignored);
    }

    void SetUp() override
    {
        char pattern[] = "/tmp/package-case-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    static fs::path Fixture(const std::string& name) { return fs::path(fixtures) / name; }

    // A medium: setup.exe, autorun.inf with [Setup] and a map for German
    // systems, and the files as named.
    static void Medium(const fs::path& dir, const std::string& setup, const std::vector<std::pair<std::string, fs::path>>& files,
                       bool compressed)
    {
        fs::create_directories(dir);
        wixl_fixture::Write(dir / "setup.exe", Program());
        wixl_fixture::Write(dir / "autorun.inf", "[autorun]\r\nopen=setup.exe\r\n\r\n[Setup]\r\n" + setup +
                                                     "\r\n\r\n[LanguageMap]\r\n1031=1031\r\n");
        for (const auto& [name, source] : files) {
            if (!compressed) {
                fs::copy_file(source, dir / name);
                continue;
            }
            std::string packed = U8(CompressedName(U16(name)));
            CompressResult r = CompressFile(source.string(), (dir / packed).string(), CompressSettings{1}, nullptr);
            ASSERT_TRUE(r.ok) << r.error;
        }
    }

    static inline std::string fixtures;
    std::string root;
};

const std::string kSetup = std::string("UpgradeCode=") + wixl_fixture::kUpgradeCode + "\r\nInstaller=Setup.msi";
const std::string kSetupBoth = kSetup + "\r\nInstaller64=Setup64.msi";

}  // namespace

TEST_F(PackageCheckTest, WhatThePackagesAndTransformsHoldDecidesTheOutcome)
{
    auto fixture = [](const char* name) { return Fixture(name); };
    auto transforms = [&](std::vector<std::pair<std::string, fs::path>> files) {
        files.push_back({"1031.mst", fixture("1031.mst")});
        files.push_back({"1033.mst", fixture("1033.mst")});
        return files;
    };
    struct Case {
        const char* name;
        std::string setup;
        std::vector<std::pair<std::string, fs::path>> files;
        bool compressed;
        std::function<void(const fs::path&)> more;
        const char* errors;  // every error code, in order
        const char* code;    // a finding to look at
        Severity severity;
        const char* message;  // part of its text
    };
    const std::string empty = root + "/empty.bin";
    const std::string text = root + "/text.bin";
    wixl_fixture::Write(empty, "");
    wixl_fixture::Write(text, "not a package\n");
    const std::string longName = std::string(221, 'n') + ".msi";
    const std::vector<Case> cases = {
        {"sound plain medium", kSetupBoth, transforms({{"Setup.msi", fixture("Setup.msi")}, {"Setup64.msi", fixture("x64.msi")}}),
         false, nullptr, "", "", Severity::Error, ""},
        {"sound compressed medium", kSetupBoth,
         transforms({{"Setup.msi", fixture("Setup.msi")}, {"Setup64.msi", fixture("x64.msi")}}), true, nullptr, "", "",
         Severity::Error, ""},
        {"package of another upgrade code", kSetup, transforms({{"Setup.msi", fixture("family.msi")}}), false, nullptr,
         "package-upgrade-code transform-other-product transform-other-product", "package-upgrade-code",
         Severity::Error, "never finds the product this package installs"},
        {"two packages of different upgrade codes", kSetupBoth,
         transforms({{"Setup.msi", fixture("Setup.msi")}, {"Setup64.msi", fixture("family.msi")}}), true, nullptr,
         "package-upgrade-code packages-upgrade-code transform-other-product transform-other-product",
         "packages-upgrade-code", Severity::Error, "one of the two is never found installed"},
        {"x64 package as Installer", kSetup, transforms({{"Setup.msi", fixture("x64.msi")}}), false, nullptr,
         "package-platform", "package-platform", Severity::Error, "32-bit Windows refuses it"},
        {"Intel package as Installer64", kSetupBoth,
         transforms({{"Setup.msi", fixture("Setup.msi")}, {"Setup64.msi", fixture("Setup.msi")}}), false, nullptr, "",
         "package-platform", Severity::Warning, "installs on 64-bit Windows, but as a 32-bit product"},
        {"external cabinet in a compressed package", kSetup, transforms({{"Setup.msi", fixture("external.msi")}}), true,
         [](const fs::path& m) { wixl_fixture::Write(m / "data.cab", "cabinet"); }, "cabinet-external",
         "cabinet-external", Severity::Error, "names the external cabinet data.cab: the launcher expands the package"},
        {"external cabinet not beside a plain package", kSetup, transforms({{"Setup.msi", fixture("external.msi")}}),
         false, nullptr, "cabinet-missing", "cabinet-missing", Severity::Error, "not beside the package"},
        {"external cabinet beside a plain package", kSetup, transforms({{"Setup.msi", fixture("external.msi")}}), false,
         [](const fs::path& m) { wixl_fixture::Write(m / "DATA.CAB", "cabinet"); }, "", "", Severity::Error, ""},
        {"empty package", kSetup, transforms({{"Setup.msi", empty}}), false, nullptr, "package-invalid",
         "package-invalid", Severity::Error, "is empty (0 bytes): msiexec cannot open it"},
        {"compressed empty package", kSetup, transforms({{"Setup.msi", empty}}), true, nullptr, "package-invalid",
         "package-invalid", Severity::Error, "expands to an empty file"},
        {"package that is no MSI", kSetup, transforms({{"Setup.msi", text}}), true, nullptr, "package-invalid",
         "package-invalid", Severity::Error, "no compound file"},
        {"transform that is no transform", kSetup,
         {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", text}, {"1033.mst", fixture("1033.mst")}}, false, nullptr,
         "transform-invalid", "transform-invalid", Severity::Error, "Wine's msiexec silently installs without it"},
        {"package where the transform should be", kSetup,
         {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", fixture("Setup.msi")}, {"1033.mst", fixture("1033.mst")}},
         true, nullptr, "transform-invalid", "transform-invalid", Severity::Error, "not a transform"},
        {"empty transform", kSetup,
         {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", empty}, {"1033.mst", fixture("1033.mst")}}, false, nullptr,
         "transform-invalid", "transform-invalid", Severity::Error, "is empty (0 bytes)"},
        {"transform of another product", kSetup,
         {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", fixture("other/1031.mst")}, {"1033.mst", fixture("1033.mst")}},
         false, nullptr, "transform-other-product", "transform-other-product", Severity::Error,
         "was made for the product {88888888-4B5A-6978-8796-A5B4C3D2E1F0}"},
        {"transform of another language", kSetup,
         {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", fixture("1041.mst")}, {"1033.mst", fixture("1033.mst")}},
         true, nullptr, "transform-language", "transform-language", Severity::Error,
         "the launcher picks it for language 1031, but it sets ProductLanguage 1041"},
        {"base language's transform from another language", kSetup,
         {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", fixture("1031.mst")}, {"1033.mst", fixture("1031.mst")}},
         false, nullptr, "transform-language", "transform-language", Severity::Error, "for language 1033"},
        {"staged package name too long for the default temporary directory",
         std::string("UpgradeCode=") + wixl_fixture::kUpgradeCode + "\r\nInstaller=" + longName,
         transforms({{longName, fixture("Setup.msi")}}), true, nullptr, "package-name-long", "package-name-long",
         Severity::Error, "staging fails"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path medium = fs::path(root) / ("m" + std::to_string(index++));
        Medium(medium, c.setup, c.files, c.compressed);
        if (c.more)
            c.more(medium);
        CheckOptions options;
        options.mediumDir = medium.string();
        CheckReport report = CheckMedium(options);
        EXPECT_EQ(Errors(report.findings), c.errors) << Describe(report.findings);
        if (*c.code) {
            const Finding* found = nullptr;
            for (const Finding& f : report.findings.items)
                if (f.code == c.code && f.message.find(c.message) != std::string::npos)
                    found = &f;
            ASSERT_NE(found, nullptr) << c.code << ": " << c.message << "\n" << Describe(report.findings);
            EXPECT_EQ(found->severity, c.severity);
        }
    }
}

TEST_F(PackageCheckTest, ExplainPredictsWhatMsiexecEndsWith)
{
    auto fixture = [](const char* name) { return Fixture(name); };
    const std::string text = root + "/text.bin";
    wixl_fixture::Write(text, "not a transform\n");
    struct Case {
        const char* name;
        std::vector<std::pair<std::string, fs::path>> files;
        bool compressed;
        bool wow64;
        std::function<void(const fs::path&)> more;
        int exitCode;
        bool transformTried;
    } cases[] = {
        {"sound medium", {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", fixture("1031.mst")}}, true, true, nullptr,
         0, true},
        {"transform missing", {{"Setup.msi", fixture("Setup.msi")}}, true, true, nullptr, 1624, true},
        {"package damaged",
         {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", fixture("1031.mst")}},
         true, true,
         [](const fs::path& m) { fs::resize_file(m / "Setup.ms_", fs::file_size(m / "Setup.ms_") / 2); }, 1620,
         false},
        {"package missing", {{"1031.mst", fixture("1031.mst")}}, true, true, nullptr, 1619, false},
        {"x64 package on 32-bit Windows", {{"Setup.msi", fixture("x64.msi")}, {"1031.mst", fixture("1031.mst")}}, false,
         false, nullptr, 1633, true},
        {"transform that is no transform", {{"Setup.msi", fixture("Setup.msi")}, {"1031.mst", text}}, false, true,
         nullptr, 1624, true},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::path medium = fs::path(root) / ("e" + std::to_string(index++));
        Medium(medium, kSetup, c.files, c.compressed);
        if (c.more)
            c.more(medium);
        ExplainOptions options;
        options.mediumDir = medium.string();
        options.systemLanguage = 0x0407;
        options.wow64 = c.wow64;
        options.tempDir = root + "/c" + std::to_string(index);
        ExplainReport r = ExplainMedium(options);
        ASSERT_TRUE(r.msiexecStarted);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.exitCodeReason;
        EXPECT_EQ(r.ejectHelperStarted, c.exitCode == 0) << "the hand-off follows exit code 0 only";
        if (c.compressed) {
            ASSERT_EQ(r.staged.size(), 2u);
            EXPECT_EQ(r.staged[1].tried, c.transformTried);
        }
        if (c.exitCode != 0) {
            EXPECT_NE(r.exitCodeReason.find("(" + std::to_string(c.exitCode)), std::string::npos) << r.exitCodeReason;
        }
    }
}

TEST_F(PackageCheckTest, CheckReportsWhatEachPackageIs)
{
    fs::path medium = fs::path(root) / "m";
    Medium(medium, kSetupBoth,
           {{"Setup.msi", Fixture("Setup.msi")}, {"Setup64.msi", Fixture("x64.msi")}, {"1031.mst", Fixture("1031.mst")},
            {"1033.mst", Fixture("1033.mst")}},
           true);
    std::ostringstream out, err;
    ASSERT_EQ(RunStubmedia({"check", medium.string(), "--json"}, out, err), 0) << out.str() << err.str();
    nlohmann::json report = nlohmann::json::parse(out.str());
    ASSERT_EQ(report["packages"].size(), 2u);
    std::map<std::string, std::string> platforms;
    for (const auto& p : report["packages"]) {
        platforms[p["key"]] = p["platform"];
        EXPECT_EQ(p["upgradeCode"], wixl_fixture::kUpgradeCode);
        EXPECT_EQ(p["productLanguage"], "1033");
    }
    EXPECT_EQ(platforms, (std::map<std::string, std::string>{{"Installer", "Intel"}, {"Installer64", "x64"}}));
}
