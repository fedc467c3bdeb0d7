// The shell and shell-utility calls, resolved at run time from the system
// directory. Static imports of shell32 and shlwapi are safe on Windows, where
// both are KnownDLLs, but they pull in a tree of further DLLs before
// wWinMain can restrict the search, and a loader that does not treat that
// tree as known (Wine's does not) then takes them from the program's own
// directory, that is from the medium or the temporary directory.
#include "platform/win32/system_library.h"

typedef BOOL(WINAPI* ShellExecuteExFn)(SHELLEXECUTEINFOW*);
typedef BOOL(WINAPI* PathFileExistsFn)(LPCWSTR);

// The function's address in the system directory's DLL, or null with the last error set.
static FARPROC ResolveSystemFunction(const WCHAR* dll, const char* function)
{
    HMODULE module = LoadSystemLibrary(dll);
    return module ? GetProcAddress(module, function) : nullptr;
}

extern "C" BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW* info)
{
    static ShellExecuteExFn shellExecuteEx;
    if (!shellExecuteEx)
        shellExecuteEx = reinterpret_cast<ShellExecuteExFn>(
            reinterpret_cast<void*>(ResolveSystemFunction(L"shell32.dll", "ShellExecuteExW")));
    return shellExecuteEx ? shellExecuteEx(info) : FALSE;
}

extern "C" BOOL WINAPI PathFileExistsW(LPCWSTR path)
{
    static PathFileExistsFn pathFileExists;
    if (!pathFileExists)
        pathFileExists = reinterpret_cast<PathFileExistsFn>(
            reinterpret_cast<void*>(ResolveSystemFunction(L"shlwapi.dll", "PathFileExistsW")));
    return pathFileExists ? pathFileExists(path) : FALSE;
}
