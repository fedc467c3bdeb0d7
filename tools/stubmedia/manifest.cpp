#include "manifest.h"

#include "launcher_sim.h"
#include "sha256.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

constexpr char kHeader[] = "# stubmedia manifest: SHA-256, size in bytes, path on the medium";

std::string UpperPath(std::string path)
{
    for (char& c : path)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return path;
}

bool IsManifest(const std::string& path) { return UpperPath(path) == UpperPath(kManifestName); }

// Folders and mounted media: every file under root.
std::vector<ImageEntry> FolderFiles(const fs::path& root, std::string* error)
{
    std::vector<ImageEntry> files;
    std::error_code code;
    for (auto it = fs::recursive_directory_iterator(root, code); !code && it != fs::recursive_directory_iterator();
         it.increment(code)) {
        if (!it->is_regular_file())
            continue;
        ImageEntry e;
        e.path = fs::relative(it->path(), root).generic_string();
        e.size = it->file_size();
        e.sha256 = Sha256File(it->path().string());
        if (e.sha256.empty()) {
            *error = it->path().string() + ": cannot be read";
            return files;
        }
        files.push_back(e);
    }
    if (code)
        *error = root.string() + ": " + code.message();
    std::sort(files.begin(), files.end(), [](const ImageEntry& a, const ImageEntry& b) { return a.path < b.path; });
    return files;
}

}  // namespace

bool WriteManifest(const std::string& mediumDir, Findings& findings)
{
    std::string error;
    std::vector<ImageEntry> files = FolderFiles(mediumDir, &error);
    if (!error.empty()) {
        findings.Error("manifest-write", kManifestName, error);
        return false;
    }
    std::string text = std::string(kHeader) + "\n";
    for (const ImageEntry& e : files) {
        if (IsManifest(e.path))
            continue;
        // A line break in a name would split its line; no medium format holds one anyway.
        if (e.path.find_first_of("\r\n") != std::string::npos) {
            findings.Error("manifest-write", e.path, "holds a line break, which no medium can carry");
            return false;
        }
        text += e.sha256 + " " + std::to_string(e.size) + " " + e.path + "\n";
    }
    std::ofstream out(fs::path(mediumDir) / kManifestName, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        findings.Error("manifest-write", kManifestName, "cannot be written");
        return false;
    }
    return true;
}

bool ParseManifest(const std::string& text, std::vector<ManifestEntry>* entries, std::string* error)
{
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        size_t first = line.find(' ');
        size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
        ManifestEntry e;
        if (second != std::string::npos) {
            e.sha256 = line.substr(0, first);
            std::string size = line.substr(first + 1, second - first - 1);
            e.path = line.substr(second + 1);
            bool hex = e.sha256.size() == 64 &&
                       e.sha256.find_first_not_of("0123456789abcdef") == std::string::npos;
            bool digits = !size.empty() && size.size() <= 19 && size.find_first_not_of("0123456789") == std::string::npos;
            if (hex && digits && !e.path.empty()) {
                e.size = std::stoull(size);
                entries->push_back(e);
                continue;
            }
        }
        *error = "line " + std::to_string(number) + " is not \"SHA-256 size path\"";
        return false;
    }
    return true;
}

VerifyReport VerifyMedium(const std::string& target)
{
    VerifyReport report;
    Findings& findings = report.findings;
    std::error_code code;
    std::vector<ImageEntry> files;
    std::string error;
    ScratchDir scratch;
    if (fs::is_directory(target, code)) {
        report.kind = "folder";
        files = FolderFiles(target, &error);
    } else if (fs::exists(target, code)) {
        // Extracted once: hashed on the way, and the manifest read from there.
        if (!scratch.ok()) {
            findings.Error("scratch", target, "cannot create a scratch folder");
            return report;
        }
        ImageContents contents = ReadImage(target, scratch.path() + "/medium");
        report.kind = contents.format == ImageFormat::Iso ? "ISO 9660 image" : "FAT image";
        report.label = contents.label;
        error = contents.error;
        for (const ImageEntry& e : contents.entries)
            if (!e.directory)
                files.push_back(e);
    } else {
        findings.Error("verify-missing", target, "is neither a folder, an image nor a device");
        return report;
    }
    if (!error.empty()) {
        findings.Error("verify-read", target, error);
        return report;
    }

    // The manifest itself, as read from the medium.
    const ImageEntry* manifestEntry = nullptr;
    for (const ImageEntry& e : files)
        if (IsManifest(e.path))
            manifestEntry = &e;
    if (!manifestEntry) {
        findings.Error("manifest-missing", kManifestName,
                       "is not on the medium: pack writes it; without it nothing can be verified");
        return report;
    }
    fs::path root = report.kind == "folder" ? fs::path(target) : fs::path(scratch.path()) / "medium";
    std::ifstream in(root / manifestEntry->path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    std::string text = all.str();
    if (!ParseManifest(text, &report.expected, &error)) {
        findings.Error("manifest-damaged", kManifestName, error);
        return report;
    }

    // Windows finds names without regard to case, and so does the check.
    std::map<std::string, const ImageEntry*> present;
    for (const ImageEntry& e : files)
        if (!IsManifest(e.path))
            present[UpperPath(e.path)] = &e;
    for (const ManifestEntry& m : report.expected) {
        auto it = present.find(UpperPath(m.path));
        if (it == present.end()) {
            report.missing.push_back(m.path);
            findings.Error("file-missing", m.path, "is in the manifest but not on the medium");
            continue;
        }
        const ImageEntry& found = *it->second;
        report.checkedBytes += found.size;
        if (found.size != m.size || found.sha256 != m.sha256) {
            report.damaged.push_back(m.path);
            findings.Error("file-damaged", m.path,
                           found.size != m.size ? "has " + std::to_string(found.size) + " bytes, the manifest says " +
                                                      std::to_string(m.size)
                                                : "has the right size but other bytes (SHA-256 differs)");
        }
        present.erase(it);
    }
    for (const auto& [upper, entry] : present) {
        report.extra.push_back(entry->path);
        findings.Error("file-extra", entry->path, "is on the medium but not in the manifest");
    }
    report.ok = !findings.HasErrors();
    return report;
}

}  // namespace stubmedia
