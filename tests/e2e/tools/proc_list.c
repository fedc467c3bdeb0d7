/* proc_list                        "pid=<pid> ppid=<parent> exe=<image name>"
                                    for every process
   proc_list kill <pid> [<code>]    terminates one process (exit code <code>,
                                    default 1) */
#include "tool_common.h"
#include <tlhelp32.h>

static int kill_one(DWORD pid, DWORD code)
{
    HANDLE h = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    DWORD e;
    if (!h || !TerminateProcess(h, code)) {
        e = GetLastError();
        err(L"proc_list: cannot terminate %lu: error %lu\n", pid, e);
        if (h)
            CloseHandle(h);
        return (int)e;
    }
    WaitForSingleObject(h, 5000);
    CloseHandle(h);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    PROCESSENTRY32W entry;
    HANDLE snap;
    if (argc >= 3 && argc <= 4 && !wcscmp(argv[1], L"kill"))
        return kill_one((DWORD)wcstoul(argv[2], NULL, 0), argc == 4 ? (DWORD)wcstoul(argv[3], NULL, 0) : 1);
    if (argc != 1) {
        err(L"usage: proc_list | proc_list kill <pid> [<code>]\n");
        return ERROR_INVALID_PARAMETER;
    }
    snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        err(L"proc_list: no snapshot: error %lu\n", e);
        return (int)e;
    }
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snap, &entry); more; more = Process32NextW(snap, &entry))
        out(L"pid=%lu ppid=%lu exe=%ls\n", entry.th32ProcessID, entry.th32ParentProcessID, entry.szExeFile);
    CloseHandle(snap);
    return 0;
}
