#include "language.h"
#include "settings.h"

#include "harness.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

class LanguageTest : public SimTest {
protected:
    // The settings path is cached for the life of a process; each scenario
    // (Restart() included) starts as a new process would.
    void SetUp() override
    {
        SimTest::SetUp();
        std::memset(SettingsFilePath, 0, sizeof SettingsFilePath);
    }
};

TEST_F(LanguageTest, VolumeLabelGivesItsLastFourCharacters)
{
    // Labels past 32 characters (UDF media have them) and up to the buffer's 260.
    const std::u16string longLabel = std::u16string(29, u'L') + u"1042";
    const std::u16string fullLabel = std::u16string(255, u'F') + u"1043";
    const std::u16string overLabel = std::u16string(256, u'O') + u"1044";
    struct Case {
        std::u16string label;
        bool queryFails;
        WORD expected;
    } cases[] = {
        {longLabel, false, 1042},
        {fullLabel, false, 1043},
        {overLabel, false, 1033},  // no room for its terminator: the query fails
        {u"1041", false, 1041},
        {u"PRODUCT1031", false, 1031},
        {u"PRODUCT12345", false, 2345},  // the last four, not the first digits
        {u"104", false, 1033},
        {u"", false, 1033},
        {u"1041", true, 1033},  // no medium in the drive, say
        {u" 123", false, 123},
        {u"DISC 123", false, 123},
        {u"12ab", false, 12},
        {u"ab12", false, 1033},
        {u"-123", false, 65413},
        {u"X-123", false, 65413},
        {u"0000", false, 1033},
        {u"DISC0000", false, 1033},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.label) + (c.queryFails ? " (query fails)" : ""));
        Restart();
        sim::SetVolumeLabel(u'C', u"2057");  // only the program's own drive counts
        sim::SetVolumeLabel(u'M', c.label);
        if (c.queryFails)
            sim::FailVolumeQuery(u'M');
        sim::ClearEvents();
        EXPECT_EQ(LanguageFromVolumeLabel(), c.expected);
        EXPECT_EQ(sim::FindEvent("GetVolumeInformationW M:\\"), 0);
        // The label and nothing else, into the whole buffer.
        ASSERT_EQ(sim::VolumeQueries().size(), 1u);
        const sim::VolumeQuery& query = sim::VolumeQueries()[0];
        EXPECT_TRUE(query.label);
        EXPECT_EQ(query.labelCapacity, 260u);
        EXPECT_FALSE(query.serialNumber || query.maximumComponentLength || query.fileSystemFlags ||
                     query.fileSystemName);
        EXPECT_EQ(query.fileSystemNameCapacity, 0u);
    }
}

TEST_F(LanguageTest, LanguageMapIsKeyedBySystemLanguage)
{
    // Lines for the user's language, a hexadecimal spelling and a signed one
    // stand beside the entry, so a wrong key finds a wrong answer.
    const std::string decoys = "1041=1041\r\n407=9\r\n-4095=7\r\n";
    struct Case {
        const char* name;
        LANGID systemLang;
        LANGID userLang;
        std::string entry;
        WORD expected;
    } cases[] = {
        {"entry", 0x0407, 0x0411, "1031=1031", 1031},
        {"no entry", 0x0407, 0x0411, "", 1033},
        {"empty value", 0x0407, 0x0411, "1031=", 1033},
        {"word converts to 0, no fallback", 0x0407, 0x0411, "1031=German", 0},
        {"above 16 bits", 0x0407, 0x0411, "1031=70000", 4464},
        {"negative", 0x0407, 0x0411, "1031=-1", 65535},
        // Read cut to 123456789 (52501 in 16 bits); all ten digits would give 723.
        {"longer than nine", 0x0407, 0x0411, "1031=1234567891", 52501},
        {"system language, not the user's", 0x0411, 0x0407, "1031=1031", 1041},
        {"identifier above 0x7FFF, zero-extended", 0xF001, 0x0407, "61441=1042", 1042},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        sim::SetSystemDefaultLangID(c.systemLang);
        sim::SetUserDefaultLangID(c.userLang);
        WriteAutorun("[Setup]\r\nUpgradeCode={1B2C3D4E-0000-0000-0000-000000000001}\r\n"
                     "[LanguageMap]\r\n" + decoys + c.entry + "\r\n");
        EXPECT_EQ(LanguageFromLanguageMap(), c.expected);
    }
}

TEST_F(LanguageTest, UseVolumeNameForLanguageSelectsTheMethod)
{
    // The label says 1041, the map 1031: the result shows which one decided.
    struct Case {
        const char* name;
        const char* setup;  // null: no settings file
        bool queryFails;
        WORD expected;
    } cases[] = {
        {"no settings file", nullptr, false, 1033},
        {"absent", "", false, 1031},
        {"empty", "UseVolumeNameForLanguage=\r\n", false, 1031},
        {"0", "UseVolumeNameForLanguage=0\r\n", false, 1041},
        {"no", "UseVolumeNameForLanguage=no\r\n", false, 1041},
        {"1", "UseVolumeNameForLanguage=1\r\n", false, 1041},
        {"label fails, map is not asked", "UseVolumeNameForLanguage=1\r\n", true, 1033},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        sim::SetSystemDefaultLangID(0x0407);
        sim::SetVolumeLabel(u'M', u"DISC1041");
        if (c.queryFails)
            sim::FailVolumeQuery(u'M');
        if (c.setup)
            WriteAutorun(std::string("[Setup]\r\n") + c.setup + "[LanguageMap]\r\n1031=1031\r\n");
        ASSERT_EQ(Exists(u"M:\\autorun.inf"), c.setup != nullptr);
        EXPECT_EQ(ChooseTransformLanguage(), c.expected);
    }
}

TEST_F(LanguageTest, OddDriveCharacterStillFormsTheRootPath)
{
    struct Case {
        const char16_t* modulePath;
        const char* expectedQuery;
    } cases[] = {
        {u"\\\\server\\share\\setup.exe", "GetVolumeInformationW \\:\\"},  // network path: a backslash
        {u"x", "GetVolumeInformationW "},  // too short for a drive: character 0, an empty root
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.modulePath));
        Restart();
        sim::SetModulePath(c.modulePath);
        sim::SetVolumeLabel(u'C', u"1041");
        sim::SetVolumeLabel(u'M', u"1041");
        sim::ClearEvents();
        EXPECT_EQ(LanguageFromVolumeLabel(), 1033);
        std::vector<std::string> queries;
        for (const std::string& e : sim::Events())
            if (e.rfind("GetVolumeInformationW", 0) == 0)
                queries.push_back(e);
        EXPECT_EQ(queries, std::vector<std::string>{c.expectedQuery});
    }
}

}  // namespace
