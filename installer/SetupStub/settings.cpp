#include "settings.h"

WCHAR SettingsFilePath[kPathCapacity];

static constexpr WCHAR kSettingsFileName[] = WSTR("autorun.inf");

// The program's full path into path; its length, or 0 when Windows gives
// none or only a cut one (a path that fills the buffer may have lost its end
// and could name another directory).
static DWORD GetProgramPath(WCHAR* path)
{
    DWORD length = GetModuleFileNameW(nullptr, path, kPathCapacity);
    return length >= kPathCapacity ? 0 : length;
}

bool BuildProgramDirPath(const WCHAR* name, WCHAR* out)
{
    if (GetProgramPath(out) == 0) {
        out[0] = 0;
        return false;
    }
    WCHAR* lastBackslash = TextFindLast(out, WSTR('\\'));
    if (!lastBackslash) {
        out[0] = 0;
        return false;
    }
    size_t directoryLength = size_t(lastBackslash - out) + 1;
    lastBackslash[1] = 0;
    if (directoryLength + TextLength(name) + 1 > kPathCapacity ||
        !TextAppend(out, kPathCapacity, name)) {
        out[0] = 0;
        return false;
    }
    return true;
}

DWORD ReadSetupValue(const WCHAR* section, const WCHAR* key, WCHAR* buffer, DWORD capacity)
{
    // A failed build leaves the path empty, so every later read fails alike
    // instead of reading whatever half-built path remained.
    if (SettingsFilePath[0] == 0 && !BuildProgramDirPath(kSettingsFileName, SettingsFilePath))
        return 0;
    return GetPrivateProfileStringW(section, key, WSTR(""), buffer, capacity, SettingsFilePath);
}

WCHAR ProgramDriveLetter()
{
    WCHAR path[kPathCapacity] = {};
    DWORD length = GetProgramPath(path);
    return length < 2 ? WCHAR(0) : path[0];
}
