// Drives, volumes and storage devices of the simulated Windows.
#include "platform/sim/sim_state.h"

namespace sim {

static WCHAR UpperLetter(WCHAR letter)
{
    return letter >= u'a' && letter <= u'z' ? WCHAR(letter - u'a' + u'A') : letter;
}

void AddDrive(WCHAR letter, const std::string& hostDir, UINT type)
{
    Drive& drive = S().drives[UpperLetter(letter)];
    drive.hostDir = hostDir;
    drive.type = type;
}

void SetVolumeLabel(WCHAR letter, const std::u16string& label) { S().drives[UpperLetter(letter)].label = label; }
void FailVolumeQuery(WCHAR letter, DWORD error) { S().drives[UpperLetter(letter)].volumeError = error; }

void SetDeviceRequestsSucceed(WCHAR letter, bool succeed, DWORD error)
{
    Drive& drive = S().drives[UpperLetter(letter)];
    drive.requestsSucceed = succeed;
    drive.requestError = error;
}

DriveCounters Counters(WCHAR letter)
{
    auto it = S().drives.find(UpperLetter(letter));
    return it == S().drives.end() ? DriveCounters() : it->second.counters;
}

const std::vector<DeviceOpen>& DeviceOpens() { return S().deviceOpens; }
const std::vector<VolumeQuery>& VolumeQueries() { return S().volumeQueries; }

// The drive a root path "X:\" names, or null.
static Drive* DriveOfRoot(LPCWSTR root)
{
    if (!root || Length(root) != 3 || root[1] != u':' || root[2] != u'\\')
        return nullptr;
    auto it = S().drives.find(UpperLetter(root[0]));
    return it == S().drives.end() ? nullptr : &it->second;
}

}  // namespace sim

using namespace sim;

BOOL GetVolumeInformationW(LPCWSTR rootPath, LPWSTR volumeName, DWORD volumeNameCapacity, LPDWORD serialNumber,
                           LPDWORD maximumComponentLength, LPDWORD fileSystemFlags, LPWSTR fileSystemName,
                           DWORD fileSystemNameCapacity)
{
    Event("GetVolumeInformationW " + U8(Text(rootPath)));
    S().volumeQueries.push_back({Text(rootPath), volumeName != nullptr, volumeNameCapacity, serialNumber != nullptr,
                                 maximumComponentLength != nullptr, fileSystemFlags != nullptr,
                                 fileSystemName != nullptr, fileSystemNameCapacity});
    if (Faulted("GetVolumeInformationW"))
        return FALSE;
    // Only the letters A to Z name drive roots: "\:\" (a program on a network
    // path) or an empty root never reaches a volume.
    WCHAR first = rootPath ? UpperLetter(rootPath[0]) : WCHAR(0);
    Drive* drive = first >= u'A' && first <= u'Z' ? DriveOfRoot(rootPath) : nullptr;
    if (!drive) {
        bool rootShaped = first >= u'A' && first <= u'Z' && Length(rootPath) == 3;
        SetError(rootShaped ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
        return FALSE;
    }
    if (drive->volumeError) {
        SetError(drive->volumeError);
        return FALSE;
    }
    if (volumeName && !CopyOut(drive->label, volumeName, volumeNameCapacity)) {
        SetError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (serialNumber)
        *serialNumber = 0x1234ABCD;
    if (maximumComponentLength)
        *maximumComponentLength = 255;
    if (fileSystemFlags)
        *fileSystemFlags = 0;
    if (fileSystemName && !CopyOut(u"SIMFS", fileSystemName, fileSystemNameCapacity)) {
        SetError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    return TRUE;
}

UINT GetDriveTypeW(LPCWSTR rootPath)
{
    Event("GetDriveTypeW " + U8(Text(rootPath)));
    if (Faulted("GetDriveTypeW"))
        return DRIVE_UNKNOWN;
    Drive* drive = DriveOfRoot(rootPath);
    return drive ? drive->type : DRIVE_NO_ROOT_DIR;
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES attributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile)
{
    DeviceOpen open;
    open.path = Text(fileName);
    open.access = access;
    open.shareMode = shareMode;
    open.creationDisposition = creationDisposition;
    open.flagsAndAttributes = flagsAndAttributes;
    open.securityAttributes = attributes != nullptr;
    open.templateFile = templateFile != nullptr;
    Event("CreateFileW " + U8(open.path) + " " + std::to_string(access));
    auto fail = [&](DWORD error) {
        S().deviceOpens.push_back(open);
        SetError(error);
        return INVALID_HANDLE_VALUE;
    };
    if (Faulted("CreateFileW")) {
        S().deviceOpens.push_back(open);
        return INVALID_HANDLE_VALUE;
    }
    // Only drive devices "\\.\X:" are opened through this call.
    const std::u16string& p = open.path;
    if (p.size() != 6 || p.compare(0, 4, u"\\\\.\\") != 0 || p[5] != u':')
        return fail(ERROR_NOT_SUPPORTED);
    auto it = S().drives.find(UpperLetter(p[4]));
    if (it == S().drives.end())
        return fail(ERROR_FILE_NOT_FOUND);
    if (creationDisposition != OPEN_EXISTING)
        return fail(ERROR_INVALID_PARAMETER);
    open.succeeded = true;
    S().deviceOpens.push_back(open);
    HandleEntry entry{HandleKind::Device, u"", UpperLetter(p[4]), access, 0};
    return NewHandle(entry);
}

BOOL DeviceIoControl(HANDLE device, DWORD controlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                     DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    Event("DeviceIoControl " + std::to_string(controlCode) + " in " + (inBuffer ? "buffer " : "null ") +
          std::to_string(inSize) + " out " + (outBuffer ? "buffer " : "null ") + std::to_string(outSize) +
          " returned " + (bytesReturned ? "local" : "null") + " overlapped " + (overlapped ? "set" : "null"));
    if (Faulted("DeviceIoControl"))
        return FALSE;
    // A synchronous call has nowhere else to store the byte count.
    if (!overlapped && !bytesReturned) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    HandleEntry* entry = FindHandle(device);
    if (!entry || entry->kind != HandleKind::Device) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Drive& drive = S().drives[entry->letter];
    if (controlCode == IOCTL_STORAGE_LOAD_MEDIA)
        ++drive.counters.loadRequests;
    else if (controlCode == IOCTL_STORAGE_EJECT_MEDIA)
        ++drive.counters.ejectRequests;
    else {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!(entry->access & GENERIC_READ)) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!drive.requestsSucceed) {
        SetError(drive.requestError);
        return FALSE;
    }
    if (bytesReturned)
        *bytesReturned = 0;
    return TRUE;
}
