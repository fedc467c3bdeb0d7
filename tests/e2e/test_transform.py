"""Transforms made by `stubmedia transform` under Windows Installer's code as
Wine ships it: applied with MsiDatabaseApplyTransformW every table equals
the localized package's, and msiexec installs the base package with the
localized values."""

import os
import shutil
import subprocess
import unittest
import uuid
from pathlib import Path

import wine_env as w

PRODUCT = "StubTransformE2E"


def stubmedia_path():
    path = Path(os.environ.get("STUBMEDIA") or w.config().build_dir / "host" / "tools" / "stubmedia")
    if not os.access(path, os.X_OK):
        raise w.HarnessError(f"stubmedia not found at {path}: build the host preset "
                             "(cmake --preset host && cmake --build --preset host) or set STUBMEDIA")
    return path


def run_stubmedia(*args):
    logs = w.config().e2e_dir / "stubmedia-logs"
    logs.mkdir(parents=True, exist_ok=True)
    out_path, err_path = logs / "transform.out", logs / "transform.err"
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        code = subprocess.call([str(stubmedia_path())] + [str(a) for a in args], stdin=subprocess.DEVNULL,
                               stdout=out, stderr=err, timeout=120)
    return code, out_path.read_text() + err_path.read_text()


def build_product(out_path, upgrade_code, product_code, language, greeting, readme_name, logo, extra_files=3,
                  product=PRODUCT):
    """A per-user package of several files in an embedded cabinet, with a
    property, a binary row and a file name that the languages change."""
    wixl = w.require_wixl()
    out_path = Path(out_path)
    stage = out_path.parent / f".{out_path.stem}-files"
    shutil.rmtree(stage, ignore_errors=True)
    stage.mkdir(parents=True)
    (stage / "readme.txt").write_text("read me\n")
    (stage / "logo.bin").write_bytes(logo)
    components, refs = [], []
    names = [("readme.txt", readme_name)] + [(f"file{i}.txt", f"file{i}.txt") for i in range(extra_files)]
    for i, (source, name) in enumerate(names):
        if source != "readme.txt":
            (stage / source).write_text(f"{source}\n" * 50)
        guid = "{" + str(uuid.uuid5(uuid.NAMESPACE_URL, f"{product_code}:{source}")).upper() + "}"
        components.append(f'<Component Id="C{i}" Guid="{guid}"><File Id="F{i}" Name="{name}" '
                          f'Source="{source}" KeyPath="yes"/></Component>')
        refs.append(f'<ComponentRef Id="C{i}"/>')
    wxs = f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product_code}" Name="{product}" Language="{language}" Version="1.0.0"
           Manufacturer="SetupStub E2E" UpgradeCode="{upgrade_code}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perUser"/>
    <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>
    <Property Id="GREETING" Value="{greeting}"/>
    <Binary Id="Logo" SourceFile="logo.bin"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="LocalAppDataFolder">
        <Directory Id="INSTALLDIR" Name="{product}">{''.join(components)}</Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">{''.join(refs)}</Feature>
  </Product>
</Wix>
"""
    (stage / "product.wxs").write_text(wxs, encoding="utf-8")
    with open(stage / "wixl.log", "wb") as log:
        rc = subprocess.call([wixl, "-o", str(out_path), "product.wxs"], cwd=str(stage),
                             stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
    if rc != 0:
        raise w.HarnessError(f"wixl failed: {(stage / 'wixl.log').read_text()}")
    return out_path


LANGUAGES = {
    # language: (greeting, readme name, logo)
    1033: ("Hello", "readme.txt", b"logo for everyone"),
    1031: ("Guten Tag", "liesmich.txt", b"Logo auf Deutsch, etwas laenger"),
    1036: ("Bonjour", "lisezmoi.txt", b"logo"),
}


class TransformTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()
        cls.work = w.config().e2e_dir / "transform"
        shutil.rmtree(cls.work, ignore_errors=True)
        cls.work.mkdir(parents=True)
        cls.upgrade_code = w.new_upgrade_code()
        cls.product_code = w.new_upgrade_code()
        cls.packages, cls.transforms = {}, {}
        for language, (greeting, readme, logo) in LANGUAGES.items():
            cls.packages[language] = build_product(cls.work / "build" / f"{language}.msi", cls.upgrade_code,
                                                   cls.product_code, language, greeting, readme, logo)
        # The French build has a table of its own: the transform adds it.
        idt = cls.work / "build" / "Flavor.idt"
        idt.write_bytes("Flavor\tTaste\tWeight\r\ns72\tL64\tI2\r\nFlavor\tFlavor\r\n"
                        "sweet\tsucré\t3\r\nsour\tacide\t\r\n".encode("utf-8"))
        subprocess.run(["msibuild", str(cls.packages[1036]), "-i", str(idt)], check=True, timeout=60)
        cls.base = cls.packages[1033]
        for language in LANGUAGES:
            out = cls.work / f"{language}.mst"
            code, text = run_stubmedia("transform", cls.base, cls.packages[language], "-o", out)
            if code != 0 or not out.exists():
                raise AssertionError(f"stubmedia transform for {language} failed ({code}):\n{text}")
            cls.transforms[language] = out
        # Every table of each package: the query tool lists them from _Tables.
        cls.tables = {}
        for language, package in cls.packages.items():
            _, listed = cls.wine.msi_tables(package, ["_Tables"])
            cls.tables[language] = sorted(listed["_Tables"])

    def msiinfo_export(self, database, table):
        result = subprocess.run(["msiinfo", "export", str(database), table], capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.decode("utf-8", "replace").split("\r\n")
        return lines[:3] + sorted(lines[3:])

    def test_applied_transform_gives_the_localized_tables(self):
        for language in (1031, 1036, 1033):
            with self.subTest(language=language):
                copy = self.work / f"applied-{language}.msi"
                shutil.copyfile(self.base, copy)
                tables = self.tables[language]
                codes, applied = self.wine.msi_tables(copy, tables + ["_Tables"], transform=self.transforms[language])
                self.assertEqual(codes.get("apply"), 0, codes)
                _, expected = self.wine.msi_tables(self.packages[language], tables + ["_Tables"])
                self.assertEqual(set(applied), set(tables) | {"_Tables"})
                for table in tables + ["_Tables"]:
                    self.assertEqual(applied[table], expected[table], f"{language}: table {table}")
                self.assertEqual(codes.get("commit"), 0, codes)
                for table in tables:
                    if table == "Binary":
                        continue  # msiinfo exports binary cells to files; compared by query above
                    self.assertEqual(self.msiinfo_export(copy, table),
                                     self.msiinfo_export(self.packages[language], table),
                                     f"{language}: table {table} after the commit")

    def test_msiexec_installs_the_base_package_with_the_localized_values(self):
        install_dir = self.wine.drive_c / "users" / self.wine.user_name / "AppData" / "Local" / PRODUCT
        shutil.copyfile(self.transforms[1031], self.base.parent / "1031.mst")
        log = self.work / "install.log"
        try:
            result = self.wine.run("C:\\windows\\system32\\msiexec.exe",
                                   ["/qn", "/i", self.wine.to_windows(str(self.base)), "TRANSFORMS=1031.mst",
                                    "/l*v", self.wine.to_windows(str(log))],
                                   cwd=self.wine.to_windows(str(self.base.parent)), timeout=180)
            self.assertEqual(result, 0)
            self.assertTrue((install_dir / "liesmich.txt").exists(), sorted(os.listdir(install_dir)))
            self.assertFalse((install_dir / "readme.txt").exists())
            raw = log.read_bytes()
            # Wine writes the verbose log in the ANSI code page; Windows in UTF-16 with a mark.
            text = raw.decode("utf-16") if raw.startswith(b"\xff\xfe") else raw.decode("latin-1")
            self.assertIn("GREETING = Guten Tag", text)
            self.assertIn("ProductLanguage = 1031", text)
        finally:
            self.wine.uninstall_msi(self.product_code)
        self.assertFalse(self.wine.related_products(self.upgrade_code))


if __name__ == "__main__":
    unittest.main()
