// PLACEHOLDER until the media hand-off lands: every operation fails honestly.
#include "media.h"

HANDLE OpenDriveDevice(WCHAR) { return INVALID_HANDLE_VALUE; }
bool EjectMedia(HANDLE) { return false; }
void LoadMedia(WCHAR) {}
bool LaunchEjectHelper() { return false; }
DWORD RunEjectMode(const WCHAR*) { return 0; }
