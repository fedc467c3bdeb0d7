#include "staging.h"

#include "lzma_expand.h"
#include "settings.h"
#include "temp_files.h"
#include "text.h"

// "%d.mst" for a 16-bit language: the longest, "65535.mst", fills it exactly.
static constexpr size_t kTransformNameCapacity = 10;
static_assert(sizeof(WSTR("65535.mst")) / sizeof(WCHAR) == kTransformNameCapacity,
              "the longest transform name and its terminator fill the buffer");
static_assert(WORD(-1) == 65535, "languages are 16-bit");

static constexpr WCHAR kTransformExtension[] = WSTR(".mst");
static constexpr WCHAR kCompressedMark = WSTR('_');

static WCHAR UpperAscii(WCHAR c)
{
    return (c >= WSTR('a') && c <= WSTR('z')) ? WCHAR(c - WSTR('a') + WSTR('A')) : c;
}

// Windows opens these names as devices in every directory, with any extension.
static bool IsDeviceName(const WCHAR* name)
{
    size_t length = 0;
    while (name[length] && name[length] != WSTR('.'))
        ++length;
    while (length > 0 && name[length - 1] == WSTR(' '))
        --length;
    static constexpr const WCHAR* kDevices[] = {WSTR("CON"), WSTR("PRN"), WSTR("AUX"), WSTR("NUL"),
                                                WSTR("CONIN$"), WSTR("CONOUT$")};
    for (const WCHAR* device : kDevices) {
        size_t i = 0;
        while (i < length && device[i] && UpperAscii(name[i]) == device[i])
            ++i;
        if (i == length && !device[i])
            return true;
    }
    if (length == 4) {
        WCHAR a = UpperAscii(name[0]), b = UpperAscii(name[1]), c = UpperAscii(name[2]), digit = name[3];
        bool port = (a == WSTR('C') && b == WSTR('O') && c == WSTR('M')) ||
                    (a == WSTR('L') && b == WSTR('P') && c == WSTR('T'));
        bool number = (digit >= WSTR('0') && digit <= WSTR('9')) || digit == 0x00B9 || digit == 0x00B2 ||
                      digit == 0x00B3;
        return port && number;
    }
    return false;
}

// The staged package's name is joined to the temporary directory, whose stale
// copy is then deleted: only a plain file name keeps both inside that
// directory. Separators, drive or stream colons, names that Windows reduces
// to "." or ".." and device names would reach somewhere else.
static bool IsStageableName(const WCHAR* name)
{
    if (!name[0])
        return false;
    bool onlyDotsAndSpaces = true;
    for (const WCHAR* c = name; *c; ++c) {
        if (*c == WSTR('\\') || *c == WSTR('/') || *c == WSTR(':'))
            return false;
        if (*c != WSTR('.') && *c != WSTR(' '))
            onlyDotsAndSpaces = false;
    }
    return !onlyDotsAndSpaces && !IsDeviceName(name);
}

static void MarkCompressed(WCHAR* path)
{
    size_t length = TextLength(path);
    if (length > 0)
        path[length - 1] = kCompressedMark;
}

// out = directory, one more backslash, name; false when it does not fit.
static bool JoinStagedPath(WCHAR* out, const WCHAR* directory, const WCHAR* name)
{
    return TextCopy(out, kPathCapacity, directory) && TextAppendChar(out, kPathCapacity, WSTR('\\')) &&
           TextAppend(out, kPathCapacity, name);
}

// Opens the compressed file and expands it; ExpandLzmaFile closes the stream.
static bool ExpandCompressedFile(const WCHAR* compressedPath, const WCHAR* stagedPath)
{
    FILE* source = _wfopen(compressedPath, WSTR("rb"));
    if (!source)
        return false;
    return ExpandLzmaFile(source, stagedPath);
}

bool StagePackage(const WCHAR* installerName, WCHAR* packagePath, WORD language)
{
    if (!installerName || !packagePath)
        return false;

    WCHAR mediumPackagePath[kPathCapacity] = {};
    if (!BuildProgramDirPath(installerName, mediumPackagePath))
        return false;
    if (PathFileExistsW(mediumPackagePath))
        return TextCopy(packagePath, kPathCapacity, mediumPackagePath);
    if (!IsStageableName(installerName))
        return false;

    WCHAR transformName[kTransformNameCapacity] = {};
    if (!TextAppendDecimal(transformName, kTransformNameCapacity, language) ||
        !TextAppend(transformName, kTransformNameCapacity, kTransformExtension))
        return false;

    WCHAR mediumTransformPath[kPathCapacity] = {};
    if (!BuildProgramDirPath(transformName, mediumTransformPath))
        return false;
    // From here on both name the compressed files on the medium.
    MarkCompressed(mediumPackagePath);
    MarkCompressed(mediumTransformPath);

    WCHAR tempDirectory[kPathCapacity] = {};
    if (!GetTempDirectory(tempDirectory))
        return false;

    // Both staged paths are built before anything is touched, so a name too
    // long for either leaves the caller's buffer and the files as they were.
    WCHAR stagedPackagePath[kPathCapacity] = {};
    WCHAR stagedTransformPath[kPathCapacity] = {};
    if (!JoinStagedPath(stagedPackagePath, tempDirectory, installerName) ||
        !JoinStagedPath(stagedTransformPath, tempDirectory, transformName))
        return false;
    if (!TextCopy(packagePath, kPathCapacity, stagedPackagePath))
        return false;

    // Stale staged files may be read-only or hidden.
    DeleteEarlierFile(stagedPackagePath);
    DeleteEarlierFile(stagedTransformPath);

    if (!ExpandCompressedFile(mediumPackagePath, stagedPackagePath))
        return false;
    return ExpandCompressedFile(mediumTransformPath, stagedTransformPath);
}
