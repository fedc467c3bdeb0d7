/* run_child <request file>
   Starts one Windows process exactly as described by the request file and
   reports its full 32-bit exit code, which the Unix exit status of wine
   would truncate to 8 bits. Taking the command line from a file keeps it
   byte-exact: Wine would otherwise rebuild it from Unix arguments.

   Request (UTF-8, one key=value per line):
     cmd=<complete command line>        required
     app=<application name>             optional, lpApplicationName
     cwd=<directory>                    optional
     timeout_ms=<n>                     optional, 0 or absent: no limit
     result=<file>                      required
     pidfile=<file>                     optional, gets the child's pid
   Result: "exit=<code>" and "start_retries=<n>", "timeout" (the child and
   what it started were terminated) or "error=<code> <step>". */
#include "tool_common.h"

enum { REQUEST_BYTES = 3 * 32768 + 8192, LINE_MAX_UNITS = 32768, MAX_START_RETRIES = 2 };

static wchar_t cmd[LINE_MAX_UNITS], app[LINE_MAX_UNITS], cwd[LINE_MAX_UNITS];
static wchar_t result_path[LINE_MAX_UNITS], pid_path[LINE_MAX_UNITS];
static DWORD timeout_ms;

static BOOL take(const wchar_t *line, const wchar_t *key, wchar_t *dest, size_t cap)
{
    size_t n = wcslen(key), len;
    if (wcsncmp(line, key, n) || line[n] != L'=')
        return FALSE;
    len = wcslen(line + n + 1);
    if (len >= cap)
        len = cap - 1;
    memcpy(dest, line + n + 1, len * sizeof(wchar_t));
    dest[len] = 0;
    return TRUE;
}

static BOOL parse_request(const wchar_t *path)
{
    static char bytes[REQUEST_BYTES];
    static wchar_t text[REQUEST_BYTES];
    wchar_t number[64];
    wchar_t *line, *next;
    DWORD len;
    if (!tool_read_file(path, bytes, sizeof bytes, &len))
        return FALSE;
    if (!MultiByteToWideChar(CP_UTF8, 0, bytes, -1, text, REQUEST_BYTES))
        return FALSE;
    for (line = text; line && *line; line = next) {
        next = wcschr(line, L'\n');
        if (next)
            *next++ = 0;
        if (*line && line[wcslen(line) - 1] == L'\r')
            line[wcslen(line) - 1] = 0;
        number[0] = 0;
        if (take(line, L"timeout_ms", number, 64))
            timeout_ms = (DWORD)wcstoul(number, NULL, 10);
        else if (!take(line, L"cmd", cmd, LINE_MAX_UNITS) && !take(line, L"app", app, LINE_MAX_UNITS) &&
                 !take(line, L"cwd", cwd, LINE_MAX_UNITS) && !take(line, L"result", result_path, LINE_MAX_UNITS) &&
                 !take(line, L"pidfile", pid_path, LINE_MAX_UNITS) && *line)
            return FALSE;
    }
    return cmd[0] && result_path[0];
}

static int report(const wchar_t *text)
{
    /* Under load the result file's write has been seen to fail once in a
       long run, losing the child's exit code; the write is retried, and a
       final failure names its error so the next one can be understood. */
    DWORD error = 0;
    int attempt;
    for (attempt = 0; attempt < 20; attempt++) {
        if (tool_write_file_atomic(result_path, text))
            return 0;
        error = GetLastError();
        Sleep(100);
    }
    err(L"run_child: could not write the result file %ls (error %lu)\n", result_path, error);
    return 1;
}

static int report_error(const wchar_t *step)
{
    wchar_t text[128];
    _snwprintf(text, 127, L"error=%lu %ls\n", GetLastError(), step);
    text[127] = 0;
    return report(text);
}

static HANDLE inheritable(DWORD which)
{
    HANDLE h = GetStdHandle(which);
    if (h && h != INVALID_HANDLE_VALUE)
        SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    return h;
}

int wmain(int argc, wchar_t **argv)
{
    STARTUPINFOW si;
    PROCESS_INFORMATION pi;
    HANDLE job;
    BOOL in_job;
    DWORD wait, code = 0, retries = 0;
    wchar_t text[64];

    if (argc != 2 || !parse_request(argv[1])) {
        err(L"run_child: missing or malformed request file\n");
        return 2;
    }

    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inheritable(STD_INPUT_HANDLE);
    si.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
    si.hStdError = inheritable(STD_ERROR_HANDLE);

    /* Under load Wine now and then fails a process start with
       ERROR_INTERNAL_ERROR before the program runs at all; that says nothing
       about the program, so it is tried again and the retry is reported. */
    for (;;) {
        if (CreateProcessW(app[0] ? app : NULL, cmd, NULL, NULL, TRUE, CREATE_SUSPENDED, NULL,
                           cwd[0] ? cwd : NULL, &si, &pi))
            break;
        if (GetLastError() != ERROR_INTERNAL_ERROR || retries == MAX_START_RETRIES)
            return report_error(L"CreateProcessW");
        retries++;
        Sleep(250);
    }

    /* The job only serves to end the whole tree on a timeout; it does not
       kill on close, so helpers the child leaves running survive us. */
    job = CreateJobObjectW(NULL, NULL);
    in_job = job && AssignProcessToJobObject(job, pi.hProcess);

    if (pid_path[0]) {
        _snwprintf(text, 63, L"%lu\n", pi.dwProcessId);
        text[63] = 0;
        tool_write_file_atomic(pid_path, text);
    }
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);

    wait = WaitForSingleObject(pi.hProcess, timeout_ms ? timeout_ms : INFINITE);
    if (wait == WAIT_TIMEOUT) {
        if (in_job)
            TerminateJobObject(job, ERROR_TIMEOUT);
        TerminateProcess(pi.hProcess, ERROR_TIMEOUT);
        WaitForSingleObject(pi.hProcess, 5000);
        return report(L"timeout\n");
    }
    if (wait != WAIT_OBJECT_0)
        return report_error(L"WaitForSingleObject");
    if (!GetExitCodeProcess(pi.hProcess, &code))
        return report_error(L"GetExitCodeProcess");
    _snwprintf(text, 63, L"exit=%lu\nstart_retries=%lu\n", code, retries);
    text[63] = 0;
    return report(text);
}
