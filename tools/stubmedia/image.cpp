#include "image.h"

#include "autorun_ini.h"
#include "fat_image.h"
#include "launcher_sim.h"
#include "medium.h"
#include "sha256.h"

#include "language.h"

#include <algorithm>
#include <filesystem>
#include <map>

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

constexpr size_t kJolietNameMax = 64;      // UCS-2 characters a name
constexpr size_t kJolietPathMax = 120;     // 240 bytes a path
constexpr size_t kIsoDepthMax = 8;         // directory levels, the root included
constexpr size_t kJolietLabelMax = 16;     // UCS-2 characters
constexpr size_t kPrimaryLabelMax = 32;    // d-characters
constexpr size_t kFatNameMax = 255;        // long-name characters
constexpr size_t kFatLabelMax = 11;
constexpr uint64_t kFatFileMax = 0xFFFFFFFFull;

std::string Quote(const std::u16string& text) { return "\"" + U8(text) + "\""; }

bool IsUpperLetterOrDigit(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9'); }

std::string CharName(char16_t c)
{
    if (c < 0x20 || c == 0x7F) {
        char buffer[16];
        std::snprintf(buffer, sizeof buffer, "U+%04X", unsigned(c));
        return buffer;
    }
    return "\"" + U8(std::u16string(1, c)) + "\"";
}

}  // namespace

std::string JolietNameProblem(const std::u16string& name)
{
    if (name.size() > kJolietNameMax)
        return "has " + std::to_string(name.size()) + " characters; Joliet names hold at most " +
               std::to_string(kJolietNameMax) + ", and a cut name is one the launcher never finds";
    for (char16_t c : name) {
        if (c >= 0xD800 && c <= 0xDFFF)
            return "holds a character beyond UCS-2, which Joliet names cannot carry";
        if (c < 0x20 || c == u'*' || c == u'/' || c == u':' || c == u';' || c == u'?' || c == u'\\')
            return "holds " + CharName(c) + ", which Joliet names cannot carry";
    }
    return std::string();
}

std::string FatNameProblem(const std::u16string& name)
{
    if (name.size() > kFatNameMax)
        return "has " + std::to_string(name.size()) + " characters; FAT long names hold at most " +
               std::to_string(kFatNameMax);
    for (char16_t c : name)
        if (c < 0x20 || std::u16string_view(u"\\/:*?\"<>|").find(c) != std::u16string_view::npos)
            return "holds " + CharName(c) + ", which FAT names cannot carry";
    if (name.back() == u'.' || name.back() == u' ')
        return "ends in a dot or a space, which Windows drops from FAT names";
    return std::string();
}

std::string IsoLabelProblem(const std::u16string& label)
{
    if (label.empty())
        return "is empty";
    // The primary descriptor takes d-characters only; a label that is not one
    // would differ between the two descriptors.
    for (char16_t c : label)
        if (!IsUpperLetterOrDigit(c) && c != u'_')
            return "holds " + CharName(c) +
                   ": the ISO 9660 volume identifier holds only A-Z, 0-9 and _ (upper case, no spaces)";
    if (label.size() > kJolietLabelMax)
        return "has " + std::to_string(label.size()) + " characters: the Joliet volume identifier, which Windows "
               "reports for the disc, holds " + std::to_string(kJolietLabelMax) + " (the primary one " +
               std::to_string(kPrimaryLabelMax) + ")";
    return std::string();
}

std::string FatLabelProblem(const std::u16string& label)
{
    if (label.empty())
        return "is empty";
    if (label.size() > kFatLabelMax)
        return "has " + std::to_string(label.size()) + " characters: FAT labels hold " +
               std::to_string(kFatLabelMax);
    for (char16_t c : label) {
        if (c >= u'a' && c <= u'z')
            return "holds lower case " + CharName(c) + ": FAT labels are upper case";
        if (c < 0x20 || c > 0x7E || std::u16string_view(u"\"*+,./:;<=>?[\\]|").find(c) != std::u16string_view::npos)
            return "holds " + CharName(c) + ", which FAT labels cannot carry";
    }
    if (label.front() == u' ')
        return "starts with a space";
    return std::string();
}

namespace {

// Every entry of the folder under its path, with the format's rules applied.
void CheckNames(const std::string& root, ImageFormat format, Findings& findings)
{
    std::vector<std::pair<fs::path, size_t>> pending = {{fs::path(root), 0}};
    while (!pending.empty()) {
        auto [dir, depth] = pending.back();
        pending.pop_back();
        std::map<std::u16string, std::string> seen;  // upper-case name -> name
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(dir, error)) {
            std::string relative = fs::relative(entry.path(), root).generic_string();
            std::u16string name = U16(entry.path().filename().string());
            if (!entry.is_directory() && !entry.is_regular_file()) {
                findings.Warning("image-entry-skipped", relative, "is neither a file nor a folder: not in the image");
                continue;
            }
            auto [it, fresh] = seen.insert({UpperAscii(name), relative});
            if (!fresh)
                findings.Error("image-name-clash", relative,
                               "differs from \"" + it->second +
                                   "\" only in case: Windows finds one name for both; rename one of them");
            std::string problem = format == ImageFormat::Iso ? JolietNameProblem(name) : FatNameProblem(name);
            if (!problem.empty())
                findings.Error("image-name", relative, problem);
            if (format == ImageFormat::Iso && U16(relative).size() > kJolietPathMax)
                findings.Error("image-path-long", relative,
                               "is " + std::to_string(U16(relative).size()) + " characters long: Joliet paths hold " +
                                   std::to_string(kJolietPathMax));
            if (entry.is_directory()) {
                if (format == ImageFormat::Iso && depth + 2 > kIsoDepthMax)
                    findings.Error("image-path-deep", relative,
                                   "lies deeper than the " + std::to_string(kIsoDepthMax) +
                                       " directory levels of an ISO 9660 image");
                pending.push_back({entry.path(), depth + 1});
            } else if (format == ImageFormat::Fat && entry.file_size() > kFatFileMax) {
                findings.Error("image-file-large", relative, "is 4 GiB or more: a FAT file holds 4 GiB less one byte");
            }
        }
    }
}

std::vector<ImageEntry> FolderEntries(const std::string& root)
{
    std::vector<ImageEntry> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory() && !entry.is_regular_file())
            continue;
        ImageEntry e;
        e.path = fs::relative(entry.path(), root).generic_string();
        e.directory = entry.is_directory();
        if (!e.directory) {
            e.size = entry.file_size();
            e.sha256 = Sha256File(entry.path().string());
        }
        entries.push_back(e);
    }
    std::sort(entries.begin(), entries.end(), [](const ImageEntry& a, const ImageEntry& b) { return a.path < b.path; });
    return entries;
}

// What the launcher makes of the label Windows reports, when the medium
// takes its language from the label; check's findings on it.
void CheckLabelLanguage(const ImageOptions& options, ImageReport& report)
{
    CheckOptions check;
    check.mediumDir = options.mediumDir;
    check.label = report.reportedLabel;
    check.decodeStreams = false;
    CheckReport checked = CheckMedium(check);
    report.labelMethod = checked.labelMethod;
    if (!checked.labelMethod)
        return;
    Machine machine;
    machine.mediumDir = options.mediumDir;
    machine.label = report.reportedLabel;
    BootMachine(machine);
    report.labelLanguage = LanguageFromVolumeLabel();
    for (const Finding& f : checked.findings.items) {
        bool aboutLabel = f.code.rfind("label-", 0) == 0 && f.code != "label-long";
        if (aboutLabel || f.code == "transform-missing")
            report.findings.Add(f.severity, f.code, f.where, f.message);
    }
}

}  // namespace

ImageReport MakeImage(const ImageOptions& options)
{
    ImageReport report;
    Findings& findings = report.findings;
    std::error_code error;
    const bool iso = options.format == ImageFormat::Iso;

    if (!fs::is_directory(options.mediumDir, error)) {
        findings.Error("medium-missing", options.mediumDir, "is not a folder");
        return report;
    }
    fs::path output = fs::absolute(options.output, error);
    fs::path medium = fs::canonical(options.mediumDir, error);
    fs::path outputDir = fs::weakly_canonical(output.parent_path(), error);
    if (std::mismatch(medium.begin(), medium.end(), outputDir.begin(), outputDir.end()).first == medium.end()) {
        findings.Error("image-output-inside", options.output,
                       "lies inside the medium folder: the image would take itself in");
        return report;
    }
    if (fs::exists(output, error) && !options.force) {
        findings.Error("image-output-exists", options.output, "exists already: remove it or pass --force");
        return report;
    }
    if (fs::exists(output, error) && !fs::is_regular_file(output, error)) {
        findings.Error("image-output", options.output, "is not a plain file");
        return report;
    }

    IniFile autorun = ReadIniFile((medium / "autorun.inf").string());
    if (KnownLabel known = LabelOf(options.label, autorun); known.text) {
        report.label = *known.text;
        report.labelSource = known.source;
    } else {
        findings.Error("image-label-missing", "--label",
                       "the medium has no [autorun] label: pass --label with the volume label");
        return report;
    }
    std::string labelProblem = iso ? IsoLabelProblem(report.label) : FatLabelProblem(report.label);
    if (!labelProblem.empty())
        findings.Error("image-label", report.labelSource, "the volume label " + Quote(report.label) + " " + labelProblem);
    // Windows reads the Joliet descriptor's label on a Joliet disc and the
    // root directory's label entry on FAT; both carry the label unchanged.
    report.reportedLabel = report.label;
    report.labelDescriptor = iso ? "the Joliet supplementary volume descriptor" : "the FAT root directory's label entry";

    CheckNames(medium.string(), options.format, findings);
    if (labelProblem.empty())
        CheckLabelLanguage(options, report);
    if (findings.HasErrors())
        return report;

    if (iso) {
        report.writer = std::string("libisofs (ISO 9660 level 3, Joliet, Rock Ridge)");
        IsoWriteResult written = WriteIsoImage(medium.string(), output.string(), U8(report.label));
        if (!written.ok) {
            findings.Error("image-write", options.output, written.error);
            return report;
        }
        report.imageSize = written.size;
    } else {
        report.writer = "mtools (mformat, mcopy)";
        FatWriteResult written = WriteFatImage(medium.string(), output.string(), U8(report.label));
        if (!written.ok) {
            findings.Error("image-write", options.output, written.error);
            return report;
        }
        report.imageSize = written.size;
    }

    // Read back with the format's reader: every file byte for byte, and the label.
    ImageContents back = ReadImage(output.string(), std::string());
    std::vector<ImageEntry> expected = FolderEntries(medium.string());
    if (!back.ok) {
        findings.Error("image-readback", options.output, back.error);
    } else {
        report.files = back.entries;
        std::map<std::string, const ImageEntry*> found;
        for (const ImageEntry& e : back.entries)
            found[e.path] = &e;
        for (const ImageEntry& e : expected) {
            auto it = found.find(e.path);
            if (it == found.end())
                findings.Error("image-readback", e.path, "is not in the image under its name");
            else if (it->second->directory != e.directory || it->second->sha256 != e.sha256)
                findings.Error("image-readback", e.path, "differs in the image from the medium folder");
            if (it != found.end())
                found.erase(it);
        }
        for (const auto& [path, entry] : found)
            findings.Error("image-readback", path, "is in the image but not in the medium folder");
        if (back.label != report.reportedLabel)
            findings.Error("image-readback", "volume label",
                           "reads back as " + Quote(back.label) + ", not " + Quote(report.reportedLabel));
    }
    if (findings.HasErrors()) {
        fs::remove(output, error);
        return report;
    }
    report.written = true;
    return report;
}

bool LooksLikeImage(const std::string& path)
{
    return LooksLikeIso(path) || LooksLikeFat(path);
}

ImageContents ReadImage(const std::string& image, const std::string& extractTo)
{
    ImageContents contents;
    ImageRead read;
    if (LooksLikeIso(image)) {
        contents.format = ImageFormat::Iso;
        IsoVolumeIds ids = ReadIsoVolumeIds(image);
        if (!ids.ok) {
            contents.error = ids.error;
            return contents;
        }
        contents.label = ids.joliet ? ids.jolietId : U16(ids.primary);
        read = ReadIsoImage(image, extractTo);
    } else if (LooksLikeFat(image)) {
        contents.format = ImageFormat::Fat;
        FatLabel label = ReadFatLabel(image);
        if (!label.ok) {
            contents.error = label.error;
            return contents;
        }
        contents.label = U16(label.label);
        read = ReadFatImage(image, extractTo);
    } else {
        contents.error = image + " is neither an ISO 9660 nor a FAT image";
        return contents;
    }
    contents.ok = read.ok;
    contents.error = read.error;
    contents.entries = std::move(read.entries);
    return contents;
}

}  // namespace stubmedia
