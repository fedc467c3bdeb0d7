/* hold_object mutex|event <name> <ms> [<ready file> [<release file>]]
   Creates the named object (a mutex is created owned) and keeps it for <ms>
   milliseconds or until <release file> exists. The ready file gets
   "created|exists|failed <last error> pid=<pid>" once the create call has
   returned, so a test knows when the name is taken. With <ms> 0 it is a
   probe: the exit code is the create call's last error (0, 183 =
   ERROR_ALREADY_EXISTS, or the failure, e.g. 6 when the name belongs to an
   object of another type). */
#include "tool_common.h"

int wmain(int argc, wchar_t **argv)
{
    wchar_t status[128];
    const wchar_t *ready = argc > 4 ? argv[4] : NULL;
    const wchar_t *release = argc > 5 ? argv[5] : NULL;
    HANDLE object;
    DWORD error, hold_ms, start;
    BOOL is_mutex;

    if (argc < 4 || argc > 6 || (wcscmp(argv[1], L"mutex") && wcscmp(argv[1], L"event"))) {
        err(L"usage: hold_object mutex|event <name> <ms> [<ready file> [<release file>]]\n");
        return ERROR_INVALID_PARAMETER;
    }
    is_mutex = !wcscmp(argv[1], L"mutex");
    hold_ms = (DWORD)wcstoul(argv[3], NULL, 10);

    SetLastError(0);
    object = is_mutex ? CreateMutexW(NULL, TRUE, argv[2]) : CreateEventW(NULL, TRUE, FALSE, argv[2]);
    error = GetLastError();
    _snwprintf(status, 127, L"%ls %lu pid=%lu\n",
               object == NULL ? L"failed" : error == ERROR_ALREADY_EXISTS ? L"exists" : L"created",
               error, GetCurrentProcessId());
    status[127] = 0;
    out(L"%ls", status);
    if (ready && !tool_write_file_atomic(ready, status)) {
        err(L"hold_object: cannot write %ls: error %lu\n", ready, GetLastError());
        return 1;
    }
    if (object == NULL)
        return (int)(error ? error : 1);

    start = GetTickCount();
    while (GetTickCount() - start < hold_ms) {
        if (release && tool_file_exists(release))
            break;
        Sleep(20);
    }
    if (is_mutex)
        ReleaseMutex(object);
    CloseHandle(object);
    return (int)error;
}
