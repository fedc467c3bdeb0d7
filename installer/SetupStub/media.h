// The program's drive: load and eject requests, and the eject hand-off to a
// copy of the program that ejects the medium once the installing run has ended.
#pragma once

#include "platform/windows_api.h"

#include <stddef.h>

// Selects eject mode wherever it stands in the command tail (case-sensitive).
constexpr WCHAR kEjectMarker[] = WSTR("eject#");
constexpr size_t kEjectMarkerLength = sizeof kEjectMarker / sizeof(WCHAR) - 1;

// A handle to the drive's device for a removable or CD-ROM drive, else INVALID_HANDLE_VALUE.
HANDLE OpenDriveDevice(WCHAR driveLetter);
// True when the eject request succeeded. The handle stays open.
bool EjectMedia(HANDLE device);
// Asks the drive to load its medium; best effort, the device handle stays open.
void LoadMedia(WCHAR driveLetter);
// Copies the program into the temporary directory as "brelm_eject.exe" and
// starts the copy in eject mode with this run's drive letter and process id.
// False, with nothing started, when a path does not fit its buffer or the
// program's path names no drive.
bool LaunchEjectHelper();
// Eject mode: text is what follows the first eject marker: the drive letter,
// then the id of the run to wait for (at most 5000 ms). Returns the exit
// code, 1 when ejected; 0 without any request when there is no letter.
DWORD RunEjectMode(const WCHAR* text);
