// The three commands of stubmedia and its command line.
#pragma once

#include "launcher_sim.h"
#include "medium.h"
#include "report.h"
#include "signature.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace stubmedia {

// ---- pack

struct PackOptions {
    std::string inputDir;
    std::string outputDir;
    std::u16string upgradeCode;
    bool compress = true;
    bool labelMethod = false;
    std::optional<std::u16string> label;
    std::vector<std::pair<uint16_t, uint16_t>> map;  // system language -> transform language
    std::string installer;    // input file names chosen; empty: found by pack
    std::string installer64;
    std::string setupExe;  // empty: the one the tool ships (SharedFile)
    int level = 6;
    bool force = false;
    bool clean = false;  // empty an earlier medium in the output folder first
    uint64_t progressThreshold = 4ull << 20;  // show progress for files at least this large
    std::string scratchDir;
    std::string icon;  // the product's icon for setup.exe; empty: the launcher's own
    SignOptions sign;  // sign.pkcs12 empty: setup.exe stays unsigned
    std::optional<std::u16string> action;  // [autorun] action: AutoPlay's text for the medium
};

struct PackedFile {
    std::string role;  // "launcher", "package", "package64", "transform", "other"
    std::string source;
    std::string name;  // on the medium
    uint64_t size = 0;
    uint64_t storedSize = 0;
    bool compressed = false;
    bool verified = false;  // expanded with the launcher's code and compared
};

struct PackReport {
    Findings findings;
    std::vector<PackedFile> files;
    std::u16string autorun;
    bool written = false;
    bool branded = false;
    SignatureInfo signature;
    uint64_t tempSpace = 0;  // free space the target's temporary directory needs
};

// progress: where progress lines go (null: nowhere).
PackReport PackMedium(const PackOptions& options, std::ostream* progress);
std::u16string AutorunText(const PackOptions& options, const std::u16string& installer,
                           const std::u16string& installer64);

// ---- explain

struct ExplainOptions {
    std::string mediumDir;
    uint16_t systemLanguage = 0x0409;
    bool systemLanguageGiven = false;
    std::optional<std::u16string> label;
    bool labelUnreadable = false;
    bool wow64 = true;  // 64-bit Windows
    std::string tempDir;  // host folder behind C:; empty: a private one, removed afterwards
    std::u16string windowsTemp = u"C:\\Users\\User\\AppData\\Local\\Temp\\";
    char16_t driveLetter = u'D';
    UINT driveType = DRIVE_CDROM;
    bool logging = false;
    bool installed = false;
    uint32_t msiexecExitCode = 0;
    bool msiexecExitGiven = false;  // otherwise predicted from the package and transform
};

struct StagedFile {
    std::u16string from;
    std::u16string to;
    bool present = false;
    uint64_t size = 0;
    uint64_t expectedSize = 0;
    bool tried = true;  // false: the launcher stopped before this file
};

struct ExplainReport {
    Findings findings;
    std::vector<std::pair<std::string, std::u16string>> settings;  // as the launcher reads them
    std::u16string label;
    std::string labelSource;
    std::u16string guardName;
    bool installedCheckAsked = false;
    bool installed = false;
    std::string loadRequest;
    std::string packageKey;
    std::u16string packageName;
    std::string packageReason;
    uint16_t language = 0;
    std::string languageMethod;  // "label" or "map"
    std::string languageReason;
    std::string stagingForm;  // "plain", "compressed", "none"
    std::vector<StagedFile> staged;
    bool stagingOk = false;
    std::string stagingProblem;
    bool msiexecStarted = false;
    std::u16string msiexecFile;
    std::u16string msiexecParameters;
    std::u16string msiexecDirectory;
    int msiexecShow = 0;
    uint32_t msiexecMask = 0;
    bool ejectHelperStarted = false;
    std::u16string ejectCommandLine;
    std::u16string ejectDirectory;
    int exitCode = 0;
    std::string exitCodeReason;
};

ExplainReport ExplainMedium(const ExplainOptions& options);

// ---- the command line: 0 success, 1 errors found or the command failed, 2 usage.

int RunStubmedia(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace stubmedia
