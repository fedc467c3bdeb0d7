// Running msiexec on the prepared package and waiting for it.
#pragma once

#include "platform/windows_api.h"

// Runs the installation; returns msiexec's exit code, or a Windows error code
// when no installation could be started.
DWORD RunInstaller();
// True when the logging flag file exists in the temporary directory.
bool IsLoggingRequested();
