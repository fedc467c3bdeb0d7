// The fault sweep. Each scenario of the table runs once to count the Windows
// calls it makes (N); then, for k = 1..N and for every error that call k can
// give, it runs again with call k failing. After every run the invariants
// hold or the breach is reported with the scenario, k, the call and the error:
//  - install mode ends with 0 only when msiexec ran and ended with 0, or the
//    product was installed already;
//  - in the temporary directory only the program's own names (the staged
//    package and transform of this run, the helper, the log) change, and
//    nothing else on any drive, the medium included;
//  - every heap block and stream is released, and no handle is closed twice;
//  - eject mode sends at most one eject request and never a load request.
// Crashes and sanitizer reports end the test program; the run in progress is
// printed first.
#include "entry.h"
#include "harness.h"
#include "lzma_fixture.h"

#include <sanitizer/common_interface_defs.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr char kCode[] = "{11111111-2222-3333-4444-555555555555}";
constexpr char16_t kCode16[] = u"{11111111-2222-3333-4444-555555555555}";

// The errors each Windows call can give, by class. Calls that cannot fail
// (GetLastError, CloseHandle on an open handle, HeapFree ...) are counted
// but never failed.
struct ErrorClass {
    const char* name;
    DWORD error;
};
constexpr ErrorClass kAccessDenied{"access denied", ERROR_ACCESS_DENIED};
constexpr ErrorClass kFileNotFound{"not found", ERROR_FILE_NOT_FOUND};
constexpr ErrorClass kPathNotFound{"not found", ERROR_PATH_NOT_FOUND};
constexpr ErrorClass kSharing{"sharing violation", ERROR_SHARING_VIOLATION};
constexpr ErrorClass kNoMemory{"not enough memory", ERROR_NOT_ENOUGH_MEMORY};
constexpr ErrorClass kDiskFull{"disk full", ERROR_DISK_FULL};
constexpr ErrorClass kWaitFails{"wait fails", ERROR_INVALID_HANDLE};
constexpr ErrorClass kModNotFound{"not found", ERROR_MOD_NOT_FOUND};
constexpr ErrorClass kProcNotFound{"not found", ERROR_PROC_NOT_FOUND};
constexpr ErrorClass kNoProcess{"not found", ERROR_INVALID_PARAMETER};

const std::map<std::string, std::vector<ErrorClass>>& ErrorsOf()
{
    static const std::map<std::string, std::vector<ErrorClass>> errors = {
        {"GetModuleFileNameW", {kAccessDenied, kNoMemory}},
        {"GetModuleHandleW", {kModNotFound}},
        {"GetProcAddress", {kProcNotFound}},
        {"SetDefaultDllDirectories", {kAccessDenied}},
        {"IsWow64Process", {kAccessDenied}},
        {"GetSystemDirectoryW", {kNoMemory}},
        {"CreateMutexW", {kAccessDenied, kNoMemory}},
        {"MsiEnumRelatedProductsW", {kAccessDenied, kFileNotFound, kNoMemory}},
        {"GetPrivateProfileStringW", {kAccessDenied, kFileNotFound, kSharing, kNoMemory}},
        {"GetVolumeInformationW", {kAccessDenied, kPathNotFound, kNoMemory}},
        {"GetDriveTypeW", {kPathNotFound}},
        {"CreateFileW", {kAccessDenied, kFileNotFound, kSharing, kNoMemory}},
        {"DeviceIoControl", {kAccessDenied, kNoMemory}},
        {"GetTempPathW", {kAccessDenied, kNoMemory}},
        {"PathFileExistsW", {kAccessDenied, kFileNotFound}},
        {"GetFileAttributesW", {kAccessDenied, kFileNotFound}},
        {"SetFileAttributesW", {kAccessDenied, kFileNotFound, kSharing}},
        {"DeleteFileW", {kAccessDenied, kFileNotFound, kSharing}},
        {"CopyFileW", {kAccessDenied, kFileNotFound, kSharing, kNoMemory, kDiskFull}},
        {"_wfopen", {kAccessDenied, kFileNotFound, kSharing, kNoMemory}},
        {"ReadFile", {kAccessDenied, kNoMemory}},
        {"WriteFile", {kDiskFull, kAccessDenied}},
        {"SetFilePointerEx", {kAccessDenied}},
        {"HeapAlloc", {kNoMemory}},
        {"ShellExecuteExW", {kAccessDenied, kFileNotFound, kSharing, kNoMemory}},
        {"WaitForSingleObjectEx", {kWaitFails}},
        {"WaitForSingleObject", {kWaitFails}},
        {"GetExitCodeProcess", {kAccessDenied}},
        {"CreateProcessW", {kAccessDenied, kFileNotFound, kSharing, kNoMemory}},
        {"OpenProcess", {kAccessDenied, kNoProcess}},
    };
    return errors;
}

const std::vector<ErrorClass>& ErrorsOf(const std::string& call)
{
    static const std::vector<ErrorClass> none;
    auto it = ErrorsOf().find(call);
    return it == ErrorsOf().end() ? none : it->second;
}

struct Scenario {
    const char* name;
    std::string autorun;  // empty: no autorun.inf
    bool plain;           // the package beside the program, else compressed
    std::u16string label;
    LANGID systemLanguage;
    const char* transform;  // of the language the run chooses when nothing fails
    DWORD msiexecExit;
    int expectedExit;  // of the run without a fault
    bool wow64 = false;
    bool installed = false;
    bool logging = false;
    bool heldGuard = false;
    bool eject = false;
};

std::string Setup(const std::string& lines)
{
    return std::string("[Setup]\r\nUpgradeCode=") + kCode + "\r\n" + lines;
}

const std::vector<Scenario>& Scenarios()
{
    static const std::vector<Scenario> scenarios = [] {
        const std::string installer = Setup("Installer=Product.msi\r\n");
        std::vector<Scenario> s = {
            {"plain medium", installer, true, u"", 0x0409, "1033.mst", 0, 0},
            {"compressed medium, label language", installer + "UseVolumeNameForLanguage=1\r\n", false,
             u"PRODUCT1041", 0x0409, "1041.mst", 0, 0},
            {"compressed medium, map language", installer + "[LanguageMap]\r\n1031=1031\r\n", false, u"", 0x0407,
             "1031.mst", ERROR_INSTALL_FAILURE, ERROR_INSTALL_FAILURE},
            {"installed product", installer, true, u"", 0x0409, "1033.mst", ERROR_INSTALL_FAILURE, 0},
            {"logging on", installer, false, u"", 0x0409, "1033.mst", ERROR_SUCCESS_REBOOT_REQUIRED,
             ERROR_SUCCESS_REBOOT_REQUIRED},
            {"64-bit package", installer + "Installer64=Product64.msi\r\n", false, u"", 0x0409, "1033.mst", 0, 0},
            {"second copy", installer, true, u"", 0x0409, "1033.mst", 0, ERROR_ALREADY_EXISTS},
            {"eject mode", "", false, u"", 0x0409, "1033.mst", 0, 1},
            // The last error of the settings read that found nothing.
            {"no settings", "", false, u"", 0x0409, "1033.mst", 0, ERROR_FILE_NOT_FOUND},
            {"settings name no package", Setup(""), true, u"", 0x0409, "1033.mst", 0, ERROR_FILE_NOT_FOUND},
        };
        s[3].installed = true;
        s[4].logging = true;
        s[5].wow64 = true;
        s[6].heldGuard = true;
        s[7].eject = true;
        return s;
    }();
    return scenarios;
}

// A file or directory as it was: kind, permissions and bytes.
struct Entry {
    bool directory = false;
    unsigned mode = 0;
    std::string bytes;
    bool operator==(const Entry& o) const { return directory == o.directory && mode == o.mode && bytes == o.bytes; }
};
using Snapshot = std::map<std::string, Entry>;  // path below the machine's root

Snapshot Take(const std::string& root)
{
    Snapshot snapshot;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        Entry entry;
        struct stat st;
        if (::lstat(it->path().c_str(), &st) != 0)
            continue;
        entry.directory = S_ISDIR(st.st_mode);
        entry.mode = st.st_mode & 07777;
        if (!entry.directory) {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream all;
            all << in.rdbuf();
            entry.bytes = all.str();
        }
        snapshot[it->path().string().substr(root.size())] = entry;
    }
    return snapshot;
}

std::string Lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

std::string Noise(size_t size, uint32_t seed)
{
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(generator() & 0xFF);
    return bytes;
}

const char* gCurrentRun = "";

void PrintCurrentRun() { std::fprintf(stderr, "fault sweep: crashed in %s\n", gCurrentRun); }

class FaultSweepTest : public SimTest {
protected:
    void Prepare(const Scenario& s)
    {
        Restart();
        if (!s.autorun.empty())
            WriteAutorun(s.autorun);
        // Larger than a stream's buffer, so that reads and writes reach the
        // file more than once.
        static const std::string package = Noise(20000, 1);
        static const std::string compressed = CompressLzmaAlone(package, 3, 0, 2, false, true);
        static const std::string compressed64 = CompressLzmaAlone(Noise(20000, 2), 3, 0, 2, false, true);
        static const std::string transform = CompressLzmaAlone("a transform", 3, 0, 2, true, true);
        if (s.plain) {
            WriteFile(u"M:\\Product.msi", package);
        } else {
            WriteFile(u"M:\\Product.ms_", compressed);
            WriteFile(u"M:\\Product64.ms_", compressed64);
        }
        for (const char* language : {"1033", "1031", "1041"})
            WriteFile(sim::U16(std::string("M:\\") + language + ".ms_"), transform);
        // Bystanders in the temporary directory: another product's files,
        // and stale staged files of this one, one of them read-only.
        WriteFile(u"C:\\Temp\\Other.msi", "another product");
        WriteFile(u"C:\\Temp\\1042.mst", "another language");
        WriteFile(u"C:\\Temp\\Product.msi", "stale staged package");
        fs::permissions(sim::HostPath(u"C:\\Temp\\Product.msi"), fs::perms::owner_write, fs::perm_options::remove);
        WriteFile(u"C:\\Temp\\1033.mst", "stale staged transform");
        WriteFile(u"C:\\Other\\kept.txt", "outside the temporary directory");
        if (s.logging)
            WriteFile(u"C:\\Temp\\BRELM_PELLIX_EnableLogging.txt", "");
        sim::SetVolumeLabel(u'M', s.label);
        sim::SetSystemDefaultLangID(s.systemLanguage);
        sim::SetWow64(s.wow64 ? sim::Wow64::Yes : sim::Wow64::No);
        if (s.installed)
            sim::AddRelatedProduct(kCode16, u"{99999999-0000-0000-0000-000000000001}");
        if (s.heldGuard)
            sim::HoldNamedObject(std::u16string(u"brelm_pellix_") + kCode16, sim::ObjectType::Mutex);
        sim::MsiexecScript script;
        script.exitCode = s.msiexecExit;
        sim::ScriptMsiexec(script);
        if (s.eject) {
            sim::SetDeviceRequestsSucceed(u'M', true);
            WriteFile(kHelper, "MZ setup program bytes");
            installingRun = sim::AddProcess(u"M:\\setup.exe", 3000);
        }
        before = Take(root);
    }

    int Run(const Scenario& s)
    {
        if (s.eject)
            return RunAs(kHelper, u"\"" + kHelper + u"\" -eject#M" + sim::U16(std::to_string(installingRun)));
        return RunSetup();
    }

    // The breaches of the run just made; empty when every invariant holds.
    std::vector<std::string> Breaches(const Scenario& s, int exitCode)
    {
        std::vector<std::string> breaches;
        if (!s.eject && exitCode == 0 && !s.installed && !MsiexecEndedWithZero())
            breaches.push_back("exit code 0 without msiexec ending with 0");
        CompareFiles(s, &breaches);
        if (sim::HeapInUse() != 0)
            breaches.push_back(std::to_string(sim::HeapInUse()) + " heap bytes not released");
        if (sim::OpenStreams() != 0)
            breaches.push_back(std::to_string(sim::OpenStreams()) + " streams not closed");
        if (sim::InvalidHandleCloses() != 0)
            breaches.push_back(std::to_string(sim::InvalidHandleCloses()) + " closes of a handle not open");
        sim::DriveCounters counters = sim::Counters(u'M');
        if (s.eject && (counters.ejectRequests > 1 || counters.loadRequests != 0))
            breaches.push_back("eject mode sent " + std::to_string(counters.ejectRequests) + " eject and " +
                               std::to_string(counters.loadRequests) + " load requests");
        return breaches;
    }

    bool MsiexecEndedWithZero()
    {
        for (const sim::ShellLaunch& launch : sim::ShellLaunches())
            if (launch.pid != 0 && !sim::IsProcessAlive(launch.pid) && launch.exitCode == 0)
                return true;
        return false;
    }

    // The names this run may write in the temporary directory (lower case):
    // its packages, the helper, the log and the transform of its language,
    // which is the scenario's or, after a failed language query, 1033's.
    std::set<std::string> OwnNames(const Scenario& s)
    {
        std::set<std::string> own = {"product.msi", "brelm_eject.exe", "brelm_pellix.log", s.transform, "1033.mst"};
        if (s.wow64)
            own.insert("product64.msi");
        return own;
    }

    void CompareFiles(const Scenario& s, std::vector<std::string>* breaches)
    {
        const std::string temp = "/C/Temp/";
        std::set<std::string> own = OwnNames(s);
        auto mayChange = [&](const std::string& path) {
            return path.compare(0, temp.size(), temp) == 0 &&
                   path.find('/', temp.size()) == std::string::npos && own.count(Lower(path.substr(temp.size())));
        };
        Snapshot after = Take(root);
        for (const auto& [path, entry] : before) {
            if (mayChange(path))
                continue;
            auto it = after.find(path);
            if (it == after.end())
                breaches->push_back("deleted " + path);
            else if (!(it->second == entry))
                breaches->push_back("changed " + path);
        }
        for (const auto& [path, entry] : after)
            if (!before.count(path) && !mayChange(path))
                breaches->push_back("created " + path);
    }

    const std::u16string kHelper = u"C:\\Temp\\brelm_eject.exe";
    DWORD installingRun = 0;
    Snapshot before;
};

TEST_F(FaultSweepTest, EveryCallFailsInTurnWithEveryErrorItCanGive)
{
    __sanitizer_set_death_callback(PrintCurrentRun);
    int callsFailed = 0, runs = 0, breachCount = 0;
    std::string described;
    for (const Scenario& s : Scenarios()) {
        SCOPED_TRACE(s.name);
        Prepare(s);
        described = std::string(s.name) + ", no fault";
        gCurrentRun = described.c_str();
        int exitCode = Run(s);
        ++runs;
        // The scenario must be what it says before its faults mean anything.
        ASSERT_EQ(exitCode, s.expectedExit) << s.name;
        for (const std::string& breach : Breaches(s, exitCode))
            ADD_FAILURE() << s.name << ", no fault: " << breach;
        const int calls = sim::CallCount();
        std::vector<std::string> names;
        for (int k = 1; k <= calls; ++k)
            names.push_back(sim::CallName(k));

        for (int k = 1; k <= calls; ++k) {
            const std::vector<ErrorClass>& errors = ErrorsOf(names[size_t(k - 1)]);
            callsFailed += !errors.empty();
            for (const ErrorClass& error : errors) {
                Prepare(s);
                described = std::string(s.name) + ", call " + std::to_string(k) + " " + names[size_t(k - 1)] +
                            " fails with " + error.name;
                gCurrentRun = described.c_str();
                sim::FailCall(k, error.error);
                exitCode = Run(s);
                ++runs;
                if (sim::CallName(k) != names[size_t(k - 1)]) {
                    ADD_FAILURE() << described << ": call " << k << " was " << sim::CallName(k)
                                  << ", so the run before it was not the same";
                    continue;
                }
                for (const std::string& breach : Breaches(s, exitCode)) {
                    ++breachCount;
                    ADD_FAILURE() << described << " (exit code " << exitCode << "): " << breach;
                }
            }
        }
    }
    gCurrentRun = "";
    std::printf("fault sweep: %zu scenarios, %d calls failed, %d runs, %d breaches\n", Scenarios().size(),
                callsFailed, runs, breachCount);
}

}  // namespace
