// The control side of the simulated Windows: tests set up a machine and read
// what happened on it. The program never includes this header.
#pragma once

#include "platform/sim/sim_api.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// A fresh machine: no drives, no products, no processes, default paths.
// Host directories are not touched; tests own them.
void Reset();

// ---- Faults: the next `count` calls of `operation` (its Windows name) fail
// with `error`, returning that operation's failure value. count -1: always.
void InjectFault(const std::string& operation, DWORD error, int count = -1);
void ClearFaults();

// ---- The fault sweep. Every Windows call of the program is counted from 1
// after Reset(), the run-time's stream reads, writes, seeks and closes among
// them (ReadFile, WriteFile, SetFilePointerEx, CloseHandle); FailCall makes
// call k fail once with `error` (0: none).
int CallCount();
const char* CallName(int k);
void FailCall(int k, DWORD error);
// Streams from _wfopen not closed yet.
int OpenStreams();
// CloseHandle calls on a handle that was not open: closed twice, or never had.
int InvalidHandleCloses();

// ---- What happened: one line per operation that reached the machine, in order.
const std::vector<std::string>& Events();
// Index of the first event that starts with `prefix` at or after `from`; -1 when none.
int FindEvent(const std::string& prefix, int from = 0);
void ClearEvents();

// ---- Drives: letter -> host directory. Paths under it are real host files.
void AddDrive(WCHAR letter, const std::string& hostDir, UINT type = DRIVE_FIXED);
void SetVolumeLabel(WCHAR letter, const std::u16string& label);
void FailVolumeQuery(WCHAR letter, DWORD error = ERROR_NOT_READY);
// Whether load and eject requests that reach the device succeed.
void SetDeviceRequestsSucceed(WCHAR letter, bool succeed, DWORD error = ERROR_NOT_READY);
struct DriveCounters {
    int loadRequests = 0;
    int ejectRequests = 0;
};
DriveCounters Counters(WCHAR letter);
struct DeviceOpen {
    std::u16string path;
    DWORD access = 0;
    DWORD shareMode = 0;
    DWORD creationDisposition = 0;
    DWORD flagsAndAttributes = 0;
    bool securityAttributes = false;
    bool templateFile = false;
    bool succeeded = false;
};
const std::vector<DeviceOpen>& DeviceOpens();
// Every GetVolumeInformationW call: what the caller asked for.
struct VolumeQuery {
    std::u16string root;
    bool label = false;
    DWORD labelCapacity = 0;
    bool serialNumber = false;
    bool maximumComponentLength = false;
    bool fileSystemFlags = false;
    bool fileSystemName = false;
    DWORD fileSystemNameCapacity = 0;
};
const std::vector<VolumeQuery>& VolumeQueries();
// Device handles still open (closed ones and those of ended processes are gone).
int OpenDeviceHandles();

// ---- Files
// Host path for a Windows path (case-insensitive match of existing names).
std::string HostPath(const std::u16string& windowsPath);
// A file that an running process uses: cannot be deleted, replaced or opened for writing.
void SetFileInUse(const std::u16string& windowsPath, bool inUse);
void SetHidden(const std::u16string& windowsPath, bool hidden);
void SetSystemFile(const std::u16string& windowsPath, bool system);

// ---- Initialization files, read by the rules Windows reads them with; shared
// with tools that must read "autorun.inf" exactly as the program does.
// Text of the file's bytes: UTF-16 after its byte-order mark, else the
// system code page (Latin-1 here), a UTF-8 byte-order mark included.
std::u16string DecodeProfileText(const std::string& bytes);
struct ProfileLine {
    bool isSection = false;
    std::u16string name;   // section or key, trimmed
    std::u16string value;  // trimmed, one pair of enclosing quotes removed
    bool hasEquals = false;
    int line = 0;          // from 1
};
// Section and key lines in file order; blank and ';' comment lines are left out.
std::vector<ProfileLine> ParseProfile(const std::u16string& text);
// Every GetPrivateProfileStringW call: section, key and the buffer's capacity.
struct ProfileRead {
    std::u16string section;
    std::u16string key;
    DWORD capacity = 0;
};
const std::vector<ProfileRead>& ProfileReads();

// ---- This process and the system
void SetModulePath(const std::u16string& path);
void SetTempPath(const std::u16string& path);
void SetSystemDirectory(const std::u16string& path);
void SetCurrentDirectory(const std::u16string& path);
void SetSystemDefaultLangID(LANGID id);
void SetUserDefaultLangID(LANGID id);
enum class Wow64 { Yes, No, CallFails, Missing };
void SetWow64(Wow64 answer);
void SetDllDirectoriesSupported(bool supported);
// Flags of the last SetDefaultDllDirectories call; 0 when none reached the system.
DWORD DefaultDllDirectories();
DWORD CurrentProcessId();

// ---- Windows Installer
void AddRelatedProduct(const std::u16string& upgradeCode, const std::u16string& productCode);
bool IsProductRelated(const std::u16string& upgradeCode);
// msi.dll cannot be loaded: every query answers ERROR_MOD_NOT_FOUND.
void SetMsiAvailable(bool available);
// {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, the only form Windows Installer takes an upgrade code in.
bool IsBracedGuid(const std::u16string& code);

struct MsiexecScript {
    DWORD exitCode = 0;
    DWORD launchError = 0;       // non-zero: ShellExecuteExW fails with it
    DWORD waitError = 0;         // non-zero: the wait fails with it
    bool exitCodeFails = false;  // GetExitCodeProcess fails
    uint64_t durationMs = 1000;
    std::u16string installsUpgradeCode;  // related on exit 0
};
void ScriptMsiexec(const MsiexecScript& script);
struct ShellLaunch {
    DWORD cbSize = 0;
    DWORD fMask = 0;
    bool hwnd = false;
    bool verbNull = true;
    std::u16string verb;
    std::u16string file;
    bool parametersNull = true;
    std::u16string parameters;
    bool directoryNull = true;
    std::u16string directory;
    int nShow = 0;
    bool otherFieldsZero = true;  // hInstApp, lpIDList, lpClass, hkeyClass, dwHotKey, hIcon, hProcess
    std::u16string resolvedImage;  // the file the shell would start
    int openDeviceHandles = 0;     // device handles open at the time of the launch
    DWORD pid = 0;                 // the process started; 0 when the launch failed
    DWORD exitCode = 0;            // the code it ends with
};
const std::vector<ShellLaunch>& ShellLaunches();
// Runs inside ShellExecuteExW, after recording, before the result is known.
void OnShellLaunch(std::function<void(const ShellLaunch&)> hook);

// ---- Named objects in the session's namespace, held by some other process.
enum class ObjectType { Mutex, Event };
void HoldNamedObject(const std::u16string& name, ObjectType type);
bool NamedObjectExists(const std::u16string& name);

// ---- Processes
// A simulated clock that waits advance; nothing ever sleeps.
uint64_t NowMs();
// A process that ends `lifetimeMs` from now; UINT64_MAX: never.
DWORD AddProcess(const std::u16string& image, uint64_t lifetimeMs);
bool IsProcessAlive(DWORD pid);
struct ProcessLaunch {
    bool applicationNameNull = true;
    std::u16string commandLine;
    bool processAttributes = false;
    bool threadAttributes = false;
    BOOL inheritHandles = FALSE;
    DWORD creationFlags = 0;
    bool environmentNull = true;
    bool currentDirectoryNull = true;
    std::u16string currentDirectory;
    DWORD startupInfoCb = 0;
    bool startupInfoZeroButCb = true;
    DWORD pid = 0;
    bool succeeded = false;
};
const std::vector<ProcessLaunch>& ProcessLaunches();
// Handles of processes and threads that the program holds open now.
int OpenProcessHandles();

// ---- Heap
size_t HeapInUse();
size_t HeapPeak();
void ResetHeapPeak();
// Allocations that would take the heap past this fail (default 1 GiB).
void SetHeapLimit(size_t bytes);

// ---- Running the program: the role of the run-time start-up. Derives the
// command tail from `commandLine` as the start-up code does, starts a process
// for it (the module path is the image's), calls `entry`, then ends the
// process, which closes every handle it left open. The first run of a
// machine has id 508 and later ones new ids; a line and image that
// CreateProcessW launched run as that launched process. A running process's
// image is in use: it can be neither deleted nor replaced.
std::u16string CommandTailOf(const std::u16string& commandLine);
using Entry = int (*)(HINSTANCE, HINSTANCE, LPWSTR, int);
int RunProcess(const std::u16string& modulePath, const std::u16string& commandLine, Entry entry);

// UTF-8 <-> UTF-16 for tests.
std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& utf16);

}  // namespace sim
