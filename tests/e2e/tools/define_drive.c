/* define_drive <letter> <cdrom|removable|hd> <unix dir>
   define_drive <letter> remove
   Asks Wine's mount manager to (re)define a drive letter as winecfg does, so
   GetDriveTypeW reports a real CD-ROM or removable drive backed by a host
   directory. Defining again also refreshes the cached volume label, which
   the mount manager reads from <unix dir>/.windows-label. */
#include "tool_common.h"
#include <winioctl.h>
#include <stddef.h>

/* Wine's define-unix-drive request: control code 32 of the mount manager's
   device type 'm', buffered, read and write access. */
#define MOUNTMGR_DEVICE_TYPE ((DWORD)'m')
#define IOCTL_DEFINE_UNIX_DRIVE CTL_CODE(MOUNTMGR_DEVICE_TYPE, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

/* Request header; the strings follow it in the same buffer, located by
   offsets from the start. The mount point is a NUL-terminated Unix path in
   UTF-8; no mount point means "remove the drive". The type takes the
   DRIVE_* values that GetDriveTypeW reports (checked under Wine 8: 2, 3 and
   5 come back unchanged; values above DRIVE_RAMDISK are refused). */
struct unix_drive_request {
    ULONG size;
    ULONG type;
    ULONG fs_type;
    ULONG serial;
    ULONGLONG unix_dev;
    WCHAR letter;
    USHORT mount_point_offset;
    USHORT device_offset;
    USHORT label_offset;
};
_Static_assert(sizeof(struct unix_drive_request) == 32, "request header layout");
_Static_assert(offsetof(struct unix_drive_request, letter) == 24, "letter offset");

enum { REQUEST_MAX = 4096 };

static int usage(void)
{
    err(L"usage: define_drive <letter> <cdrom|removable|hd> <unix dir>\n"
        L"       define_drive <letter> remove\n");
    return ERROR_INVALID_PARAMETER;
}

int wmain(int argc, wchar_t **argv)
{
    static union {
        struct unix_drive_request header;
        unsigned char bytes[REQUEST_MAX];
    } request;
    const size_t header_size = sizeof request.header;
    wchar_t letter;
    ULONG type = 0;
    BOOL remove;
    HANDLE mgr;
    DWORD returned = 0, error;
    size_t size = header_size;

    if (argc < 3 || wcslen(argv[1]) != 1)
        return usage();
    letter = towlower(argv[1][0]);
    if (letter < L'a' || letter > L'z')
        return usage();
    remove = wcscmp(argv[2], L"remove") == 0;
    if (remove) {
        if (argc != 3)
            return usage();
    } else {
        if (argc != 4)
            return usage();
        if (!wcscmp(argv[2], L"cdrom"))
            type = DRIVE_CDROM;
        else if (!wcscmp(argv[2], L"removable"))
            type = DRIVE_REMOVABLE;
        else if (!wcscmp(argv[2], L"hd"))
            type = DRIVE_FIXED;
        else
            return usage();
    }

    memset(&request, 0, sizeof request);
    request.header.type = type;
    request.header.letter = letter;
    if (!remove) {
        int n = WideCharToMultiByte(CP_UTF8, 0, argv[3], -1, (char *)request.bytes + header_size,
                                    (int)(REQUEST_MAX - header_size), NULL, NULL);
        if (n <= 1) {
            err(L"define_drive: unix directory is empty or too long\n");
            return ERROR_INVALID_PARAMETER;
        }
        request.header.mount_point_offset = (USHORT)header_size;
        size += (size_t)n;
    }
    request.header.size = (ULONG)size;

    mgr = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (mgr == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        err(L"define_drive: cannot open the mount manager: error %lu\n", error);
        return (int)error;
    }
    if (!DeviceIoControl(mgr, IOCTL_DEFINE_UNIX_DRIVE, &request, (DWORD)size, NULL, 0, &returned, NULL)) {
        error = GetLastError();
        CloseHandle(mgr);
        err(L"define_drive: the mount manager refused %lc: error %lu\n", letter, error);
        return (int)error;
    }
    CloseHandle(mgr);
    out(L"defined %lc: %ls\n", letter, remove ? L"removed" : argv[2]);
    return 0;
}
