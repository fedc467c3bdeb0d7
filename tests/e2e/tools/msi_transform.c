/* msi_transform apply <database> <transform> [table...]
       applies the transform to the database in place: "apply=<error>", the
       tables as below (read before the commit, which Wine cannot do for every
       transform), then "commit=<error>"
   msi_transform query <database> [table...]
       each table as "table=<name>", then one "row=" line per record, fields
       joined by tabs, binary fields as "hex:" and their bytes
   Windows Installer's own code does the work: msi.dll, loaded at run time. */
#include "tool_common.h"

typedef unsigned long MSIHANDLE;
typedef UINT(WINAPI *open_fn)(LPCWSTR, LPCWSTR, MSIHANDLE *);
typedef UINT(WINAPI *apply_fn)(MSIHANDLE, LPCWSTR, int);
typedef UINT(WINAPI *commit_fn)(MSIHANDLE);
typedef UINT(WINAPI *open_view_fn)(MSIHANDLE, LPCWSTR, MSIHANDLE *);
typedef UINT(WINAPI *execute_fn)(MSIHANDLE, MSIHANDLE);
typedef UINT(WINAPI *fetch_fn)(MSIHANDLE, MSIHANDLE *);
typedef UINT(WINAPI *column_info_fn)(MSIHANDLE, int, MSIHANDLE *);
typedef UINT(WINAPI *field_count_fn)(MSIHANDLE);
typedef BOOL(WINAPI *is_null_fn)(MSIHANDLE, UINT);
typedef UINT(WINAPI *get_string_fn)(MSIHANDLE, UINT, LPWSTR, DWORD *);
typedef UINT(WINAPI *read_stream_fn)(MSIHANDLE, UINT, char *, DWORD *);
typedef UINT(WINAPI *close_fn)(MSIHANDLE);

static HMODULE msi;
#define MSI_FN(type, name) ((type)(void *)GetProcAddress(msi, name))

static wchar_t text[TOOL_TEXT_MAX];

static int dump_table(MSIHANDLE db, const wchar_t *table)
{
    MSIHANDLE view = 0, types = 0, rec = 0;
    wchar_t sql[300];
    UINT r;
    _snwprintf(sql, 299, L"SELECT * FROM `%ls`", table);
    sql[299] = 0;
    out(L"table=%ls\n", table);
    r = MSI_FN(open_view_fn, "MsiDatabaseOpenViewW")(db, sql, &view);
    if (!r)
        r = MSI_FN(execute_fn, "MsiViewExecute")(view, 0);
    if (!r)
        r = MSI_FN(column_info_fn, "MsiViewGetColumnInfo")(view, 1 /* types */, &types);
    if (r) {
        out(L"query=%u\n", r);
        return (int)r;
    }
    while (MSI_FN(fetch_fn, "MsiViewFetch")(view, &rec) == ERROR_SUCCESS) {
        UINT n = MSI_FN(field_count_fn, "MsiRecordGetFieldCount")(rec);
        out(L"row=");
        for (UINT i = 1; i <= n; i++) {
            wchar_t type[16];
            DWORD len = 16;
            MSI_FN(get_string_fn, "MsiRecordGetStringW")(types, i, type, &len);
            if (i > 1)
                out(L"\t");
            if (MSI_FN(is_null_fn, "MsiRecordIsNull")(rec, i))
                continue;
            if (type[0] == L'v' || type[0] == L'V') {
                char bytes[4096];
                DWORD size = sizeof bytes;
                out(L"hex:");
                do {
                    size = sizeof bytes;
                    if (MSI_FN(read_stream_fn, "MsiRecordReadStream")(rec, i, bytes, &size))
                        break;
                    for (DWORD k = 0; k < size; k++)
                        out(L"%02x", (unsigned char)bytes[k]);
                } while (size == sizeof bytes);
                continue;
            }
            len = TOOL_TEXT_MAX;
            MSI_FN(get_string_fn, "MsiRecordGetStringW")(rec, i, text, &len);
            out(L"%ls", text);
        }
        out(L"\n");
        MSI_FN(close_fn, "MsiCloseHandle")(rec);
    }
    MSI_FN(close_fn, "MsiCloseHandle")(types);
    MSI_FN(close_fn, "MsiCloseHandle")(view);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    MSIHANDLE db = 0;
    UINT r;
    int first_table;
    if (argc < 3 || (wcscmp(argv[1], L"apply") && wcscmp(argv[1], L"query")) ||
        (!wcscmp(argv[1], L"apply") && argc < 4)) {
        err(L"usage: msi_transform apply <database> <transform> [table...] | query <database> [table...]\n");
        return ERROR_INVALID_PARAMETER;
    }
    msi = LoadLibraryW(L"msi.dll");
    if (!msi) {
        DWORD e = GetLastError();
        err(L"msi_transform: cannot load msi.dll: error %lu\n", e);
        return (int)e;
    }
    if (!wcscmp(argv[1], L"query")) {
        r = MSI_FN(open_fn, "MsiOpenDatabaseW")(argv[2], (LPCWSTR)0 /* read-only */, &db);
        if (r) {
            out(L"open=%u\n", r);
            return (int)r;
        }
        for (int i = 3; i < argc; i++)
            dump_table(db, argv[i]);
        MSI_FN(close_fn, "MsiCloseHandle")(db);
        return 0;
    }

    r = MSI_FN(open_fn, "MsiOpenDatabaseW")(argv[2], (LPCWSTR)1 /* transacted */, &db);
    if (r) {
        out(L"open=%u\n", r);
        return (int)r;
    }
    r = MSI_FN(apply_fn, "MsiDatabaseApplyTransformW")(db, argv[3], 0);
    out(L"apply=%u\n", r);
    first_table = 4;
    for (int i = first_table; i < argc && !r; i++)
        dump_table(db, argv[i]);
    if (!r) {
        UINT c = MSI_FN(commit_fn, "MsiDatabaseCommit")(db);
        out(L"commit=%u\n", c);
    }
    MSI_FN(close_fn, "MsiCloseHandle")(db);
    return (int)r;
}
