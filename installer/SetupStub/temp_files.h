// The program's own files in the user's temporary directory.
#pragma once

#include "platform/windows_api.h"

// The temporary directory exactly as GetTempPathW returns it, trailing
// backslash included, into out (kPathCapacity characters). False when
// Windows gives none, or one too long for the buffer (which then holds nothing).
bool GetTempDirectory(WCHAR* out);

// out = directory, a backslash only when it lacks one, then name; false when
// that does not fit in kPathCapacity characters.
bool JoinTempFileName(WCHAR* out, const WCHAR* directory, const WCHAR* name);

// Removes an earlier copy of one of the program's files, even a read-only
// one. Whether it went is not reported: the write that follows tells.
void DeleteEarlierFile(const WCHAR* path);
