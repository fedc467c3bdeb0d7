#include "harness.h"

#include "entry.h"
#include "settings.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

void SimTest::SetUp()
{
    sim::Reset();
    std::memset(SettingsFilePath, 0, sizeof SettingsFilePath);
    char pattern[] = "/tmp/setupstub-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    fs::create_directories(root + "/C/Temp");
    fs::create_directories(root + "/M");
    sim::AddDrive(u'C', root + "/C", DRIVE_FIXED);
    sim::AddDrive(u'M', root + "/M", DRIVE_CDROM);
    sim::SetTempPath(u"C:\\Temp\\");
    sim::SetModulePath(modulePath);
    WriteFile(u"M:\\setup.exe", "MZ setup program bytes");
}

void SimTest::TearDown()
{
    std::error_code ignored;
    // Read-only files and directories must not keep the tree behind.
    for (auto it = fs::recursive_directory_iterator(root, ignored); it != fs::recursive_directory_iterator(); ++it)
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root, ignored);
}

void SimTest::WriteFile(const std::u16string& windowsPath, const std::string& bytes)
{
    std::string host = sim::HostPath(windowsPath);
    ASSERT_FALSE(host.empty()) << Narrow(windowsPath);
    fs::create_directories(fs::path(host).parent_path());
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
    ASSERT_TRUE(out.good()) << host;
}

std::string SimTest::ReadFile(const std::u16string& windowsPath)
{
    std::ifstream in(sim::HostPath(windowsPath), std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool SimTest::Exists(const std::u16string& windowsPath)
{
    std::string host = sim::HostPath(windowsPath);
    return !host.empty() && fs::exists(host);
}

void SimTest::MakeDirectory(const std::u16string& windowsPath)
{
    fs::create_directories(sim::HostPath(windowsPath));
}

int SimTest::RunCommandLine(const std::u16string& commandLine)
{
    // A new process starts with its image's globals zeroed.
    std::memset(SettingsFilePath, 0, sizeof SettingsFilePath);
    return sim::RunProcess(modulePath, commandLine, &wWinMain);
}

int SimTest::RunAs(const std::u16string& image, const std::u16string& commandLine)
{
    std::u16string installing = modulePath;
    modulePath = image;
    int code = RunCommandLine(commandLine);
    modulePath = installing;
    return code;
}

int SimTest::RunSetup(const std::u16string& arguments)
{
    std::u16string line = u"\"" + modulePath + u"\"";
    if (!arguments.empty())
        line += u" " + arguments;
    return RunCommandLine(line);
}

std::string Narrow(const std::u16string& text) { return sim::U8(text); }
