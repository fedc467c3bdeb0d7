// The package reader and the transform writer and reader, on real wixl
// packages: a generated transform applied by the reader must give the
// localized package back, table by table.
#include "msi_format.h"
#include "wixl_fixture.h"

#include <gtest/gtest.h>

#include <glib.h>
#include <gsf/gsf-infile-msole.h>
#include <gsf/gsf-infile.h>
#include <gsf/gsf-input-stdio.h>
#include <gsf/gsf-outfile-msole.h>
#include <gsf/gsf-outfile.h>
#include <gsf/gsf-output-stdio.h>
#include <gsf/gsf-utils.h>

#include <functional>

namespace fs = std::filesystem;
using namespace stubmedia::msi;
using namespace wixl_fixture;

namespace {

class MsiFormatTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/msi-format-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    fs::path root;
};

std::vector<uint32_t> Units(const std::string& utf8)
{
    std::vector<uint32_t> units;
    for (const gchar* p = utf8.c_str(); *p; p = g_utf8_next_char(p))
        units.push_back(g_utf8_get_char(p));
    return units;
}

void ExpectSameTables(const Database& expected, const Database& actual)
{
    for (const Table& e : expected.tables) {
        const Table* a = actual.Find(e.name);
        ASSERT_NE(a, nullptr) << e.name;
        ASSERT_EQ(a->columns.size(), e.columns.size()) << e.name;
        EXPECT_EQ(a->rows.size(), e.rows.size()) << e.name;
        for (const auto& [key, row] : e.rows) {
            auto it = a->rows.find(key);
            ASSERT_NE(it, a->rows.end()) << e.name << " lacks a row";
            for (size_t i = 0; i < row.size(); ++i)
                EXPECT_TRUE(it->second[i] == row[i])
                    << e.name << "." << e.columns[i].name << ": \"" << it->second[i].text << "\" / "
                    << it->second[i].number << ", expected \"" << row[i].text << "\" / " << row[i].number;
        }
    }
    EXPECT_EQ(actual.tables.size(), expected.tables.size());
}

}  // namespace

TEST(MsiStreamNames, EncodeAsWindowsInstallerNamesStreams)
{
    struct Case {
        const char* name;
        bool table;
        std::vector<uint32_t> units;
    } cases[] = {
        {"MOO", true, {0x4840, 0x3E16, 0x4818}},
        {"_Columns", true, {0x4840, 0x3B3F, 0x43F2, 0x4438, 0x45B1}},
        {"BINARY.1", false, {0x3C8B, 0x3A97, 0x409B, 0x387E}},
        {"A-B", false, {0x480A, '-', 0x480B}},  // characters outside the 64 stay as they are
    };
    for (const Case& c : cases) {
        std::string encoded = EncodeStreamName(c.name, c.table);
        EXPECT_EQ(Units(encoded), c.units) << c.name;
        bool table = !c.table;
        EXPECT_EQ(DecodeStreamName(encoded, &table), c.name);
        EXPECT_EQ(table, c.table) << c.name;
    }
}

TEST_F(MsiFormatTest, PackageGivesWhatTheChecksRead)
{
    Product intel;
    Product x64 = intel;
    x64.arch = "x64";
    Product external = intel;
    external.embedCabinet = false;
    struct Case {
        const char* name;
        Product product;
        const char* platform;
        const char* cabinet;
    } cases[] = {{"intel.msi", intel, "Intel", "#data.cab"},
                 {"x64.msi", x64, "x64", "#data.cab"},
                 {"external.msi", external, "Intel", "data.cab"}};
    for (const Case& c : cases) {
        Database db = Read(BuildPackage(root, c.name, c.product));
        EXPECT_EQ(TemplatePlatform(db.summaryTemplate), c.platform) << c.name;
        EXPECT_EQ(db.Property("UpgradeCode"), kUpgradeCode) << c.name;
        EXPECT_EQ(db.Property("ProductCode"), kProductCode) << c.name;
        EXPECT_EQ(db.Property("ProductLanguage"), "1033") << c.name;
        EXPECT_EQ(db.codepage, 0) << c.name;  // wixl writes neutral packages
        const Table* media = db.Find("Media");
        ASSERT_NE(media, nullptr);
        ASSERT_EQ(media->rows.size(), 1u);
        EXPECT_EQ(media->rows.begin()->second[3].text, c.cabinet) << c.name;
    }
}

TEST_F(MsiFormatTest, WhatIsNoPackageIsRefusedWithAReason)
{
    std::string base = BuildPackage(root, "base.msi", Product());
    std::string transform = MakeTransform(root, base, German(Product()));
    Write(root / "empty.msi", "");
    Write(root / "text.msi", "just some text, no compound file\n");
    struct Case {
        std::string path;
        const char* reason;
    } cases[] = {{(root / "empty.msi").string(), "no compound file"},
                 {(root / "text.msi").string(), "no compound file"},
                 {transform, "is a transform"},
                 {(root / "absent.msi").string(), "cannot be opened"}};
    for (const Case& c : cases) {
        Database db;
        std::string error;
        EXPECT_FALSE(ReadDatabase(c.path, &db, &error)) << c.path;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
    }
}

TEST_F(MsiFormatTest, TransformTurnsTheBaseIntoTheLocalizedPackage)
{
    Product english;
    english.extraFiles = 3;
    Product german = German(english);
    std::string base = BuildPackage(root, "base.msi", english);
    std::string loc = BuildPackage(root, "loc.msi", german);
    SetCodepage(base, 1252);
    SetCodepage(loc, 1252);
    Database b = Read(base), l = Read(loc);
    std::string out = (root / "1031.mst").string();
    GenerateResult generated = GenerateTransform(b, l, out);
    ASSERT_TRUE(generated.ok) << generated.error;
    EXPECT_FALSE(generated.empty);

    Database applied;
    TransformReport report = ApplyTransform(out, b, &applied);
    ASSERT_TRUE(report.readable);
    ASSERT_EQ(report.error, "");
    EXPECT_TRUE(report.conflicts.empty());
    ExpectSameTables(l, applied);
    EXPECT_EQ(applied.Property("GREETING"), "Grüße aus Köln");
    ASSERT_TRUE(report.productLanguage.has_value());
    EXPECT_EQ(*report.productLanguage, "1031");
    EXPECT_EQ(report.codepage, 1252);

    const TransformSummary& s = report.summary;
    ASSERT_TRUE(s.present);
    EXPECT_EQ(s.templ, "Intel;1033");
    EXPECT_EQ(s.lastAuthor, "Intel;1031");
    EXPECT_EQ(s.revision, std::string(kProductCode) + "1.2.3;" + kProductCode + "1.2.3;" + kUpgradeCode);
    EXPECT_EQ(s.pageCount, 200);
    EXPECT_EQ(s.flags & 0xFFFF, 0x3F);
}

TEST_F(MsiFormatTest, IdenticalPackagesGiveATransformThatChangesNothing)
{
    std::string base = BuildPackage(root, "base.msi", Product());
    Database b = Read(base);
    std::string out = (root / "1033.mst").string();
    GenerateResult generated = GenerateTransform(b, b, out);
    ASSERT_TRUE(generated.ok) << generated.error;
    EXPECT_TRUE(generated.empty);
    Database applied;
    TransformReport report = ApplyTransform(out, b, &applied);
    EXPECT_EQ(report.error, "");
    EXPECT_TRUE(report.tables.empty());
    EXPECT_FALSE(report.productLanguage.has_value());
    ExpectSameTables(b, applied);
}

TEST_F(MsiFormatTest, TextOutsideTheCodePageIsRefused)
{
    std::string base = BuildPackage(root, "base.msi", Product());
    SetCodepage(base, 1252);
    Database b = Read(base);
    // wixl drops text it cannot encode, so the Cyrillic value is set here.
    Database l = b;
    Table* property = l.Find("Property");
    ASSERT_NE(property, nullptr);
    property->rows[Key{Cell::Text("GREETING")}][1] = Cell::Text("Привет");
    GenerateResult generated = GenerateTransform(b, l, (root / "1049.mst").string());
    EXPECT_FALSE(generated.ok);
    EXPECT_NE(generated.error.find("code page 1252"), std::string::npos) << generated.error;
    EXPECT_FALSE(fs::exists(root / "1049.mst"));
}

namespace {

// A copy of a compound file whose streams pass through edit(name, bytes)
// (decoded stream name; return false to leave the stream out), with the
// given class.
void Rewrite(const std::string& from, const std::string& to, const uint8_t* classId,
             const std::function<bool(const std::string&, std::string&)>& edit)
{
    gsf_init();
    GError* error = nullptr;
    GsfInput* input = gsf_input_stdio_new(from.c_str(), &error);
    ASSERT_NE(input, nullptr);
    GsfInfile* in = gsf_infile_msole_new(input, &error);
    ASSERT_NE(in, nullptr);
    GsfOutput* sink = gsf_output_stdio_new(to.c_str(), &error);
    ASSERT_NE(sink, nullptr);
    GsfOutfile* out = gsf_outfile_msole_new(sink);
    gsf_outfile_msole_set_class_id(GSF_OUTFILE_MSOLE(out), classId);
    for (int i = 0; i < gsf_infile_num_children(in); ++i) {
        std::string encoded = gsf_infile_name_by_index(in, i);
        GsfInput* child = gsf_infile_child_by_index(in, i);
        std::string bytes(size_t(gsf_input_size(child)), '\0');
        if (!bytes.empty())
            gsf_input_read(child, bytes.size(), reinterpret_cast<guint8*>(&bytes[0]));
        g_object_unref(child);
        bool table = false;
        if (!edit(DecodeStreamName(encoded, &table), bytes))
            continue;
        GsfOutput* stream = gsf_outfile_new_child(out, encoded.c_str(), FALSE);
        gsf_output_write(stream, bytes.size(), reinterpret_cast<const guint8*>(bytes.data()));
        gsf_output_close(stream);
        g_object_unref(stream);
    }
    gsf_output_close(GSF_OUTPUT(out));
    g_object_unref(out);
    gsf_output_close(sink);
    g_object_unref(sink);
    g_object_unref(in);
    g_object_unref(input);
}

const uint8_t kTransformClassId[16] = {0x82, 0x10, 0x0C, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
const uint8_t kDatabaseClassId[16] = {0x84, 0x10, 0x0C, 0x00, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

}  // namespace

TEST_F(MsiFormatTest, DamagedTransformsAreCaughtBeforeWindowsInstallerSeesThem)
{
    std::string base = BuildPackage(root, "base.msi", Product());
    std::string good = MakeTransform(root, base, German(Product()));
    Database b = Read(base);
    using Edit = std::function<bool(const std::string&, std::string&)>;
    struct Case {
        const char* name;
        const uint8_t* classId;
        Edit edit;
        bool readable;
        const char* error;
    } cases[] = {
        {"untouched copy", kTransformClassId, [](const std::string&, std::string&) { return true; }, true, ""},
        {"a database's class", kDatabaseClassId, [](const std::string&, std::string&) { return true; }, false,
         "is a Windows Installer package, not a transform"},
        {"table stream cut short", kTransformClassId,
         [](const std::string& name, std::string& bytes) {
             if (name == "Property")
                 bytes.pop_back();
             return true;
         },
         true, "Property's changes end in the middle of a record"},
        {"a string whose count is 0", kTransformClassId,
         [](const std::string& name, std::string& bytes) {
             if (name == "_StringPool")
                 for (size_t slot = 4; slot + 4 <= bytes.size(); slot += 4)
                     bytes[slot + 2] = bytes[slot + 3] = 0;
             return true;
         },
         true, "whose count is 0"},
        {"string pool without its data", kTransformClassId,
         [](const std::string& name, std::string&) { return name != "_StringData"; }, true, "has no string pool"},
        {"binary cell without its stream", kTransformClassId,
         [](const std::string& name, std::string&) { return name != "Binary.Logo"; }, true,
         "the binary cell Binary.Logo has no stream"},
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = (root / ("bad" + std::to_string(index++) + ".mst")).string();
        Rewrite(good, path, c.classId, c.edit);
        TransformReport report = ApplyTransform(path, b, nullptr);
        EXPECT_EQ(report.readable, c.readable) << report.error;
        if (*c.error)
            EXPECT_NE(report.error.find(c.error), std::string::npos) << report.error;
        else
            EXPECT_EQ(report.error, "");
    }
}
