#include "temp_files.h"

#include "text.h"

bool GetTempDirectory(WCHAR* out)
{
    out[0] = 0;
    // A result of kPathCapacity or more is the size a longer directory needs.
    DWORD length = GetTempPathW(kPathCapacity, out);
    return length != 0 && length < kPathCapacity && out[0] != 0;
}

bool JoinTempFileName(WCHAR* out, const WCHAR* directory, const WCHAR* name)
{
    if (!TextCopy(out, kPathCapacity, directory))
        return false;
    size_t length = TextLength(out);
    if ((length == 0 || out[length - 1] != WSTR('\\')) && !TextAppendChar(out, kPathCapacity, WSTR('\\')))
        return false;
    return TextAppend(out, kPathCapacity, name);
}

void DeleteEarlierFile(const WCHAR* path)
{
    if (PathFileExistsW(path)) {
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path);
    }
}
