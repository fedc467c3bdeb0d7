// The real Windows API from mingw-w64's headers.
#pragma once

#include <windows.h>
// The storage control codes; WIN32_LEAN_AND_MEAN keeps them out of windows.h.
#include <winioctl.h>
// shellapi.h declares ShellExecuteExW as imported from shell32; the program
// resolves it at run time instead (shell_loader.cpp), so the header's import
// declaration is kept out of the way under another name.
#define ShellExecuteExW SetupStubHeaderShellExecuteExW
#include <shellapi.h>
#undef ShellExecuteExW
#include <stdio.h>

// Wide literals: wchar_t is UTF-16 on Windows.
#define WSTR(text) L##text

// Windows Installer is not imported statically: msi.dll is not a KnownDLL, so
// a static import would let a planted copy beside the program be loaded.
// This stand-in loads it from the system directory on first use.
extern "C" UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR lpUpgradeCode, DWORD dwReserved,
                                               DWORD iProductIndex, LPWSTR lpProductBuf);

// Not imported statically either: loaded from the system directory on first
// use (shell_loader.cpp), after wWinMain has restricted the DLL search.
extern "C" BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW* info);
extern "C" BOOL WINAPI PathFileExistsW(LPCWSTR path);
