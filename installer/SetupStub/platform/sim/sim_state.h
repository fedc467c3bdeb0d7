// Internal state of the simulated Windows, shared by its source files.
#pragma once

#include "platform/sim/sim_control.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace sim {

enum class HandleKind { Mutex, Event, Device, Process, Thread };

struct HandleEntry {
    HandleKind kind;
    std::u16string name;  // named objects
    WCHAR letter = 0;     // devices
    DWORD access = 0;     // devices
    DWORD pid = 0;        // processes and threads
};

struct Drive {
    std::string hostDir;
    UINT type = DRIVE_FIXED;
    std::u16string label;
    DWORD volumeError = 0;
    bool requestsSucceed = true;
    DWORD requestError = ERROR_NOT_READY;
    DriveCounters counters;
};

struct Process {
    std::u16string image;
    uint64_t endsAtMs = UINT64_MAX;
    bool ended = false;
    DWORD exitCode = STILL_ACTIVE;
    DWORD finalExitCode = 0;
    DWORD waitError = 0;
    bool exitCodeFails = false;
    std::u16string installsUpgradeCode;
    std::string hostImage;  // in use until the process ends
    bool started = false;   // ran its entry through RunProcess
};

struct NamedObject {
    ObjectType type;
    int references = 0;
    bool heldElsewhere = false;
};

struct Fault {
    DWORD error;
    int remaining;
};

struct State {
    std::map<std::string, Fault> faults;
    std::vector<std::string> events;
    std::vector<const char*> calls;  // every Windows call, in order
    int failCall = 0;                // that call (from 1) fails; 0: none
    DWORD failCallError = 0;
    int openStreams = 0;
    int invalidCloses = 0;

    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x100;

    std::map<WCHAR, Drive> drives;  // upper-case letters
    std::vector<DeviceOpen> deviceOpens;
    std::vector<VolumeQuery> volumeQueries;
    std::vector<ProfileRead> profileReads;

    std::u16string modulePath = u"C:\\setup.exe";
    std::u16string tempPath = u"C:\\Users\\user\\AppData\\Local\\Temp\\";
    std::u16string systemDirectory = u"C:\\Windows\\system32";
    std::u16string currentDirectory = u"C:\\";
    LANGID systemLang = 0x0409;
    LANGID userLang = 0x0409;
    Wow64 wow64 = Wow64::No;
    bool dllDirectoriesSupported = true;
    DWORD defaultDllDirectories = 0;

    std::map<std::u16string, std::vector<std::u16string>> relatedProducts;  // upper-case code
    bool msiAvailable = true;
    MsiexecScript msiexec;
    std::vector<ShellLaunch> shellLaunches;
    std::function<void(const ShellLaunch&)> shellHook;

    std::map<std::u16string, NamedObject> namedObjects;  // names as given: case matters

    uint64_t nowMs = 0;
    DWORD currentPid = 508;
    DWORD nextPid = 2000;
    std::map<DWORD, Process> processes;
    std::vector<ProcessLaunch> processLaunches;

    std::set<std::string> filesInUse;  // host paths
    std::set<std::string> hiddenFiles;
    std::set<std::string> systemFiles;

    size_t heapInUse = 0;
    size_t heapPeak = 0;
    size_t heapLimit = size_t(1) << 30;
    std::map<void*, size_t> heapBlocks;
};

State& S();

// Counts a Windows call of the program, one that cannot fail.
void CountCall(const char* operation);
// Counts a Windows call and tells whether it must fail (an injected fault,
// or the call the sweep fails); the last error is then set.
bool Faulted(const char* operation);
void Event(const std::string& line);
void SetError(DWORD error);
DWORD LastError();

HANDLE NewHandle(const HandleEntry& entry);
HandleEntry* FindHandle(HANDLE handle);

std::u16string Upper(const std::u16string& text);
size_t Length(const WCHAR* text);
std::u16string Text(const WCHAR* text);  // empty for null
// Copies text into a caller's buffer; false (nothing but a terminator written) when it does not fit.
bool CopyOut(const std::u16string& text, WCHAR* buffer, size_t capacity);

// Path mapping. Returns false (with the last error set) when the Windows path
// names no simulated place.
bool MapPath(const std::u16string& windowsPath, std::string* hostPath);
bool HostIsFile(const std::string& hostPath);
bool HostExists(const std::string& hostPath);
bool HostIsReadOnly(const std::string& hostPath);

void EndProcess(DWORD pid);
// CloseHandle for the machine itself: not a call of the program.
void CloseHandleInternally(HANDLE handle);
// True while a process that has not ended runs from that host file.
bool ImageInUse(const std::string& hostPath);

}  // namespace sim
