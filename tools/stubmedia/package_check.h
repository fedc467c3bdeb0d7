// What the medium's packages and transforms hold, checked against what the
// launcher will do with them: the upgrade code of its installed check, the
// bitness of each role, cabinets, and every transform applied in memory as
// Windows Installer would apply it.
#pragma once

#include "report.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stubmedia {

struct MediumPackage {
    std::string key;      // "Installer" or "Installer64"
    std::string systems;  // which systems run it
    std::string where;    // the file of the medium, for findings
    std::string file;     // host path of the package as msiexec gets it (an expanded copy when compressed)
    bool compressed = false;
    std::string folder;  // host folder of the plain package, where its external cabinets must lie
};

struct MediumTransform {
    size_t package = 0;  // index into the packages
    uint16_t language = 0;
    std::string where;
    std::string file;  // host path (an expanded copy when compressed)
    bool essential = true;
};

struct PackageContent {
    bool readable = false;
    std::string platform;  // of the summary Template: Intel, x64, Arm64 ...
    std::string productCode, upgradeCode, productLanguage;
};

struct TransformContent {
    bool applies = false;
    std::string productLanguage;  // after the transform
};

struct ContentReport {
    std::vector<PackageContent> packages;
    std::vector<TransformContent> transforms;
};

ContentReport CheckContents(const std::u16string& upgradeCode, const std::vector<MediumPackage>& packages,
                            const std::vector<MediumTransform>& transforms, Findings& findings);

}  // namespace stubmedia
