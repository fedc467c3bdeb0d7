#include "fat_image.h"

#include "run_program.h"
#include "sha256.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace stubmedia {

namespace {

// mtools refuses geometries it finds odd on image files without this.
const std::vector<std::pair<std::string, std::string>> kMtoolsEnv = {{"MTOOLS_SKIP_CHECK", "1"}};

constexpr uint64_t kSectorSize = 512;
constexpr uint64_t kSectorsPerCylinder = 64 * 32;  // the geometry given to mformat

std::string Failed(const std::string& what, const ProgramResult& result)
{
    if (!result.started)
        return what + ": cannot start mtools (Debian package mtools)";
    std::string output = result.output;
    while (!output.empty() && (output.back() == '\n' || output.back() == ' '))
        output.pop_back();
    return what + " failed (" + std::to_string(result.exitCode) + "): " + output;
}

// Room for every file in whole 32 KiB clusters (the largest FAT uses), the
// directories, both FATs and a margin; whole cylinders for mformat.
uint64_t ImageSectors(const fs::path& folder)
{
    constexpr uint64_t cluster = 32 * 1024;
    uint64_t bytes = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        uint64_t size = entry.is_regular_file() ? entry.file_size() : 0;
        bytes += (size + cluster - 1) / cluster * cluster + cluster;
    }
    bytes += bytes / 50 + (4ull << 20);
    uint64_t sectors = (bytes + kSectorSize - 1) / kSectorSize;
    return (sectors + kSectorsPerCylinder - 1) / kSectorsPerCylinder * kSectorsPerCylinder;
}

}  // namespace

FatWriteResult WriteFatImage(const std::string& folder, const std::string& output, const std::string& label)
{
    FatWriteResult result;
    std::error_code error;
    uint64_t sectors = ImageSectors(folder);
    fs::remove(output, error);
    {
        std::ofstream create(output, std::ios::binary | std::ios::trunc);
        if (!create) {
            result.error = output + ": cannot be created";
            return result;
        }
    }
    fs::resize_file(output, sectors * kSectorSize, error);
    if (error) {
        result.error = output + ": " + error.message();
        fs::remove(output, error);
        return result;
    }
    std::vector<std::string> format = {"mformat", "-i", output, "-T", std::to_string(sectors), "-h", "64", "-s", "32"};
    // FAT16 ends at 2 GiB.
    if (sectors * kSectorSize > (2000ull << 20))
        format.push_back("-F");
    if (!label.empty()) {
        format.push_back("-v");
        format.push_back(label);
    }
    format.push_back("::");
    ProgramResult run = RunProgram(format, kMtoolsEnv);
    if (!run.started || run.exitCode != 0) {
        result.error = Failed("mformat", run);
        fs::remove(output, error);
        return result;
    }
    std::vector<std::string> copy = {"mcopy", "-i", output, "-s", "-p", "-m", "-Q", "-D", "s"};
    std::vector<fs::path> entries;
    for (const auto& entry : fs::directory_iterator(folder))
        entries.push_back(entry.path());
    std::sort(entries.begin(), entries.end());
    for (const fs::path& entry : entries)
        copy.push_back(entry.string());
    copy.push_back("::/");
    if (!entries.empty()) {
        run = RunProgram(copy, kMtoolsEnv);
        if (!run.started || run.exitCode != 0) {
            result.error = Failed("mcopy", run);
            fs::remove(output, error);
            return result;
        }
    }
    result.ok = true;
    result.size = sectors * kSectorSize;
    return result;
}

ImageRead ReadFatImage(const std::string& image, const std::string& extractTo)
{
    ImageRead result;
    std::string target = extractTo;
    std::string scratch;
    if (target.empty()) {
        char pattern[] = "/tmp/stubmedia-fat-XXXXXX";
        if (!mkdtemp(pattern)) {
            result.error = "cannot create a scratch folder";
            return result;
        }
        scratch = target = pattern;
    }
    std::error_code error;
    fs::create_directories(target, error);
    ProgramResult list = RunProgram({"mdir", "-i", image, "-b", "::/"}, kMtoolsEnv);
    if (!list.started || list.exitCode != 0) {
        result.error = Failed("mdir " + image, list);
    } else if (list.output.find_first_not_of(" \n") != std::string::npos) {
        ProgramResult copy =
            RunProgram({"mcopy", "-i", image, "-s", "-n", "-p", "-m", "-Q", "::/*", target + "/"}, kMtoolsEnv);
        if (!copy.started || copy.exitCode != 0)
            result.error = Failed("mcopy from " + image, copy);
    }
    if (result.error.empty()) {
        for (const auto& entry : fs::recursive_directory_iterator(target)) {
            ImageEntry e;
            e.path = fs::relative(entry.path(), target).generic_string();
            e.directory = entry.is_directory();
            if (!e.directory) {
                e.size = entry.file_size();
                e.sha256 = Sha256File(entry.path().string());
            }
            result.entries.push_back(e);
        }
        std::sort(result.entries.begin(), result.entries.end(),
                  [](const ImageEntry& a, const ImageEntry& b) { return a.path < b.path; });
        result.ok = true;
    }
    if (!scratch.empty())
        fs::remove_all(scratch, error);
    return result;
}

FatLabel ReadFatLabel(const std::string& image)
{
    FatLabel label;
    ProgramResult run = RunProgram({"mlabel", "-i", image, "-s", "::"}, kMtoolsEnv);
    if (!run.started || run.exitCode != 0) {
        label.error = Failed("mlabel " + image, run);
        return label;
    }
    const std::string marker = "Volume label is ";
    size_t at = run.output.find(marker);
    if (at != std::string::npos) {
        std::string text = run.output.substr(at + marker.size());
        text = text.substr(0, text.find('\n'));
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        label.label = text;
    }
    label.ok = true;
    return label;
}

bool LooksLikeFat(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    unsigned char boot[512];
    if (!in.read(reinterpret_cast<char*>(boot), sizeof boot))
        return false;
    return boot[510] == 0x55 && boot[511] == 0xAA && (boot[0] == 0xEB || boot[0] == 0xE9);
}

}  // namespace stubmedia
