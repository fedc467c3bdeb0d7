// `stubmedia try`: the rehearsal. The real setup.exe runs from the medium
// under Wine (the Wine half is the rehearsal script beside the tool, over
// the end-to-end tests' Wine module); the launcher's own code on the
// simulated Windows says beforehand what it will read and choose.
#pragma once

#include "commands.h"
#include "report.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace stubmedia {

struct TryOptions {
    std::string medium;  // a medium folder, or an ISO or FAT image
    uint16_t systemLanguage = 0x0409;
    std::string arch = "auto";  // "win32", "win64", or auto: win32 where 32-bit code runs
    std::optional<std::u16string> label;  // folders: default [autorun] label
    bool keep = false;
    std::string workDir;  // empty: a private one
    std::string setupExe64;  // the x86-64 twin; empty: share/setupstub/setup64.exe
    double timeoutSeconds = 900;
};

struct TryReport {
    Findings findings;
    std::string mediumKind;  // "folder", "ISO 9660 image", "FAT image"
    std::u16string label;
    std::string labelSource;
    std::string driveType;  // "cdrom", "removable"
    ExplainReport predicted;  // the launcher's own reading, on the simulated Windows
    std::string wineResult;   // the rehearsal script's JSON
    bool ran = false;         // setup.exe ran under Wine
    bool installed = false;   // ... and the installation succeeded
};

// progress: where the stage lines go.
TryReport TryMedium(const TryOptions& options, std::ostream* progress);

// What an exit code of setup.exe (msiexec's, or the launcher's own) means.
std::string ExitCodeMeaning(uint32_t code);

// The rehearsal script, shipped in share/setupstub/ beside the tool.
std::string RehearsalScript();

}  // namespace stubmedia
