// The whole install road, from the start on the medium to the eject hand-off.
#include "harness.h"

#include "lzma_fixture.h"

namespace {

constexpr char kCode[] = "{11111111-2222-3333-4444-555555555555}";
constexpr char16_t kCode16[] = u"{11111111-2222-3333-4444-555555555555}";

enum class Medium { Plain, Compressed, NoPackage };

struct Scenario {
    const char* what;
    Medium medium;
    std::string settings;  // lines after [Setup] UpgradeCode and Installer
    std::u16string label;
    LANGID systemLanguage;
    DWORD msiexecExit;
    int exitCode;
    std::u16string parameters;  // empty: msiexec is not started
    bool handOff;
};

class InstallRoadTest : public SimTest {
protected:
    void Prepare(const Scenario& s)
    {
        Restart();
        sim::SetVolumeLabel(u'M', s.label);
        sim::SetSystemDefaultLangID(s.systemLanguage);
        WriteAutorun(std::string("[Setup]\nUpgradeCode=") + kCode + "\nInstaller=Product.msi\n" + s.settings);
        if (s.medium == Medium::Plain) {
            WriteFile(u"M:\\Product.msi", package);
        } else if (s.medium == Medium::Compressed) {
            WriteFile(u"M:\\Product.ms_", CompressLzmaAlone(package, 3, 0, 2, false, true));
            for (const char* language : {"1033", "1031", "1041"})
                WriteFile(sim::U16(std::string("M:\\") + language + ".ms_"),
                          CompressLzmaAlone(std::string("transform ") + language, 3, 0, 2, true, true));
        }
        sim::MsiexecScript script;
        script.exitCode = s.msiexecExit;
        script.installsUpgradeCode = kCode16;
        sim::ScriptMsiexec(script);
    }

    std::string package = std::string(5000, 'p') + "package body";
};

TEST_F(InstallRoadTest, FromTheMediumToTheHandOff)
{
    const std::u16string plain = u"-i \"M:\\Product.msi\" TRANSFORMS=";
    const std::u16string staged = u"-i \"C:\\Temp\\\\Product.msi\" TRANSFORMS=";
    Scenario scenarios[] = {
        {"plain, map default", Medium::Plain, "", u"", 0x0409, 0, 0, plain + u"1033.mst", true},
        {"plain, map entry", Medium::Plain, "[LanguageMap]\n1031=1031\n", u"", 0x0407, 0, 0, plain + u"1031.mst",
         true},
        {"compressed, label", Medium::Compressed, "UseVolumeNameForLanguage=1\n", u"PRODUCT1041", 0x0407, 0, 0,
         staged + u"1041.mst", true},
        {"compressed, map", Medium::Compressed, "[LanguageMap]\n1031=1031\n", u"", 0x0407, 0, 0,
         staged + u"1031.mst", true},
        {"cancelled", Medium::Plain, "", u"", 0x0409, ERROR_INSTALL_USEREXIT, 1602, plain + u"1033.mst", false},
        {"restart needed", Medium::Plain, "", u"", 0x0409, ERROR_SUCCESS_REBOOT_REQUIRED, 3010, plain + u"1033.mst",
         false},
        // Staging fails; msiexec is still asked and reports the missing package.
        {"no package at all", Medium::NoPackage, "", u"", 0x0409, 1619, 1619, staged + u"1033.mst", false},
    };
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(s.what);
        Prepare(s);
        EXPECT_EQ(RunSetup(), s.exitCode);
        EXPECT_EQ(sim::Counters(u'M').loadRequests, 1);

        ASSERT_EQ(sim::ShellLaunches().size(), 1u);
        const sim::ShellLaunch& launch = sim::ShellLaunches()[0];
        EXPECT_EQ(launch.parameters, s.parameters);
        EXPECT_EQ(launch.openDeviceHandles, 1) << "the drive stays open while msiexec runs";
        if (s.medium == Medium::Compressed) {
            EXPECT_EQ(launch.directory, u"C:\\Temp\\");
            EXPECT_EQ(ReadFile(u"C:\\Temp\\Product.msi"), package);
            std::string language = sim::U8(s.parameters.substr(s.parameters.size() - 8, 4));
            EXPECT_EQ(ReadFile(sim::U16("C:\\Temp\\" + language + ".mst")), "transform " + language);
        } else if (s.medium == Medium::Plain) {
            EXPECT_EQ(launch.directory, u"M:");
            EXPECT_FALSE(Exists(u"C:\\Temp\\Product.msi")) << "a plain package is not copied";
        }

        EXPECT_EQ(sim::ProcessLaunches().size(), s.handOff ? 1u : 0u);
        int helper = sim::FindEvent("CreateProcessW");
        int guardClosed = sim::FindEvent("CloseHandle mutex");
        EXPECT_GT(guardClosed, s.handOff ? helper : sim::FindEvent("ShellExecuteExW"));
        if (s.handOff) {
            EXPECT_GT(helper, sim::FindEvent("WaitForSingleObjectEx"));
            EXPECT_EQ(sim::ProcessLaunches()[0].commandLine, u"\"C:\\Temp\\brelm_eject.exe\" -eject#M508");
        }
    }
}

TEST_F(InstallRoadTest, SecondRunAfterAnInstallationFindsTheProductAndOnlyHandsOff)
{
    Prepare({"compressed", Medium::Compressed, "", u"", 0x0409, 0, 0, u"", true});
    ASSERT_EQ(RunSetup(), 0);
    ASSERT_TRUE(sim::IsProductRelated(kCode16));
    const sim::ProcessLaunch first = sim::ProcessLaunches().at(0);

    // The first hand-off's copy ejects and ends before the medium is used again.
    sim::ClearEvents();
    EXPECT_EQ(RunAs(u"C:\\Temp\\brelm_eject.exe", first.commandLine), 1);
    EXPECT_EQ(sim::Counters(u'M').ejectRequests, 1);

    sim::ClearEvents();
    EXPECT_EQ(RunSetup(), 0);
    EXPECT_EQ(sim::ShellLaunches().size(), 1u) << "msiexec is not started again";
    EXPECT_EQ(sim::Counters(u'M').loadRequests, 1) << "no load request for an installed product";
    EXPECT_EQ(sim::ProcessLaunches().size(), 2u) << "the hand-off follows all the same";
}

}  // namespace
