#include "signature.h"

#include "pe_image.h"
#include "run_program.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

namespace stubmedia {

namespace {

constexpr int kToolMissing = -1;

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// Runs a program found on PATH, no shell in between; its output in *output.
// Its exit status, kToolMissing when it cannot start.
int RunTool(const std::vector<std::string>& args, std::string* output)
{
    ProgramResult result = RunProgram(args);
    *output = result.output;
    if (!result.started || result.exitCode == 127)
        return kToolMissing;
    return result.exitCode < 0 ? 128 : result.exitCode;  // negative: ended by a signal
}

std::string Trim(const std::string& text)
{
    size_t start = text.find_first_not_of(" \t\r\n");
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(start, end - start + 1);
}

// The value of the first "field: value" line after the line holding after.
std::string FieldAfter(const std::string& text, const std::string& after, const std::string& field)
{
    size_t from = after.empty() ? 0 : text.find(after);
    if (from == std::string::npos)
        return std::string();
    std::istringstream lines(text.substr(from));
    std::string line;
    while (std::getline(lines, line)) {
        std::string t = Trim(line);
        if (t.compare(0, field.size(), field) == 0)
            return Trim(t.substr(field.size()));
    }
    return std::string();
}

std::string LastWords(const std::string& output)
{
    // Older osslsigncode versions leave the reason in OpenSSL's error line.
    size_t verifyError = output.find("Verify error:");
    if (verifyError != std::string::npos)
        return Trim(output.substr(verifyError + 13, output.find('\n', verifyError) - verifyError - 13));
    std::string error = FieldAfter(output, "", "Error:");
    if (!error.empty())
        return error;
    std::istringstream lines(output);
    std::string line, last;
    while (std::getline(lines, line))
        if (!Trim(line).empty())
            last = Trim(line);
    return last;
}

bool Supports(const std::string& option)
{
    static std::string help;
    if (help.empty())
        RunTool({"osslsigncode", "-h"}, &help);
    return help.find(option) != std::string::npos;
}

void ToolMissing(const std::string& tool, const std::string& where, Findings& findings)
{
    findings.Error(tool + "-missing", where,
                   tool + " is not installed or not on PATH: install the Debian package " + tool);
}

// openssl's view of the certificate that holds the key.
bool CertificateStart(const SignOptions& options, const std::string& scratch, Findings& findings, int64_t* start)
{
    std::string leaf = scratch + "/signer.pem";
    std::string output;
    std::string pass = options.passwordFile.empty() ? std::string("pass:") : "file:" + options.passwordFile;
    int rc = RunTool({"openssl", "pkcs12", "-in", options.pkcs12, "-nokeys", "-clcerts", "-passin", pass, "-out", leaf},
                     &output);
    if (rc == kToolMissing) {
        ToolMissing("openssl", options.pkcs12, findings);
        return false;
    }
    if (rc != 0) {
        findings.Error("sign-pkcs12", options.pkcs12,
                       "cannot be opened (wrong password, or no PKCS#12 file): " + LastWords(output));
        return false;
    }
    rc = RunTool({"openssl", "x509", "-in", leaf, "-noout", "-startdate", "-dateopt", "iso_8601"}, &output);
    std::tm when{};
    if (rc != 0 || std::sscanf(output.c_str(), "notBefore=%d-%d-%d %d:%d:%d", &when.tm_year, &when.tm_mon,
                               &when.tm_mday, &when.tm_hour, &when.tm_min, &when.tm_sec) != 6) {
        findings.Error("sign-pkcs12", options.pkcs12, "holds no certificate for its key: " + LastWords(output));
        return false;
    }
    when.tm_year -= 1900;
    when.tm_mon -= 1;
    *start = int64_t(timegm(&when));
    return true;
}

// openssl pkcs7 -print_certs writes "subject=..." and "issuer=..." before
// each certificate. The signer's is the one that issued none of the others.
void SignerNames(const std::string& printed, std::string* subject, std::string* issuer)
{
    std::vector<std::pair<std::string, std::string>> certificates;
    std::istringstream lines(printed);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 8, "subject=") == 0)
            certificates.push_back({Trim(line.substr(8)), std::string()});
        else if (line.compare(0, 7, "issuer=") == 0 && !certificates.empty())
            certificates.back().second = Trim(line.substr(7));
    }
    for (const auto& [s, i] : certificates) {
        bool issuedAnother = false;
        for (const auto& other : certificates)
            issuedAnother |= other.second == s && other.first != s;
        if (!issuedAnother) {
            *subject = s;
            *issuer = i;
            return;
        }
    }
}

}  // namespace

SignatureInfo InspectSignature(const std::string& path, const std::string& scratch, Findings& findings)
{
    SignatureInfo info;
    PeImage image;
    std::string error;
    if (!ReadPeFile(path, &image, &error))
        return info;
    info.isSigned = DataDirectory(image, kPeCertificateDirectory).size != 0;
    if (!info.isSigned)
        return info;

    // The certificates the signature carries name the signer even when the
    // file no longer matches it.
    std::string signature = scratch + "/signature.pem";
    std::string certificates = scratch + "/certificates.pem";
    std::remove(signature.c_str());
    std::remove(certificates.c_str());
    std::string output;
    int rc = RunTool({"osslsigncode", "extract-signature", "-pem", "-in", path, "-out", signature}, &output);
    if (rc == kToolMissing) {
        ToolMissing("osslsigncode", path, findings);
        return info;
    }
    info.checked = true;
    if (rc != 0) {
        info.problem = "its signature cannot be read: " + LastWords(output);
        return info;
    }
    rc = RunTool({"openssl", "pkcs7", "-in", signature, "-print_certs", "-out", certificates}, &output);
    if (rc == kToolMissing) {
        ToolMissing("openssl", path, findings);
        return info;
    }
    SignerNames(ReadText(certificates), &info.signer, &info.issuer);

    std::vector<std::string> verify = {"osslsigncode", "verify", "-in", path};
    // Newer versions fetch revocation lists named in the certificate unless told not to.
    if (Supports("-ignore-cdp"))
        verify.push_back("-ignore-cdp");
    rc = RunTool(verify, &output);
    info.broken = output.find("MISMATCH") != std::string::npos;
    if (rc == 0) {
        info.intact = info.trusted = true;
        return info;
    }
    info.problem = LastWords(output);
    if (info.broken)
        return info;
    // Not trusted here: test the signature against its own certificates, which
    // tells a sound signature by an unknown signer from a damaged one.
    std::string ignored;
    verify.insert(verify.end(), {"-CAfile", certificates});
    info.intact = RunTool(verify, &ignored) == 0;
    return info;
}

bool SignProgram(const std::string& input, const std::string& output, const SignOptions& options,
                 const std::string& scratch, Findings& findings, SignatureInfo* verified)
{
    int64_t signingTime = 0;
    if (options.signingTime) {
        signingTime = *options.signingTime;
    } else if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
        char* end = nullptr;
        signingTime = std::strtoll(epoch, &end, 10);
        if (*end != '\0') {
            findings.Error("sign-time", "SOURCE_DATE_EPOCH", "is not a number of seconds");
            return false;
        }
    } else if (!CertificateStart(options, scratch, findings, &signingTime)) {
        return false;
    }
    std::vector<std::string> args = {"osslsigncode", "sign", "-pkcs12", options.pkcs12, "-h", "sha256",
                                     "-time", std::to_string(signingTime)};
    if (!options.passwordFile.empty())
        args.insert(args.end(), {"-readpass", options.passwordFile});
    if (!options.timestampUrl.empty())
        args.insert(args.end(), {"-t", options.timestampUrl});
    std::string partial = output + ".partial";
    std::remove(partial.c_str());
    args.insert(args.end(), {"-in", input, "-out", partial});
    std::string said;
    int rc = RunTool(args, &said);
    if (rc == kToolMissing) {
        ToolMissing("osslsigncode", input, findings);
        return false;
    }
    if (rc != 0) {
        std::remove(partial.c_str());
        findings.Error("sign-failed", input, "osslsigncode could not sign it: " + LastWords(said));
        return false;
    }
    *verified = InspectSignature(partial, scratch, findings);
    if (!verified->intact) {
        std::remove(partial.c_str());
        findings.Error("sign-verify", input,
                       "the signature just made does not verify: " +
                           (verified->problem.empty() ? std::string("osslsigncode could not check it")
                                                      : verified->problem));
        return false;
    }
    if (std::rename(partial.c_str(), output.c_str()) != 0) {
        std::remove(partial.c_str());
        findings.Error("sign-write", output, "cannot be written");
        return false;
    }
    return true;
}

void ReportSignature(const SignatureInfo& info, const std::string& where, Findings& findings)
{
    if (!info.isSigned) {
        findings.Warning("setup-unsigned", where,
                         "setup.exe is not signed: Windows warns of an unknown publisher, and many companies' "
                         "policies refuse unsigned programs; sign it with stubmedia sign or pack --sign-pkcs12");
        return;
    }
    if (!info.checked) {
        findings.Warning("signature-unchecked", where, "setup.exe is signed, but its signature was not checked");
        return;
    }
    std::string by = info.signer.empty() ? std::string("an unnamed signer") : info.signer;
    if (info.broken) {
        findings.Error("signature-broken", where,
                       "setup.exe is signed by " + by +
                           ", but its bytes changed after signing: Windows treats it as tampered with; sign it again");
        return;
    }
    if (!info.intact) {
        findings.Error("signature-invalid", where,
                       "setup.exe carries a signature by " + by + " that does not verify: " + info.problem);
        return;
    }
    if (!info.trusted) {
        findings.Warning("signature-untrusted", where,
                         "setup.exe is signed by " + by + " and intact, but the certificate does not lead to a root "
                         "this machine trusts (" + info.problem +
                             "): Windows shows the publisher as unknown unless its systems trust that root");
        return;
    }
    findings.Note("signature-ok", where, "setup.exe is signed by " + by + ", intact and trusted");
}

}  // namespace stubmedia
