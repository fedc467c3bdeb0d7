// Windows Installer, resolved at run time from the system directory only.
#include "platform/win32/system_library.h"

typedef UINT(WINAPI* EnumRelatedProductsFn)(LPCWSTR, DWORD, DWORD, LPWSTR);

extern "C" UINT WINAPI MsiEnumRelatedProductsW(LPCWSTR upgradeCode, DWORD reserved, DWORD index,
                                               LPWSTR productCode)
{
    static EnumRelatedProductsFn enumRelated;
    if (!enumRelated) {
        HMODULE msi = LoadSystemLibrary(L"msi.dll");
        if (!msi)
            return ERROR_MOD_NOT_FOUND;
        enumRelated = reinterpret_cast<EnumRelatedProductsFn>(
            reinterpret_cast<void*>(GetProcAddress(msi, "MsiEnumRelatedProductsW")));
        if (!enumRelated)
            return ERROR_PROC_NOT_FOUND;
    }
    return enumRelated(upgradeCode, reserved, index, productCode);
}
