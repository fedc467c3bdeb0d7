#include "harness.h"

#include "installer_launch.h"

namespace {

class InstallerLaunchTest : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        WriteFile(u"M:\\Setup.msi", "plain package");
        WriteFile(u"M:\\Setup64.msi", "plain 64-bit package");
    }

    const sim::ShellLaunch& OnlyLaunch()
    {
        EXPECT_EQ(sim::ShellLaunches().size(), 1u);
        static sim::ShellLaunch none;
        return sim::ShellLaunches().empty() ? none : sim::ShellLaunches().back();
    }
};

TEST_F(InstallerLaunchTest, SixtyFourBitPackageIsPreferredOnlyUnderWow64)
{
    struct Case {
        const char* what;
        sim::Wow64 wow64;
        std::string keys;
        std::u16string package;
        bool reads64;
    } cases[] = {
        {"wow64, both keys", sim::Wow64::Yes, "Installer64=Setup64.msi\nInstaller=Setup.msi\n", u"M:\\Setup64.msi",
         true},
        {"wow64, empty 64-bit key", sim::Wow64::Yes, "Installer64=\nInstaller=Setup.msi\n", u"M:\\Setup.msi", true},
        {"wow64, no 64-bit key", sim::Wow64::Yes, "Installer=Setup.msi\n", u"M:\\Setup.msi", true},
        {"32-bit Windows", sim::Wow64::No, "Installer64=Setup64.msi\nInstaller=Setup.msi\n", u"M:\\Setup.msi", false},
        {"query fails", sim::Wow64::CallFails, "Installer64=Setup64.msi\nInstaller=Setup.msi\n", u"M:\\Setup.msi",
         false},
        {"no IsWow64Process", sim::Wow64::Missing, "Installer64=Setup64.msi\nInstaller=Setup.msi\n",
         u"M:\\Setup.msi", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        sim::SetWow64(c.wow64);
        WriteAutorun("[Setup]\n" + c.keys);
        EXPECT_EQ(RunInstaller(), 0u);
        EXPECT_EQ(OnlyLaunch().parameters, u"-i \"" + c.package + u"\" TRANSFORMS=1033.mst");
        EXPECT_EQ(sim::FindEvent("GetPrivateProfileStringW [Setup] Installer64") >= 0, c.reads64);
    }
}

TEST_F(InstallerLaunchTest, NoPackageNameEndsWithTheLastErrorOr1603)
{
    struct Case {
        const char* what;
        bool settingsFile;
        DWORD injected;  // the error the failed read leaves; -1: none injected
        DWORD result;
    } cases[] = {
        {"no settings file", false, DWORD(-1), ERROR_FILE_NOT_FOUND},
        {"read fails with access denied", true, ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {"read fails leaving no error", true, 0, ERROR_INSTALL_FAILURE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        if (c.settingsFile)
            WriteAutorun("[Setup]\nInstaller=Setup.msi\n");
        if (c.injected != DWORD(-1))
            sim::InjectFault("GetPrivateProfileStringW", c.injected);
        EXPECT_EQ(RunInstaller(), c.result);
        EXPECT_TRUE(sim::ShellLaunches().empty()) << "no msiexec without a package name";
        EXPECT_EQ(sim::FindEvent("PathFileExistsW"), -1) << "nothing is staged";
    }
}

TEST_F(InstallerLaunchTest, LaunchRecordStartsTheSystemsMsiexecInThePackagesDirectory)
{
    WriteAutorun("[Setup]\nInstaller=Setup.msi\n");
    WriteFile(u"M:\\msiexec.exe", "planted");
    EXPECT_EQ(RunInstaller(), 0u);
    const sim::ShellLaunch& launch = OnlyLaunch();
    EXPECT_EQ(launch.cbSize, sizeof(SHELLEXECUTEINFOW));
    EXPECT_EQ(launch.fMask, 0x440u);
    EXPECT_FALSE(launch.hwnd);
    EXPECT_TRUE(launch.verbNull);
    EXPECT_EQ(launch.file, u"C:\\Windows\\system32\\msiexec.exe");
    EXPECT_EQ(launch.resolvedImage, u"C:\\Windows\\system32\\msiexec.exe") << "never the planted copy";
    EXPECT_EQ(launch.directory, u"M:") << "a package at a drive's root gives the letter and colon alone";
    EXPECT_EQ(launch.nShow, SW_SHOWNORMAL);
    EXPECT_TRUE(launch.otherFieldsZero);
    EXPECT_EQ(sim::FindEvent("WaitForSingleObjectEx INFINITE"), sim::FindEvent("ShellExecuteExW") + 1);
    EXPECT_EQ(sim::OpenProcessHandles(), 1) << "the msiexec handle stays open";
}

TEST_F(InstallerLaunchTest, AWorkingDirectoryThatDoesNotExistFailsTheLaunch)
{
    // A package in neither form is staged nowhere, and msiexec is started in
    // the temporary directory to report it; Windows refuses that directory
    // when it does not exist (GetTempPathW does not check it).
    struct Case {
        const char* what;
        std::u16string temp;
        DWORD result;
    } cases[] = {
        {"temp directory exists", u"C:\\Temp\\", 0},
        {"temp directory does not exist", u"C:\\Gone\\", ERROR_DIRECTORY},
        {"temp names a file", u"C:\\Temp\\file\\", ERROR_DIRECTORY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        WriteFile(u"C:\\Temp\\file", "a file");
        sim::SetTempPath(c.temp);
        WriteAutorun("[Setup]\nInstaller=Missing.msi\n");
        EXPECT_EQ(RunInstaller(), c.result);
        EXPECT_EQ(OnlyLaunch().directory, c.temp);
        EXPECT_EQ(sim::OpenProcessHandles(), c.result == 0 ? 1 : 0) << "msiexec runs only in an existing directory";
    }
}

TEST_F(InstallerLaunchTest, ParametersNameThePackageTheTransformAndTheLogWhenAsked)
{
    struct Case {
        const char* what;
        std::u16string temp;
        int flag;  // 0 none, 1 file, 2 directory
        const char* languageMap;
        std::u16string parameters;
    } cases[] = {
        {"no flag", u"C:\\Temp\\", 0, "", u"-i \"M:\\Setup.msi\" TRANSFORMS=1033.mst"},
        {"flag file", u"C:\\Temp\\", 1, "",
         u"-i \"M:\\Setup.msi\" /l*v \"C:\\Temp\\\\BRELM_PELLIX.log\" TRANSFORMS=1033.mst"},
        {"flag directory", u"C:\\Temp\\", 2, "",
         u"-i \"M:\\Setup.msi\" /l*v \"C:\\Temp\\\\BRELM_PELLIX.log\" TRANSFORMS=1033.mst"},
        {"temp without backslash", u"C:\\Temp", 1, "",
         u"-i \"M:\\Setup.msi\" /l*v \"C:\\Temp\\BRELM_PELLIX.log\" TRANSFORMS=1033.mst"},
        {"language 0", u"C:\\Temp\\", 0, "[LanguageMap]\n1033=0\n", u"-i \"M:\\Setup.msi\" TRANSFORMS=0.mst"},
        {"language 65535", u"C:\\Temp\\", 0, "[LanguageMap]\n1033=65535\n",
         u"-i \"M:\\Setup.msi\" TRANSFORMS=65535.mst"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        sim::SetTempPath(c.temp);
        WriteAutorun(std::string("[Setup]\nInstaller=Setup.msi\n") + c.languageMap);
        if (c.flag == 1)
            WriteFile(u"C:\\Temp\\BRELM_PELLIX_EnableLogging.txt", "");
        if (c.flag == 2)
            MakeDirectory(u"C:\\Temp\\BRELM_PELLIX_EnableLogging.txt");
        EXPECT_EQ(IsLoggingRequested(), c.flag != 0);
        EXPECT_EQ(RunInstaller(), 0u);
        EXPECT_EQ(OnlyLaunch().parameters, c.parameters);
    }
}

TEST_F(InstallerLaunchTest, LoggingFollowsTheFlagFileFromRunToRun)
{
    WriteFile(u"C:\\Temp\\BRELM_PELLIX_EnableLogging.txt", "");
    EXPECT_TRUE(IsLoggingRequested());
    std::remove(sim::HostPath(u"C:\\Temp\\BRELM_PELLIX_EnableLogging.txt").c_str());
    EXPECT_FALSE(IsLoggingRequested());
    sim::InjectFault("GetTempPathW", ERROR_ACCESS_DENIED);
    EXPECT_FALSE(IsLoggingRequested());
    sim::ClearFaults();
    sim::SetTempPath(u"C:\\" + std::u16string(300, u't') + u"\\");
    EXPECT_FALSE(IsLoggingRequested()) << "a temp path that does not fit is no temp path";
}

TEST_F(InstallerLaunchTest, StagedPackageRunsInTheTemporaryDirectory)
{
    // No plain package and no compressed one: staging fails after choosing the staged path,
    // and msiexec is started on that path all the same, in the temp directory as returned.
    std::remove(sim::HostPath(u"M:\\Setup.msi").c_str());
    WriteAutorun("[Setup]\nInstaller=Setup.msi\n");
    sim::ScriptMsiexec({1619, 0, 0, false, 10, u""});  // what msiexec says of a missing package
    EXPECT_EQ(RunInstaller(), 1619u);
    EXPECT_EQ(OnlyLaunch().parameters, u"-i \"C:\\Temp\\\\Setup.msi\" TRANSFORMS=1033.mst");
    EXPECT_EQ(OnlyLaunch().directory, u"C:\\Temp\\");
}

TEST_F(InstallerLaunchTest, OutcomesPassThroughAndFailuresNeverReadAsSuccess)
{
    struct Case {
        const char* what;
        sim::MsiexecScript script;
        const char* fault;
        DWORD faultError;
        DWORD result;
    } cases[] = {
        {"success", {0, 0, 0, false, 10, u""}, nullptr, 0, 0},
        {"cancelled", {ERROR_INSTALL_USEREXIT, 0, 0, false, 10, u""}, nullptr, 0, ERROR_INSTALL_USEREXIT},
        {"restart needed", {ERROR_SUCCESS_REBOOT_REQUIRED, 0, 0, false, 10, u""}, nullptr, 0,
         ERROR_SUCCESS_REBOOT_REQUIRED},
        {"failed", {ERROR_INSTALL_FAILURE, 0, 0, false, 10, u""}, nullptr, 0, ERROR_INSTALL_FAILURE},
        {"launch fails", {0, ERROR_FILE_NOT_FOUND, 0, false, 10, u""}, nullptr, 0, ERROR_FILE_NOT_FOUND},
        {"launch fails without an error", {0, 0, 0, false, 10, u""}, "ShellExecuteExW", 0, ERROR_INSTALL_FAILURE},
        {"wait fails", {0, 0, ERROR_INVALID_HANDLE, false, 10, u""}, nullptr, 0, ERROR_INVALID_HANDLE},
        {"exit code unreadable", {0, 0, 0, true, 10, u""}, nullptr, 0, ERROR_ACCESS_DENIED},
        {"no system directory", {0, 0, 0, false, 10, u""}, "GetSystemDirectoryW", ERROR_ACCESS_DENIED,
         ERROR_ACCESS_DENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        WriteAutorun("[Setup]\nInstaller=Setup.msi\n");
        sim::ScriptMsiexec(c.script);
        if (c.fault)
            sim::InjectFault(c.fault, c.faultError);
        EXPECT_EQ(RunInstaller(), c.result);
    }
}

}  // namespace
