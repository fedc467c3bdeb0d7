#include "package_check.h"

#include "medium.h"
#include "msi_format.h"

#include "text.h"

#include <memory>
#include <sys/stat.h>

namespace stubmedia {

namespace {

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return text;
}

bool SameGuid(const std::string& a, const std::string& b) { return Upper(a) == Upper(b); }

bool IsEmptyFile(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && st.st_size == 0;
}

bool Is64BitPlatform(const std::string& platform)
{
    return platform == "x64" || platform == "Intel64" || platform == "Arm64" || platform == "AMD64";
}

void CheckPackage(const MediumPackage& p, const msi::Database& db, PackageContent& content,
                  const std::u16string& setupCode, Findings& findings)
{
    const std::string setup = sim::U8(setupCode);
    if (content.upgradeCode.empty()) {
        findings.Error("package-upgrade-code", p.where,
                       "has no UpgradeCode property: Windows Installer registers no upgrade code for it, so the "
                       "launcher's installed check never finds the product and every run starts msiexec again");
    } else if (IsBracedGuid(setupCode) && !SameGuid(content.upgradeCode, setup)) {
        findings.Error("package-upgrade-code", p.where,
                       "its UpgradeCode is " + content.upgradeCode + ", but [Setup] UpgradeCode is " + setup +
                           ": the launcher's installed check never finds the product this package installs, so "
                           "every run starts msiexec again, and media of this product do not exclude each other");
    }

    const std::string& platform = content.platform;
    const std::string templ = "(summary Template \"" + db.summaryTemplate + "\")";
    bool for32 = p.key == "Installer";
    if (for32 && Is64BitPlatform(platform)) {
        findings.Error("package-platform", p.where,
                       "is a " + platform + " package " + templ + ", but " + p.systems +
                           " run it as Installer: 32-bit Windows refuses it (msiexec ends with 1633, "
                           "this platform is not supported); name it Installer64 and give Installer an Intel package");
    } else if (for32 && !platform.empty() && platform != "Intel") {
        findings.Error("package-platform", p.where,
                       "is a package for the platform \"" + platform + "\" " + templ +
                           ": 32-bit Windows runs Intel packages only (msiexec ends with 1633)");
    } else if (!for32 && (platform.empty() || platform == "Intel")) {
        findings.Warning("package-platform", p.where,
                         "is an Intel (32-bit) package " + templ +
                             " named as Installer64: it installs on 64-bit Windows, but as a 32-bit product");
    } else if (!for32 && platform == "Arm64") {
        findings.Warning("package-platform", p.where,
                         "is an Arm64 package " + templ +
                             ": x64 Windows, which reads Installer64 as well, refuses it (msiexec ends with 1633)");
    } else if (!for32 && !Is64BitPlatform(platform)) {
        findings.Warning("package-platform", p.where,
                         "is a package for the platform \"" + platform + "\" " + templ +
                             ", which 64-bit Windows may refuse");
    }

    // Cabinets: '#' marks a stream of the package; any other name is a file
    // that msiexec looks for in the package's folder.
    if (const msi::Table* media = db.Find("Media")) {
        size_t cabinetColumn = media->columns.size();
        for (size_t i = 0; i < media->columns.size(); ++i)
            if (media->columns[i].name == "Cabinet")
                cabinetColumn = i;
        for (const auto& [key, row] : media->rows) {
            if (cabinetColumn >= row.size() || row[cabinetColumn].null)
                continue;
            const std::string& cabinet = row[cabinetColumn].text;
            if (cabinet[0] == '#')
                continue;
            std::string disk = key.empty() || key[0].null ? "?" : std::to_string(key[0].number);
            if (p.compressed) {
                findings.Error("cabinet-external", p.where,
                               "Media row " + disk + " names the external cabinet " + cabinet +
                                   ": the launcher expands the package into the temporary directory, where msiexec "
                                   "does not find the cabinet, and the installation fails; embed the cabinet in the "
                                   "package or ship the package plain");
            } else if (FindEntryNoCase(p.folder, cabinet).empty()) {
                findings.Error("cabinet-missing", p.where,
                               "Media row " + disk + " names the external cabinet " + cabinet +
                                   ", which is not beside the package on the medium: the installation fails");
            }
        }
    }
}

// "{old code}old version;{new code}new version;{upgrade code}"
void ParseRevision(const std::string& revision, std::string* productCode, std::string* upgradeCode)
{
    size_t first = revision.find(';');
    size_t second = first == std::string::npos ? first : revision.find(';', first + 1);
    std::string old = revision.substr(0, first);
    *productCode = old.size() >= 38 && old[0] == '{' ? old.substr(0, 38) : std::string();
    *upgradeCode = second == std::string::npos ? std::string() : revision.substr(second + 1);
}

void CheckTransform(const MediumTransform& t, const MediumPackage& p, const msi::Database& db,
                    TransformContent& content, Findings& findings)
{
    const std::string failure = " Windows Installer fails the installation with this transform (error 1624), while "
                                "Wine's msiexec silently installs without it";
    if (IsEmptyFile(t.file)) {
        findings.Error("transform-invalid", t.where, "is empty (0 bytes):" + failure);
        return;
    }
    msi::TransformReport report = msi::ApplyTransform(t.file, db, nullptr);
    if (!report.readable) {
        findings.Error("transform-invalid", t.where, "is no transform: it " + report.error + "." + failure);
        return;
    }
    if (!report.error.empty()) {
        findings.Error("transform-invalid", t.where,
                       "cannot be applied to " + p.where + ": " + report.error + "." + failure);
        return;
    }
    if (!report.conflicts.empty()) {
        findings.Error("transform-conflict", t.where,
                       "does not fit " + p.where + ": it " + report.conflicts.front() +
                           (report.conflicts.size() > 1
                                ? " (and " + std::to_string(report.conflicts.size() - 1) + " more)"
                                : std::string()) +
                           ", and does not tell Windows Installer to ignore that;" + failure);
        return;
    }
    content.applies = true;

    std::string productCode, upgradeCode;
    ParseRevision(report.summary.revision, &productCode, &upgradeCode);
    std::string packageCode = db.Property("ProductCode"), packageUpgrade = db.Property("UpgradeCode");
    if (!report.summary.present || productCode.empty()) {
        findings.Warning("transform-summary", t.where,
                         "its summary information does not name the product it was made for, so nothing shows "
                         "that it belongs to " + p.where);
    } else if (!SameGuid(productCode, packageCode) || (!upgradeCode.empty() && !SameGuid(upgradeCode, packageUpgrade))) {
        findings.Error("transform-other-product", t.where,
                       "was made for the product " + productCode + (upgradeCode.empty() ? "" : " of " + upgradeCode) +
                           ", but " + p.where + " is " + packageCode + " of " + packageUpgrade +
                           ": Windows Installer refuses a transform made for another product");
    }

    content.productLanguage = report.productLanguage ? *report.productLanguage : db.Property("ProductLanguage");
    if (content.productLanguage != std::to_string(t.language))
        findings.Error("transform-language", t.where,
                       "the launcher picks it for language " + std::to_string(t.language) + ", but it " +
                           (report.productLanguage ? "sets ProductLanguage " : "leaves the package's ProductLanguage ") +
                           content.productLanguage + ": those systems install in another language");
}

}  // namespace

ContentReport CheckContents(const std::u16string& upgradeCode, const std::vector<MediumPackage>& packages,
                            const std::vector<MediumTransform>& transforms, Findings& out)
{
    ContentReport report;
    Findings findings;
    std::vector<std::unique_ptr<msi::Database>> databases;
    for (const MediumPackage& p : packages) {
        PackageContent content;
        auto db = std::make_unique<msi::Database>();
        std::string error;
        if (IsEmptyFile(p.file)) {
            findings.Error("package-invalid", p.where,
                           std::string(p.compressed ? "expands to an empty file" : "is empty (0 bytes)") +
                               ": msiexec cannot open it and ends with 1620 (the package is invalid)");
        } else if (!msi::ReadDatabase(p.file, db.get(), &error)) {
            findings.Error("package-invalid", p.where,
                           std::string(p.compressed ? "expands to a file that " : "") + error +
                               ": msiexec cannot open it and ends with 1620 (the package is invalid)");
        } else {
            content.readable = true;
            content.platform = msi::TemplatePlatform(db->summaryTemplate);
            content.productCode = db->Property("ProductCode");
            content.upgradeCode = db->Property("UpgradeCode");
            content.productLanguage = db->Property("ProductLanguage");
            CheckPackage(p, *db, content, upgradeCode, findings);
        }
        report.packages.push_back(content);
        databases.push_back(std::move(db));
    }
    if (packages.size() == 2 && report.packages[0].readable && report.packages[1].readable &&
        !report.packages[0].upgradeCode.empty() && !report.packages[1].upgradeCode.empty() &&
        !SameGuid(report.packages[0].upgradeCode, report.packages[1].upgradeCode))
        findings.Error("packages-upgrade-code", packages[1].where,
                       "its UpgradeCode " + report.packages[1].upgradeCode + " differs from " + packages[0].where +
                           "'s " + report.packages[0].upgradeCode +
                           ": the launcher checks for one product, so one of the two is never found installed");

    for (const MediumTransform& t : transforms) {
        TransformContent content;
        if (t.package < packages.size() && report.packages[t.package].readable)
            CheckTransform(t, packages[t.package], *databases[t.package], content, findings);
        report.transforms.push_back(content);
    }
    // A transform that both packages use says the same thing twice.
    for (const Finding& f : findings.items) {
        bool seen = false;
        for (const Finding& g : out.items)
            seen = seen || (g.code == f.code && g.where == f.where && g.message == f.message);
        if (!seen)
            out.items.push_back(f);
    }
    return report;
}

}  // namespace stubmedia
