/* Stands in for msiexec.exe: records how it was started, then behaves as
   scripted by files under C:\e2e so a test can decide the outcome.
   One JSON object per line in C:\e2e\msiexec_log.txt (UTF-8). */
#include "tool_common.h"

#define E2E_DIR L"C:\\e2e"
#define LOG_PATH E2E_DIR L"\\msiexec_log.txt"
#define EXIT_PATH E2E_DIR L"\\msiexec_exitcode.txt"
#define DELAY_PATH E2E_DIR L"\\msiexec_delay.txt"

/* Distinct from any installer result, so a lost record cannot pass unnoticed. */
enum { EXIT_LOG_FAILED = 29001, EXIT_BAD_SCRIPT = 29002 };
/* Three strings of up to 32767 UTF-16 units, each at worst a 6-byte escape. */
enum { RECORD_MAX = 3 * 6 * 32768 + 1024 };

static char record[RECORD_MAX];
static size_t record_len;

static void put_raw(const char *s)
{
    size_t n = strlen(s);
    if (record_len + n < RECORD_MAX) {
        memcpy(record + record_len, s, n);
        record_len += n;
    }
}

/* JSON string from UTF-16: quotes, backslashes and control characters escaped;
   unpaired surrogates become \uXXXX escapes so nothing is lost. */
static void put_json_string(const wchar_t *s)
{
    char tmp[16];
    put_raw("\"");
    for (; *s; s++) {
        unsigned c = *s;
        if (c == '"' || c == '\\') {
            tmp[0] = '\\';
            tmp[1] = (char)c;
            tmp[2] = 0;
            put_raw(tmp);
        } else if (c < 0x20 || c == 0x7f) {
            snprintf(tmp, sizeof tmp, "\\u%04x", c);
            put_raw(tmp);
        } else if (c >= 0xD800 && c <= 0xDBFF && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
            wchar_t pair[3] = { s[0], s[1], 0 };
            char utf8[8];
            int n = WideCharToMultiByte(CP_UTF8, 0, pair, -1, utf8, sizeof utf8, NULL, NULL);
            if (n > 1)
                put_raw(utf8);
            s++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            snprintf(tmp, sizeof tmp, "\\u%04x", c);
            put_raw(tmp);
        } else {
            wchar_t one[2] = { (wchar_t)c, 0 };
            char utf8[8];
            int n = WideCharToMultiByte(CP_UTF8, 0, one, -1, utf8, sizeof utf8, NULL, NULL);
            if (n > 1)
                put_raw(utf8);
        }
    }
    put_raw("\"");
}

static void put_number(const char *key, unsigned long long v)
{
    char tmp[64];
    snprintf(tmp, sizeof tmp, "\"%s\":%llu", key, v);
    put_raw(tmp);
}

/* The log is opened without sharing: concurrent instances queue up, and the
   run counter (lines already present + 1) stays exact. */
static HANDLE open_log_exclusive(void)
{
    DWORD start = GetTickCount();
    for (;;) {
        HANDLE h = CreateFileW(LOG_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        if (h != INVALID_HANDLE_VALUE)
            return h;
        if (GetLastError() != ERROR_SHARING_VIOLATION || GetTickCount() - start > 10000)
            return INVALID_HANDLE_VALUE;
        Sleep(10);
    }
}

static unsigned long count_lines(HANDLE h)
{
    char buf[4096];
    DWORD got;
    unsigned long lines = 0;
    while (ReadFile(h, buf, sizeof buf, &got, NULL) && got > 0) {
        for (DWORD i = 0; i < got; i++)
            lines += buf[i] == '\n';
    }
    return lines;
}

int wmain(void)
{
    static wchar_t cwd[32768];
    static wchar_t exe[32768];
    DWORD exit_code = 0, delay_ms = 0, written = 0;
    HANDLE log;
    unsigned long run;
    BOOL ok;

    if (tool_file_exists(EXIT_PATH) && !tool_read_u32_file(EXIT_PATH, &exit_code))
        return EXIT_BAD_SCRIPT;
    if (tool_file_exists(DELAY_PATH) && !tool_read_u32_file(DELAY_PATH, &delay_ms))
        return EXIT_BAD_SCRIPT;
    if (!GetCurrentDirectoryW(32768, cwd))
        cwd[0] = 0;
    if (!GetModuleFileNameW(NULL, exe, 32768))
        exe[0] = 0;

    CreateDirectoryW(E2E_DIR, NULL);
    log = open_log_exclusive();
    if (log == INVALID_HANDLE_VALUE)
        return EXIT_LOG_FAILED;
    run = count_lines(log) + 1;

    put_raw("{");
    put_number("run", run);
    put_raw(",");
    put_number("pid", GetCurrentProcessId());
    put_raw(",\"cmdline\":");
    put_json_string(GetCommandLineW());
    put_raw(",\"cwd\":");
    put_json_string(cwd);
    put_raw(",\"exe\":");
    put_json_string(exe);
    put_raw(",");
    put_number("exit", exit_code);
    put_raw(",");
    put_number("delay_ms", delay_ms);
    put_raw("}\n");

    SetFilePointer(log, 0, NULL, FILE_END);
    ok = WriteFile(log, record, (DWORD)record_len, &written, NULL) && written == record_len;
    CloseHandle(log);
    if (!ok)
        return EXIT_LOG_FAILED;

    /* Recorded first, then the delay: a test can see the launch while the
       caller is still waiting for it. */
    if (delay_ms)
        Sleep(delay_ms);
    return (int)exit_code;
}
