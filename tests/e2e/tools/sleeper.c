/* sleeper <pid file> <ms> [<exit code>]: a process with a known pid that
   lives for a known time (e.g. the process the eject helper waits for). */
#include "tool_common.h"

int wmain(int argc, wchar_t **argv)
{
    wchar_t pid[32];
    if (argc < 3 || argc > 4) {
        err(L"usage: sleeper <pid file> <ms> [<exit code>]\n");
        return ERROR_INVALID_PARAMETER;
    }
    _snwprintf(pid, 31, L"%lu\n", GetCurrentProcessId());
    pid[31] = 0;
    if (!tool_write_file_atomic(argv[1], pid)) {
        err(L"sleeper: cannot write %ls: error %lu\n", argv[1], GetLastError());
        return 1;
    }
    Sleep((DWORD)wcstoul(argv[2], NULL, 10));
    return argc == 4 ? (int)wcstoul(argv[3], NULL, 0) : 0;
}
