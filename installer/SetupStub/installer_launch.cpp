#include "installer_launch.h"

#include "language.h"
#include "settings.h"
#include "staging.h"
#include "temp_files.h"
#include "text.h"

static constexpr WCHAR kLoggingFlagName[] = WSTR("BRELM_PELLIX_EnableLogging.txt");
static constexpr WCHAR kLogName[] = WSTR("BRELM_PELLIX.log");
static constexpr WCHAR kMsiexecName[] = WSTR("\\msiexec.exe");
static constexpr size_t kParameterCapacity = 1000;

// The longest parameter text: -i "<path>" /l*v "<temp>\<log>" TRANSFORMS=65535.mst
static_assert(3 + (kPathCapacity - 1) + 1 + 7 + (kPathCapacity - 1) + 1 + (sizeof kLogName / sizeof(WCHAR) - 1) +
                      1 + 12 + 5 + 4 + 1 <=
                  kParameterCapacity,
              "parameter text always fits");

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(SHELLEXECUTEINFOW) == 60, "launch record as a 32-bit build lays it out");
#endif

typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);

// Resolved at run time: older 32-bit systems do not have the call.
static bool IsWow64()
{
    HMODULE kernel32 = GetModuleHandleW(WSTR("kernel32"));
    if (!kernel32)
        return false;
    IsWow64ProcessFn isWow64Process = reinterpret_cast<IsWow64ProcessFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process")));
    BOOL wow64 = FALSE;
    if (!isWow64Process || !isWow64Process(GetCurrentProcess(), &wow64))
        return false;
    return wow64 != FALSE;
}

// A Windows error code for a failed step; a failure never reads as success.
static DWORD FailureCode()
{
    DWORD error = GetLastError();
    return error ? error : ERROR_INSTALL_FAILURE;
}

bool IsLoggingRequested()
{
    WCHAR tempDir[kPathCapacity] = {};
    WCHAR flagPath[kPathCapacity] = {};
    return GetTempDirectory(tempDir) && JoinTempFileName(flagPath, tempDir, kLoggingFlagName) &&
           PathFileExistsW(flagPath) != FALSE;
}

// -i "<package>" [/l*v "<temp>\<log>"] TRANSFORMS=<language>.mst
static void FormatParameters(WCHAR* parameters, const WCHAR* packagePath, const WCHAR* tempPath, WORD language)
{
    parameters[0] = 0;
    TextAppend(parameters, kParameterCapacity, WSTR("-i \""));
    TextAppend(parameters, kParameterCapacity, packagePath);
    TextAppend(parameters, kParameterCapacity, WSTR("\""));
    if (tempPath) {
        TextAppend(parameters, kParameterCapacity, WSTR(" /l*v \""));
        TextAppend(parameters, kParameterCapacity, tempPath);
        TextAppend(parameters, kParameterCapacity, WSTR("\\"));
        TextAppend(parameters, kParameterCapacity, kLogName);
        TextAppend(parameters, kParameterCapacity, WSTR("\""));
    }
    TextAppend(parameters, kParameterCapacity, WSTR(" TRANSFORMS="));
    TextAppendDecimal(parameters, kParameterCapacity, language);
    TextAppend(parameters, kParameterCapacity, WSTR(".mst"));
}

DWORD RunInstaller()
{
    DWORD exitCode = 0;
    WCHAR installerName[kPathCapacity] = {};

    DWORD nameLength = 0;
    if (IsWow64())
        nameLength = ReadSetupValue(WSTR("Setup"), WSTR("Installer64"), installerName, kPathCapacity);
    if (nameLength == 0 &&
        ReadSetupValue(WSTR("Setup"), WSTR("Installer"), installerName, kPathCapacity) == 0)
        return FailureCode();

    WCHAR packagePath[kPathCapacity] = {};
    WORD language = ChooseTransformLanguage();
    // Best effort: msiexec reports a package that could not be prepared.
    StagePackage(installerName, packagePath, language);

    WCHAR workingDirectory[kPathCapacity] = {};
    TextCopy(workingDirectory, kPathCapacity, packagePath);
    if (WCHAR* lastBackslash = TextFindLast(workingDirectory, WSTR('\\')))
        *lastBackslash = 0;

    WCHAR parameters[kParameterCapacity] = {};
    WCHAR tempPath[kPathCapacity] = {};
    bool logging = IsLoggingRequested();
    if (logging)
        GetTempPathW(kPathCapacity, tempPath);
    FormatParameters(parameters, packagePath, logging ? tempPath : nullptr, language);

    // The system's msiexec by its full path: a bare name would let the shell
    // start a "msiexec.exe" lying beside the package or in the temp directory.
    WCHAR msiexecPath[kPathCapacity] = {};
    UINT systemLength = GetSystemDirectoryW(msiexecPath, kPathCapacity);
    if (systemLength == 0 || systemLength >= kPathCapacity)
        return FailureCode();
    if (!TextAppend(msiexecPath, kPathCapacity, kMsiexecName))
        return ERROR_FILENAME_EXCED_RANGE;

    SHELLEXECUTEINFOW launch = {};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    launch.lpFile = msiexecPath;
    launch.lpParameters = parameters;
    launch.lpDirectory = workingDirectory;
    launch.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&launch))
        return FailureCode();

    // No time limit: an installation takes as long as the user takes. The
    // process handle stays open until the program ends.
    if (WaitForSingleObjectEx(launch.hProcess, INFINITE, FALSE) != WAIT_OBJECT_0)
        return FailureCode();
    if (!GetExitCodeProcess(launch.hProcess, &exitCode))
        return FailureCode();
    return exitCode;
}
