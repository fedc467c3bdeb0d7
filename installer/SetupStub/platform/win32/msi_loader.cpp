// Windows Installer, resolved at run time from the system directory only.
#include "platform/windows_api.h"
#include "text.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

typedef UINT(WINAPI* EnumRelatedProductsFn)(LPCWSTR, DWORD, DWORD, LPWSTR);

static HMODULE LoadMsiFromSystemDirectory()
{
    HMODULE module = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module)
        return module;
    // Systems older than the search flags refuse it; a full path into the
    // system directory is as safe there, and the altered search path makes
    // msi.dll's own imports resolve from that directory first.
    WCHAR path[kPathCapacity] = {};
    UINT length = GetSystemDirectoryW(path, kPathCapacity);
    if (length == 0 || length >= kPathCapacity)
        return nullptr;
    if (!TextAppend(path, kPathCapacity, L"\\msi.dll"))
        return nullptr;
    return LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

extern "C" UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR upgradeCode, DWORD reserved, DWORD index,
                                               LPWSTR productCode)
{
    static EnumRelatedProductsFn enumRelated;
    if (!enumRelated) {
        HMODULE msi = LoadMsiFromSystemDirectory();
        if (!msi)
            return ERROR_MOD_NOT_FOUND;
        enumRelated = reinterpret_cast<EnumRelatedProductsFn>(
            reinterpret_cast<void*>(GetProcAddress(msi, "MsiEnumRelatedProductsW")));
        if (!enumRelated)
            return ERROR_PROC_NOT_FOUND;
    }
    return enumRelated(upgradeCode, reserved, index, productCode);
}
