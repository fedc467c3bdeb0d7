// Signing the real setup.exe with osslsigncode and a key made here by
// openssl: the signature verifies, names its signer, is the same for the same
// inputs, and one changed byte breaks it.
#include "tool_test_support.h"
#include "signature.h"

#include "pe_image.h"

#include "icon_fixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace stubmedia;

namespace {

std::string Messages(const Findings& findings)
{
    std::string all;
    for (const Finding& f : findings.items)
        all += f.code + ": " + f.message + "\n";
    return all;
}

class SignatureTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char pattern[] = "/tmp/stubmedia-sign-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        ASSERT_TRUE(stubmedia_test::MakeTestSigner(dir.string())) << ReadBytes(dir / "openssl.log");
        std::string setup = SETUPSTUB_WIN32_EXE;
        ASSERT_TRUE(fs::is_regular_file(setup)) << setup << " is missing: build the win32 preset first";
        fs::copy_file(setup, dir / "setup.exe");
        fs::create_directories(dir / "scratch");
    }
    static void TearDownTestSuite()
    {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    static SignOptions Options()
    {
        SignOptions options;
        options.pkcs12 = (dir / "signer.p12").string();
        options.passwordFile = (dir / "password.txt").string();
        return options;
    }
    static std::string Scratch() { return (dir / "scratch").string(); }

    static fs::path dir;
};

fs::path SignatureTest::dir;

TEST_F(SignatureTest, SignedProgramVerifiesNamesItsSignerAndRepeatsByteForByte)
{
    Findings findings;
    SignatureInfo info;
    ASSERT_TRUE(SignProgram((dir / "setup.exe").string(), (dir / "signed.exe").string(), Options(), Scratch(),
                            findings, &info))
        << Messages(findings);
    EXPECT_TRUE(info.isSigned);
    EXPECT_TRUE(info.intact);
    EXPECT_FALSE(info.trusted);  // self-signed: no root of this machine
    EXPECT_NE(info.signer.find("CN = Brelm Test Signer"), std::string::npos) << info.signer;
    EXPECT_TRUE(findings.items.empty()) << Messages(findings);
    ReportSignature(info, "setup.exe", findings);
    ASSERT_NE(findings.Find("signature-untrusted"), nullptr) << Messages(findings);
    EXPECT_NE(findings.Find("signature-untrusted")->message.find("self-signed certificate"), std::string::npos);

    // The signing time comes from the certificate, not the clock.
    Findings again;
    ASSERT_TRUE(SignProgram((dir / "setup.exe").string(), (dir / "signed-again.exe").string(), Options(), Scratch(),
                            again, &info))
        << Messages(again);
    EXPECT_TRUE(ReadBytes(dir / "signed.exe") == ReadBytes(dir / "signed-again.exe"));

    // The program's image is untouched; a certificate table and checksum are added.
    PeImage unsigned_, signed_;
    std::string error;
    ASSERT_TRUE(ReadPeFile((dir / "setup.exe").string(), &unsigned_, &error));
    ASSERT_TRUE(ReadPeFile((dir / "signed.exe").string(), &signed_, &error));
    PeDataDirectory table = DataDirectory(signed_, kPeCertificateDirectory);
    EXPECT_EQ(table.address, unsigned_.bytes.size());
    EXPECT_EQ(StoredChecksum(signed_), PeChecksum(signed_.bytes, signed_.checksumOffset));

    SignatureInfo plain = InspectSignature((dir / "setup.exe").string(), Scratch(), findings);
    EXPECT_FALSE(plain.isSigned);
    Findings reported;
    ReportSignature(plain, "setup.exe", reported);
    EXPECT_NE(reported.Find("setup-unsigned"), nullptr);
}

TEST_F(SignatureTest, OneChangedByteBreaksTheSignature)
{
    Findings findings;
    SignatureInfo info;
    ASSERT_TRUE(SignProgram((dir / "setup.exe").string(), (dir / "tampered.exe").string(), Options(), Scratch(),
                            findings, &info))
        << Messages(findings);
    std::string bytes = ReadBytes(dir / "tampered.exe");
    bytes[0x1000] = char(bytes[0x1000] ^ 1);
    WriteBytes(dir / "tampered.exe", bytes);

    Findings checked;
    SignatureInfo broken = InspectSignature((dir / "tampered.exe").string(), Scratch(), checked);
    EXPECT_TRUE(broken.isSigned);
    EXPECT_TRUE(broken.broken);
    EXPECT_FALSE(broken.intact);
    ReportSignature(broken, "setup.exe", checked);
    ASSERT_NE(checked.Find("signature-broken"), nullptr) << Messages(checked);
    EXPECT_NE(checked.Find("signature-broken")->message.find("Brelm Test Signer"), std::string::npos);
}

TEST_F(SignatureTest, SigningFailuresSayWhy)
{
    WriteBytes(dir / "wrong.txt", "not the password\n");
    SignOptions wrongPassword = Options();
    wrongPassword.passwordFile = (dir / "wrong.txt").string();
    SignOptions noKey = Options();
    noKey.pkcs12 = (dir / "cert.pem").string();

    struct Case {
        const char* name;
        SignOptions options;
        const char* path;  // PATH while signing; null: unchanged
        const char* code;
    } cases[] = {
        {"wrong password", wrongPassword, nullptr, "sign-pkcs12"},
        {"no PKCS#12 file", noKey, nullptr, "sign-pkcs12"},
        {"no osslsigncode or openssl", Options(), "/nonexistent", "openssl-missing"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string oldPath = std::getenv("PATH");
        if (c.path)
            setenv("PATH", c.path, 1);
        Findings findings;
        SignatureInfo info;
        bool ok = SignProgram((dir / "setup.exe").string(), (dir / "failed.exe").string(), c.options, Scratch(),
                              findings, &info);
        setenv("PATH", oldPath.c_str(), 1);
        EXPECT_FALSE(ok);
        EXPECT_NE(findings.Find(c.code), nullptr) << Messages(findings);
        EXPECT_FALSE(fs::exists(dir / "failed.exe"));
    }

    // With the signing time given, openssl is not needed; osslsigncode is.
    SignOptions timed = Options();
    timed.signingTime = 1700000000;
    std::string oldPath = std::getenv("PATH");
    setenv("PATH", "/nonexistent", 1);
    Findings findings;
    SignatureInfo info;
    bool ok = SignProgram((dir / "setup.exe").string(), (dir / "failed.exe").string(), timed, Scratch(), findings,
                          &info);
    setenv("PATH", oldPath.c_str(), 1);
    EXPECT_FALSE(ok);
    ASSERT_NE(findings.Find("osslsigncode-missing"), nullptr) << Messages(findings);
    EXPECT_NE(findings.Find("osslsigncode-missing")->message.find("install the Debian package osslsigncode"),
              std::string::npos);
}

}  // namespace
