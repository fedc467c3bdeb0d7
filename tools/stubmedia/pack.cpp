#include "commands.h"

#include "launcher_sim.h"
#include "lzma_alone.h"
#include "manifest.h"
#include "pack_extras.h"
#include "pack_tidy.h"
#include "shared_files.h"

#include "language.h"
#include "text.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

std::string Lower(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return lower;
}

bool EndsWith(const std::string& text, const std::string& suffix)
{
    return text.size() >= suffix.size() && Lower(text.substr(text.size() - suffix.size())) == suffix;
}

std::string Mib(uint64_t n)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f MiB", n / 1048576.0);
    return buffer;
}

// "compressing Setup.msi: 40% of 120.0 MiB", in place on a terminal, in
// steps of a tenth in a log.
class ProgressPrinter {
public:
    ProgressPrinter(std::ostream* out, const std::string& what, uint64_t size, uint64_t threshold)
        : out_(size >= threshold ? out : nullptr), what_(what), tty_(out == &std::cerr && isatty(2))
    {
    }
    void operator()(uint64_t done, uint64_t total)
    {
        if (!out_ || total == 0)
            return;
        int percent = int(done * 100 / total);
        if (tty_) {
            if (percent == last_)
                return;
            *out_ << "\r" << what_ << ": " << percent << "% of " << Mib(total) << std::flush;
            if (percent == 100)
                *out_ << "\n";
        } else {
            if (percent / 10 == last_ / 10 && last_ >= 0)
                return;
            *out_ << what_ << ": " << percent << "% of " << Mib(total) << "\n";
        }
        last_ = percent;
    }

private:
    std::ostream* out_;
    std::string what_;
    bool tty_;
    int last_ = -1;
};

struct InputScan {
    std::vector<std::string> packages;  // file names
    std::vector<std::pair<uint16_t, std::string>> transforms;
    std::vector<std::string> others;
    std::vector<std::string> folders;
};

InputScan ScanInput(const PackOptions& options, Findings& findings)
{
    InputScan scan;
    std::vector<fs::directory_entry> entries;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(options.inputDir, ignored))
        entries.push_back(entry);
    std::sort(entries.begin(), entries.end(),
              [](const fs::directory_entry& a, const fs::directory_entry& b) { return a.path() < b.path(); });
    for (const auto& entry : entries) {
        std::string name = entry.path().filename().string();
        if (entry.is_directory()) {
            scan.folders.push_back(name);
            continue;
        }
        if (!entry.is_regular_file())
            continue;
        std::string lower = Lower(name);
        if (lower == "autorun.inf" || lower == "setup.exe" || lower == Lower(kManifestName)) {
            findings.Warning("input-file-replaced", name, "not copied: pack writes its own " + lower);
        } else if (EndsWith(name, ".msi")) {
            scan.packages.push_back(name);
        } else if (EndsWith(name, ".mst")) {
            std::u16string stem = U16(name.substr(0, name.size() - 4));
            if (IsCanonicalLanguage(stem))
                scan.transforms.push_back({uint16_t(std::stoul(U8(stem))), name});
            else
                findings.Warning("transform-name", name,
                                 "not copied: transforms are named by the language in decimal without leading "
                                 "zeros, such as 1031.mst");
        } else {
            if (options.compress && EndsWith(name, ".cab"))
                findings.Warning("external-cabinet", name,
                                 "a compressed package runs from the temporary directory, where msiexec does not "
                                 "find cabinets left on the medium: embed the cabinets in the package or use "
                                 "--plain");
            scan.others.push_back(name);
        }
    }
    return scan;
}

std::string FindInList(const std::vector<std::string>& list, const std::string& name)
{
    for (const std::string& entry : list)
        if (Lower(entry) == Lower(name))
            return entry;
    return std::string();
}

// Installer and Installer64 among the input's packages.
bool ChoosePackages(const PackOptions& options, const InputScan& scan, Findings& findings, std::string* installer,
                    std::string* installer64)
{
    for (auto [given, out, option] : {std::tuple{&options.installer, installer, "--installer"},
                                      std::tuple{&options.installer64, installer64, "--installer64"}}) {
        if (given->empty())
            continue;
        *out = FindInList(scan.packages, *given);
        if (out->empty()) {
            findings.Error("pack-package-missing", *given,
                           std::string(option) + " names a package that is not in the input folder");
            return false;
        }
    }
    std::vector<std::string> rest;
    for (const std::string& p : scan.packages)
        if (p != *installer && p != *installer64)
            rest.push_back(p);
    if (installer->empty() && installer64->empty()) {
        if (rest.size() == 2) {
            bool first64 = rest[0].find("64") != std::string::npos;
            bool second64 = rest[1].find("64") != std::string::npos;
            if (first64 != second64) {
                *installer64 = first64 ? rest[0] : rest[1];
                *installer = first64 ? rest[1] : rest[0];
                rest.clear();
            }
        } else if (rest.size() == 1) {
            *installer = rest[0];
            rest.clear();
        }
    } else if (installer->empty() && rest.size() == 1) {
        *installer = rest[0];
        rest.clear();
    }
    if (installer->empty() && installer64->empty()) {
        if (scan.packages.empty())
            findings.Error("pack-no-package", options.inputDir, "holds no Windows Installer package (*.msi)");
        else
            findings.Error("pack-packages-ambiguous", options.inputDir,
                           "holds several packages: say which is which with --installer and --installer64");
        return false;
    }
    if (!rest.empty()) {
        findings.Error("pack-packages-ambiguous", rest[0],
                       "is a further package that autorun.inf would not name: name the packages with --installer "
                       "and --installer64, or remove it from the input folder");
        return false;
    }
    return true;
}

// Languages the packed medium can choose, before anything is written.
bool CheckInputTransforms(const PackOptions& options, const InputScan& scan, Findings& findings)
{
    std::set<uint16_t> have;
    for (const auto& t : scan.transforms)
        have.insert(t.first);
    std::vector<std::pair<uint16_t, std::string>> needed;
    bool optionalFallback = false;
    if (options.labelMethod) {
        Machine machine;
        machine.mediumDir = options.inputDir;
        machine.label = *options.label;
        BootMachine(machine);
        uint16_t language = LanguageFromVolumeLabel();
        const std::u16string& label = *options.label;
        std::u16string lastFour = label.size() >= 4 ? label.substr(label.size() - 4) : label;
        if (label.size() < 4 || uint16_t(DecimalToInt(lastFour.c_str())) == 0) {
            findings.Error("label-no-language", "--label",
                           "the volume label \"" + U8(label) +
                               "\" does not end in a language number: the launcher would fall back to 1033; end "
                               "the label with the language, e.g. PRODUCT1031");
            return false;
        }
        needed.push_back({language, "the volume label \"" + U8(label) + "\""});
        optionalFallback = language != kFallbackLanguage;
    } else {
        for (const auto& [system, language] : options.map)
            needed.push_back({language, "--map " + std::to_string(system) + "=" + std::to_string(language)});
        needed.push_back({kFallbackLanguage, "the 1033 fallback for systems without a map entry"});
    }
    bool ok = true;
    for (const auto& [language, reason] : needed) {
        if (have.count(language))
            continue;
        findings.Error("pack-transform-missing", std::to_string(language) + ".mst",
                       "the medium can choose language " + std::to_string(language) + " (" + reason +
                           "), but the input folder has no " + std::to_string(language) + ".mst");
        ok = false;
    }
    if (optionalFallback && !have.count(kFallbackLanguage))
        findings.Warning("pack-transform-missing", "1033.mst",
                         "a system where the volume label cannot be read gets language 1033, and the input folder "
                         "has no 1033.mst");
    return ok;
}

}  // namespace

std::u16string AutorunText(const PackOptions& options, const std::u16string& installer,
                           const std::u16string& installer64)
{
    std::u16string text;
    auto line = [&](const std::u16string& l) { text += l + u"\r\n"; };
    line(u"[autorun]");
    line(u"open=setup.exe");
    line(u"icon=setup.exe");
    if (options.action)
        line(u"action=" + *options.action);
    if (options.label)
        line(u"label=" + *options.label);
    line(u"");
    line(u"[Setup]");
    // Upper case, the one spelling every Windows Installer matches.
    line(u"UpgradeCode=" + UpperAscii(options.upgradeCode));
    if (!installer.empty())
        line(u"Installer=" + installer);
    if (!installer64.empty())
        line(u"Installer64=" + installer64);
    if (options.labelMethod)
        line(u"UseVolumeNameForLanguage=1");
    if (!options.labelMethod && !options.map.empty()) {
        line(u"");
        line(u"[LanguageMap]");
        for (const auto& [system, language] : options.map)
            line(U16(std::to_string(system) + "=" + std::to_string(language)));
    }
    return text;
}

PackReport PackMedium(const PackOptions& options, std::ostream* progress)
{
    PackReport report;
    Findings& findings = report.findings;
    std::error_code error;

    if (!fs::is_directory(options.inputDir, error)) {
        findings.Error("pack-input-missing", options.inputDir, "is not a folder");
        return report;
    }
    if (!IsBracedGuid(options.upgradeCode)) {
        findings.Error("upgrade-code-not-guid", "--upgrade-code",
                       "\"" + U8(options.upgradeCode) +
                           "\" is not a braced GUID such as {12345678-ABCD-1234-ABCD-1234567890AB}; use the "
                           "package's UpgradeCode");
        return report;
    }
    std::string setupExe = options.setupExe.empty() ? SharedFile("setup.exe") : options.setupExe;
    if (PeMachine(setupExe) <= 0) {
        findings.Error("pack-setup-missing", setupExe,
                       options.setupExe.empty()
                           ? "is not there or is not a Windows program: the tool ships setup.exe in its "
                             "share/setupstub/ folder (cmake --install, or build the win32 preset beside a source "
                             "build); or pass --setup-exe"
                           : "is not there or is not a Windows program");
        return report;
    }
    if (!CheckFoldersApart(options.inputDir, options.outputDir, findings))
        return report;
    if (fs::exists(options.outputDir, error)) {
        if (!fs::is_directory(options.outputDir, error)) {
            findings.Error("pack-output", options.outputDir, "exists and is not a folder");
            return report;
        }
        if (!fs::is_empty(options.outputDir, error) && !options.force && !options.clean) {
            findings.Error("pack-output-not-empty", options.outputDir,
                           "is not empty: files left there would lie on the medium too; use an empty folder, "
                           "--clean or --force");
            return report;
        }
    }

    if (!CheckLauncherOptions(options, findings))
        return report;
    InputScan scan = ScanInput(options, findings);
    std::string installer, installer64;
    if (!ChoosePackages(options, scan, findings, &installer, &installer64))
        return report;
    if (!CheckInputTransforms(options, scan, findings))
        return report;
    if (options.compress) {
        for (const std::string& p : {installer, installer64}) {
            if (p.empty())
                continue;
            uint64_t size = fs::file_size(fs::path(options.inputDir) / p, error);
            if (size > kLauncherLargestExpansion) {
                findings.Error("pack-package-too-large", p,
                               "is " + Mib(size) + ": setup.exe can expand at most " +
                                   Mib(kLauncherLargestExpansion) + "; use --plain");
                return report;
            }
        }
    }

    if (options.clean && !CleanMediumFolder(options.outputDir, findings))
        return report;
    bool outputExisted = fs::exists(options.outputDir, error);
    fs::create_directories(options.outputDir, error);
    if (!fs::is_directory(options.outputDir, error)) {
        findings.Error("pack-output", options.outputDir, "cannot be created");
        return report;
    }
    ScratchDir scratch(options.scratchDir);
    if (!scratch.ok()) {
        findings.Error("scratch", options.scratchDir, "cannot create a scratch folder");
        return report;
    }

    auto store = [&](const std::string& role, const std::string& sourceName, bool compress) -> bool {
        PackedFile file;
        file.role = role;
        file.source = (fs::path(options.inputDir) / sourceName).string();
        file.size = fs::file_size(file.source, error);
        file.compressed = compress;
        file.name = compress ? U8(CompressedName(U16(sourceName))) : sourceName;
        std::string target = (fs::path(options.outputDir) / file.name).string();
        if (!compress) {
            if (!fs::copy_file(file.source, target, fs::copy_options::overwrite_existing, error)) {
                findings.Error("pack-write", file.name, "cannot be written: " + error.message());
                return false;
            }
            file.storedSize = file.size;
            RemoveOtherForm(options.outputDir, file, findings);
            report.files.push_back(file);
            return true;
        }
        ProgressPrinter printer(progress, "compressing " + sourceName, file.size, options.progressThreshold);
        CompressResult result = CompressFile(file.source, target, CompressSettings{options.level},
                                             [&](uint64_t done, uint64_t total) { printer(done, total); });
        if (!result.ok) {
            findings.Error("pack-compress", sourceName, result.error);
            return false;
        }
        file.storedSize = result.outputSize;
        // The launcher's own expansion must give back the very bytes.
        if (progress && file.size >= options.progressThreshold)
            *progress << "verifying " << file.name << " with the launcher's expansion\n";
        std::string expanded = scratch.path() + "/verify.bin";
        bool expands = ExpandWithLauncher(target, expanded);
        uint64_t difference = 0;
        file.verified = expands && SameBytes(file.source, expanded, &difference);
        fs::remove(expanded, error);
        if (!file.verified) {
            findings.Error("pack-verify", file.name,
                           expands ? "expands to different bytes (first difference at offset " +
                                         std::to_string(difference) + ")"
                                   : "the launcher's expansion fails on the file just written");
            return false;
        }
        NoteCompressionGain(file, findings);
        RemoveOtherForm(options.outputDir, file, findings);
        report.files.push_back(file);
        return true;
    };

    // setup.exe first: it is what makes the folder a medium.
    {
        PackedFile file;
        file.role = "launcher";
        file.source = setupExe;
        file.name = "setup.exe";
        file.size = file.storedSize = fs::file_size(setupExe, error);
        if (!fs::copy_file(setupExe, fs::path(options.outputDir) / "setup.exe", fs::copy_options::overwrite_existing,
                           error)) {
            findings.Error("pack-write", "setup.exe", "cannot be written: " + error.message());
            return report;
        }
        report.files.push_back(file);
        if (!BrandAndSignLauncher(options, (fs::path(options.outputDir) / "setup.exe").string(), scratch.path(),
                                  report)) {
            fs::remove(fs::path(options.outputDir) / "setup.exe", error);
            if (!outputExisted)
                fs::remove(options.outputDir, error);
            return report;
        }
    }
    if (!installer.empty() && !store("package", installer, options.compress))
        return report;
    if (!installer64.empty() && !store("package64", installer64, options.compress))
        return report;
    for (const auto& t : scan.transforms)
        if (!store("transform", t.second, options.compress))
            return report;
    for (const std::string& other : scan.others)
        if (!store("other", other, false))
            return report;
    for (const std::string& folder : scan.folders)
        if (!CopyInputFolder(options, folder, report))
            return report;

    report.autorun = AutorunText(options, U16(installer), U16(installer64));
    {
        std::ofstream out(fs::path(options.outputDir) / "autorun.inf", std::ios::binary | std::ios::trunc);
        std::string bytes = EncodeIniText(report.autorun);
        out.write(bytes.data(), std::streamsize(bytes.size()));
        if (!out) {
            findings.Error("pack-write", "autorun.inf", "cannot be written");
            return report;
        }
    }
    // Last, so that it records the medium as written.
    if (!WriteManifest(options.outputDir, findings))
        return report;
    report.written = true;
    NoteTempSpace(report);

    // The written medium, checked exactly as check does, expansions included:
    // only they show what the packages and transforms hold.
    CheckOptions check;
    check.mediumDir = options.outputDir;
    check.label = options.label;
    check.scratchDir = scratch.path() + "/check";
    CheckReport checked = CheckMedium(check);
    findings.Append(checked.findings);
    if (checked.findings.HasErrors() && !options.force) {
        // A medium that would fail is not left behind.
        for (const PackedFile& f : report.files)
            fs::remove(fs::path(options.outputDir) / f.name, error);
        fs::remove(fs::path(options.outputDir) / "autorun.inf", error);
        fs::remove(fs::path(options.outputDir) / kManifestName, error);
        // The folder was empty or new (else --force): the copied subfolders are all pack's.
        for (const std::string& folder : scan.folders)
            fs::remove_all(fs::path(options.outputDir) / folder, error);
        if (!outputExisted)
            fs::remove(options.outputDir, error);
        report.written = false;
        findings.Note("pack-refused", options.outputDir,
                      "nothing written: the medium would fail as the errors say; --force writes it all the same");
    }
    if (options.labelMethod)
        findings.Note("volume-label", "volume label",
                      "the launcher reads the language from the volume label, not from [autorun] label: make the "
                      "image with the volume label \"" + U8(*options.label) + "\" (stubmedia image takes it from [autorun] label)");
    return report;
}

}  // namespace stubmedia
