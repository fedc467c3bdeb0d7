#include "media.h"

#include "settings.h"
#include "temp_files.h"
#include "text.h"

static constexpr WCHAR kHelperFileName[] = WSTR("brelm_eject.exe");
static constexpr DWORD kWaitForInstallingRunMs = 5000;

// "\"%s\" -%s%c%d": two quotes, the helper path, a blank and a hyphen, the
// marker, the letter, an unsigned 32-bit id of at most ten digits, the terminator.
static constexpr size_t kMaxHelperPathLength = kPathCapacity - 1;
static constexpr size_t kMaxProcessIdDigits = 10;
static constexpr size_t kCommandLineCapacity = 300;
static_assert(1 + kMaxHelperPathLength + 1 + 2 + kEjectMarkerLength + 1 + kMaxProcessIdDigits + 1 <=
                  kCommandLineCapacity,
              "the hand-off command line must never be cut, whatever the helper path");

HANDLE OpenDriveDevice(WCHAR driveLetter)
{
    const WCHAR rootPath[] = {driveLetter, WSTR(':'), WSTR('\\'), 0};
    DWORD access;
    switch (GetDriveTypeW(rootPath)) {
    case DRIVE_REMOVABLE:
        access = GENERIC_READ | GENERIC_WRITE;
        break;
    case DRIVE_CDROM:
        access = GENERIC_READ;
        break;
    default:
        return INVALID_HANDLE_VALUE;
    }
    const WCHAR devicePath[] = {WSTR('\\'), WSTR('\\'), WSTR('.'), WSTR('\\'), driveLetter, WSTR(':'), 0};
    return CreateFileW(devicePath, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

static bool SendStorageRequest(HANDLE device, DWORD controlCode)
{
    DWORD bytesReturned = 0;
    return DeviceIoControl(device, controlCode, nullptr, 0, nullptr, 0, &bytesReturned, nullptr) != FALSE;
}

bool EjectMedia(HANDLE device) { return SendStorageRequest(device, IOCTL_STORAGE_EJECT_MEDIA); }

// The handle is deliberately left open: the drive stays claimed for the rest
// of the run, and the process's end releases it.
void LoadMedia(WCHAR driveLetter) { SendStorageRequest(OpenDriveDevice(driveLetter), IOCTL_STORAGE_LOAD_MEDIA); }

bool LaunchEjectHelper()
{
    WCHAR ownPath[kPathCapacity] = {};
    DWORD ownLength = GetModuleFileNameW(nullptr, ownPath, kPathCapacity);
    // A path that fills the buffer may have been cut and would copy another
    // file; one shorter than two characters names no drive for the copy to
    // eject, and a helper that can eject nothing is not started.
    if (ownLength < 2 || ownLength >= kPathCapacity)
        return false;

    WCHAR tempDir[kPathCapacity] = {};
    if (!GetTempDirectory(tempDir))
        return false;
    WCHAR helperPath[kPathCapacity] = {};
    if (!JoinTempFileName(helperPath, tempDir, kHelperFileName))
        return false;

    // A read-only copy left by an earlier hand-off would refuse the overwrite.
    DeleteEarlierFile(helperPath);
    if (!CopyFileW(ownPath, helperPath, FALSE))
        return false;

    // The own path gave the letter (step one refused a path too short to
    // have one), so the copy always learns which drive to eject.
    WCHAR driveLetter = ProgramDriveLetter();
    if (driveLetter == 0)
        return false;
    WCHAR commandLine[kCommandLineCapacity] = {};
    if (!TextAppendChar(commandLine, kCommandLineCapacity, WSTR('"')) ||
        !TextAppend(commandLine, kCommandLineCapacity, helperPath) ||
        !TextAppend(commandLine, kCommandLineCapacity, WSTR("\" -")) ||
        !TextAppend(commandLine, kCommandLineCapacity, kEjectMarker) ||
        !TextAppendChar(commandLine, kCommandLineCapacity, driveLetter) ||
        !TextAppendDecimal(commandLine, kCommandLineCapacity, GetCurrentProcessId()))
        return false;

    STARTUPINFOW startupInfo = {};
    startupInfo.cb = sizeof startupInfo;
    PROCESS_INFORMATION processInformation = {};
    if (!CreateProcessW(nullptr, commandLine, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, tempDir,
                        &startupInfo, &processInformation))
        return false;
    CloseHandle(processInformation.hThread);
    CloseHandle(processInformation.hProcess);
    return true;
}

DWORD RunEjectMode(const WCHAR* text)
{
    // No drive letter: nothing to eject, and nothing after the end to read.
    if (!text || text[0] == 0)
        return 0;
    WCHAR driveLetter = text[0];
    DWORD processId = DWORD(DecimalToInt(text + 1));
    if (processId != 0) {
        // Whatever the wait's outcome, the eject follows.
        HANDLE installingRun = OpenProcess(SYNCHRONIZE, FALSE, processId);
        if (installingRun) {
            WaitForSingleObject(installingRun, kWaitForInstallingRunMs);
            CloseHandle(installingRun);
        }
    }
    return EjectMedia(OpenDriveDevice(driveLetter)) ? 1 : 0;
}
