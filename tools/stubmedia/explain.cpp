#include "commands.h"

#include "launcher_sim.h"
#include "lzma_alone.h"
#include "msiexec_outcome.h"

#include "entry.h"
#include "language.h"
#include "text.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

std::string Quote(const std::u16string& text) { return "\"" + U8(text) + "\""; }

std::u16string Decimal(unsigned value) { return U16(std::to_string(value)); }

// The text after the first `prefix` in the first event that starts with it.
std::string EventText(const std::string& prefix)
{
    int index = sim::FindEvent(prefix);
    return index < 0 ? std::string() : sim::Events()[size_t(index)].substr(prefix.size());
}

uint64_t HostFileSize(const std::u16string& windowsPath, bool* present)
{
    std::string host = sim::HostPath(windowsPath);
    std::error_code error;
    *present = !host.empty() && fs::is_regular_file(host, error);
    return *present ? fs::file_size(host, error) : 0;
}

// The package path between -i " and the next quote of msiexec's parameters.
std::u16string PackageFromParameters(const std::u16string& parameters)
{
    size_t start = parameters.find(u"-i \"");
    if (start == std::u16string::npos)
        return std::u16string();
    start += 4;
    size_t end = parameters.find(u'"', start);
    return parameters.substr(start, end == std::u16string::npos ? std::u16string::npos : end - start);
}

void ExplainLanguage(const ExplainOptions& options, ExplainReport& report, const std::u16string& useLabel)
{
    if (!useLabel.empty()) {
        report.languageMethod = "label";
        report.language = LanguageFromVolumeLabel();
        std::string why = "[Setup] UseVolumeNameForLanguage is set (" + Quote(useLabel) +
                          "), so the volume label decides: ";
        if (options.labelUnreadable) {
            why += "the volume query fails, so the launcher falls back to 1033";
        } else if (report.label.size() < 4) {
            why += "the label " + Quote(report.label) + " has fewer than four characters, so the launcher falls "
                   "back to 1033";
        } else {
            std::u16string lastFour = report.label.substr(report.label.size() - 4);
            uint16_t converted = uint16_t(DecimalToInt(lastFour.c_str()));
            why += "its last four characters " + Quote(lastFour) +
                   (converted ? " give " + std::to_string(converted)
                              : " give no number, so the launcher falls back to 1033");
        }
        report.languageReason = why;
        return;
    }
    report.languageMethod = "map";
    report.language = LanguageFromLanguageMap();
    std::u16string key = Decimal(options.systemLanguage);
    std::u16string value = LauncherReads(u"LanguageMap", key, kMapValueCapacity);
    std::string why = "[Setup] UseVolumeNameForLanguage is not set, so [LanguageMap] decides: the system language " +
                      LanguageName(options.systemLanguage) + " is looked up as key " + U8(key) + ", ";
    if (value.empty())
        why += "which is not set, so the launcher falls back to 1033";
    else
        why += "set to " + Quote(value) + (DecimalToInt(value.c_str()) == report.language
                                               ? std::string()
                                               : ", whose low 16 bits give " + std::to_string(report.language));
    report.languageReason = why;
}

}  // namespace

ExplainReport ExplainMedium(const ExplainOptions& options)
{
    ExplainReport report;
    std::error_code error;
    if (!fs::is_directory(options.mediumDir, error)) {
        report.findings.Error("medium-missing", options.mediumDir, "is not a folder");
        return report;
    }
    ScratchDir scratch(options.tempDir);
    if (!scratch.ok()) {
        report.findings.Error("scratch", options.tempDir, "cannot create the folder for the temporary directory");
        return report;
    }
    std::string autorun = FindEntryNoCase(options.mediumDir, "autorun.inf");
    IniFile ini = autorun.empty() ? IniFile() : ReadIniFile(autorun);
    if (autorun.empty())
        report.findings.Warning("autorun-missing", "autorun.inf", "not in the medium folder: no setting is set");

    KnownLabel known = LabelOf(options.label, ini);
    report.label = known.text.value_or(u"");
    if (!known.text)
        report.labelSource = "none known: an empty label (pass --label)";
    else if (known.source == "--label")
        report.labelSource = known.source;
    else
        report.labelSource = known.source + " (pass --label for the real volume label)";

    Machine machine;
    machine.mediumDir = fs::absolute(options.mediumDir).string();
    machine.driveLetter = options.driveLetter;
    machine.driveType = options.driveType;
    machine.label = report.label;
    machine.labelReadable = !options.labelUnreadable;
    machine.systemLanguage = options.systemLanguage;
    machine.wow64 = options.wow64 ? sim::Wow64::Yes : sim::Wow64::No;
    machine.systemDriveDir = scratch.path() + "/C";
    machine.tempPath = options.windowsTemp;
    machine.logging = options.logging;

    // What the launcher reads, and why it chooses as it does.
    BootMachine(machine);
    std::u16string upgradeCode = LauncherReads(u"Setup", u"UpgradeCode", kUpgradeCodeCapacity);
    std::u16string installer = LauncherReads(u"Setup", u"Installer", kInstallerCapacity);
    std::u16string installer64 = LauncherReads(u"Setup", u"Installer64", kInstallerCapacity);
    std::u16string useLabel = LauncherReads(u"Setup", u"UseVolumeNameForLanguage", kSwitchCapacity);
    report.settings = {{"[Setup] UpgradeCode", upgradeCode},
                       {"[Setup] Installer", installer},
                       {"[Setup] Installer64", installer64},
                       {"[Setup] UseVolumeNameForLanguage", useLabel}};
    if (useLabel.empty()) {
        std::u16string key = Decimal(options.systemLanguage);
        report.settings.push_back({"[LanguageMap] " + U8(key), LauncherReads(u"LanguageMap", key, kMapValueCapacity)});
    }
    ExplainLanguage(options, report, useLabel);
    if (ChooseTransformLanguage() != report.language)
        report.findings.Error("explain-inconsistent", "language",
                              "the launcher's choice differs from the explanation: please report this");

    if (options.wow64 && !installer64.empty()) {
        report.packageKey = "Installer64";
        report.packageName = installer64;
        report.packageReason = "64-bit Windows (IsWow64Process says the 32-bit launcher runs under WOW64) and "
                               "[Setup] Installer64 is set";
    } else if (!installer.empty()) {
        report.packageKey = "Installer";
        report.packageName = installer;
        report.packageReason = options.wow64 ? "64-bit Windows, but [Setup] Installer64 is not set"
                                             : "32-bit Windows: Installer64 is not read";
    } else {
        report.packageReason = options.wow64 && installer64.empty()
                                   ? "neither Installer64 nor Installer is set"
                                   : "32-bit Windows reads only Installer, which is not set";
    }

    // The whole program, as the start from the medium runs it.
    machine.installed = options.installed;
    machine.upgradeCode = upgradeCode;
    auto runLauncher = [&](uint32_t msiexecExitCode) {
        BootMachine(machine);
        sim::MsiexecScript script;
        script.exitCode = msiexecExitCode;
        if (msiexecExitCode == 0)
            script.installsUpgradeCode = upgradeCode;
        sim::ScriptMsiexec(script);
        std::u16string modulePath = ModulePath(machine);
        report.exitCode = sim::RunProcess(modulePath, u"\"" + modulePath + u"\"", &wWinMain);
    };
    runLauncher(options.msiexecExitCode);

    report.guardName = U16(EventText("CreateMutexW "));
    report.installedCheckAsked = sim::FindEvent("MsiEnumRelatedProductsW ") >= 0;
    report.installed = options.installed && IsBracedGuid(upgradeCode);
    if (!sim::DeviceOpens().empty()) {
        const sim::DeviceOpen& open = sim::DeviceOpens().front();
        report.loadRequest = "opens " + U8(open.path) +
                             (open.access == GENERIC_READ ? " for reading" : " for reading and writing") +
                             " and sends the load request";
    } else if (!report.installed) {
        report.loadRequest = "no load request reaches a device: the drive is neither a CD-ROM nor removable";
    }

    if (!sim::ShellLaunches().empty()) {
        const sim::ShellLaunch& launch = sim::ShellLaunches().front();
        report.msiexecStarted = true;
        report.msiexecFile = launch.file;
        report.msiexecParameters = launch.parameters;
        report.msiexecDirectory = launch.directory;
        report.msiexecShow = launch.nShow;
        report.msiexecMask = launch.fMask;

        std::u16string packagePath = PackageFromParameters(launch.parameters);
        std::u16string transform = Decimal(report.language) + u".mst";
        std::u16string medium = MediumPath(machine, u"");
        bool onMedium = !packagePath.empty() && UpperAscii(packagePath.substr(0, medium.size())) == UpperAscii(medium);
        if (packagePath.empty()) {
            report.stagingForm = "none";
            report.stagingProblem = "no package path: the package name cannot be staged";
        } else if (onMedium) {
            report.stagingForm = "plain";
            StagedFile package{packagePath, packagePath};
            package.size = HostFileSize(packagePath, &package.present);
            package.expectedSize = package.size;
            StagedFile beside{launch.directory + u"\\" + transform, launch.directory + u"\\" + transform};
            beside.size = HostFileSize(beside.to, &beside.present);
            beside.expectedSize = beside.size;
            report.staged = {package, beside};
            report.stagingOk = package.present && beside.present;
            if (!package.present)
                report.stagingProblem = "the package is not on the medium";
            else if (!beside.present)
                report.stagingProblem = U8(transform) + " is not beside the package: Windows Installer ends with "
                                        "error 1624";
        } else {
            report.stagingForm = "compressed";
            std::u16string compressedPackage = CompressedName(MediumPath(machine, report.packageName));
            std::u16string compressedTransform = CompressedName(MediumPath(machine, transform));
            // The launcher joins one more backslash to the temporary directory,
            // which msiexec's working directory keeps at its end.
            std::u16string stagedTransform = launch.directory + u"\\" + transform;
            for (auto [from, to] : {std::pair{compressedPackage, packagePath},
                                    std::pair{compressedTransform, stagedTransform}}) {
                StagedFile staged{from, to};
                bool sourcePresent = false;
                HostFileSize(from, &sourcePresent);
                if (sourcePresent)
                    staged.expectedSize = ReadLzmaFileInfo(sim::HostPath(from)).declaredSize;
                staged.size = HostFileSize(to, &staged.present);
                report.staged.push_back(staged);
                if (!report.stagingProblem.empty())
                    continue;
                if (!sourcePresent)
                    report.stagingProblem = U8(from) + " is not on the medium";
                else if (!staged.present || staged.size != staged.expectedSize)
                    report.stagingProblem = "the launcher could not expand " + U8(from) +
                                            " (stubmedia check tells why)";
            }
            // The launcher expands the transform only after the package.
            if (report.staged.size() == 2 && !report.staged[1].present &&
                !(report.staged[0].present && report.staged[0].size == report.staged[0].expectedSize))
                report.staged[1].tried = false;
            report.stagingOk = report.stagingProblem.empty();
        }
    }

    // Unless told, msiexec ends as the package and transform it gets decide;
    // the launcher runs again to show what it does with that code.
    MsiexecOutcome predicted;
    if (report.msiexecStarted && !options.msiexecExitGiven) {
        std::u16string packagePath = PackageFromParameters(report.msiexecParameters);
        std::u16string transformPath = report.msiexecDirectory + u"\\" + Decimal(report.language) + u".mst";
        predicted = PredictMsiexec(packagePath.empty() ? std::string() : sim::HostPath(packagePath),
                                   sim::HostPath(transformPath), options.wow64);
        if (predicted.code != 0)
            runLauncher(predicted.code);
    }

    for (const sim::ProcessLaunch& launch : sim::ProcessLaunches()) {
        if (!launch.succeeded)
            continue;
        report.ejectHelperStarted = true;
        report.ejectCommandLine = launch.commandLine;
        report.ejectDirectory = launch.currentDirectory;
        break;
    }

    if (report.installed)
        report.exitCodeReason = "the product is installed already: no installation, exit code 0";
    else if (report.msiexecStarted && predicted.code != 0)
        report.exitCodeReason = "msiexec's exit code, passed through: " + predicted.reason;
    else if (report.msiexecStarted && !options.msiexecExitGiven)
        report.exitCodeReason = "msiexec's exit code: 0 when the installation succeeds (the package and transform "
                                "it gets are sound; a real run ends with what msiexec returns)";
    else if (report.msiexecStarted)
        report.exitCodeReason = "msiexec's exit code (scripted as " + std::to_string(options.msiexecExitCode) +
                                "; a real run ends with what msiexec returns)";
    else
        report.exitCodeReason = "no msiexec was started: a Windows error code (1603 when there is none)";
    if (!report.msiexecStarted && !report.installed)
        report.findings.Error("no-installer", report.packageKey.empty() ? "[Setup]" : "[Setup] " + report.packageKey,
                              "the launcher starts no installer on this system: " + report.packageReason);
    else if (report.msiexecStarted && !report.stagingOk)
        report.findings.Error("staging-fails", U8(report.packageName), report.stagingProblem);
    else if (predicted.code != 0)
        report.findings.Error("msiexec-fails", U8(report.packageName), predicted.reason);
    return report;
}

}  // namespace stubmedia
