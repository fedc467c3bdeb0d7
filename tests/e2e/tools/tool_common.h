/* Small helpers shared by the e2e test tools: UTF-8 output and tiny files.
   The tools run under Wine, write plain key=value text that the harness
   parses, and must never depend on the C runtime's locale for non-ASCII. */
#ifndef E2E_TOOL_COMMON_H
#define E2E_TOOL_COMMON_H

#include <windows.h>
#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

enum { TOOL_TEXT_MAX = 8192 };

/* Each tool uses only some of these. */
#define TOOL_FN static __attribute__((unused))

TOOL_FN void tool_write_utf8(HANDLE h, const wchar_t *text)
{
    static char utf8[TOOL_TEXT_MAX * 3];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    if (n > 1) {
        DWORD written;
        WriteFile(h, utf8, (DWORD)(n - 1), &written, NULL);
    }
}

TOOL_FN void tool_vprint(DWORD which, const wchar_t *fmt, va_list ap)
{
    static wchar_t line[TOOL_TEXT_MAX];
    _vsnwprintf(line, TOOL_TEXT_MAX - 1, fmt, ap);
    line[TOOL_TEXT_MAX - 1] = 0;
    tool_write_utf8(GetStdHandle(which), line);
}

TOOL_FN void out(const wchar_t *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    tool_vprint(STD_OUTPUT_HANDLE, fmt, ap);
    va_end(ap);
}

TOOL_FN void err(const wchar_t *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    tool_vprint(STD_ERROR_HANDLE, fmt, ap);
    va_end(ap);
}

/* Reads at most cap-1 bytes and NUL-terminates; FALSE when the file is absent. */
TOOL_FN BOOL tool_read_file(const wchar_t *path, char *buf, DWORD cap, DWORD *len)
{
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD got = 0;
    BOOL ok;
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    ok = ReadFile(h, buf, cap - 1, &got, NULL);
    CloseHandle(h);
    buf[ok ? got : 0] = 0;
    if (len)
        *len = ok ? got : 0;
    return ok;
}

/* Decimal, 0x-hex or negative (taken as 32-bit two's complement). */
TOOL_FN BOOL tool_parse_u32(const char *text, DWORD *value)
{
    char *end;
    const char *p = text;
    BOOL negative = FALSE;
    unsigned long long v;
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')
        p++;
    if (*p == '-') {
        negative = TRUE;
        p++;
    }
    if (*p < '0' || *p > '9')
        return FALSE;
    v = strtoull(p, &end, 0);
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        end++;
    if (*end != 0 || v > 0xFFFFFFFFull)
        return FALSE;
    *value = negative ? (DWORD)(0u - (DWORD)v) : (DWORD)v;
    return TRUE;
}

TOOL_FN BOOL tool_read_u32_file(const wchar_t *path, DWORD *value)
{
    char buf[64];
    return tool_read_file(path, buf, sizeof buf, NULL) && tool_parse_u32(buf, value);
}

/* Written under a temporary name and renamed, so a poller that sees the file
   also sees its whole content. */
TOOL_FN BOOL tool_write_file_atomic(const wchar_t *path, const wchar_t *text)
{
    static char utf8[TOOL_TEXT_MAX * 3];
    wchar_t tmp[MAX_PATH + 16];
    HANDLE h;
    DWORD written = 0;
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    BOOL ok;
    if (n < 1 || wcslen(path) > MAX_PATH)
        return FALSE;
    _snwprintf(tmp, MAX_PATH + 15, L"%ls.tmp%lu", path, GetCurrentProcessId());
    tmp[MAX_PATH + 15] = 0;
    h = CreateFileW(tmp, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return FALSE;
    ok = WriteFile(h, utf8, (DWORD)(n - 1), &written, NULL) && written == (DWORD)(n - 1);
    CloseHandle(h);
    if (ok)
        ok = MoveFileExW(tmp, path, MOVEFILE_REPLACE_EXISTING);
    if (!ok)
        DeleteFileW(tmp);
    return ok;
}

TOOL_FN BOOL tool_file_exists(const wchar_t *path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

#endif
