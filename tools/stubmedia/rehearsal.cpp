#include "rehearsal.h"

#include "autorun_ini.h"
#include "image.h"
#include "launcher_sim.h"
#include "medium.h"
#include "run_program.h"
#include "shared_files.h"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;


namespace stubmedia {

std::string ExitCodeMeaning(uint32_t code)
{
    switch (code) {
    case 0: return "success";
    case 2: return "a file was not found (the package or transform missing, or not staged)";
    case 3: return "a path was not found";
    case 5: return "access denied";
    case 183: return "another copy of setup.exe for this product is running";
    case 1601: return "the Windows Installer service could not be accessed";
    case 1602: return "the user cancelled the installation";
    case 1603: return "a fatal error during installation (msiexec's verbose log says which)";
    case 1618: return "another installation is in progress";
    case 1619: return "the package could not be opened (missing or unreadable)";
    case 1620: return "the package could not be opened (not a valid package)";
    case 1624: return "the transform could not be applied";
    case 1625: return "the installation is forbidden by system policy";
    case 1633: return "the package does not support this platform";
    case 1638: return "another version of this product is installed already";
    case 1639: return "invalid command line for msiexec";
    case 1641: return "success; the installer has started a restart";
    case 3010: return "success; a restart is required to complete it";
    default: return "see the Windows error or Windows Installer code " + std::to_string(code);
    }
}

std::string RehearsalScript() { return SharedFile("rehearsal.py"); }

namespace {

std::string HostUser()
{
    const passwd* pw = getpwuid(getuid());
    return pw ? pw->pw_name : "root";
}

std::u16string SettingValue(const ExplainReport& r, const std::string& key)
{
    for (const auto& [k, v] : r.settings)
        if (k == key)
            return v;
    return std::u16string();
}

}  // namespace

TryReport TryMedium(const TryOptions& options, std::ostream* progress)
{
    TryReport report;
    Findings& findings = report.findings;
    std::error_code error;
    auto say = [&](const std::string& text) {
        if (progress)
            *progress << "try: " << text << "\n" << std::flush;
    };

    // The work folder: the prefix, the drive's folder, an image's files.
    std::string work = options.workDir;
    bool ownWork = work.empty();
    if (ownWork) {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/stubmedia-try-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back(0);
        if (!mkdtemp(buffer.data())) {
            findings.Error("scratch", pattern, "cannot create the rehearsal's folder");
            return report;
        }
        work = buffer.data();
    }
    fs::create_directories(work, error);
    work = fs::absolute(work).string();

    std::string mediumDir;
    if (fs::is_directory(options.medium, error)) {
        report.mediumKind = "folder";
        mediumDir = options.medium;
        report.driveType = "cdrom";
        IniFile autorun = ReadIniFile((fs::path(mediumDir) / "autorun.inf").string());
        if (KnownLabel known = LabelOf(options.label, autorun); known.text) {
            report.label = *known.text;
            report.labelSource = known.source;
        } else {
            report.labelSource = "none (no --label, no [autorun] label)";
        }
    } else if (fs::is_regular_file(options.medium, error) || fs::is_block_file(options.medium, error)) {
        say("reading the image");
        mediumDir = (fs::path(work) / "image-files").string();
        fs::remove_all(mediumDir, error);
        ImageContents contents = ReadImage(options.medium, mediumDir);
        if (!contents.ok) {
            findings.Error("try-image", options.medium, contents.error);
            return report;
        }
        report.mediumKind = contents.format == ImageFormat::Iso ? "ISO 9660 image" : "FAT image";
        report.driveType = contents.format == ImageFormat::Iso ? "cdrom" : "removable";
        report.label = contents.label;
        report.labelSource = contents.format == ImageFormat::Iso ? "the image's Joliet volume descriptor"
                                                                  : "the image's FAT label";
        if (options.label && *options.label != report.label)
            findings.Warning("try-label-ignored", "--label",
                             "an image carries its own label \"" + U8(report.label) + "\"; --label is not used");
    } else {
        findings.Error("medium-missing", options.medium, "is neither a medium folder nor an image");
        return report;
    }

    // What the launcher will read: its own code on the simulated Windows.
    ExplainOptions explain;
    explain.mediumDir = mediumDir;
    explain.systemLanguage = options.systemLanguage;
    explain.systemLanguageGiven = true;
    explain.label = report.label;
    explain.wow64 = options.arch != "win64";  // the x86-64 twin is no WOW64 process
    explain.windowsTemp = U16("C:\\users\\" + HostUser() + "\\Temp\\");
    explain.driveLetter = u'M';
    explain.driveType = report.driveType == "cdrom" ? DRIVE_CDROM : DRIVE_REMOVABLE;
    explain.logging = true;
    report.predicted = ExplainMedium(explain);
    std::u16string upgradeCode = SettingValue(report.predicted, "[Setup] UpgradeCode");
    if (!IsBracedGuid(upgradeCode)) {
        findings.Error("upgrade-code-not-guid", "[Setup] UpgradeCode",
                       "the medium's upgrade code \"" + U8(upgradeCode) +
                           "\" is no braced GUID: the rehearsal could not tell whether the product got installed; "
                           "stubmedia check says more");
        return report;
    }

    std::string setup64 = options.setupExe64.empty() ? SharedFile("setup64.exe") : options.setupExe64;
    std::string resultPath = (fs::path(work) / "rehearsal.json").string();
    fs::remove(resultPath, error);
    std::vector<std::string> argv = {"/usr/bin/python3", RehearsalScript(),
                                     "--medium", mediumDir,
                                     "--label", U8(report.label),
                                     "--drive-type", report.driveType,
                                     "--system-language", std::to_string(options.systemLanguage),
                                     "--arch", options.arch,
                                     "--setup64", setup64,
                                     "--upgrade-code", U8(upgradeCode),
                                     "--work", work,
                                     "--timeout", std::to_string(options.timeoutSeconds),
                                     "--result", resultPath};
    if (options.keep)
        argv.push_back("--keep");
    ProgramResult ran = RunProgram(argv, {}, true);
    std::ifstream in(resultPath, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    report.wineResult = text.str();
    if (!ran.started || report.wineResult.empty()) {
        findings.Error("try-wine", RehearsalScript(),
                       "the rehearsal did not run (" + (ran.started ? "exit " + std::to_string(ran.exitCode)
                                                                   : std::string("python3 missing")) +
                           "); see the lines above");
    } else {
        nlohmann::json r = nlohmann::json::parse(report.wineResult, nullptr, false);
        if (r.is_discarded()) {
            findings.Error("try-wine", resultPath, "the rehearsal's result is no JSON");
        } else if (!r["error"].is_null()) {
            findings.Error("try-wine", "Wine", r["error"].get<std::string>());
        } else {
            report.ran = true;
            report.installed = r.value("ok", false);
            if (r.value("arch", "") == "win64" && explain.wow64) {
                explain.wow64 = false;
                report.predicted = ExplainMedium(explain);
            }
            if (!report.installed)
                findings.Error("try-failed", "setup.exe",
                               "ended with " + std::to_string(r.value("exit_code", 0u)) + ": " +
                                   ExitCodeMeaning(r.value("exit_code", 0u)));
        }
    }
    if (ownWork && !options.keep)
        fs::remove_all(work, error);
    else if (!options.keep)
        fs::remove_all(fs::path(work) / "image-files", error);
    return report;
}

}  // namespace stubmedia
