#include "launcher_sim.h"

#include "lzma_expand.h"
#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace stubmedia {

std::u16string U16(const std::string& utf8) { return sim::U16(utf8); }
std::string U8(const std::u16string& utf16) { return sim::U8(utf16); }

std::u16string ModulePath(const Machine& machine) { return MediumPath(machine, u"setup.exe"); }

std::u16string MediumPath(const Machine& machine, const std::u16string& name)
{
    return std::u16string(1, machine.driveLetter) + u":\\" + name;
}

// A Windows path under C: as a host path below the system drive's folder.
static std::string SystemDriveHostPath(const Machine& machine, const std::u16string& windowsPath)
{
    std::string host = machine.systemDriveDir;
    std::u16string rest = windowsPath.size() > 3 ? windowsPath.substr(3) : std::u16string();
    std::string part;
    for (char16_t c : rest) {
        if (c == u'\\' || c == u'/') {
            if (!part.empty())
                host += "/" + part;
            part.clear();
        } else {
            part += U8(std::u16string(1, c));
        }
    }
    if (!part.empty())
        host += "/" + part;
    return host;
}

void BootMachine(const Machine& machine)
{
    sim::Reset();
    std::memset(SettingsFilePath, 0, sizeof SettingsFilePath);
    // Large enough never to stand in for the 32-bit limit: the tools judge
    // memory from the header, and a failed expansion must mean bad data.
    sim::SetHeapLimit(size_t(16) << 30);
    sim::AddDrive(machine.driveLetter, machine.mediumDir, machine.driveType);
    sim::SetVolumeLabel(machine.driveLetter, machine.label);
    if (!machine.labelReadable)
        sim::FailVolumeQuery(machine.driveLetter);
    if (!machine.systemDriveDir.empty()) {
        sim::AddDrive(u'C', machine.systemDriveDir, DRIVE_FIXED);
        std::error_code ignored;
        fs::create_directories(SystemDriveHostPath(machine, machine.tempPath), ignored);
        fs::create_directories(SystemDriveHostPath(machine, u"C:\\Windows\\system32"), ignored);
    }
    sim::SetTempPath(machine.tempPath);
    sim::SetSystemDirectory(u"C:\\Windows\\system32");
    sim::SetModulePath(ModulePath(machine));
    sim::SetSystemDefaultLangID(machine.systemLanguage);
    sim::SetUserDefaultLangID(machine.systemLanguage);
    sim::SetWow64(machine.wow64);
    if (machine.installed && !machine.upgradeCode.empty())
        sim::AddRelatedProduct(machine.upgradeCode, u"{00000000-0000-0000-0000-000000000001}");
    if (machine.logging && !machine.systemDriveDir.empty()) {
        std::string flag = SystemDriveHostPath(machine, machine.tempPath) + "/BRELM_PELLIX_EnableLogging.txt";
        if (FILE* f = std::fopen(flag.c_str(), "wb"))
            std::fclose(f);
    }
    sim::ClearEvents();
}

std::u16string LauncherReads(const std::u16string& section, const std::u16string& key, unsigned capacity)
{
    std::vector<WCHAR> buffer(capacity, 0);
    DWORD n = ReadSetupValue(section.c_str(), key.c_str(), buffer.data(), capacity);
    return std::u16string(buffer.data(), n);
}

bool ExpandWithLauncher(const std::string& compressedHostPath, const std::string& outputHostPath)
{
    fs::path from(compressedHostPath), to(outputHostPath);
    sim::Reset();
    sim::SetHeapLimit(size_t(16) << 30);
    sim::AddDrive(u'X', from.parent_path().empty() ? "." : from.parent_path().string());
    sim::AddDrive(u'Y', to.parent_path().empty() ? "." : to.parent_path().string());
    std::u16string source = u"X:\\" + U16(from.filename().string());
    std::u16string destination = u"Y:\\" + U16(to.filename().string());
    FILE* stream = _wfopen(source.c_str(), u"rb");
    if (!stream)
        return false;
    return ExpandLzmaFile(stream, destination.c_str());
}

ScratchDir::ScratchDir(const std::string& given)
{
    if (!given.empty()) {
        std::error_code error;
        fs::create_directories(given, error);
        if (!error || fs::is_directory(given))
            path_ = fs::absolute(given).string();
        return;
    }
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/stubmedia-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data())) {
        path_ = buffer.data();
        owned_ = true;
    }
}

ScratchDir::~ScratchDir()
{
    if (!owned_)
        return;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

bool SameBytes(const std::string& a, const std::string& b, uint64_t* firstDifference)
{
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa && fb;
    uint64_t offset = 0;
    std::vector<unsigned char> ba(1 << 16), bb(1 << 16);
    while (same) {
        size_t na = std::fread(ba.data(), 1, ba.size(), fa);
        size_t nb = std::fread(bb.data(), 1, bb.size(), fb);
        size_t n = na < nb ? na : nb;
        size_t i = 0;
        while (i < n && ba[i] == bb[i])
            ++i;
        offset += i;
        if (i < n || na != nb) {
            same = false;
            break;
        }
        if (na == 0)
            break;
    }
    if (fa)
        std::fclose(fa);
    if (fb)
        std::fclose(fb);
    if (firstDifference)
        *firstDifference = offset;
    return same;
}

}  // namespace stubmedia
