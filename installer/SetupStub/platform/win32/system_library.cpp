#include "platform/win32/system_library.h"

#include "text.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

HMODULE LoadSystemLibrary(const WCHAR* name)
{
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module)
        return module;
    // Systems older than the search flags refuse it; a full path into the
    // system directory is as safe there, and the altered search path makes
    // the DLL's own imports resolve from that directory first.
    WCHAR path[kPathCapacity] = {};
    UINT length = GetSystemDirectoryW(path, kPathCapacity);
    if (length == 0 || length >= kPathCapacity)
        return nullptr;
    if (!TextAppendChar(path, kPathCapacity, L'\\') || !TextAppend(path, kPathCapacity, name)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
