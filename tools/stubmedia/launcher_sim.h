// The launcher's own code on the simulated Windows: a machine described by
// the medium folder and the system it would run on, and the program's
// functions called on it, so the tool cannot disagree with setup.exe.
#pragma once

#include "platform/sim/sim_control.h"
#include "text.h"

#include <cstdint>
#include <string>

namespace stubmedia {

// What the launcher reads of each setting: capacities in characters with
// the terminator, as setup.exe declares its buffers.
constexpr unsigned kUpgradeCodeCapacity = 64;
constexpr unsigned kInstallerCapacity = 260;
constexpr unsigned kSwitchCapacity = 20;
constexpr unsigned kMapValueCapacity = 10;
using ::kPathCapacity;  // the program's own path capacity

struct Machine {
    std::string mediumDir;  // host folder that is the folder of setup.exe
    char16_t driveLetter = u'D';
    UINT driveType = DRIVE_CDROM;
    std::u16string label;
    bool labelReadable = true;
    LANGID systemLanguage = 0x0409;
    sim::Wow64 wow64 = sim::Wow64::Yes;
    std::string systemDriveDir;  // host folder behind C:, for the temporary directory
    std::u16string tempPath = u"C:\\Users\\User\\AppData\\Local\\Temp\\";
    bool logging = false;
    bool installed = false;  // Windows Installer knows the product already
    std::u16string upgradeCode;
};

// A fresh simulated machine: the medium as a drive with setup.exe at its
// root, the system drive with the temporary directory (created), the system
// language, the WOW64 answer and the label. The program's process-wide
// state starts empty, as in a new process.
void BootMachine(const Machine& machine);
std::u16string ModulePath(const Machine& machine);
std::u16string MediumPath(const Machine& machine, const std::u16string& name);

// One settings value as the launcher's ReadSetupValue returns it with that
// capacity; run on a booted machine.
std::u16string LauncherReads(const std::u16string& section, const std::u16string& key, unsigned capacity);

// The launcher's ExpandLzmaFile on a host file, writing a host file.
bool ExpandWithLauncher(const std::string& compressedHostPath, const std::string& outputHostPath);

// The host directory under which scratch files go; removed by its destructor
// unless it was given by the user.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& given = std::string());
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    bool ok() const { return !path_.empty(); }

private:
    std::string path_;
    bool owned_ = false;
};

// Whether two host files hold the same bytes; the first differing offset otherwise.
bool SameBytes(const std::string& a, const std::string& b, uint64_t* firstDifference);

std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& utf16);

}  // namespace stubmedia
