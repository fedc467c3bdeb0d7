// A setup medium as the launcher sees it: the checks behind `check` (and
// the final lint of `pack`), and helpers that the commands share.
#pragma once

#include "autorun_ini.h"
#include "lzma_alone.h"
#include "package_check.h"
#include "report.h"
#include "signature.h"

#include "platform/sim/sim_control.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stubmedia {

// The host path of the entry of dir whose name matches without regard to
// case (as Windows finds files on a medium); empty when there is none.
std::string FindEntryNoCase(const std::string& dir, const std::string& name);

// "1031", "0x0407" or "0X407": a 16-bit language identifier.
std::optional<uint16_t> ParseLanguageNumber(const std::string& text);
// Decimal without sign or leading zeros, at most 65535: how the launcher
// writes language numbers (map keys, transform names).
bool IsCanonicalLanguage(const std::u16string& text);
std::string LanguageName(uint16_t language);  // "1031 (0x0407)"

// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: the simulated Windows Installer's test.
using sim::IsBracedGuid;

// The package name with its last character replaced by '_'.
std::u16string CompressedName(const std::u16string& name);

// Machine field of a PE file: 0x14C (x86), 0x8664 (x86-64); 0 when the file
// is no PE, -1 when it cannot be read.
int PeMachine(const std::string& hostPath);
// Windows Installer packages and transforms are compound files.
bool IsCompoundFile(const std::string& hostPath);

struct LanguageChoice {
    uint16_t language = 0;
    std::string reason;
    bool essential = true;  // false: only when the volume label cannot be read
};

struct PackageReport {
    std::string key;  // "Installer" or "Installer64"
    std::u16string name;
    std::string systems;  // which systems use it
    enum class Form { Missing, Plain, Compressed } form = Form::Missing;
    std::string file;  // the file of the medium that is used
    std::optional<PackageContent> content;  // what it holds, when it could be read
};

struct CompressedReport {
    std::string file;
    LzmaFileInfo info;
    bool decoded = false;  // the launcher's expansion ran
    bool expands = false;
    uint64_t producedSize = 0;
};

struct CheckOptions {
    std::string mediumDir;
    std::optional<uint16_t> systemLanguage;  // only the language of that system
    std::optional<std::u16string> label;     // the volume label the medium will carry
    bool decodeStreams = true;               // run the launcher's expansion on every compressed file
    std::string scratchDir;                  // empty: a private temporary folder
};

struct CheckReport {
    Findings findings;
    bool labelMethod = false;
    std::optional<std::u16string> label;
    std::vector<LanguageChoice> languages;
    std::vector<PackageReport> packages;
    std::vector<CompressedReport> compressed;
    SignatureInfo signature;  // of setup.exe
    ContentReport contents;  // what the packages and transforms hold
};

CheckReport CheckMedium(const CheckOptions& options);

}  // namespace stubmedia
