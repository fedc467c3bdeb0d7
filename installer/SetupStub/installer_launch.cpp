// PLACEHOLDER until the installer launch lands: no installer is started.
#include "installer_launch.h"

DWORD RunInstaller() { return ERROR_INSTALL_FAILURE; }
bool IsLoggingRequested() { return false; }
