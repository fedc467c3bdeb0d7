/* file_probe <step>... : runs file operations in order and prints one line
   per step with its result and the error it left, so tests see how Windows
   (here Wine) answers them. A step is its name and fields joined by '|':
     attrib|<path>|<hex attributes>   SetFileAttributesW
     getattrib|<path>                 GetFileAttributesW
     copy|<from>|<to>                 CopyFileW, overwriting
     wfopen|<path>|<mode>             _wfopen, then fclose */
#include "tool_common.h"

#include <errno.h>
#include <stdlib.h>

static wchar_t *field(wchar_t **rest)
{
    wchar_t *start = *rest, *bar = start ? wcschr(start, L'|') : NULL;
    if (bar) {
        *bar = 0;
        *rest = bar + 1;
    } else {
        *rest = NULL;
    }
    return start;
}

int wmain(int argc, wchar_t **argv)
{
    for (int i = 1; i < argc; i++) {
        wchar_t *rest = argv[i];
        wchar_t *step = field(&rest);
        if (!wcscmp(step, L"attrib")) {
            wchar_t *path = field(&rest), *attrs = field(&rest);
            SetLastError(0);
            BOOL ok = SetFileAttributesW(path, (DWORD)wcstoul(attrs ? attrs : L"0", NULL, 16));
            out(L"attrib ok=%d error=%lu\n", ok, GetLastError());
        } else if (!wcscmp(step, L"getattrib")) {
            wchar_t *path = field(&rest);
            SetLastError(0);
            DWORD a = GetFileAttributesW(path);
            out(L"getattrib value=0x%lx error=%lu\n", a, GetLastError());
        } else if (!wcscmp(step, L"copy")) {
            wchar_t *from = field(&rest), *to = field(&rest);
            SetLastError(0);
            BOOL ok = CopyFileW(from, to, FALSE);
            out(L"copy ok=%d error=%lu\n", ok, GetLastError());
        } else if (!wcscmp(step, L"wfopen")) {
            wchar_t *path = field(&rest), *mode = field(&rest);
            SetLastError(0);
            errno = 0;
            _doserrno = 0;
            FILE *f = _wfopen(path, mode);
            out(L"wfopen ok=%d errno=%d doserrno=%lu\n", f != NULL, f ? 0 : errno, f ? 0UL : (unsigned long)_doserrno);
            if (f)
                fclose(f);
        } else {
            err(L"file_probe: unknown step %ls\n", step);
            return 2;
        }
    }
    return 0;
}
