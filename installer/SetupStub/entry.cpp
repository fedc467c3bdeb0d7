#include "entry.h"

#include "installer_launch.h"
#include "media.h"
#include "settings.h"
#include "text.h"

static constexpr WCHAR kGuardPrefix[] = WSTR("brelm_pellix_");
static constexpr DWORD kUpgradeCodeCapacity = 64;
static constexpr DWORD kProductCodeCapacity = 64;
static_assert(kProductCodeCapacity >= 39, "Windows Installer writes a braced GUID and its terminator");
// Room for the prefix and the longest upgrade code that is read, so that
// different upgrade codes always give different guard names.
static constexpr size_t kGuardCapacity = 80;
static_assert(sizeof kGuardPrefix / sizeof(WCHAR) - 1 + (kUpgradeCodeCapacity - 1) + 1 <= kGuardCapacity,
              "guard name must hold the prefix and any upgrade code read");

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD);

// The program runs from media and download folders that others can write
// to: later DLL loads come from the system directory only. Systems without
// the call keep their default search order.
static void RestrictDllSearch()
{
    HMODULE kernel32 = GetModuleHandleW(WSTR("kernel32"));
    if (!kernel32)
        return;
    SetDefaultDllDirectoriesFn setDefault = reinterpret_cast<SetDefaultDllDirectoriesFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "SetDefaultDllDirectories")));
    if (setDefault)
        setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool IsProductInstalled()
{
    WCHAR upgradeCode[kUpgradeCodeCapacity] = {};
    if (ReadSetupValue(WSTR("Setup"), WSTR("UpgradeCode"), upgradeCode, kUpgradeCodeCapacity) == 0)
        return false;
    WCHAR productCode[kProductCodeCapacity] = {};
    return MsiEnumRelatedProductsW(upgradeCode, 0, 0, productCode) == ERROR_SUCCESS;
}

static DWORD RunInstallMode()
{
    SetLastError(0);

    WCHAR guardName[kGuardCapacity] = {};
    TextCopy(guardName, kGuardCapacity, kGuardPrefix);
    WCHAR upgradeCode[kUpgradeCodeCapacity] = {};
    if (ReadSetupValue(WSTR("Setup"), WSTR("UpgradeCode"), upgradeCode, kUpgradeCodeCapacity) != 0)
        TextAppend(guardName, kGuardCapacity, upgradeCode);  // always fits: see kGuardCapacity

    // The guard works by its name alone; it is never waited on or owned.
    HANDLE guard = CreateMutexW(nullptr, FALSE, guardName);
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        if (guard)
            CloseHandle(guard);
        return ERROR_ALREADY_EXISTS;
    }

    DWORD result = 0;
    if (!IsProductInstalled()) {
        LoadMedia(ProgramDriveLetter());
        result = RunInstaller();
    }
    if (result == 0)
        LaunchEjectHelper();  // best effort: the medium stays in when it fails

    if (guard)
        CloseHandle(guard);
    return result;
}

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR commandTail, int)
{
    RestrictDllSearch();
    const WCHAR* marker = commandTail ? TextFind(commandTail, kEjectMarker) : nullptr;
    if (marker)
        return int(RunEjectMode(marker + kEjectMarkerLength));
    return int(RunInstallMode());
}
