"""stubmedia's way from a wixl product to a shippable image, rehearsed:
pack, image (ISO and FAT), verify and try, with try running the real
setup.exe under Wine in its own private prefix. One installation that
succeeds (the label method, the label read back from the ISO) and one
medium that fails (the rehearsal reports msiexec's failure and the tail
of its log)."""

import shutil
import subprocess
import unittest

import wine_env as w
from test_stubmedia import stubmedia
from test_transform import LANGUAGES, build_product

PRODUCT = "RehearsalE2E"
PACKAGE = f"{PRODUCT}.msi"

# A package whose launch condition never holds: msiexec refuses it with 1603.
FAILING_WXS = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="RehearsalRefused" Language="1033" Version="1.0.0" Manufacturer="SetupStub E2E"
           UpgradeCode="{upgrade}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perUser"/>
    <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>
    <Condition Message="This medium refuses to install.">0</Condition>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="LocalAppDataFolder">
        <Directory Id="INSTALLDIR" Name="RehearsalRefused">
          <Component Id="C1" Guid="{component}">
            <File Id="F1" Name="refused.txt" Source="refused.txt" KeyPath="yes"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="C1"/></Feature>
  </Product>
</Wix>
"""


class RehearsalTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = w.config().e2e_dir / "rehearsal"
        if cls.work.exists():
            shutil.rmtree(cls.work)
        cls.work.mkdir(parents=True)
        # One prefix for both rehearsals: the second run reuses what the first made.
        cls.wine_work = cls.work / "try"
        cls.setup = w.setup_exe_path("win32")
        cls.setup64 = w.SetupExe("win64", w.setup_exe_path("win64")).require()
        if not cls.setup.is_file():
            raise w.MissingComponent(f"{cls.setup} is missing: build the win32 preset")

    @classmethod
    def tearDownClass(cls):
        prefix = cls.wine_work / "e2e" / "wineprefix"
        if prefix.exists():
            subprocess.call([w.WINESERVER, "-k"], env={"WINEPREFIX": str(prefix)},
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(cls.work, ignore_errors=True)

    def rehearse(self, target, *options):
        code, report = stubmedia("try", target, "--work", self.wine_work, "--keep",
                                 "--setup64", self.setup64, *options)
        return code, report

    def test_label_method_iso_installs_its_product_and_verifies(self):
        upgrade = w.new_upgrade_code()
        product_code = w.new_upgrade_code()
        source = self.work / "input"
        source.mkdir()
        # A product of several files, and its German build for the transform.
        builds = {}
        for language in (1033, 1031):
            greeting, readme, logo = LANGUAGES[language]
            builds[language] = build_product(self.work / "msi" / str(language) / PACKAGE, upgrade, product_code,
                                             language, greeting, readme, logo, product=PRODUCT)
        shutil.copyfile(builds[1033], source / PACKAGE)
        for language in (1031, 1033):
            code, report = stubmedia("transform", builds[1033], builds[language], "-o", source / f"{language}.mst")
            self.assertEqual(code, 0, report)
        medium = self.work / "medium"
        code, packed = stubmedia("pack", source, medium, "--upgrade-code", upgrade, "--setup-exe", self.setup,
                                 "--language-from-label", "--label", "REHEARSE1031", "--quiet")
        self.assertEqual(code, 0, packed)

        iso = self.work / "medium.iso"
        code, imaged = stubmedia("image", medium, iso)
        self.assertEqual(code, 0, imaged)
        self.assertEqual(imaged["label"]["windowsReports"], "REHEARSE1031", imaged)
        self.assertEqual(imaged["labelLanguage"], 1031, imaged)
        code, verified = stubmedia("verify", iso)
        self.assertEqual((code, verified["ok"]), (0, True), verified)

        # An English system: only the label can make it 1031.
        code, report = self.rehearse(iso, "--system-language", "0x0409")
        self.assertEqual(code, 0, report)
        wine = report["wine"]
        # The medium's own 32-bit setup.exe wherever 32-bit code runs.
        self.assertEqual(wine["arch"], "win32" if w.is_32bit_execution_available() else "win64", wine)
        self.assertEqual(wine["drive"], {"letter": "M", "type": w.DRIVE_CDROM, "label": "REHEARSE1031"}, wine)
        self.assertEqual(wine["system_language"], 0x0409)
        self.assertEqual(report["language"]["method"], "label", report)
        self.assertIn("TRANSFORMS=1031.mst", wine["msiexec"]["parameters"], wine)
        self.assertEqual(wine["msiexec"]["parameters"], report["predictedMsiexecParameters"], report)
        self.assertEqual(report["exitCode"], 0, report)
        self.assertEqual(wine["installed_products"], [product_code], wine)
        self.assertTrue(wine["eject_helper"], wine)
        self.assertEqual(wine["uninstall"], [{"product": product_code, "exit_code": 0}], wine)
        self.assertEqual(wine["left_installed"], [], wine)
        staged = {f["name"]: f["size"] for f in wine["staged"]}
        self.assertEqual(staged[PACKAGE], builds[1033].stat().st_size, staged)

    def test_failing_medium_on_a_usb_image_reports_msiexec_and_its_log(self):
        upgrade = w.new_upgrade_code()
        build = self.work / "failing-msi"
        build.mkdir()
        (build / "refused.txt").write_text("never installed\n")
        (build / "refused.wxs").write_text(FAILING_WXS.replace("{upgrade}", upgrade)
                                           .replace("{component}", w.new_upgrade_code()))
        source = self.work / "failing-input"
        source.mkdir()
        subprocess.check_call([w.require_wixl(), "-o", str(source / "Refused.msi"), "refused.wxs"], cwd=build,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        code, report = stubmedia("transform", source / "Refused.msi", source / "Refused.msi", "-o",
                                 source / "1033.mst")
        self.assertEqual(code, 0, report)
        medium = self.work / "failing-medium"
        code, packed = stubmedia("pack", source, medium, "--upgrade-code", upgrade, "--setup-exe", self.setup,
                                 "--label", "REFUSED1033", "--quiet")
        self.assertEqual(code, 0, packed)
        stick = self.work / "failing.img"
        code, imaged = stubmedia("image", medium, "--usb", stick)
        self.assertEqual(code, 0, imaged)

        code, report = self.rehearse(stick)
        self.assertEqual(code, 1, report)
        wine = report["wine"]
        self.assertEqual(wine["drive"]["type"], w.DRIVE_REMOVABLE, wine)
        self.assertEqual(report["exitCode"], 1603, report)
        self.assertFalse(report["installed"])
        self.assertEqual(wine["installed_products"], [])
        self.assertIsNone(wine["eject_helper"], wine)
        self.assertTrue(any("LaunchConditions" in line for line in wine["log"]["tail"]), wine["log"])
        self.assertIn("try-failed", [f["code"] for f in report["findings"]], report)


if __name__ == "__main__":
    unittest.main()
