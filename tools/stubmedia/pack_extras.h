// The parts of pack that make the medium the product's own: setup.exe
// branded and signed, the [autorun] texts checked, and the input's
// subfolders (documentation, redistributables) copied as they are.
#pragma once

#include "commands.h"

#include <string>

namespace stubmedia {

// Before anything is written: the icon is complete, the key file is there,
// the [autorun] texts fit on one line.
bool CheckLauncherOptions(const PackOptions& options, Findings& findings);
// target: setup.exe in the medium folder, branded then signed in place.
bool BrandAndSignLauncher(const PackOptions& options, const std::string& target, const std::string& scratch,
                          PackReport& report);
// Copies input/name to the medium with everything below it, unchanged.
bool CopyInputFolder(const PackOptions& options, const std::string& name, PackReport& report);

}  // namespace stubmedia
