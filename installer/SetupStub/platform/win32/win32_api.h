// The real Windows API from mingw-w64's headers.
#pragma once

#include <windows.h>
// The storage control codes; WIN32_LEAN_AND_MEAN keeps them out of windows.h.
#include <winioctl.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <stdio.h>

// Wide literals: wchar_t is UTF-16 on Windows.
#define WSTR(text) L##text

// Windows Installer is not imported statically: msi.dll is not a KnownDLL, so
// a static import would let a planted copy beside the program be loaded.
// This stand-in loads it from the system directory on first use.
extern "C" UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR lpUpgradeCode, DWORD dwReserved,
                                               DWORD iProductIndex, LPWSTR lpProductBuf);
