// Whole runs on bad media and at the path limits: every run ends with one of
// the program's own exit codes (the sanitizers stop a run that reads or
// writes out of bounds), and no run deletes or writes a file but its own
// names in the temporary directory.
#include "harness.h"

#include "lzma_fixture.h"
#include "text.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <set>
#include <sys/stat.h>

namespace {

constexpr uint32_t kCancelled = 1602;
const std::u16string kCode = u"{11111111-2222-3333-4444-555555555555}";

std::string Utf16Le(const std::u16string& text, bool byteOrderMark)
{
    std::string bytes = byteOrderMark ? std::string("\xFF\xFE", 2) : std::string();
    for (char16_t c : text) {
        bytes.push_back(char(c & 0xFF));
        bytes.push_back(char(c >> 8));
    }
    return bytes;
}

sim::MsiexecScript MsiexecExits(uint32_t code)
{
    sim::MsiexecScript script;
    script.exitCode = code;
    return script;
}

std::string Garbage(size_t size, uint32_t seed)
{
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = char(random());
    return bytes;
}

std::string Compressed(const std::string& data)
{
    return lzma_fixture::Header(0x5D, 1u << 16, data.size()) + lzma_fixture::EncodeStream(data, 3, 0, 2, false);
}

// "X:\" followed by directories and a backslash, length characters in all.
std::u16string DirectoryOfLength(char16_t drive, size_t length, char16_t fill)
{
    std::u16string path = std::u16string(1, drive) + u":\\";
    while (path.size() < length) {
        size_t part = std::min<size_t>(100, length - path.size() - 1);
        if (part == 0) {
            path.back() = fill;  // a one-character remainder lengthens the previous part
            path += u'\\';
            break;
        }
        path += std::u16string(part, fill) + u'\\';
    }
    return path;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
    return text;
}

// A Windows path as the file system resolves it: separators collapsed, case folded.
std::string Canonical(const std::string& path)
{
    std::string out;
    for (char c : path) {
        if (c == '/')
            c = '\\';
        if (c == '\\' && !out.empty() && out.back() == '\\')
            continue;
        out.push_back(c);
    }
    return Upper(out);
}

class RobustnessTest : public SimTest {
protected:
    // Every file the run deleted, changed the attributes of, copied onto or
    // opened for writing.
    static std::vector<std::string> ChangedPaths()
    {
        std::vector<std::string> paths;
        for (const std::string& e : sim::Events()) {
            auto after = [&](const char* op) { return e.rfind(op, 0) == 0 ? e.substr(strlen(op)) : std::string(); };
            if (std::string p = after("DeleteFileW "); !p.empty())
                paths.push_back(p);
            if (std::string p = after("SetFileAttributesW "); !p.empty())
                paths.push_back(p.substr(0, p.rfind(' ')));
            if (std::string p = after("CopyFileW "); !p.empty())
                paths.push_back(p.substr(p.find(" -> ") + 4));
            if (std::string p = after("_wfopen "); !p.empty()) {
                std::string mode = p.substr(p.rfind(' ') + 1);
                if (mode.find_first_of("wa+") != std::string::npos)
                    paths.push_back(p.substr(0, p.rfind(' ')));
            }
        }
        return paths;
    }

    // Fails for every changed path that is not one of the given names in the temporary directory.
    void ExpectOnlyOwnNamesChanged(const std::u16string& temp, const std::set<std::string>& ownNames)
    {
        std::string directory = Canonical(Narrow(temp) + "\\");
        std::set<std::string> allowed;
        for (const std::string& name : ownNames)
            allowed.insert(directory + Upper(name));
        for (const std::string& path : ChangedPaths())
            EXPECT_TRUE(allowed.count(Canonical(path))) << "changed " << path;
    }

    void Prepare(const std::string& autorun)
    {
        Restart();
        WriteAutorun(autorun);
        WriteFile(u"M:\\Setup.msi", "plain package");
        sim::ScriptMsiexec(MsiexecExits(kCancelled));
    }

    std::u16string OnlyPackageParameter()
    {
        if (sim::ShellLaunches().size() != 1) {
            ADD_FAILURE() << sim::ShellLaunches().size() << " msiexec launches";
            return u"";
        }
        return sim::ShellLaunches()[0].parameters;
    }
};

TEST_F(RobustnessTest, BrokenSettingsFilesEndWithTheirOwnCodes)
{
    const std::string setup = "[Setup]\r\nUpgradeCode=" + Narrow(kCode) + "\r\nInstaller=Setup.msi\r\n";
    const std::string plain = u8"-i \"M:\\Setup.msi\" TRANSFORMS=1033.mst";
    std::string deepName;  // a 256-character name through subdirectories: M:\ and it fill 259
    for (int i = 0; i < 4; ++i)
        deepName += std::string(63, char('a' + i)) + "\\";
    deepName.resize(256 - 4);
    deepName += ".msi";
    std::string tooDeepName = "x" + deepName;
    struct Case {
        const char* what;
        std::string autorun;
        uint32_t exitCode;
        const char* parameters;  // null: msiexec is not started
    } cases[] = {
        {"binary garbage", Garbage(8192, 1), ERROR_FILE_NOT_FOUND, nullptr},
        {"garbage around the values", Garbage(3000, 2) + "\n" + setup + Garbage(3000, 3), kCancelled,
         plain.c_str()},
        {"NUL bytes in the value", "[Setup]\nInstaller=Setup.msi" + std::string(1, '\0') + "junk\n", kCancelled,
         plain.c_str()},
        {"UTF-16 with a byte-order mark", Utf16Le(sim::U16(setup), true), kCancelled, plain.c_str()},
        {"UTF-16 with a byte-order mark and an odd last byte", Utf16Le(sim::U16(setup), true) + "\x41", kCancelled,
         plain.c_str()},
        {"UTF-16 without a byte-order mark", Utf16Le(sim::U16(setup), false), ERROR_FILE_NOT_FOUND, nullptr},
        {"byte-order mark alone", "\xFF\xFE", ERROR_FILE_NOT_FOUND, nullptr},
        // Windows does not decode the mark: "[Setup]" behind it is no section
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF" + setup, ERROR_FILE_NOT_FOUND, nullptr},
        {"UTF-8 byte-order mark before a blank line and broken UTF-8",
         "\xEF\xBB\xBF\r\n" + setup + "Junk=\xC3\xFF\xE2\x82\n", kCancelled, plain.c_str()},
        {"a line of a mebibyte first", std::string(1 << 20, 'L') + "\n" + setup, kCancelled, plain.c_str()},
        {"a value of a mebibyte", setup + "UseVolumeNameForLanguage=" + std::string(1 << 20, '1') + "\n",
         kCancelled, plain.c_str()},
        {"unterminated section names", "[Setup\n[\n[]\n=\n==\n" + setup, kCancelled, plain.c_str()},
        {"upgrade code of 63 characters", "[Setup]\nUpgradeCode=" + std::string(63, 'u') + "\nInstaller=Setup.msi\n",
         kCancelled, plain.c_str()},
        {"upgrade code of 64 KiB", "[Setup]\nUpgradeCode=" + std::string(65536, 'u') + "\nInstaller=Setup.msi\n",
         kCancelled, plain.c_str()},
        {"package name of 256 characters", "[Setup]\nInstaller=" + deepName + "\n", kCancelled, nullptr},
        {"package name of 257 characters", "[Setup]\nInstaller=" + tooDeepName + "\n", kCancelled,
         "-i \"\" TRANSFORMS=1033.mst"},
        {"package name of 64 KiB", "[Setup]\nInstaller=" + std::string(65536, 'p') + "\n", kCancelled,
         "-i \"\" TRANSFORMS=1033.mst"},
        {"language map value of nine digits", setup + "[LanguageMap]\n1033=000051711\n", kCancelled,
         u8"-i \"M:\\Setup.msi\" TRANSFORMS=51711.mst"},
        {"language map value past its capacity", setup + "[LanguageMap]\n1033=" + std::string(5000, '9') + "\n",
         kCancelled, u8"-i \"M:\\Setup.msi\" TRANSFORMS=51711.mst"},  // 999999999 & 0xFFFF
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Prepare(c.autorun);
        if (std::string(c.what) == "package name of 256 characters")
            WriteFile(u"M:\\" + sim::U16(deepName), "deep package");
        EXPECT_EQ(uint32_t(RunSetup()), c.exitCode);
        if (std::string(c.what) == "package name of 256 characters") {
            EXPECT_EQ(OnlyPackageParameter(), u"-i \"M:\\" + sim::U16(deepName) + u"\" TRANSFORMS=1033.mst");
        } else if (c.parameters) {
            EXPECT_EQ(OnlyPackageParameter(), sim::U16(c.parameters));
        } else {
            EXPECT_TRUE(sim::ShellLaunches().empty());
        }
        EXPECT_EQ(sim::HeapInUse(), 0u);
        ExpectOnlyOwnNamesChanged(u"C:\\Temp\\", {"Setup.msi", "1033.mst", "brelm_eject.exe"});
    }
}

TEST_F(RobustnessTest, ProgramAndTemporaryPathsAtAndPastTheLimits)
{
    const std::string autorun = "[Setup]\nUpgradeCode=" + Narrow(kCode) + "\nInstaller=Setup.msi\n";
    struct Case {
        const char* what;
        size_t programDirectory;  // 0: M:\ itself
        size_t programPath;       // overrides the directory: a module path of this length
        size_t tempDirectory;     // 0: C:\Temp\ itself
        bool installed;
        uint32_t exitCode;
        bool staged;        // msiexec gets the staged package
        bool helperStarted;
    } cases[] = {
        {"settings path of 259", 248, 0, 0, false, kCancelled, true, false},
        {"settings path of 260", 249, 0, 0, false, ERROR_INSTALL_FAILURE, false, false},
        {"program path of 259", 0, 259, 0, false, ERROR_INSTALL_FAILURE, false, false},
        {"program path of 260", 0, 260, 0, false, ERROR_INSUFFICIENT_BUFFER, false, false},
        {"program path of 400", 0, 400, 0, false, ERROR_INSUFFICIENT_BUFFER, false, false},
        {"helper path of 259", 0, 0, 244, true, 0, false, true},
        {"helper path of 260", 0, 0, 245, true, 0, false, false},
        {"temporary directory of 259", 0, 0, 259, true, 0, false, false},
        {"temporary directory of 260", 0, 0, 260, true, 0, false, false},
        {"temporary directory of 400", 0, 0, 400, false, kCancelled, false, false},
        {"staged package path of 259", 0, 0, 249, false, kCancelled, true, false},
        {"staged package path of 260", 0, 0, 250, false, kCancelled, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        modulePath = u"M:\\setup.exe";
        Restart();
        std::u16string directory = u"M:\\";
        if (c.programDirectory)
            directory = DirectoryOfLength(u'M', c.programDirectory, u'd');
        if (c.programPath)
            directory = DirectoryOfLength(u'M', c.programPath - 9, u'p');
        modulePath = directory + u"setup.exe";
        ASSERT_EQ(modulePath.size(), c.programPath ? c.programPath : directory.size() + 9);
        sim::SetModulePath(modulePath);
        for (auto [name, bytes] : {std::pair<const char16_t*, std::string>{u"setup.exe", "MZ setup program bytes"},
                                   {u"autorun.inf", autorun},
                                   {u"Setup.ms_", Compressed("package")},
                                   {u"1033.ms_", Compressed("transform")}})
            if ((directory + name).size() < kPathCapacity)
                WriteFile(directory + name, bytes);
        std::u16string temp = c.tempDirectory ? DirectoryOfLength(u'C', c.tempDirectory, u't') : u"C:\\Temp\\";
        ASSERT_EQ(temp.size(), c.tempDirectory ? c.tempDirectory : 8);
        if (temp.size() < kPathCapacity)
            MakeDirectory(temp);
        sim::SetTempPath(temp);
        if (c.installed)
            sim::AddRelatedProduct(kCode, u"{99999999-2222-3333-4444-555555555555}");
        sim::ScriptMsiexec(MsiexecExits(kCancelled));

        EXPECT_EQ(uint32_t(RunSetup()), c.exitCode);
        if (!c.installed && c.exitCode == kCancelled) {
            EXPECT_EQ(OnlyPackageParameter(),
                      c.staged ? u"-i \"" + temp + u"\\Setup.msi\" TRANSFORMS=1033.mst" : u"-i \"\" TRANSFORMS=1033.mst");
        }
        if (c.staged) {
            EXPECT_EQ(ReadFile(temp + u"\\Setup.msi"), "package");
        }
        EXPECT_EQ(sim::ProcessLaunches().size(), c.helperStarted ? 1u : 0u);
        if (c.helperStarted) {
            std::u16string line = sim::ProcessLaunches()[0].commandLine;
            EXPECT_EQ(line, u"\"" + temp + u"brelm_eject.exe\" -eject#M" + sim::U16(std::to_string(508)));
        }
        EXPECT_EQ(sim::HeapInUse(), 0u);
        ExpectOnlyOwnNamesChanged(temp, {"Setup.msi", "1033.mst", "brelm_eject.exe"});
    }
}

// Bystanders with the staged and helper names beside the temporary
// directory, on the medium and above temp, and plain ones in temp itself.
TEST_F(RobustnessTest, BystandersSurviveEveryScenario)
{
    const std::vector<std::u16string> bystanders = {
        u"M:\\bystander.txt", u"M:\\Setup.msi.bak", u"M:\\1033.mst", u"M:\\brelm_eject.exe", u"M:\\sub\\Setup.msi",
        u"C:\\Setup.msi", u"C:\\1033.mst", u"C:\\brelm_eject.exe", u"C:\\bystander.txt",
        u"C:\\Temp\\bystander.txt", u"C:\\Temp\\Setup.ms_", u"C:\\Temp\\1033.ms_", u"C:\\Temp\\sub\\Setup.msi",
        u"C:\\Temp\\Setup.msi.log",
    };
    const std::string upgrade = "[Setup]\nUpgradeCode=" + Narrow(kCode) + "\n";
    struct Case {
        const char* what;
        std::string settings;  // after the upgrade code
        bool plain;            // M:\Setup.msi exists
        std::string compressedPackage, compressedTransform;  // "": absent
        bool installed;
        uint32_t msiexecExit;
        std::u16string temp;
        bool readOnlyStale;  // stale staged and helper files in temp, read-only
        uint32_t exitCode;
    } cases[] = {
        {"plain package, msiexec succeeds, hand-off", "Installer=Setup.msi\n", true, "", "", false, 0, u"C:\\Temp\\", true, 0},
        {"compressed package and transform", "Installer=Setup.msi\n", false, Compressed("package"),
         Compressed("transform"), false, 0, u"C:\\Temp\\", true, 0},
        {"compressed package broken", "Installer=Setup.msi\n", false, "\x5D\x00\x00\x01\x00" + std::string(8, '\xFF'),
         Compressed("transform"), false, kCancelled, u"C:\\Temp\\", true, kCancelled},
        {"compressed transform missing", "Installer=Setup.msi\n", false, Compressed("package"), "", false, kCancelled,
         u"C:\\Temp\\", false, kCancelled},
        {"product installed already", "Installer=Setup.msi\n", true, "", "", true, 0, u"C:\\Temp\\", true, 0},
        {"temporary directory without its backslash", "Installer=Setup.msi\n", false, Compressed("package"),
         Compressed("transform"), false, 0, u"C:\\Temp", true, 0},
        {"name reaching into the parent", "Installer=..\\Setup.msi\n", false, Compressed("package"),
         Compressed("transform"), false, kCancelled, u"C:\\Temp\\", false, kCancelled},
        {"name reaching into a subdirectory", "Installer=sub\\Setup.ms\n", false, Compressed("package"),
         Compressed("transform"), false, kCancelled, u"C:\\Temp\\", false, kCancelled},
        {"absolute name", "Installer=C:\\Setup.msj\n", false, "", "", false, kCancelled, u"C:\\Temp\\", false,
         kCancelled},
        {"no package named", "", false, "", "", false, 0, u"C:\\Temp\\", false, ERROR_FILE_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        modulePath = u"M:\\setup.exe";
        Restart();
        for (const std::u16string& path : bystanders)
            WriteFile(path, "bystander " + Narrow(path));
        WriteFile(u"C:\\Setup.ms_", Compressed("package beside temp"));  // what "..\Setup.msi" would expand
        WriteAutorun(upgrade + c.settings);
        if (c.plain)
            WriteFile(u"M:\\Setup.msi", "plain package");
        if (!c.compressedPackage.empty()) {
            WriteFile(u"M:\\Setup.ms_", c.compressedPackage);
            WriteFile(u"M:\\sub\\Setup.m_", c.compressedPackage);
        }
        if (!c.compressedTransform.empty())
            WriteFile(u"M:\\1033.ms_", c.compressedTransform);
        if (c.readOnlyStale) {
            for (const char16_t* stale : {u"C:\\Temp\\Setup.msi", u"C:\\Temp\\1033.mst", u"C:\\Temp\\brelm_eject.exe"}) {
                WriteFile(stale, "stale");
                chmod(sim::HostPath(stale).c_str(), 0444);
            }
        }
        sim::SetTempPath(c.temp);
        if (c.installed)
            sim::AddRelatedProduct(kCode, u"{99999999-2222-3333-4444-555555555555}");
        sim::ScriptMsiexec(MsiexecExits(c.msiexecExit));

        EXPECT_EQ(uint32_t(RunSetup()), c.exitCode);
        // The hand-off's copy runs in eject mode, from the temporary directory.
        for (const sim::ProcessLaunch& launch : std::vector<sim::ProcessLaunch>(sim::ProcessLaunches())) {
            modulePath = u"C:\\Temp\\brelm_eject.exe";
            RunCommandLine(launch.commandLine);
        }
        for (const std::u16string& path : bystanders)
            EXPECT_EQ(ReadFile(path), "bystander " + Narrow(path)) << Narrow(path);
        EXPECT_EQ(ReadFile(u"M:\\autorun.inf"), upgrade + c.settings);
        if (c.plain) {
            EXPECT_EQ(ReadFile(u"M:\\Setup.msi"), "plain package");
        }
        if (!c.compressedPackage.empty()) {
            EXPECT_EQ(ReadFile(u"M:\\Setup.ms_"), c.compressedPackage);
        }
        ExpectOnlyOwnNamesChanged(u"C:\\Temp\\", {"Setup.msi", "1033.mst", "brelm_eject.exe"});
    }
}

}  // namespace
