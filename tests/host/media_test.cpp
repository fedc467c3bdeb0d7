#include "harness.h"

#include "media.h"
#include "settings.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr char kCode[] = "{11111111-2222-3333-4444-555555555555}";
constexpr char16_t kHelper[] = u"C:\\Temp\\brelm_eject.exe";
constexpr char16_t kLoadEvent[] = u"DeviceIoControl 2967564";   // IOCTL_STORAGE_LOAD_MEDIA
constexpr char16_t kEjectEvent[] = u"DeviceIoControl 2967560";  // IOCTL_STORAGE_EJECT_MEDIA

int Find(const std::u16string& prefix, int from = 0) { return sim::FindEvent(sim::U8(prefix), from); }

class MediaTest : public SimTest {
protected:
    // The fixture's machine again, without the files and processes of earlier cases.
    void FreshMachine()
    {
        modulePath = u"M:\\setup.exe";
        Restart();
    }

    // The settings name a product that Windows Installer knows already.
    void ProductInstalled(const std::u16string& drive = u"M")
    {
        WriteFile(drive + u":\\autorun.inf", std::string("[Setup]\nUpgradeCode=") + kCode + "\n");
        sim::AddRelatedProduct(sim::U16(kCode), u"{99999999-2222-3333-4444-555555555555}");
    }

    // The program on a drive of its own.
    void ProgramOnDrive(WCHAR letter, UINT type)
    {
        std::string dir = root + "/" + char(letter);
        fs::create_directories(dir);
        sim::AddDrive(letter, dir, type);
        modulePath = std::u16string(1, letter) + u":\\setup.exe";
        sim::SetModulePath(modulePath);
        WriteFile(modulePath, "MZ setup program bytes");
    }

    // Runs a recorded hand-off the way Windows would start it: from the helper file.
    int RunHelper(const std::u16string& commandLine) { return RunAs(kHelper, commandLine); }

    int EjectRun(const std::u16string& tail) { return RunHelper(u"\"" + std::u16string(kHelper) + u"\" " + tail); }
};

TEST_F(MediaTest, DriveTypeDecidesWhetherAndHowTheDeviceIsOpened)
{
    struct Case {
        const char* what;
        bool addDrive;
        UINT type;
        DWORD access;  // 0: nothing is opened
    } cases[] = {
        {"removable", true, DRIVE_REMOVABLE, GENERIC_READ | GENERIC_WRITE},
        {"CD-ROM", true, DRIVE_CDROM, GENERIC_READ},
        {"fixed", true, DRIVE_FIXED, 0},
        {"remote", true, DRIVE_REMOTE, 0},
        {"RAM disk", true, DRIVE_RAMDISK, 0},
        {"undeterminable", true, DRIVE_UNKNOWN, 0},
        {"no such root", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        if (c.addDrive)
            sim::AddDrive(u'E', root + "/M", c.type);

        HANDLE device = OpenDriveDevice(u'E');
        EXPECT_GE(sim::FindEvent("GetDriveTypeW E:\\"), 0);
        if (c.access == 0) {
            EXPECT_EQ(device, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(sim::DeviceOpens().empty());
            continue;
        }
        EXPECT_NE(device, INVALID_HANDLE_VALUE);
        ASSERT_EQ(sim::DeviceOpens().size(), 1u);
        const sim::DeviceOpen& open = sim::DeviceOpens()[0];
        EXPECT_EQ(open.path, u"\\\\.\\E:");
        EXPECT_EQ(open.access, c.access);
        EXPECT_EQ(open.shareMode, DWORD(FILE_SHARE_READ | FILE_SHARE_WRITE));
        EXPECT_EQ(open.creationDisposition, OPEN_EXISTING);
        EXPECT_EQ(open.flagsAndAttributes, 0u);
        EXPECT_FALSE(open.securityAttributes);
        EXPECT_FALSE(open.templateFile);
        EXPECT_TRUE(open.succeeded);
    }
}

TEST_F(MediaTest, FailedDeviceOpenGivesInvalidHandle)
{
    sim::AddDrive(u'E', root + "/M", DRIVE_REMOVABLE);
    sim::InjectFault("CreateFileW", ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenDriveDevice(u'E'), INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::DeviceOpens().size(), 1u);
}

TEST_F(MediaTest, LoadRequestIsSentWithoutTestingTheHandleAndLeavesItOpen)
{
    struct Case {
        UINT type;
        int loadsReachingDevice;
        int handlesLeftOpen;
    } cases[] = {
        {DRIVE_REMOVABLE, 1, 1},
        {DRIVE_CDROM, 1, 1},
        {DRIVE_FIXED, 0, 0},
        {DRIVE_REMOTE, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        sim::Reset();
        sim::AddDrive(u'E', root + "/M", c.type);
        LoadMedia(u'E');
        // Sent in every case: with no device the request just fails.
        int load = Find(kLoadEvent);
        ASSERT_GE(load, 0);
        EXPECT_EQ(sim::Events()[size_t(load)], "DeviceIoControl 2967564 in null 0 out null 0 returned local overlapped null");
        EXPECT_EQ(sim::Counters(u'E').loadRequests, c.loadsReachingDevice);
        EXPECT_EQ(sim::Counters(u'E').ejectRequests, 0);
        EXPECT_EQ(sim::OpenDeviceHandles(), c.handlesLeftOpen);
        EXPECT_EQ(sim::FindEvent("CloseHandle"), -1);
    }
}

TEST_F(MediaTest, EjectRequestReportsWhetherTheDeviceAcceptedIt)
{
    sim::AddDrive(u'E', root + "/M", DRIVE_REMOVABLE);
    HANDLE device = OpenDriveDevice(u'E');
    EXPECT_TRUE(EjectMedia(device));
    EXPECT_EQ(sim::Events().back(), "DeviceIoControl 2967560 in null 0 out null 0 returned local overlapped null");
    sim::SetDeviceRequestsSucceed(u'E', false);
    EXPECT_FALSE(EjectMedia(device));
    EXPECT_EQ(sim::Counters(u'E').ejectRequests, 2);
    EXPECT_EQ(sim::OpenDeviceHandles(), 1) << "the handle stays open";
    EXPECT_FALSE(EjectMedia(INVALID_HANDLE_VALUE));
    EXPECT_EQ(sim::Counters(u'E').ejectRequests, 2);
}

TEST_F(MediaTest, InstallingRunSendsTheLoadRequestBeforeInstallingAndKeepsTheDeviceOpen)
{
    WriteAutorun(std::string("[Setup]\nUpgradeCode=") + kCode + "\n");  // not installed
    int code = RunSetup();
    EXPECT_NE(code, 0) << "the installer launch fails without a package";
    EXPECT_EQ(sim::Counters(u'M').loadRequests, 1);
    int check = sim::FindEvent("MsiEnumRelatedProductsW");
    int open = sim::FindEvent("CreateFileW \\\\.\\M: " + std::to_string(GENERIC_READ));
    int load = Find(kLoadEvent);
    ASSERT_GE(check, 0);
    EXPECT_GT(open, check);
    EXPECT_GT(load, open);
    // Only the process's end closes the drive handle: after the guard, which
    // closes as the entry returns.
    int guard = sim::FindEvent("CloseHandle mutex");
    int device = sim::FindEvent("CloseHandle device M");
    ASSERT_GE(guard, 0);
    EXPECT_GT(device, guard);
    EXPECT_EQ(sim::FindEvent("CreateProcessW"), -1) << "no hand-off after a failed installation";
}

TEST_F(MediaTest, InstalledProductHandsOffWithTheExactCommandLine)
{
    ProgramOnDrive(u'E', DRIVE_REMOVABLE);
    ProductInstalled(u"E");
    EXPECT_EQ(RunSetup(), 0);

    EXPECT_EQ(sim::Counters(u'E').loadRequests, 0) << "no load request for an installed product";
    ASSERT_EQ(sim::ProcessLaunches().size(), 1u);
    const sim::ProcessLaunch& launch = sim::ProcessLaunches()[0];
    EXPECT_TRUE(launch.succeeded);
    EXPECT_EQ(launch.commandLine, u"\"C:\\Temp\\brelm_eject.exe\" -eject#E508");
    EXPECT_EQ(sim::CommandTailOf(launch.commandLine), u"-eject#E508");
    EXPECT_TRUE(launch.applicationNameNull);
    EXPECT_FALSE(launch.processAttributes);
    EXPECT_FALSE(launch.threadAttributes);
    EXPECT_EQ(launch.inheritHandles, FALSE);
    EXPECT_EQ(launch.creationFlags, NORMAL_PRIORITY_CLASS);
    EXPECT_TRUE(launch.environmentNull);
    EXPECT_FALSE(launch.currentDirectoryNull);
    EXPECT_EQ(launch.currentDirectory, u"C:\\Temp\\");
    EXPECT_EQ(launch.startupInfoCb, DWORD(sizeof(STARTUPINFOW)));
    EXPECT_TRUE(launch.startupInfoZeroButCb);
    EXPECT_EQ(ReadFile(kHelper), ReadFile(modulePath));

    // Both handles of the copy are closed at once, thread first; the guard
    // only after the copy has started.
    int created = sim::FindEvent("CreateProcessW");
    std::string pid = std::to_string(launch.pid);
    EXPECT_EQ(sim::FindEvent("CloseHandle thread " + pid), created + 1);
    EXPECT_EQ(sim::FindEvent("CloseHandle process " + pid), created + 2);
    EXPECT_GT(sim::FindEvent("CloseHandle mutex"), created + 2);
}

TEST_F(MediaTest, HandOffChainEjectsTheInstallingRunsDriveFromTheTemporaryDirectory)
{
    struct Case {
        UINT type;
        int exitCode;
        int ejects;
    } cases[] = {
        {DRIVE_REMOVABLE, 1, 1},
        {DRIVE_CDROM, 1, 1},
        {DRIVE_FIXED, 0, 0},  // nothing to open; the copy still runs
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        FreshMachine();
        ProgramOnDrive(u'E', c.type);
        ProductInstalled(u"E");
        ASSERT_EQ(RunSetup(), 0);
        ASSERT_EQ(sim::ProcessLaunches().size(), 1u);
        const sim::ProcessLaunch launch = sim::ProcessLaunches()[0];
        ASSERT_TRUE(sim::IsProcessAlive(launch.pid));

        sim::ClearEvents();
        EXPECT_EQ(RunHelper(launch.commandLine), c.exitCode);
        EXPECT_EQ(sim::CurrentProcessId(), launch.pid) << "the run is the launched copy";
        EXPECT_FALSE(sim::IsProcessAlive(launch.pid));
        // The installing run has ended: nothing to wait for.
        EXPECT_GE(sim::FindEvent("OpenProcess 508 "), 0);
        EXPECT_EQ(sim::FindEvent("WaitForSingleObject"), -1);
        EXPECT_EQ(sim::Counters(u'E').ejectRequests, c.ejects);
        EXPECT_EQ(sim::FindEvent("GetDriveTypeW C:\\"), -1) << "never the copy's own drive";
        EXPECT_EQ(sim::FindEvent("GetPrivateProfileStringW"), -1);
        EXPECT_EQ(sim::FindEvent("CreateMutexW"), -1);
        EXPECT_EQ(ReadFile(kHelper), ReadFile(modulePath)) << "the helper file stays";
    }
}

TEST_F(MediaTest, EjectTailsGiveTheDriveLetterAndTheIdToWaitFor)
{
    sim::AddDrive(u'E', root + "/M", DRIVE_REMOVABLE);
    // An installing run with id 508 that has ended; later runs get ids of their own.
    ASSERT_NE(RunSetup(), 0);

    struct Case {
        std::u16string tail;
        std::string openProcess;  // empty: no process is opened
        bool drive;               // the drive type is asked
        int ejects;
        int exitCode;
    } cases[] = {
        {u"-eject#E0", "", true, 1, 1},
        {u"-eject#E508xyz", "OpenProcess 508 ", true, 1, 1},
        {u"-eject#Exyz", "", true, 1, 1},
        {u"-eject#E", "", true, 1, 1},
        {u"-eject#E 508", "OpenProcess 508 ", true, 1, 1},
        {u"-eject#E-12", "OpenProcess 4294967284 ", true, 1, 1},
        {u"-eject#", "", false, 0, 0},
        // Inside other text the character after the marker is the letter, whatever it is.
        {u"/q \"words -eject#E508 more\"", "OpenProcess 508 ", true, 1, 1},
        {u"xx-eject#x7", "OpenProcess 7 ", true, 0, 0},
        {u"-eject#eject#E508", "", true, 1, 1},  // 'e' names drive E; "ject#..." holds no digits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.tail));
        sim::ClearEvents();
        int ejectsBefore = sim::Counters(u'E').ejectRequests;
        uint64_t before = sim::NowMs();
        EXPECT_EQ(EjectRun(c.tail), c.exitCode);
        EXPECT_EQ(sim::Counters(u'E').ejectRequests - ejectsBefore, c.ejects);
        if (c.openProcess.empty())
            EXPECT_EQ(sim::FindEvent("OpenProcess"), -1);
        else
            EXPECT_GE(sim::FindEvent(c.openProcess), 0);
        EXPECT_EQ(sim::FindEvent("GetDriveTypeW") >= 0, c.drive);
        EXPECT_EQ(sim::FindEvent("WaitForSingleObject"), -1) << "no process to wait for";
        EXPECT_EQ(sim::FindEvent("CloseHandle invalid"), -1);
        EXPECT_EQ(sim::NowMs(), before);
    }
}

TEST_F(MediaTest, EmptyEjectTextIsNeverReadPastItsEnd)
{
    sim::AddDrive(u'E', root + "/M", DRIVE_REMOVABLE);
    // Exactly sized blocks: the address sanitizer reports any read beyond them.
    std::unique_ptr<WCHAR[]> empty(new WCHAR[1]{0});
    EXPECT_EQ(RunEjectMode(empty.get()), 0u);
    std::unique_ptr<WCHAR[]> letterOnly(new WCHAR[2]{u'E', 0});
    EXPECT_EQ(RunEjectMode(letterOnly.get()), 1u);
    EXPECT_EQ(sim::Counters(u'E').ejectRequests, 1);
}

TEST_F(MediaTest, EjectWaitsForTheInstallingRunAtMostFiveSeconds)
{
    struct Case {
        const char* what;
        uint64_t lifetimeMs;
        uint64_t waitedMs;
    } cases[] = {
        {"ends after 1200 ms", 1200, 1200},
        {"never ends", UINT64_MAX, 5000},
    };
    sim::AddDrive(u'E', root + "/M", DRIVE_REMOVABLE);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::ClearEvents();
        DWORD pid = sim::AddProcess(u"C:\\Windows\\installing.exe", c.lifetimeMs);
        int ejectsBefore = sim::Counters(u'E').ejectRequests;
        uint64_t before = sim::NowMs();
        EXPECT_EQ(EjectRun(u"-eject#E" + sim::U16(std::to_string(pid))), 1);
        EXPECT_EQ(sim::NowMs() - before, c.waitedMs);
        EXPECT_EQ(sim::Counters(u'E').ejectRequests - ejectsBefore, 1) << "ejected after the wait either way";

        std::string id = std::to_string(pid);
        int opened = sim::FindEvent("OpenProcess " + id + " access " + std::to_string(SYNCHRONIZE) + " inherit 0");
        int waited = sim::FindEvent("WaitForSingleObject 5000");
        int closed = sim::FindEvent("CloseHandle process " + id);
        int device = sim::FindEvent("CreateFileW");
        ASSERT_GE(opened, 0);
        EXPECT_GT(waited, opened);
        EXPECT_GT(closed, waited);
        EXPECT_GT(device, closed) << "the drive is opened after the wait";
    }
}

TEST_F(MediaTest, ReadOnlyEarlierHelperIsMadeNormalDeletedAndReplaced)
{
    ProductInstalled();
    WriteFile(kHelper, "earlier helper");
    std::string host = sim::HostPath(kHelper);
    // Through a second name of the old file: deleted, not overwritten.
    std::string link = root + "/old-helper";
    ASSERT_EQ(::link(host.c_str(), link.c_str()), 0);
    ASSERT_TRUE(SetFileAttributesW(kHelper, FILE_ATTRIBUTE_READONLY));
    sim::ClearEvents();

    EXPECT_EQ(RunSetup(), 0);
    EXPECT_EQ(ReadFile(kHelper), ReadFile(modulePath));
    std::ifstream old(link, std::ios::binary);
    std::string oldBytes((std::istreambuf_iterator<char>(old)), std::istreambuf_iterator<char>());
    EXPECT_EQ(oldBytes, "earlier helper");

    std::string helper = Narrow(kHelper);
    int exists = sim::FindEvent("PathFileExistsW " + helper);
    int normal = sim::FindEvent("SetFileAttributesW " + helper + " 128");
    int removed = sim::FindEvent("DeleteFileW " + helper);
    int copied = sim::FindEvent("CopyFileW M:\\setup.exe -> " + helper);
    int launched = sim::FindEvent("CreateProcessW");
    ASSERT_GE(exists, 0);
    EXPECT_GT(normal, exists);
    EXPECT_GT(removed, normal);
    EXPECT_GT(copied, removed);
    EXPECT_GT(launched, copied);
    ASSERT_EQ(sim::ProcessLaunches().size(), 1u);
    EXPECT_TRUE(sim::ProcessLaunches()[0].succeeded);
}

TEST_F(MediaTest, EarlierHelperThatStaysHiddenOrSystemIsNotCopiedOver)
{
    // When the helper can be neither made normal nor deleted, Windows lets
    // the copy replace it only when it is neither hidden nor system.
    struct Case {
        const char* what;
        DWORD attributes;
        bool handedOff;
    } cases[] = {
        {"normal", FILE_ATTRIBUTE_NORMAL, true},
        {"hidden", FILE_ATTRIBUTE_HIDDEN, false},
        {"system", FILE_ATTRIBUTE_SYSTEM, false},
        {"hidden and system", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        ProductInstalled();
        WriteFile(kHelper, "earlier helper");
        ASSERT_TRUE(SetFileAttributesW(kHelper, c.attributes));
        sim::InjectFault("SetFileAttributesW", ERROR_ACCESS_DENIED);
        sim::InjectFault("DeleteFileW", ERROR_ACCESS_DENIED);

        EXPECT_EQ(RunSetup(), 0) << "the hand-off is best effort";
        EXPECT_EQ(ReadFile(kHelper), c.handedOff ? ReadFile(modulePath) : "earlier helper");
        EXPECT_EQ(sim::ProcessLaunches().size(), c.handedOff ? 1u : 0u);
    }
}

TEST_F(MediaTest, EarlierHelperStillRunningMakesTheHandOffFailButNotTheRun)
{
    ProductInstalled();
    ASSERT_EQ(RunSetup(), 0);
    ASSERT_EQ(sim::ProcessLaunches().size(), 1u);
    ASSERT_TRUE(sim::IsProcessAlive(sim::ProcessLaunches()[0].pid));
    std::string firstCopy = ReadFile(kHelper);

    WriteFile(modulePath, "MZ a newer setup program");
    sim::ClearEvents();
    EXPECT_EQ(RunSetup(), 0);
    EXPECT_GE(sim::FindEvent("DeleteFileW"), 0);
    EXPECT_GE(sim::FindEvent("CopyFileW"), 0);
    EXPECT_EQ(sim::FindEvent("CreateProcessW"), -1);
    EXPECT_EQ(sim::ProcessLaunches().size(), 1u);
    EXPECT_EQ(ReadFile(kHelper), firstCopy) << "the running copy's file is left alone";
}

TEST_F(MediaTest, HelperFileGetsABackslashOnlyWhenTheTemporaryDirectoryLacksOne)
{
    struct Case {
        std::u16string temp;
        std::u16string helper;
    } cases[] = {
        {u"C:\\Temp\\", u"C:\\Temp\\brelm_eject.exe"},
        {u"C:\\Temp", u"C:\\Temp\\brelm_eject.exe"},
        {u"C:\\", u"C:\\brelm_eject.exe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.temp));
        FreshMachine();
        sim::SetTempPath(c.temp);
        EXPECT_TRUE(LaunchEjectHelper());
        ASSERT_EQ(sim::ProcessLaunches().size(), 1u);
        const sim::ProcessLaunch& launch = sim::ProcessLaunches().back();
        EXPECT_EQ(launch.commandLine, u"\"" + c.helper + u"\" -eject#M508");
        EXPECT_EQ(launch.currentDirectory, c.temp) << "exactly as the system gave it";
        EXPECT_EQ(ReadFile(c.helper), ReadFile(modulePath));
        EXPECT_EQ(sim::OpenProcessHandles(), 0) << "both handles closed at once";
    }
}

TEST_F(MediaTest, LongestHelperPathStillGivesTheWholeCommandLine)
{
    // A temporary directory that leaves the helper path at exactly 259 characters.
    std::u16string temp = u"C:\\" + std::u16string(120, u'a') + u"\\";
    temp += std::u16string(259 - 15 - temp.size() - 1, u'b') + u"\\";
    std::u16string helper = temp + u"brelm_eject.exe";
    ASSERT_EQ(helper.size(), 259u);
    MakeDirectory(temp);
    sim::SetTempPath(temp);

    EXPECT_TRUE(LaunchEjectHelper());
    ASSERT_EQ(sim::ProcessLaunches().size(), 1u);
    EXPECT_EQ(sim::ProcessLaunches()[0].commandLine, u"\"" + helper + u"\" -eject#M508");
    EXPECT_TRUE(sim::ProcessLaunches()[0].succeeded);
}

TEST_F(MediaTest, HandOffStopsAtItsFirstFailure)
{
    std::u16string longTemp = u"C:\\" + std::u16string(241, u't') + u"\\";  // helper path would be 259 + 1
    std::u16string tooLongTemp = u"C:\\" + std::u16string(256, u't') + u"\\";  // 260 characters
    enum Reached { Nothing, Copy, Launch };
    struct Case {
        const char* what;
        std::function<void()> arrange;
        Reached reached;
    } cases[] = {
        {"no own path", [] { sim::InjectFault("GetModuleFileNameW", ERROR_ACCESS_DENIED); }, Nothing},
        {"own path fills the buffer", [] { sim::SetModulePath(u"M:\\" + std::u16string(257, u'p')); }, Nothing},
        {"own path too short to name a drive", [] { sim::SetModulePath(u"X"); }, Nothing},
        {"no temporary directory", [] { sim::InjectFault("GetTempPathW", ERROR_ACCESS_DENIED); }, Nothing},
        {"empty temporary directory", [] { sim::SetTempPath(u""); }, Nothing},
        {"temporary directory too long", [&] { sim::SetTempPath(tooLongTemp); }, Nothing},
        {"helper path does not fit", [&] { sim::SetTempPath(longTemp); }, Nothing},
        {"copy fails", [] { sim::InjectFault("CopyFileW", ERROR_ACCESS_DENIED); }, Copy},
        {"start fails", [] { sim::InjectFault("CreateProcessW", ERROR_ACCESS_DENIED); }, Launch},
    };
    ASSERT_EQ(longTemp.size() + 15, 260u);
    ASSERT_EQ(tooLongTemp.size(), 260u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FreshMachine();
        c.arrange();

        EXPECT_FALSE(LaunchEjectHelper());
        EXPECT_EQ(sim::FindEvent("PathFileExistsW") >= 0, c.reached >= Copy);
        EXPECT_EQ(sim::FindEvent("CopyFileW") >= 0, c.reached >= Copy);
        EXPECT_EQ(sim::FindEvent("CreateProcessW") >= 0, c.reached >= Launch);
        EXPECT_EQ(Exists(kHelper), c.reached >= Launch) << "a copy already made stays";
        EXPECT_EQ(sim::OpenProcessHandles(), 0);
    }
}

TEST_F(MediaTest, OwnPathOneShortOfTheBufferIsUsed)
{
    // 259 characters: the longest path that cannot have been cut.
    std::u16string path = u"M:\\" + std::u16string(120, u'd') + u"\\" + std::u16string(135, u'p');
    ASSERT_EQ(path.size(), 259u);
    WriteFile(path, "MZ deep program");
    sim::SetModulePath(path);
    EXPECT_TRUE(LaunchEjectHelper());
    EXPECT_EQ(ReadFile(kHelper), "MZ deep program");
}

}  // namespace
