#include "harness.h"

#include "settings.h"

#include <cstring>
#include <filesystem>

namespace {

class SettingsTest : public SimTest {
protected:
    // A fresh process for the given module path: the cached settings path is gone.
    void StartAs(const std::u16string& path)
    {
        modulePath = path;
        sim::SetModulePath(path);
        std::memset(SettingsFilePath, 0, sizeof SettingsFilePath);
    }

    std::u16string Read(const char16_t* section, const char16_t* key, DWORD capacity, DWORD* count)
    {
        std::u16string buffer(capacity + 8, u'\x7F');  // guard characters past the capacity
        std::fill(buffer.begin(), buffer.begin() + capacity, u'\0');
        *count = ReadSetupValue(section, key, buffer.data(), capacity);
        for (size_t i = capacity; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], u'\x7F') << "written past the capacity at " << i;
        return std::u16string(buffer.c_str());
    }
};

TEST_F(SettingsTest, SettingsFileAndDriveComeFromTheProgramsOwnPath)
{
    struct Case {
        std::u16string module;
        std::u16string settings;
        WCHAR letter;
    } cases[] = {
        {u"M:\\setup.exe", u"M:\\autorun.inf", u'M'},
        {u"m:\\setup.exe", u"m:\\autorun.inf", u'm'},
        {u"M:\\disk1\\setup.exe", u"M:\\disk1\\autorun.inf", u'M'},
        {u"\\\\server\\share\\setup.exe", u"\\\\server\\share\\autorun.inf", u'\\'},
    };
    for (const Case& c : cases) {
        StartAs(c.module);
        DWORD count = 0;
        Read(u"Setup", u"UpgradeCode", 64, &count);
        EXPECT_EQ(std::u16string(SettingsFilePath), c.settings) << Narrow(c.module);
        EXPECT_EQ(ProgramDriveLetter(), c.letter) << Narrow(c.module);
    }
}

TEST_F(SettingsTest, MediumInASubdirectoryReadsItsOwnSettingsNotTheRoots)
{
    WriteFile(u"M:\\autorun.inf", "[Setup]\nInstaller=root.msi\n");
    WriteFile(u"M:\\disk1\\autorun.inf", "[Setup]\nInstaller=disk1.msi\n");
    StartAs(u"M:\\disk1\\setup.exe");
    DWORD count = 0;
    EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), u"disk1.msi");
    EXPECT_EQ(count, 9u);
}

TEST_F(SettingsTest, ValuesAreCutToCapacityAndEmptyReadsLikeAbsent)
{
    std::string seventy(70, 'x');
    WriteAutorun("[setup]\nupgradecode=" + seventy + "\nEmpty=\nName = spaced value \n");
    struct Case {
        const char16_t* key;
        DWORD capacity;
        std::u16string value;
        DWORD count;
    } cases[] = {
        {u"UpgradeCode", 64, std::u16string(63, u'x'), 63},
        {u"UpgradeCode", 71, std::u16string(70, u'x'), 70},
        {u"UpgradeCode", 1, u"", 0},
        {u"Empty", 64, u"", 0},
        {u"Absent", 64, u"", 0},
        {u"NAME", 64, u"spaced value", 12},
    };
    for (const Case& c : cases) {
        DWORD count = 99;
        EXPECT_EQ(Read(u"Setup", c.key, c.capacity, &count), c.value) << Narrow(c.key);
        EXPECT_EQ(count, c.count) << Narrow(c.key);
    }
}

// The reading rules of Windows' initialization files.
TEST_F(SettingsTest, SettingsFileIsReadByWindowsRules)
{
    std::string utf16 = "\xFF\xFE";
    for (char c : std::string("[Setup]\r\nInstaller=wide.msi\r\n"))
        utf16 += std::string(1, c) + '\0';
    struct Case {
        const char* what;
        std::string text;
        std::u16string value;
    } cases[] = {
        {"names without regard to case", "[SETUP]\r\ninstaller=a.msi\r\n", u"a.msi"},
        {"one pair of quotes removed", "[Setup]\r\nInstaller=\"a b.msi\"\r\n", u"a b.msi"},
        {"blanks around names and value", "[ Setup ]\r\n  Installer =  a.msi  \r\n", u"a.msi"},
        {"UTF-16 after its mark", utf16, u"wide.msi"},
        // Windows reads a UTF-8 mark as code-page characters (Wine decodes it):
        // the first line is then no section, and UTF-8 text stays undecoded
        {"UTF-8 mark before the section", "\xEF\xBB\xBF[Setup]\nInstaller=a.msi\n", u""},
        {"UTF-8 mark before another section", "\xEF\xBB\xBF[autorun]\n[Setup]\nInstaller=\xC3\xA9.msi\n",
         u"\u00c3\u00a9.msi"},
        {"UTF-8 mark before a blank line", "\xEF\xBB\xBF\r\n[Setup]\nInstaller=a.msi\n", u"a.msi"},
        {"code page without a mark", "[Setup]\nInstaller=\xE9.msi\n", u"\u00e9.msi"},
        {"only the first section of a name", "[Setup]\nUpgradeCode=\n[Setup]\nInstaller=a.msi\n", u""},
        {"no closing bracket, no section", "[Other]\n[Setup\nInstaller=no.msi\n[Setup]\nInstaller=a.msi\n", u"a.msi"},
        {"the first line of a key", "[Setup]\nInstaller=a.msi\nInstaller=b.msi\n", u"a.msi"},
        {"comments are no keys", "[Setup]\n;Installer=a.msi\n", u""},
    };
    for (const Case& c : cases) {
        WriteAutorun(c.text);
        DWORD count = 0;
        EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), c.value) << c.what;
    }
}

TEST_F(SettingsTest, EveryReadGoesToTheFileAfresh)
{
    WriteAutorun("[Setup]\nInstaller=a.msi\n");
    DWORD count = 0;
    EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), u"a.msi");
    WriteAutorun("[Setup]\nInstaller=b.msi\n");
    EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), u"b.msi");
}

TEST_F(SettingsTest, TheSettingsPathIsBuiltOnceAndKept)
{
    DWORD count = 0;
    Read(u"Setup", u"Installer", 260, &count);
    sim::SetModulePath(u"M:\\elsewhere\\setup.exe");
    Read(u"Setup", u"Installer", 260, &count);
    EXPECT_EQ(std::u16string(SettingsFilePath), u"M:\\autorun.inf");
}

TEST_F(SettingsTest, MissingFileReadsAsNotSetAndLeavesTheLastError)
{
    DWORD count = 99;
    SetLastError(0);
    EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), u"");
    EXPECT_EQ(count, 0u);
    EXPECT_NE(GetLastError(), 0u);

    sim::InjectFault("GetPrivateProfileStringW", ERROR_ACCESS_DENIED);
    WriteAutorun("[Setup]\nInstaller=a.msi\n");
    EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), u"");
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

// "M:\" plus directory names make a directory part (backslash included) of the given length.
static std::u16string ModuleWithDirectoryPart(size_t directoryLength)
{
    std::u16string dir = u"M:\\";
    while (dir.size() < directoryLength) {
        size_t room = directoryLength - dir.size() - 1;  // leave the closing backslash
        size_t n = room > 200 ? 200 : room;
        dir += std::u16string(n, u'd') + u"\\";
    }
    return dir + u"setup.exe";
}

TEST_F(SettingsTest, DirectoryPartOf248StillHoldsTheSettingsFileAnd249DoesNot)
{
    std::u16string fits = ModuleWithDirectoryPart(248);
    ASSERT_EQ(fits.rfind(u'\\') + 1, 248u);
    MakeDirectory(fits.substr(0, 247));
    WriteFile(fits.substr(0, 248) + u"autorun.inf", "[Setup]\nInstaller=long.msi\n");
    StartAs(fits);
    DWORD count = 0;
    EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), u"long.msi");
    EXPECT_EQ(TextLength(SettingsFilePath), 259u);

    std::u16string tooLong = ModuleWithDirectoryPart(249);
    ASSERT_EQ(tooLong.rfind(u'\\') + 1, 249u);
    StartAs(tooLong);
    sim::ClearEvents();
    EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), u"");
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(SettingsFilePath[0], 0) << "a failed build must not leave a half-built path to read from";
    EXPECT_EQ(Read(u"Setup", u"Installer", 260, &count), u"");
    EXPECT_EQ(sim::FindEvent("GetPrivateProfileStringW"), -1);
}

TEST_F(SettingsTest, BuildProgramDirPathJoinsNamesUnchecked)
{
    StartAs(u"M:\\disk1\\setup.exe");
    struct Case {
        const char16_t* name;
        std::u16string out;
    } cases[] = {
        {u"", u"M:\\disk1\\"},
        {u"Setup.msi", u"M:\\disk1\\Setup.msi"},
        {u"sub\\1033.ms_", u"M:\\disk1\\sub\\1033.ms_"},
    };
    for (const Case& c : cases) {
        WCHAR out[kPathCapacity];
        std::fill(out, out + kPathCapacity, u'?');
        ASSERT_TRUE(BuildProgramDirPath(c.name, out)) << Narrow(c.name);
        EXPECT_EQ(std::u16string(out), c.out);
    }
    // The name must fit with the directory in 260 characters, terminator included.
    std::u16string exact(kPathCapacity - 1 - 9, u'n');  // "M:\disk1\" is 9
    WCHAR out[kPathCapacity];
    EXPECT_TRUE(BuildProgramDirPath(exact.c_str(), out));
    exact += u'n';
    EXPECT_FALSE(BuildProgramDirPath(exact.c_str(), out));
    EXPECT_EQ(out[0], 0);
}

TEST_F(SettingsTest, UnusableModulePathsGiveNoDirectoryAndNoDriveLetter)
{
    struct Case {
        const char* what;
        std::u16string module;
        bool fault;
        bool built;
        WCHAR letter;
    } cases[] = {
        {"failing module query", u"M:\\setup.exe", true, false, 0},
        {"one character", u"M", false, false, 0},
        {"two characters, no backslash", u"M:", false, false, u'M'},
        {"no backslash", u"setup.exe", false, false, u's'},
        {"259 characters", u"M:\\" + std::u16string(256, u'x'), false, true, u'M'},
        {"260 characters fill the buffer: cut", u"M:\\" + std::u16string(257, u'x'), false, false, 0},
        {"longer still", u"M:\\" + std::u16string(400, u'x'), false, false, 0},
    };
    for (const Case& c : cases) {
        sim::Reset();
        sim::AddDrive(u'M', root + "/M", DRIVE_CDROM);
        StartAs(c.module);
        if (c.fault)
            sim::InjectFault("GetModuleFileNameW", ERROR_ACCESS_DENIED);
        WCHAR out[kPathCapacity] = {};
        EXPECT_EQ(BuildProgramDirPath(u"", out), c.built) << c.what;
        EXPECT_EQ(ProgramDriveLetter(), c.letter) << c.what;
    }
}

}  // namespace
