/* shell_exec <file> <parameters> <directory>
   Starts a program the way the launcher starts msiexec (ShellExecuteExW,
   waiting on the process handle) and exits with that program's exit code,
   so harness tests exercise the same lookup and command-line assembly.
   An empty <directory> passes NULL. On a launch failure it prints the error
   and exits with 0xE2E00000 | error. */
#include "tool_common.h"
#include <shellapi.h>

int wmain(int argc, wchar_t **argv)
{
    SHELLEXECUTEINFOW sei;
    DWORD code = 0;
    if (argc != 4) {
        err(L"usage: shell_exec <file> <parameters> <directory>\n");
        return ERROR_INVALID_PARAMETER;
    }
    memset(&sei, 0, sizeof sei);
    sei.cbSize = sizeof sei;
    sei.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    sei.lpVerb = L"open";
    sei.lpFile = argv[1];
    sei.lpParameters = argv[2][0] ? argv[2] : NULL;
    sei.lpDirectory = argv[3][0] ? argv[3] : NULL;
    sei.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&sei) || !sei.hProcess) {
        DWORD e = GetLastError();
        err(L"shell_exec: ShellExecuteExW failed: error %lu\n", e);
        return (int)(0xE2E00000u | (e & 0xFFFFu));
    }
    WaitForSingleObject(sei.hProcess, INFINITE);
    GetExitCodeProcess(sei.hProcess, &code);
    CloseHandle(sei.hProcess);
    return (int)code;
}
