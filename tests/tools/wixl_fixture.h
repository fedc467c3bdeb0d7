// Real Windows Installer packages for the tests, built by wixl from a few
// lines of WiX at test time, and transforms made from them.
#pragma once

#include "msi_format.h"

#include <libmsi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace wixl_fixture {

namespace fs = std::filesystem;

constexpr char kUpgradeCode[] = "{12345678-ABCD-1234-ABCD-1234567890AB}";
constexpr char kProductCode[] = "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}";

struct Product {
    std::string upgradeCode = kUpgradeCode;
    std::string productCode = kProductCode;
    int language = 1033;
    std::string arch = "x86";  // wixl's -a: x86 or x64
    std::string greeting = "Hello";
    std::string readmeName = "readme.txt";
    std::string logo = "logo one";
    bool embedCabinet = true;
    int extraFiles = 0;  // more files, to give the package some weight
};

inline void Write(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

// Builds dir/name from p; fails the test when wixl is missing or fails.
inline std::string BuildPackage(const fs::path& dir, const std::string& name, const Product& p)
{
    fs::path work = dir / (".wixl-" + name);
    fs::create_directories(work);
    Write(work / "readme.txt", "Read me first.\n");
    Write(work / "data.txt", "data\n");
    Write(work / "logo.bin", p.logo);
    std::string files;
    for (int i = 0; i < p.extraFiles; ++i) {
        std::string text;
        for (int line = 0; line < 200; ++line)
            text += "extra file " + std::to_string(i) + " line " + std::to_string(line) + "\n";
        Write(work / ("extra" + std::to_string(i) + ".txt"), text);
        files += "<Component Id=\"X" + std::to_string(i) + "\" Guid=\"{11111111-0000-0000-0001-" +
                 std::to_string(100000000000 + i) + "}\"><File Id=\"XF" + std::to_string(i) + "\" Name=\"extra" +
                 std::to_string(i) + ".txt\" Source=\"extra" + std::to_string(i) + ".txt\" KeyPath=\"yes\"/></Component>";
    }
    std::string refs;
    for (int i = 0; i < p.extraFiles; ++i)
        refs += "<ComponentRef Id=\"X" + std::to_string(i) + "\"/>";
    std::string wxs = R"(<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id=")" + p.productCode + R"(" Name="Stub Fixture" Language=")" + std::to_string(p.language) +
                      R"(" Codepage="1252" Version="1.2.3" Manufacturer="SetupStub" UpgradeCode=")" + p.upgradeCode + R"(">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perUser"/>
    <Media Id="1" Cabinet="data.cab" EmbedCab=")" + (p.embedCabinet ? "yes" : "no") + R"("/>
    <Property Id="GREETING" Value=")" + p.greeting + R"("/>
    <Binary Id="Logo" SourceFile="logo.bin"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="LocalAppDataFolder">
        <Directory Id="INSTALLDIR" Name="StubFixture">
          <Component Id="C1" Guid="{11111111-0000-0000-0000-000000000001}">
            <File Id="F1" Name=")" + p.readmeName + R"(" Source="readme.txt" KeyPath="yes"/>
          </Component>
          <Component Id="C2" Guid="{11111111-0000-0000-0000-000000000002}">
            <File Id="F2" Name="data.txt" Source="data.txt" KeyPath="yes"/>
          </Component>)" + files + R"(
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="C1"/><ComponentRef Id="C2"/>)" + refs + R"(</Feature>
  </Product>
</Wix>
)";
    Write(work / "product.wxs", wxs);
    fs::path out = dir / name;
    std::string command = "cd '" + work.string() + "' && wixl -a " + p.arch + " -o '" + out.string() +
                          "' product.wxs > wixl.log 2>&1";
    int status = std::system(command.c_str());
    EXPECT_EQ(status, 0) << "wixl failed (is the Debian package wixl installed?): " << command;
    EXPECT_TRUE(fs::exists(out)) << out;
    fs::remove_all(work);
    return out.string();
}

// wixl leaves the code page neutral; libmsi's import of _ForceCodepage sets
// it, as a packager's tool would.
inline void SetCodepage(const std::string& path, int codepage)
{
    fs::path idt = fs::path(path).parent_path() / "_ForceCodepage.idt";
    Write(idt, "\r\n\r\n" + std::to_string(codepage) + "\t_ForceCodepage\r\n");
    GError* error = nullptr;
    LibmsiDatabase* db = libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_TRANSACT, path.c_str(), &error);
    ASSERT_NE(db, nullptr) << (error ? error->message : "");
    bool ok = libmsi_database_import(db, idt.string().c_str(), &error) && libmsi_database_commit(db, &error);
    EXPECT_TRUE(ok) << (error ? error->message : "");
    if (error)
        g_error_free(error);
    g_object_unref(db);
    fs::remove(idt);
}

inline stubmedia::msi::Database Read(const std::string& path)
{
    stubmedia::msi::Database db;
    std::string error;
    EXPECT_TRUE(stubmedia::msi::ReadDatabase(path, &db, &error)) << path << ": " << error;
    return db;
}

// The localized twin of a product: German texts, another file name and logo.
inline Product German(Product p)
{
    p.language = 1031;
    p.greeting = "Grüße aus Köln";
    p.readmeName = "liesmich.txt";
    p.logo = "logo zwei, länger";
    return p;
}

// dir/<language>.mst from base to the localized package built beside it.
inline std::string MakeTransform(const fs::path& dir, const std::string& basePath, const Product& localized)
{
    std::string name = std::to_string(localized.language);
    std::string locPath = BuildPackage(dir / ".loc", name + ".msi", localized);
    std::string out = (dir / (name + ".mst")).string();
    stubmedia::msi::GenerateResult r = stubmedia::msi::GenerateTransform(Read(basePath), Read(locPath), out);
    EXPECT_TRUE(r.ok) << r.error;
    fs::remove_all(dir / ".loc");
    return out;
}

}  // namespace wixl_fixture
