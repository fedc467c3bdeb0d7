#include "pack_tidy.h"

#include "launcher_sim.h"
#include "medium.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

// Whether `inner` is `outer` or lies below it, after links and ".." are resolved.
bool Within(const fs::path& inner, const fs::path& outer)
{
    auto i = inner.begin(), o = outer.begin();
    for (; o != outer.end(); ++o, ++i)
        if (o->empty())
            continue;  // the empty last element of a path with a trailing slash
        else if (i == inner.end() || *i != *o)
            return false;
    return true;
}

std::string Mib(uint64_t n)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f MiB", n / 1048576.0);
    return buffer;
}

}  // namespace

bool CheckFoldersApart(const std::string& inputDir, const std::string& outputDir, Findings& findings)
{
    std::error_code error;
    fs::path input = fs::weakly_canonical(fs::absolute(inputDir, error), error);
    fs::path output = fs::weakly_canonical(fs::absolute(outputDir, error), error);
    if (input == output) {
        findings.Error("pack-output-is-input", outputDir, "the medium folder must differ from the input");
        return false;
    }
    if (Within(output, input)) {
        findings.Error("pack-output-in-input", outputDir,
                       "lies inside the input folder " + inputDir +
                           ": the medium would be packed into itself; choose a folder outside it");
        return false;
    }
    if (Within(input, output)) {
        findings.Error("pack-output-in-input", outputDir,
                       "holds the input folder " + inputDir + ": choose a medium folder that does not contain it");
        return false;
    }
    return true;
}

bool CleanMediumFolder(const std::string& dir, Findings& findings)
{
    std::error_code error;
    if (!fs::is_directory(dir, error) || fs::is_empty(dir, error))
        return true;
    bool medium = false;
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        std::string name = Lower(entry.path().filename().string());
        medium = medium || name == "autorun.inf" || name == "setup.exe";
    }
    if (!medium) {
        findings.Error("pack-clean-not-medium", dir,
                       "holds files but neither autorun.inf nor setup.exe: --clean empties only an earlier medium; "
                       "empty it yourself or choose another folder");
        return false;
    }
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        fs::remove_all(entry.path(), error);
        if (error) {
            findings.Error("pack-clean", entry.path().string(), "cannot be removed: " + error.message());
            return false;
        }
    }
    return true;
}

void RemoveOtherForm(const std::string& dir, const PackedFile& file, Findings& findings)
{
    if (file.role != "package" && file.role != "package64" && file.role != "transform")
        return;
    std::string plain = fs::path(file.source).filename().string();
    std::string other = Lower(file.compressed ? plain : U8(CompressedName(U16(plain))));
    std::error_code error;
    // Windows finds names on a medium whatever their case.
    for (const auto& entry : fs::directory_iterator(dir, error)) {
        if (Lower(entry.path().filename().string()) != other || !entry.is_regular_file())
            continue;
        std::string name = entry.path().filename().string();
        if (fs::remove(entry.path(), error))
            findings.Note("pack-stale-removed", name,
                          "removed: an earlier medium's " + std::string(file.compressed ? "plain" : "compressed") +
                              " form of " + file.name + (file.compressed ? ", which the launcher would take first" : ""));
        else
            findings.Error("pack-write", name, "an earlier medium's form of " + file.name + " cannot be removed");
    }
}

void NoteCompressionGain(const PackedFile& file, Findings& findings)
{
    if (file.role == "transform" || !file.compressed || file.size == 0)
        return;
    if (file.storedSize >= file.size) {
        findings.Note("compression-useless", file.name,
                      "compressing saves nothing (the package holds compressed cabinets already): --plain spares "
                      "the expansion into the temporary directory");
        return;
    }
    double saved = 1.0 - double(file.storedSize) / double(file.size);
    if (saved < 0.10) {
        char percent[16];
        std::snprintf(percent, sizeof percent, "%.1f%%", saved * 100.0);
        findings.Note("compression-low-gain", file.name,
                      std::string("compressing saves only ") + percent +
                          " (the package holds compressed cabinets, it seems): --plain spares the expansion into "
                          "the temporary directory, and the space it takes there");
    }
}

uint64_t TempSpaceNeeded(const PackReport& report)
{
    uint64_t package = 0, transform = 0, helper = 0;
    for (const PackedFile& f : report.files) {
        if (f.role == "launcher")
            helper = f.size;
        else if (f.compressed && (f.role == "package" || f.role == "package64"))
            package = std::max(package, f.size);
        else if (f.compressed && f.role == "transform")
            transform = std::max(transform, f.size);
    }
    return package + transform + helper;
}

void NoteTempSpace(PackReport& report)
{
    report.tempSpace = TempSpaceNeeded(report);
    bool compressed = std::any_of(report.files.begin(), report.files.end(),
                                  [](const PackedFile& f) { return f.compressed && f.role != "transform"; });
    report.findings.Note("temp-space", "temporary directory",
                         "the target system needs " + Mib(report.tempSpace) +
                             " free in the user's temporary directory: " +
                             (compressed ? "the package and its transform are expanded there, and "
                                         : "the package is used on the medium, but ") +
                             "setup.exe copies itself there as the eject helper");
}

}  // namespace stubmedia
