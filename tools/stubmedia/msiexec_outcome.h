// What Windows Installer would end with for the package and transform the
// launcher hands to msiexec, as far as the files themselves tell.
#pragma once

#include <cstdint>
#include <string>

namespace stubmedia {

struct MsiexecOutcome {
    uint32_t code = 0;   // 0: nothing in the files stands in the installation's way
    std::string reason;  // why msiexec ends with code
};

// package, transform: host paths of the files msiexec gets (empty when none);
// windows64: whether the system is 64-bit.
MsiexecOutcome PredictMsiexec(const std::string& package, const std::string& transform, bool windows64);

}  // namespace stubmedia
