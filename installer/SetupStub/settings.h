// The settings file "autorun.inf" beside the program, and the places
// derived from the program's own file.
#pragma once

#include "platform/windows_api.h"
#include "text.h"

// Full path of "autorun.inf" in the program's directory; empty until the
// first read builds it. The only process-wide state of the program.
extern WCHAR SettingsFilePath[kPathCapacity];

// Reads one value of the settings file into buffer (capacity in characters,
// terminator included). Returns the characters stored; 0 when the value is
// absent or empty or the settings file cannot be located. Leaves the last
// error as the failed read left it.
DWORD ReadSetupValue(const WCHAR* section, const WCHAR* key, WCHAR* buffer, DWORD capacity);

// out (kPathCapacity characters) = the program's directory, its trailing
// backslash, then name unchanged. False leaves out empty.
bool BuildProgramDirPath(const WCHAR* name, WCHAR* out);

// The first character of the program's full path; 0 when there is none.
WCHAR ProgramDriveLetter();
