/* drive_probe <letter>: what a program sees of a drive, one key=value line. */
#include "tool_common.h"

int wmain(int argc, wchar_t **argv)
{
    wchar_t root[4] = { 0, L':', L'\\', 0 };
    wchar_t label[MAX_PATH + 1] = { 0 }, fs[MAX_PATH + 1] = { 0 };
    DWORD serial = 0, max_component = 0, flags = 0, error = 0;
    UINT type;
    BOOL ok;

    if (argc != 2 || wcslen(argv[1]) != 1) {
        err(L"usage: drive_probe <letter>\n");
        return ERROR_INVALID_PARAMETER;
    }
    root[0] = towupper(argv[1][0]);
    type = GetDriveTypeW(root);
    SetLastError(0);
    ok = GetVolumeInformationW(root, label, MAX_PATH + 1, &serial, &max_component, &flags, fs, MAX_PATH + 1);
    if (!ok)
        error = GetLastError();
    /* The label comes last: it may contain anything but a line break. */
    out(L"type=%u volume_ok=%d error=%lu serial=%lu fs=%ls label=%ls\n", type, ok ? 1 : 0, error,
        serial, fs, label);
    return 0;
}
