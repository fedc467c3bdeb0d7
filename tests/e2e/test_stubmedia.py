"""Media made by stubmedia under Wine: check finds them sound, explain
predicts the exact msiexec start of the real setup.exe, and the packed
medium installs its product with Wine's own msiexec."""

import json
import os
import shutil
import subprocess
import unittest
import uuid
from pathlib import Path

import wine_env as w
from test_transform import LANGUAGES, build_product, run_stubmedia, stubmedia_path

PRODUCT = "StubmediaE2E"
PACKAGE = f"{PRODUCT}.msi"
# msiexec's code for a cancelled installation: the recording runs end there,
# without the eject hand-off.
CANCELLED = 1602


def stubmedia(*args):
    """Runs the tool with --json; (exit code, parsed report)."""
    logs = w.config().e2e_dir / "stubmedia-logs"
    logs.mkdir(parents=True, exist_ok=True)
    out_path, err_path = logs / "stdout.json", logs / "stderr.txt"
    with open(out_path, "wb") as out, open(err_path, "wb") as err:
        code = subprocess.call([str(stubmedia_path())] + [str(a) for a in args] + ["--json"],
                               stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=300)
    text = out_path.read_text(encoding="utf-8")
    try:
        return code, json.loads(text)
    except ValueError as e:
        raise AssertionError(f"stubmedia {args} printed no JSON ({e}):\n{text}\n{err_path.read_text()}")


class StubmediaTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()
        cls.work = w.config().e2e_dir / "stubmedia"
        if cls.work.exists():
            shutil.rmtree(cls.work)
        cls.input = cls.work / "input"
        cls.input.mkdir(parents=True)
        cls.upgrade_code = "{" + str(uuid.uuid4()).upper() + "}"
        product_code = w.new_upgrade_code()
        # A product of several files and its German build; the transforms are
        # made from them, so an installation shows which one was applied.
        builds = {}
        for language in (1033, 1031):
            greeting, readme, logo = LANGUAGES[language]
            builds[language] = build_product(cls.work / "msi" / f"{language}" / PACKAGE, cls.upgrade_code,
                                             product_code, language, greeting, readme, logo, product=PRODUCT)
        cls.package = w.MsiPackage(builds[1033], product_code, cls.upgrade_code, PRODUCT, "1.0.0", PRODUCT)
        shutil.copyfile(cls.package.path, cls.input / PACKAGE)
        for language in (1031, 1033):
            code, text = run_stubmedia("transform", builds[1033], builds[language], "-o",
                                       cls.input / f"{language}.mst")
            if code != 0:
                raise AssertionError(f"stubmedia transform failed ({code}):\n{text}")
        cls.installed = cls.wine.drive_c / "users" / cls.wine.user_name / "AppData" / "Local" / PRODUCT
        cls.syslang = int(cls.wine.windows_info()["syslang"], 0)

    def setUp(self):
        self.wine.restore_msiexec()
        self.uninstall()

    def tearDown(self):
        self.wine.restore_msiexec()
        self.uninstall()

    def uninstall(self):
        if self.wine.related_products(self.upgrade_code):
            self.wine.uninstall_msi(self.package.product_code)
        self.wine.wait_no_process("brelm_eject.exe", timeout=30)
        for name in (PACKAGE, "1031.mst", "1033.mst"):
            staged = self.wine.temp_dir / name
            if staged.exists():
                os.chmod(staged, 0o644)
                staged.unlink()

    def pack(self, name, setup, *options):
        medium = self.work / name
        if medium.exists():
            shutil.rmtree(medium)
        code, report = stubmedia("pack", self.input, medium, "--upgrade-code", self.upgrade_code,
                                 "--setup-exe", setup, "--quiet", *options)
        self.assertEqual(code, 0, report)
        self.assertTrue(report["written"], report)
        for f in report["files"]:
            self.assertEqual(f["verified"], f["compressed"], f)
        return medium

    def check_clean(self, medium, setup_arch, *options):
        code, report = stubmedia("check", medium, *options)
        self.assertEqual(code, 0, report)
        self.assertEqual(report["errors"], 0, report)
        # The x86-64 twin is flagged, rightly: media should carry the 32-bit
        # build. So is the unsigned launcher.
        allowed = {"setup-unsigned"} | ({"setup-64bit"} if setup_arch == "win64" else set())
        warnings = {f["code"] for f in report["findings"] if f["severity"] == "warning"}
        self.assertLessEqual(warnings, allowed, report)

    def explain(self, medium, setup_arch, *options):
        # The 64-bit twin is never a WOW64 process; the real one is in this prefix.
        bits = "--32bit" if setup_arch == "win64" else "--64bit"
        code, report = stubmedia("explain", medium, "--drive", "M", "--windows-temp",
                                 self.wine.temp_dir_windows + "\\", bits, *options)
        self.assertEqual(code, 0, report)
        return report

    def recorded_start(self, program):
        """setup.exe run once with the recording msiexec: its one start."""
        self.wine.install_recording_msiexec()
        self.wine.set_msiexec_exit(CANCELLED)
        try:
            self.assertEqual(self.wine.run(program, []), CANCELLED)
            records = self.wine.msiexec_records()
        finally:
            self.wine.restore_msiexec()
        self.assertEqual(len(records), 1, records)
        return records[0]

    def assert_explained(self, record, explained):
        """explain's prediction is the real setup.exe's msiexec start."""
        self.assertEqual(record.argv[1:], w.split_command_line(explained["msiexec"]["parameters"]))
        self.assertEqual(record.cwd.rstrip("\\").lower(), explained["msiexec"]["directory"].rstrip("\\").lower())

    def test_packed_compressed_medium_installs_with_wine_msiexec(self):
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                self.uninstall()
                setup = exe.require()
                # This system's language is mapped to 1031, so the map decides.
                medium = self.pack(f"compressed-{exe.arch}", setup, "--map", f"{self.syslang}=1031")
                self.assertTrue((medium / f"{PRODUCT}.ms_").is_file())
                self.assertFalse((medium / PACKAGE).exists())
                self.check_clean(medium, exe.arch)
                explained = self.explain(medium, exe.arch, "--system-language", str(self.syslang))
                self.assertEqual(explained["language"]["number"], 1031, explained)
                self.assertEqual(explained["staging"]["form"], "compressed", explained)

                self.wine.add_drive("m", medium, type="cdrom", label="STUBMEDIA")
                program = "M:\\setup.exe"
                record = self.recorded_start(program)
                self.assert_explained(record, explained)
                self.assertEqual((self.wine.temp_dir / PACKAGE).read_bytes(), self.package.path.read_bytes())
                self.assertEqual((self.wine.temp_dir / "1031.mst").read_bytes(),
                                 (self.input / "1031.mst").read_bytes())

                # And for real: Wine's msiexec installs the product.
                self.uninstall()
                result = self.wine.run(program, [], timeout=180)
                self.assertEqual(result, 0, result)
                self.assertEqual(self.wine.related_products(self.upgrade_code), [self.package.product_code])
                self.assertEqual(self.wine.product_state(self.package.product_code), 5)
                # Installed with the German transform: its file name, not the base's.
                self.assertTrue((self.installed / "liesmich.txt").is_file())
                self.assertFalse((self.installed / "readme.txt").exists())

    def test_packed_plain_medium_takes_the_language_from_the_volume_label(self):
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                self.uninstall()
                setup = exe.require()
                medium = self.pack(f"plain-{exe.arch}", setup, "--plain", "--language-from-label",
                                   "--label", "STUBMEDIA1031")
                self.check_clean(medium, exe.arch)
                explained = self.explain(medium, exe.arch)
                self.assertEqual(explained["language"]["method"], "label", explained)
                self.assertEqual(explained["staging"]["form"], "plain", explained)

                self.wine.add_drive("m", medium, type="cdrom", label="STUBMEDIA1031")
                record = self.recorded_start("M:\\setup.exe")
                self.assertEqual(record.argv[1:], ["-i", f"M:\\{PACKAGE}", "TRANSFORMS=1031.mst"])
                self.assert_explained(record, explained)

                self.uninstall()
                result = self.wine.run("M:\\setup.exe", [], timeout=180)
                self.assertEqual(result, 0, result)
                self.assertEqual(self.wine.related_products(self.upgrade_code), [self.package.product_code])
                self.assertTrue((self.installed / "liesmich.txt").is_file())


if __name__ == "__main__":
    unittest.main()
