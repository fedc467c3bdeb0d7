// The command lines of brand and sign, and the signature in reports.
#include "cli.h"

#include "brand.h"
#include "signature.h"

#include <memory>
#include <unistd.h>

namespace stubmedia {

namespace {

// A private scratch folder for osslsigncode's and openssl's output.
struct ScratchFolder {
    std::string path;
    ScratchFolder()
    {
        char pattern[] = "/tmp/stubmedia-sign-XXXXXX";
        if (mkdtemp(pattern))
            path = pattern;
    }
    ~ScratchFolder()
    {
        std::error_code ignored;
        if (!path.empty())
            std::filesystem::remove_all(path, ignored);
    }
};

}  // namespace

Json SignatureJson(const SignatureInfo& s)
{
    Json j;
    j["signed"] = s.isSigned;
    if (s.isSigned) {
        j["checked"] = s.checked;
        j["signer"] = s.signer;
        j["issuer"] = s.issuer;
        j["intact"] = s.intact;
        j["broken"] = s.broken;
        j["trusted"] = s.trusted;
        if (!s.problem.empty())
            j["problem"] = s.problem;
    }
    return j;
}

std::string SignatureText(const SignatureInfo& s)
{
    if (!s.isSigned)
        return "not signed";
    if (!s.checked)
        return "signed, not checked";
    std::string by = "signed by " + (s.signer.empty() ? std::string("an unnamed signer") : s.signer);
    if (s.broken)
        return by + ": BROKEN, the file changed after signing";
    if (!s.intact)
        return by + ": does NOT verify (" + s.problem + ")";
    return by + ", intact, " + (s.trusted ? "trusted here" : "not trusted here (" + s.problem + ")");
}

Command AddBrandCommand(CLI::App& root, const Io& io)
{
    struct Args {
        std::string program, icon, output;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    CLI::App* app = root.add_subcommand(
        "brand",
        "Puts the product's icon into setup.exe in place of the launcher's own: the nine images of the icon file "
        "(48, 32 and 16 pixels at 4, 8 and 32 bits per pixel, uncompressed bitmaps, not PNG) overwrite the nine of "
        "icon group 107 where they lie. Nothing else changes, and the same inputs give the same bytes. Brand before "
        "signing: a signed program is refused.");
    app->add_option("program", a->program, "the launcher, setup.exe");
    app->add_option("--icon", a->icon, "the product's icon file (required)")->type_name("PRODUCT.ico");
    app->add_option("-o,--output", a->output, "where the branded program goes (default: in place)")
        ->type_name("OUT.exe");
    AddJsonFlag(app, &a->json);

    auto run = [a, app, &io]() -> int {
        if (a->program.empty())
            return UsageError(io, app, "brand takes the program to brand");
        if (a->icon.empty())
            return UsageError(io, app, "--icon is required: the product's icon file");
        std::string output = a->output.empty() ? a->program : a->output;
        BrandReport report = BrandSetupExe(a->program, a->icon, output);
        if (a->json) {
            Json j;
            j["command"] = "brand";
            j["program"] = a->program;
            j["icon"] = a->icon;
            j["output"] = output;
            j["written"] = report.written;
            j["unusedImages"] = report.unused;
            AddFindingsJson(j, report.findings);
            PrintJson(io.out, j);
        } else {
            if (report.written)
                io.out << "branded " << output << " with the nine images of " << a->icon << "\n";
            PrintFindings(io.out, report.findings);
        }
        return report.written && !report.findings.HasErrors() ? kExitOk : kExitFindings;
    };
    return {app, "brand <setup.exe> --icon PRODUCT.ico [-o OUT.exe]", run};
}

Command AddSignCommand(CLI::App& root, const Io& io)
{
    struct Args {
        std::string program, output;
        SignOptions sign;
        bool json = false;
    };
    auto a = std::make_shared<Args>();
    CLI::App* app = root.add_subcommand(
        "sign",
        "Signs setup.exe (Authenticode, SHA-256) with osslsigncode and verifies the result. The signing time is "
        "SOURCE_DATE_EPOCH or else the start of the certificate's validity, so the same inputs give the same bytes; "
        "with --timestamp-url a timestamp authority vouches for the real time instead (this needs the network). "
        "Sign after branding: a new icon breaks the signature.");
    app->add_option("program", a->program, "the program to sign, setup.exe");
    app->add_option("--pkcs12", a->sign.pkcs12, "the key and certificate (required)")->type_name("FILE");
    app->add_option("--password-file", a->sign.passwordFile, "the PKCS#12 file's password on its first line")
        ->type_name("FILE");
    app->add_option("--timestamp-url", a->sign.timestampUrl, "an Authenticode timestamp server (default: none)")
        ->type_name("URL");
    app->add_option("-o,--output", a->output, "where the signed program goes (default: in place)")
        ->type_name("OUT.exe");
    AddJsonFlag(app, &a->json);

    auto run = [a, app, &io]() -> int {
        if (a->program.empty())
            return UsageError(io, app, "sign takes the program to sign");
        if (a->sign.pkcs12.empty())
            return UsageError(io, app, "--pkcs12 is required: the PKCS#12 file with the key and certificate");
        std::string output = a->output.empty() ? a->program : a->output;
        Findings findings;
        SignatureInfo info;
        ScratchFolder scratch;
        bool ok = !scratch.path.empty();
        if (!ok)
            findings.Error("scratch", "/tmp", "cannot create a scratch folder");
        ok = ok && SignProgram(a->program, output, a->sign, scratch.path, findings, &info);
        if (ok)
            ReportSignature(info, output, findings);
        if (a->json) {
            Json j;
            j["command"] = "sign";
            j["program"] = a->program;
            j["output"] = output;
            j["written"] = ok;
            j["signature"] = SignatureJson(info);
            AddFindingsJson(j, findings);
            PrintJson(io.out, j);
        } else {
            if (ok)
                io.out << "signed " << output << ": " << SignatureText(info) << "\n";
            PrintFindings(io.out, findings);
        }
        return ok && !findings.HasErrors() ? kExitOk : kExitFindings;
    };
    return {app, "sign <setup.exe> --pkcs12 FILE [--password-file F] [--timestamp-url URL] [-o OUT.exe]", run};
}

}  // namespace stubmedia
