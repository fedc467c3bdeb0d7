// ExpandLzmaFile in a real Windows process: for each pair of arguments
// (source, destination) it opens the source "rb", expands it and prints
// "<result> <closed>": result 1 or 0 (-1 when the source does not open),
// closed 1 when the source could be renamed afterwards, which Windows
// refuses while the C run-time still holds it open. "--control path" first
// shows that refusal: it prints "control <closed>" with the stream still open.
#include "lzma_expand.h"

#include <stdio.h>
#include <wchar.h>

// 1 when path can be renamed (and is renamed back).
static int CanRename(const wchar_t* path)
{
    wchar_t moved[600] = {};
    if (wcslen(path) + 7 > sizeof moved / sizeof *moved)
        return 0;
    wcscpy(moved, path);
    wcscat(moved, L".moved");
    if (!MoveFileW(path, moved))
        return 0;
    MoveFileW(moved, path);
    return 1;
}

int wmain(int argc, wchar_t** argv)
{
    int i = 1;
    if (argc > 2 && wcscmp(argv[1], L"--control") == 0) {
        FILE* held = _wfopen(argv[2], L"rb");
        printf("control %d\n", held ? CanRename(argv[2]) : -1);
        if (held)
            fclose(held);
        i = 3;
    }
    for (; i + 1 < argc; i += 2) {
        FILE* source = _wfopen(argv[i], L"rb");
        if (!source) {
            printf("-1 0\n");
            continue;
        }
        int result = ExpandLzmaFile(source, argv[i + 1]) ? 1 : 0;
        printf("%d %d\n", result, CanRename(argv[i]));
    }
    fflush(stdout);
    return 0;
}
