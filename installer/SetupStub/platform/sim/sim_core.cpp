// Errors, faults, events, handles, named objects, processes, the heap and the
// start-up of the simulated Windows.
#include "platform/sim/sim_state.h"

#include <cstdlib>
#include <cstring>

namespace sim {

static thread_local DWORD lastError = 0;

State& S()
{
    static State state;
    return state;
}

void Reset()
{
    S() = State();
    lastError = 0;
}

void CountCall(const char* operation) { S().calls.push_back(operation); }

bool Faulted(const char* operation)
{
    CountCall(operation);
    if (S().failCall != 0 && S().failCall == int(S().calls.size())) {
        SetError(S().failCallError);
        Event(std::string(operation) + " fault " + std::to_string(S().failCallError));
        return true;
    }
    auto it = S().faults.find(operation);
    if (it == S().faults.end() || it->second.remaining == 0)
        return false;
    if (it->second.remaining > 0)
        --it->second.remaining;
    SetError(it->second.error);
    Event(std::string(operation) + " fault " + std::to_string(it->second.error));
    return true;
}

void InjectFault(const std::string& operation, DWORD error, int count)
{
    S().faults[operation] = Fault{error, count};
}

void ClearFaults() { S().faults.clear(); }

int CallCount() { return int(S().calls.size()); }
const char* CallName(int k) { return k >= 1 && k <= CallCount() ? S().calls[size_t(k - 1)] : ""; }

void FailCall(int k, DWORD error)
{
    S().failCall = k;
    S().failCallError = error;
}

int OpenStreams() { return S().openStreams; }
int InvalidHandleCloses() { return S().invalidCloses; }

void Event(const std::string& line) { S().events.push_back(line); }
const std::vector<std::string>& Events() { return S().events; }
void ClearEvents() { S().events.clear(); }

int FindEvent(const std::string& prefix, int from)
{
    const auto& events = S().events;
    for (size_t i = from < 0 ? 0 : size_t(from); i < events.size(); ++i)
        if (events[i].compare(0, prefix.size(), prefix) == 0)
            return int(i);
    return -1;
}

void SetError(DWORD error) { lastError = error; }
DWORD LastError() { return lastError; }

HANDLE NewHandle(const HandleEntry& entry)
{
    uintptr_t value = S().nextHandle;
    S().nextHandle += 4;
    S().handles[value] = entry;
    return reinterpret_cast<HANDLE>(value);
}

HandleEntry* FindHandle(HANDLE handle)
{
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(handle));
    return it == S().handles.end() ? nullptr : &it->second;
}

std::u16string Upper(const std::u16string& text)
{
    std::u16string out = text;
    for (auto& c : out)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    return out;
}

size_t Length(const WCHAR* text)
{
    size_t n = 0;
    while (text && text[n])
        ++n;
    return n;
}

std::u16string Text(const WCHAR* text) { return text ? std::u16string(text) : std::u16string(); }

bool CopyOut(const std::u16string& text, WCHAR* buffer, size_t capacity)
{
    if (capacity == 0)
        return false;
    if (text.size() + 1 > capacity) {
        buffer[0] = 0;
        return false;
    }
    std::memcpy(buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return true;
}

std::u16string U16(const std::string& utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        uint32_t cp;
        int extra;
        if (c < 0x80) { cp = c; extra = 0; }
        else if ((c >> 5) == 6) { cp = c & 0x1F; extra = 1; }
        else if ((c >> 4) == 14) { cp = c & 0x0F; extra = 2; }
        else { cp = c & 0x07; extra = 3; }
        ++i;
        for (int k = 0; k < extra && i < utf8.size(); ++k, ++i)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(char16_t(0xD800 + (cp >> 10)));
            out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(char16_t(cp));
        }
    }
    return out;
}

std::string U8(const std::u16string& utf16)
{
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(char(cp));
        } else if (cp < 0x800) {
            out.push_back(char(0xC0 | (cp >> 6)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(char(0xE0 | (cp >> 12)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(char(0xF0 | (cp >> 18)));
            out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

// ---- control: this process and the system

void SetModulePath(const std::u16string& path) { S().modulePath = path; }
void SetTempPath(const std::u16string& path) { S().tempPath = path; }
void SetSystemDirectory(const std::u16string& path) { S().systemDirectory = path; }
void SetCurrentDirectory(const std::u16string& path) { S().currentDirectory = path; }
void SetSystemDefaultLangID(LANGID id) { S().systemLang = id; }
void SetUserDefaultLangID(LANGID id) { S().userLang = id; }
void SetWow64(Wow64 answer) { S().wow64 = answer; }
void SetDllDirectoriesSupported(bool supported) { S().dllDirectoriesSupported = supported; }
DWORD DefaultDllDirectories() { return S().defaultDllDirectories; }
DWORD CurrentProcessId() { return S().currentPid; }

// ---- named objects: their names are case-sensitive, unlike file names

void HoldNamedObject(const std::u16string& name, ObjectType type)
{
    NamedObject& object = S().namedObjects[name];
    object.type = type;
    object.heldElsewhere = true;
}

bool NamedObjectExists(const std::u16string& name) { return S().namedObjects.count(name) != 0; }

// ---- processes

uint64_t NowMs() { return S().nowMs; }

// The host file behind a process's image, when there is one; a running
// image is in use. Mapping must not disturb the caller's last error.
static std::string ImageHostPath(const std::u16string& image)
{
    DWORD saved = lastError;
    std::string host;
    if (!MapPath(image, &host) || !HostIsFile(host))
        host.clear();
    lastError = saved;
    return host;
}

bool ImageInUse(const std::string& hostPath)
{
    for (auto& [pid, process] : S().processes)
        if (!process.ended && process.hostImage == hostPath)
            return true;
    return false;
}

DWORD AddProcess(const std::u16string& image, uint64_t lifetimeMs)
{
    DWORD pid = S().nextPid;
    S().nextPid += 4;
    Process process;
    process.image = image;
    process.endsAtMs = lifetimeMs == UINT64_MAX ? UINT64_MAX : S().nowMs + lifetimeMs;
    process.hostImage = ImageHostPath(image);
    S().processes[pid] = process;
    return pid;
}

bool IsProcessAlive(DWORD pid)
{
    auto it = S().processes.find(pid);
    return it != S().processes.end() && !it->second.ended;
}

void EndProcess(DWORD pid)
{
    auto it = S().processes.find(pid);
    if (it == S().processes.end() || it->second.ended)
        return;
    Process& process = it->second;
    process.ended = true;
    process.exitCode = process.finalExitCode;
    if (process.exitCode == 0 && !process.installsUpgradeCode.empty())
        AddRelatedProduct(process.installsUpgradeCode, u"{00000000-0000-0000-0000-000000000001}");
}

// Processes whose end time has come end; called whenever the clock moves.
static void AdvanceClock(uint64_t toMs)
{
    S().nowMs = toMs;
    for (auto& [pid, process] : S().processes)
        if (!process.ended && process.endsAtMs <= toMs)
            EndProcess(pid);
}

const std::vector<ProcessLaunch>& ProcessLaunches() { return S().processLaunches; }

int OpenProcessHandles()
{
    int n = 0;
    for (auto& [value, entry] : S().handles)
        n += entry.kind == HandleKind::Process || entry.kind == HandleKind::Thread;
    return n;
}

int OpenDeviceHandles()
{
    int n = 0;
    for (auto& [value, entry] : S().handles)
        n += entry.kind == HandleKind::Device;
    return n;
}

// ---- heap

size_t HeapInUse() { return S().heapInUse; }
size_t HeapPeak() { return S().heapPeak; }
void ResetHeapPeak() { S().heapPeak = S().heapInUse; }
void SetHeapLimit(size_t bytes) { S().heapLimit = bytes; }

// ---- start-up

std::u16string CommandTailOf(const std::u16string& commandLine)
{
    size_t i = 0;
    bool quoted = false;
    while (i < commandLine.size() && (commandLine[i] > u' ' || quoted)) {
        if (commandLine[i] == u'"')
            quoted = !quoted;
        ++i;
    }
    while (i < commandLine.size() && commandLine[i] <= u' ')
        ++i;
    return commandLine.substr(i);
}

int RunProcess(const std::u16string& modulePath, const std::u16string& commandLine, Entry entry)
{
    S().modulePath = modulePath;
    // A process launched earlier with this very line and image, not run yet,
    // is the one that runs now. Otherwise a new process: the first run of a
    // machine keeps the default id, later ones get ids of their own.
    DWORD pid = 0;
    for (const ProcessLaunch& launch : S().processLaunches) {
        auto it = S().processes.find(launch.pid);
        if (launch.succeeded && launch.commandLine == commandLine && it != S().processes.end() &&
            !it->second.ended && !it->second.started && Upper(it->second.image) == Upper(modulePath)) {
            pid = launch.pid;
            break;
        }
    }
    if (pid == 0) {
        if (S().processes.count(S().currentPid)) {
            S().currentPid = S().nextPid;
            S().nextPid += 4;
        }
        pid = S().currentPid;
        Process self;
        self.image = modulePath;
        self.hostImage = ImageHostPath(modulePath);
        S().processes[pid] = self;
    }
    S().currentPid = pid;
    S().processes[pid].started = true;
    Event("process start " + U8(commandLine));
    std::u16string tail = CommandTailOf(commandLine);
    int code = entry(reinterpret_cast<HINSTANCE>(0x400000), nullptr, tail.data(), SW_SHOWDEFAULT);
    // The end of a process closes what it still holds.
    std::vector<uintptr_t> left;
    for (auto& [value, handle] : S().handles)
        left.push_back(value);
    for (uintptr_t value : left)
        CloseHandleInternally(reinterpret_cast<HANDLE>(value));
    S().processes[S().currentPid].finalExitCode = DWORD(code);
    EndProcess(S().currentPid);
    Event("process end " + std::to_string(DWORD(code)));
    return code;
}

}  // namespace sim

using namespace sim;

DWORD GetLastError()
{
    CountCall("GetLastError");
    return sim::lastError;
}

void SetLastError(DWORD error)
{
    CountCall("SetLastError");
    sim::lastError = error;
}

DWORD GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD capacity)
{
    if (Faulted("GetModuleFileNameW"))
        return 0;
    if (module != nullptr || capacity == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const std::u16string& path = S().modulePath;
    if (path.size() + 1 > capacity) {
        // As on Windows: cut to the buffer, terminated, and the full size returned.
        std::memcpy(buffer, path.data(), (capacity - 1) * sizeof(WCHAR));
        buffer[capacity - 1] = 0;
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return capacity;
    }
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    SetError(ERROR_SUCCESS);
    return DWORD(path.size());
}

static int kernel32Module;

HMODULE GetModuleHandleW(LPCWSTR name)
{
    if (Faulted("GetModuleHandleW"))
        return nullptr;
    std::u16string upper = Upper(Text(name));
    if (upper == u"KERNEL32" || upper == u"KERNEL32.DLL")
        return &kernel32Module;
    SetError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

// The simulated kernel32 hands out its exports as markers; the program casts
// them to the Windows signature, so the marker is the real function behind it.
FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    if (Faulted("GetProcAddress"))
        return nullptr;
    if (module != &kernel32Module || !name) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    std::string n = name;
    if (n == "IsWow64Process" && S().wow64 != Wow64::Missing)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&IsWow64Process));
    if (n == "SetDefaultDllDirectories" && S().dllDirectoriesSupported)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SetDefaultDllDirectories));
    SetError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

// The pseudo handle of the current process.
static const HANDLE kCurrentProcess = INVALID_HANDLE_VALUE;

HANDLE GetCurrentProcess()
{
    CountCall("GetCurrentProcess");
    return kCurrentProcess;
}

DWORD GetCurrentProcessId()
{
    CountCall("GetCurrentProcessId");
    return S().currentPid;
}

BOOL IsWow64Process(HANDLE process, PBOOL wow64)
{
    Event("IsWow64Process");
    if (Faulted("IsWow64Process"))
        return FALSE;
    if (process != kCurrentProcess || !wow64 || S().wow64 == Wow64::CallFails) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *wow64 = S().wow64 == Wow64::Yes ? TRUE : FALSE;
    return TRUE;
}

BOOL SetDefaultDllDirectories(DWORD flags)
{
    Event("SetDefaultDllDirectories " + std::to_string(flags));
    if (Faulted("SetDefaultDllDirectories"))
        return FALSE;
    S().defaultDllDirectories = flags;
    return TRUE;
}

UINT GetSystemDirectoryW(LPWSTR buffer, UINT capacity)
{
    if (Faulted("GetSystemDirectoryW"))
        return 0;
    const std::u16string& dir = S().systemDirectory;
    if (dir.size() + 1 > capacity)
        return UINT(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
    return UINT(dir.size());
}

static std::u16string FirstToken(const std::u16string& commandLine)
{
    if (!commandLine.empty() && commandLine[0] == u'"') {
        size_t end = commandLine.find(u'"', 1);
        return commandLine.substr(1, end == std::u16string::npos ? std::u16string::npos : end - 1);
    }
    size_t end = commandLine.find_first_of(u" \t");
    return commandLine.substr(0, end);
}

BOOL CreateProcessW(LPCWSTR applicationName, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCWSTR currentDirectory, LPSTARTUPINFOW startupInfo,
                    LPPROCESS_INFORMATION processInformation)
{
    ProcessLaunch launch;
    launch.applicationNameNull = applicationName == nullptr;
    launch.commandLine = Text(commandLine);
    launch.processAttributes = processAttributes != nullptr;
    launch.threadAttributes = threadAttributes != nullptr;
    launch.inheritHandles = inheritHandles;
    launch.creationFlags = creationFlags;
    launch.environmentNull = environment == nullptr;
    launch.currentDirectoryNull = currentDirectory == nullptr;
    launch.currentDirectory = Text(currentDirectory);
    if (startupInfo) {
        launch.startupInfoCb = startupInfo->cb;
        STARTUPINFOW zero = {};
        zero.cb = startupInfo->cb;
        launch.startupInfoZeroButCb = std::memcmp(&zero, startupInfo, sizeof zero) == 0;
    }
    Event("CreateProcessW " + U8(launch.commandLine));
    auto fail = [&](DWORD error) {
        S().processLaunches.push_back(launch);
        SetError(error);
        return FALSE;
    };
    if (Faulted("CreateProcessW")) {
        S().processLaunches.push_back(launch);
        return FALSE;
    }
    if (!commandLine || !startupInfo || !processInformation)
        return fail(ERROR_INVALID_PARAMETER);
    std::u16string image = FirstToken(launch.commandLine);
    std::string hostImage;
    if (!MapPath(image, &hostImage))
        return fail(lastError);
    if (!HostIsFile(hostImage))
        return fail(ERROR_FILE_NOT_FOUND);
    if (currentDirectory) {
        std::string hostDir;
        if (!MapPath(launch.currentDirectory, &hostDir) || !HostExists(hostDir) || HostIsFile(hostDir))
            return fail(ERROR_DIRECTORY);
    }
    DWORD pid = AddProcess(image, UINT64_MAX);
    launch.pid = pid;
    launch.succeeded = true;
    S().processLaunches.push_back(launch);
    processInformation->hProcess = NewHandle({HandleKind::Process, u"", 0, 0, pid});
    processInformation->hThread = NewHandle({HandleKind::Thread, u"", 0, 0, pid});
    processInformation->dwProcessId = pid;
    processInformation->dwThreadId = pid + 1;
    return TRUE;
}

HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId)
{
    Event("OpenProcess " + std::to_string(processId) + " access " + std::to_string(access) + " inherit " +
          std::to_string(inheritHandle));
    if (Faulted("OpenProcess"))
        return nullptr;
    auto it = S().processes.find(processId);
    if (processId == 0 || it == S().processes.end() || it->second.ended || access == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return NewHandle({HandleKind::Process, u"", 0, access, processId});
}

static DWORD Wait(HANDLE handle, DWORD milliseconds, const char* name)
{
    Event(std::string(name) + " " + (milliseconds == INFINITE ? "INFINITE" : std::to_string(milliseconds)));
    if (Faulted(name))
        return WAIT_FAILED;
    HandleEntry* entry = FindHandle(handle);
    if (!entry || (entry->kind != HandleKind::Process && entry->kind != HandleKind::Mutex)) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (entry->kind == HandleKind::Mutex)
        return WAIT_OBJECT_0;
    Process& process = S().processes[entry->pid];
    if (process.waitError) {
        SetError(process.waitError);
        return WAIT_FAILED;
    }
    if (process.ended)
        return WAIT_OBJECT_0;
    if (process.endsAtMs == UINT64_MAX) {
        if (milliseconds == INFINITE) {
            // Nothing would ever wake this wait; report it instead of hanging the test.
            Event("deadlock: infinite wait for a process that never ends");
            SetError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        AdvanceClock(S().nowMs + milliseconds);
        return WAIT_TIMEOUT;
    }
    if (milliseconds == INFINITE || process.endsAtMs <= S().nowMs + milliseconds) {
        AdvanceClock(process.endsAtMs > S().nowMs ? process.endsAtMs : S().nowMs);
        return WAIT_OBJECT_0;
    }
    AdvanceClock(S().nowMs + milliseconds);
    return WAIT_TIMEOUT;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return Wait(handle, milliseconds, "WaitForSingleObject");
}

DWORD WaitForSingleObjectEx(HANDLE handle, DWORD milliseconds, BOOL alertable)
{
    (void)alertable;
    return Wait(handle, milliseconds, "WaitForSingleObjectEx");
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode)
{
    if (Faulted("GetExitCodeProcess"))
        return FALSE;
    HandleEntry* entry = FindHandle(process);
    if (!entry || entry->kind != HandleKind::Process || !exitCode) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Process& p = S().processes[entry->pid];
    if (p.exitCodeFails) {
        SetError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *exitCode = p.exitCode;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    CountCall("CloseHandle");
    HandleEntry* entry = FindHandle(handle);
    if (!entry) {
        Event("CloseHandle invalid");
        ++S().invalidCloses;
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    CloseHandleInternally(handle);
    return TRUE;
}

void sim::CloseHandleInternally(HANDLE handle)
{
    HandleEntry* entry = FindHandle(handle);
    if (!entry)
        return;
    switch (entry->kind) {
    case HandleKind::Mutex:
    case HandleKind::Event: {
        Event("CloseHandle mutex " + U8(entry->name));
        auto it = S().namedObjects.find(entry->name);
        if (it != S().namedObjects.end() && --it->second.references <= 0 && !it->second.heldElsewhere)
            S().namedObjects.erase(it);
        break;
    }
    case HandleKind::Device:
        Event(std::string("CloseHandle device ") + char(entry->letter));
        break;
    case HandleKind::Process:
        Event("CloseHandle process " + std::to_string(entry->pid));
        break;
    case HandleKind::Thread:
        Event("CloseHandle thread " + std::to_string(entry->pid));
        break;
    }
    S().handles.erase(reinterpret_cast<uintptr_t>(handle));
}

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name)
{
    std::u16string n = Text(name);
    Event("CreateMutexW " + U8(n));
    (void)attributes;
    (void)initialOwner;
    if (Faulted("CreateMutexW"))
        return nullptr;
    if (n.find(u'\\') != std::u16string::npos) {
        SetError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }
    if (n.size() >= MAX_PATH) {
        SetError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    if (!name) {
        SetError(ERROR_SUCCESS);
        return NewHandle({HandleKind::Mutex, u"", 0, 0, 0});
    }
    auto it = S().namedObjects.find(n);
    if (it != S().namedObjects.end()) {
        if (it->second.type != ObjectType::Mutex) {
            SetError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        ++it->second.references;
        HANDLE h = NewHandle({HandleKind::Mutex, n, 0, 0, 0});
        SetError(ERROR_ALREADY_EXISTS);
        return h;
    }
    NamedObject object{ObjectType::Mutex, 1, false};
    S().namedObjects[n] = object;
    SetError(ERROR_SUCCESS);
    return NewHandle({HandleKind::Mutex, n, 0, 0, 0});
}

static int processHeap;

HANDLE GetProcessHeap()
{
    CountCall("GetProcessHeap");
    return &processHeap;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, size_t bytes)
{
    (void)flags;
    if (Faulted("HeapAlloc") || heap != &processHeap)
        return nullptr;
    if (bytes > S().heapLimit - S().heapInUse)
        return nullptr;
    void* block = std::malloc(bytes ? bytes : 1);
    if (!block)
        return nullptr;
    S().heapBlocks[block] = bytes;
    S().heapInUse += bytes;
    if (S().heapInUse > S().heapPeak)
        S().heapPeak = S().heapInUse;
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    CountCall("HeapFree");
    (void)flags;
    if (!block)
        return TRUE;
    auto it = S().heapBlocks.find(block);
    if (heap != &processHeap || it == S().heapBlocks.end()) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    S().heapInUse -= it->second;
    S().heapBlocks.erase(it);
    std::free(block);
    return TRUE;
}

BOOL GetStringTypeW(DWORD infoType, LPCWSTR text, int length, LPWORD charTypes)
{
    CountCall("GetStringTypeW");
    if (infoType != CT_CTYPE1 || !text || !charTypes || length == 0) {
        SetError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    int n = length < 0 ? int(Length(text)) + 1 : length;
    for (int i = 0; i < n; ++i) {
        WCHAR c = text[i];
        // Unicode's White_Space characters.
        bool space = (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
                     (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
                     c == 0x205F || c == 0x3000;
        charTypes[i] = space ? C1_SPACE : 0;
    }
    return TRUE;
}

LANGID GetSystemDefaultLangID()
{
    CountCall("GetSystemDefaultLangID");
    return S().systemLang;
}

LANGID GetUserDefaultLangID()
{
    CountCall("GetUserDefaultLangID");
    return S().userLang;
}
