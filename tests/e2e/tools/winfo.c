/* winfo [<variable>...]: facts about the Windows side that tests compare
   with the harness, one key=value per line; "env:<variable>=<value>" for
   each argument taken as a variable name ("env:<variable>!" when it is not
   set), and "arg:<i>=<argument>" as the C runtime split the command line. */
#include "tool_common.h"

typedef BOOL(WINAPI *is_wow64_fn)(HANDLE, PBOOL);

int wmain(int argc, wchar_t **argv)
{
    static wchar_t buf[32768];
    DWORD n = 32768;
    BOOL wow64 = FALSE;
    is_wow64_fn is_wow64 = (is_wow64_fn)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process");

    out(L"pointer_bits=%u\n", (unsigned)(sizeof(void *) * 8));
    out(L"wow64=%d\n", is_wow64 && is_wow64(GetCurrentProcess(), &wow64) ? (wow64 ? 1 : 0) : -1);
    out(L"temp=%ls\n", GetTempPathW(32768, buf) ? buf : L"");
    out(L"user=%ls\n", GetUserNameW(buf, &n) ? buf : L"");
    out(L"windir=%ls\n", GetWindowsDirectoryW(buf, 32768) ? buf : L"");
    out(L"sysdir=%ls\n", GetSystemDirectoryW(buf, 32768) ? buf : L"");
    out(L"cwd=%ls\n", GetCurrentDirectoryW(32768, buf) ? buf : L"");
    out(L"module=%ls\n", GetModuleFileNameW(NULL, buf, 32768) ? buf : L"");
    out(L"syslang=0x%04x\n", (unsigned)GetSystemDefaultLangID());
    out(L"userlang=0x%04x\n", (unsigned)GetUserDefaultLangID());
    for (int i = 1; i < argc; i++) {
        buf[0] = 0;
        SetLastError(0);
        if (GetEnvironmentVariableW(argv[i], buf, 32768) || GetLastError() != ERROR_ENVVAR_NOT_FOUND)
            out(L"env:%ls=%ls\n", argv[i], buf);
        else
            out(L"env:%ls!\n", argv[i]);
    }
    for (int i = 0; i < argc; i++)
        out(L"arg:%d=%ls\n", i, argv[i]);
    out(L"cmdline=%ls\n", GetCommandLineW());
    return 0;
}
