#include "harness.h"

#include "entry.h"
#include "settings.h"

#include <cstdio>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

constexpr char16_t kCode[] = u"{11111111-2222-3333-4444-555555555555}";

TEST(CommandTail, FollowsTheStartUpRulesForTheProgramName)
{
    struct Case {
        std::u16string line;
        std::u16string tail;
    } cases[] = {
        {u"\"M:\\setup.exe\" a b", u"a b"},
        {u"M:\\setup.exe   a  b ", u"a  b "},
        {u"\"M:\\my dir\\setup.exe\"", u""},
        {u"\"M:\\my dir\\setup.exe\"\t\t-x", u"-x"},
        {u"M:\\setup.exe", u""},
        {u"\"M:\\a b\"c d", u"d"},  // the name runs on after its closing quote
        {u"\"M:\\unclosed x y", u""},
        {u"", u""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sim::CommandTailOf(c.line), c.tail) << Narrow(c.line);
}

class EntryTest : public SimTest {
protected:
    bool RanInstallMode() { return sim::FindEvent("CreateMutexW") >= 0; }
    bool ReadSettings() { return sim::FindEvent("GetPrivateProfileStringW") >= 0; }
};

TEST_F(EntryTest, TheFirstEjectMarkerInTheTailSelectsEjectMode)
{
    struct Case {
        std::u16string commandLine;
        bool eject;
    } cases[] = {
        {u"\"M:\\setup.exe\" eject#M0", true},
        {u"\"M:\\setup.exe\" /quiet -eject#M0", true},
        {u"\"M:\\setup.exe\" \"some eject#M0 words\"", true},
        {u"\"M:\\setup.exe\" xxeject#yy", true},
        {u"\"M:\\setup.exe\" EJECT#M0", false},
        {u"\"M:\\setup.exe\" eject", false},
        {u"\"M:\\setup.exe\"", false},
        {u"\"M:\\eject#\\setup.exe\" run", false},  // only the tail counts, not the program's name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.commandLine));
        sim::ClearEvents();
        RunCommandLine(c.commandLine);
        EXPECT_EQ(RanInstallMode(), !c.eject);
        EXPECT_EQ(ReadSettings(), !c.eject) << "eject mode reads no settings";
    }
}

TEST_F(EntryTest, GuardNameIsThePrefixFollowedByTheUpgradeCode)
{
    struct Case {
        std::string autorun;
        std::string guard;
    } cases[] = {
        {"", "CreateMutexW brelm_pellix_"},
        {"[Setup]\nUpgradeCode=\n", "CreateMutexW brelm_pellix_"},
        {"[Setup]\nUpgradeCode={11111111-2222-3333-4444-555555555555}\n",
         "CreateMutexW brelm_pellix_{11111111-2222-3333-4444-555555555555}"},
        // Only 63 characters of the upgrade code are read, and all of them make the name.
        {"[Setup]\nUpgradeCode=" + std::string(62, 'a') + "bc\n",
         "CreateMutexW brelm_pellix_" + std::string(62, 'a') + "b"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.autorun);
        sim::ClearEvents();
        if (c.autorun.empty())
            std::remove(sim::HostPath(u"M:\\autorun.inf").c_str());
        else
            WriteAutorun(c.autorun);
        RunSetup();
        int at = sim::FindEvent("CreateMutexW");
        ASSERT_GE(at, 0);
        EXPECT_EQ(sim::Events()[size_t(at)], c.guard);
    }
}

TEST_F(EntryTest, SecondCopyForTheSameProductEndsWith183AndDoesNothingElse)
{
    WriteAutorun(std::string("[Setup]\nUpgradeCode=") + sim::U8(kCode) + "\nInstaller=Setup.msi\n");
    WriteFile(u"M:\\Setup.msi", "msi");
    sim::HoldNamedObject(std::u16string(u"brelm_pellix_") + kCode, sim::ObjectType::Mutex);

    EXPECT_EQ(RunSetup(), 183);
    for (const char* never : {"MsiEnumRelatedProductsW", "CreateFileW", "DeviceIoControl", "ShellExecuteExW",
                              "CreateProcessW", "CopyFileW"})
        EXPECT_EQ(sim::FindEvent(never), -1) << never;
    EXPECT_EQ(sim::FindEvent("CloseHandle mutex"), sim::FindEvent("CreateMutexW") + 1);
}

TEST_F(EntryTest, OnlyTheExactGuardNameBlocksASecondCopy)
{
    // Named objects are case-sensitive: upgrade codes that differ only in
    // case are two products whose copies run side by side.
    struct Case {
        const char* what;
        std::u16string held;  // the name another copy holds
        std::string code;     // this copy's upgrade code
        bool blocked;
    } cases[] = {
        {"the same name", u"brelm_pellix_{AAAAAAAA-2222-3333-4444-555555555555}",
         "{AAAAAAAA-2222-3333-4444-555555555555}", true},
        {"another code", u"brelm_pellix_{AAAAAAAA-2222-3333-4444-555555555556}",
         "{AAAAAAAA-2222-3333-4444-555555555555}", false},
        {"the code in upper case, this one in lower", u"brelm_pellix_{AAAAAAAA-2222-3333-4444-555555555555}",
         "{aaaaaaaa-2222-3333-4444-555555555555}", false},
        {"the code in lower case, this one in upper", u"brelm_pellix_{aaaaaaaa-2222-3333-4444-555555555555}",
         "{AAAAAAAA-2222-3333-4444-555555555555}", false},
        {"the prefix in upper case", u"BRELM_PELLIX_{AAAAAAAA-2222-3333-4444-555555555555}",
         "{AAAAAAAA-2222-3333-4444-555555555555}", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Restart();
        WriteAutorun("[Setup]\nUpgradeCode=" + c.code + "\n");
        sim::HoldNamedObject(c.held, sim::ObjectType::Mutex);
        EXPECT_EQ(RunSetup() == 183, c.blocked);
        EXPECT_EQ(sim::FindEvent("CreateMutexW brelm_pellix_" + c.code), sim::FindEvent("CreateMutexW"));
    }
}

TEST_F(EntryTest, EverySettingIsReadIntoABufferOfItsCapacity)
{
    // Values longer than a buffer are cut, so each capacity is part of what a medium may say.
    sim::SetWow64(sim::Wow64::Yes);
    sim::SetSystemDefaultLangID(0x0407);
    WriteAutorun("[Setup]\nUpgradeCode={11111111-2222-3333-4444-555555555555}\nInstaller64=Setup64.msi\n"
                 "Installer=Setup.msi\n[LanguageMap]\n1031=1031\n");
    WriteFile(u"M:\\Setup64.msi", "package");
    RunSetup();
    std::vector<std::tuple<std::u16string, std::u16string, DWORD>> reads;
    for (const sim::ProfileRead& r : sim::ProfileReads())
        reads.emplace_back(r.section, r.key, r.capacity);
    const std::vector<std::tuple<std::u16string, std::u16string, DWORD>> expected = {
        {u"Setup", u"UpgradeCode", 64},       // the guard's name
        {u"Setup", u"UpgradeCode", 64},       // the installed check
        {u"Setup", u"Installer64", 260},
        {u"Setup", u"UseVolumeNameForLanguage", 20},
        {u"LanguageMap", u"1031", 10},
    };
    EXPECT_EQ(reads, expected);

    Restart();
    sim::SetWow64(sim::Wow64::No);
    WriteAutorun("[Setup]\nInstaller=Setup.msi\nUseVolumeNameForLanguage=1\n");
    WriteFile(u"M:\\Setup.msi", "package");
    RunSetup();
    int installer = 0;
    for (const sim::ProfileRead& r : sim::ProfileReads())
        if (r.key == u"Installer" && ++installer)
            EXPECT_EQ(r.capacity, 260u);
    EXPECT_EQ(installer, 1);
}

TEST_F(EntryTest, NameHeldByAnotherKindOfObjectLeavesTheRunUnguarded)
{
    WriteAutorun(std::string("[Setup]\nUpgradeCode=") + sim::U8(kCode) + "\n");
    sim::HoldNamedObject(std::u16string(u"brelm_pellix_") + kCode, sim::ObjectType::Event);
    EXPECT_NE(RunSetup(), 183);
    EXPECT_GE(sim::FindEvent("MsiEnumRelatedProductsW"), 0) << "the run goes on";
    EXPECT_EQ(sim::FindEvent("CloseHandle mutex"), -1) << "there is no guard to close";
    EXPECT_EQ(sim::FindEvent("CloseHandle invalid"), -1);
}

TEST_F(EntryTest, InstalledCheckAsksWindowsInstallerOnlyWithAnUpgradeCode)
{
    struct Case {
        const char* what;
        std::string autorun;
        bool related;
        bool msiAvailable;
        bool asked;
        bool installed;
    } cases[] = {
        {"no settings file", "", false, true, false, false},
        {"empty upgrade code", "[Setup]\nUpgradeCode=\n", true, true, false, false},
        {"related product", "[Setup]\nUpgradeCode={11111111-2222-3333-4444-555555555555}\n", true, true, true, true},
        {"no related product", "[Setup]\nUpgradeCode={11111111-2222-3333-4444-555555555555}\n", false, true, true,
         false},
        {"malformed code", "[Setup]\nUpgradeCode=not-a-guid\n", false, true, true, false},
        {"msi.dll not loadable", "[Setup]\nUpgradeCode={11111111-2222-3333-4444-555555555555}\n", true, false,
         true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Reset();
        sim::AddDrive(u'M', root + "/M", DRIVE_CDROM);
        sim::SetModulePath(modulePath);
        std::memset(SettingsFilePath, 0, sizeof SettingsFilePath);
        if (c.autorun.empty())
            std::remove(sim::HostPath(u"M:\\autorun.inf").c_str());
        else
            WriteAutorun(c.autorun);
        if (c.related)
            sim::AddRelatedProduct(kCode, u"{99999999-2222-3333-4444-555555555555}");
        sim::SetMsiAvailable(c.msiAvailable);
        EXPECT_EQ(IsProductInstalled(), c.installed);
        EXPECT_EQ(sim::FindEvent("MsiEnumRelatedProductsW") >= 0, c.asked);
    }
}

TEST_F(EntryTest, LaterDllLoadsAreRestrictedToTheSystemDirectoryWhereSupported)
{
    RunSetup();
    EXPECT_EQ(sim::DefaultDllDirectories(), LOAD_LIBRARY_SEARCH_SYSTEM32);

    sim::Reset();
    sim::AddDrive(u'M', root + "/M", DRIVE_CDROM);
    sim::SetDllDirectoriesSupported(false);
    RunSetup();  // an older system: the run goes on with its default search
    EXPECT_EQ(sim::DefaultDllDirectories(), 0u);
    EXPECT_GE(sim::FindEvent("CreateMutexW"), 0);
}

}  // namespace
