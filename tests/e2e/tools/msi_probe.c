/* msi_probe related <upgrade code>   one "product=<code>" line per product,
                                      then "result=<error>"
   msi_probe state <product code>     "state=<INSTALLSTATE>"
   msi.dll is loaded at run time, as the launcher does. */
#include "tool_common.h"

typedef UINT(WINAPI *enum_related_fn)(LPCWSTR, DWORD, DWORD, LPWSTR);
typedef int(WINAPI *query_state_fn)(LPCWSTR);

int wmain(int argc, wchar_t **argv)
{
    HMODULE msi;
    if (argc != 3 || (wcscmp(argv[1], L"related") && wcscmp(argv[1], L"state"))) {
        err(L"usage: msi_probe related <upgrade code> | state <product code>\n");
        return ERROR_INVALID_PARAMETER;
    }
    msi = LoadLibraryW(L"msi.dll");
    if (!msi) {
        DWORD e = GetLastError();
        err(L"msi_probe: cannot load msi.dll: error %lu\n", e);
        return (int)e;
    }
    if (!wcscmp(argv[1], L"related")) {
        enum_related_fn enum_related = (enum_related_fn)(void *)GetProcAddress(msi, "MsiEnumRelatedProductsW");
        wchar_t product[39];
        UINT r = ERROR_SUCCESS;
        if (!enum_related)
            return (int)GetLastError();
        for (DWORD i = 0;; i++) {
            r = enum_related(argv[2], 0, i, product);
            if (r != ERROR_SUCCESS)
                break;
            out(L"product=%ls\n", product);
        }
        out(L"result=%u\n", r);
        return r == ERROR_NO_MORE_ITEMS ? 0 : (int)r;
    } else {
        query_state_fn query_state = (query_state_fn)(void *)GetProcAddress(msi, "MsiQueryProductStateW");
        if (!query_state)
            return (int)GetLastError();
        out(L"state=%d\n", query_state(argv[2]));
        return 0;
    }
}
