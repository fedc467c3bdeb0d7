// Choosing the installer package msiexec runs: the plain package beside the
// program, or its compressed form and the language transform expanded into
// the temporary directory.
#pragma once

#include "platform/windows_api.h"

// packagePath holds kPathCapacity characters and receives the package's full
// path. A plain package beside the program is used where it lies. Otherwise
// the compressed package and transform (the names with their last character
// replaced by '_') are expanded into the temporary directory; packagePath then
// names the staged package even when a later step fails. False on any failure.
bool StagePackage(const WCHAR* installerName, WCHAR* packagePath, WORD language);
