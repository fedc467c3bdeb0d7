/* icon_probe <program>: the program's icon as Windows' resource and icon
   functions see it. For each of 48, 32 and 16 pixels: the RT_ICON id that
   LookupIconIdFromDirectoryEx picks from group 107, whether
   CreateIconFromResourceEx makes an icon of it, and the colour (RRGGBB) of
   the pixel a fifth in from the left on the middle row. Then, for each image
   1..9, whether an icon can be made of it. Exit 1 when the group is absent. */
#include "tool_common.h"

static int pixel_of(HICON icon, int size, unsigned *rgb)
{
    ICONINFO info;
    BITMAPINFO bmi;
    static unsigned bits[48 * 48];
    HDC dc = CreateCompatibleDC(NULL);
    int ok;
    if (!dc || !GetIconInfo(icon, &info))
        return 0;
    ZeroMemory(&bmi, sizeof bmi);
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = size;
    bmi.bmiHeader.biHeight = -size; /* top-down */
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    ok = GetDIBits(dc, info.hbmColor, 0, (UINT)size, bits, &bmi, DIB_RGB_COLORS) == size;
    if (ok)
        *rgb = bits[(size / 2) * size + size / 5] & 0xFFFFFF;
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DeleteDC(dc);
    return ok;
}

static HICON icon_from(HMODULE module, int id, int size)
{
    HRSRC res = FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(3) /* RT_ICON */);
    HGLOBAL data = res ? LoadResource(module, res) : NULL;
    if (!data)
        return NULL;
    return CreateIconFromResourceEx((PBYTE)LockResource(data), SizeofResource(module, res), TRUE, 0x00030000,
                                    size, size, LR_DEFAULTCOLOR);
}

int wmain(int argc, wchar_t **argv)
{
    static const int sizes[3] = {48, 32, 16};
    HMODULE module;
    HRSRC group;
    HGLOBAL data;
    if (argc != 2) {
        err(L"usage: icon_probe <program>\n");
        return 2;
    }
    module = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        out(L"load=%lu\n", GetLastError());
        return 1;
    }
    group = FindResourceW(module, MAKEINTRESOURCEW(107), MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */);
    data = group ? LoadResource(module, group) : NULL;
    if (!data) {
        out(L"group=absent\n");
        return 1;
    }
    for (int i = 0; i < 3; i++) {
        int size = sizes[i];
        int id = LookupIconIdFromDirectoryEx((PBYTE)LockResource(data), TRUE, size, size, LR_DEFAULTCOLOR);
        HICON icon = id ? icon_from(module, id, size) : NULL;
        unsigned rgb = 0;
        int have = icon && pixel_of(icon, size, &rgb);
        out(L"size:%d=id %d icon %d pixel %06x\n", size, id, icon != NULL, have ? rgb : 0u);
        if (icon)
            DestroyIcon(icon);
    }
    for (int id = 1; id <= 9; id++) {
        int size = id % 3 == 1 ? 48 : id % 3 == 2 ? 32 : 16;
        HICON icon = icon_from(module, id, size);
        out(L"image:%d=%d\n", id, icon != NULL);
        if (icon)
            DestroyIcon(icon);
    }
    FreeLibrary(module);
    return 0;
}
