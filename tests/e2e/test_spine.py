"""The program's spine under Wine: the single-instance guard by its name, the
installed-product check against Wine's real Windows Installer, and the exit
codes when the settings name no package.

msiexec is the recording one throughout (scripted to end with 1602, so no
hand-off follows a run that reaches it); the installed product is put in
place by Wine's own msiexec.

The choice of "Installer64" is shown in test_installer.py."""

import os
import shutil
import unittest

import wine_env as w

HELPER = "brelm_eject.exe"
PACKAGE = "SpineE2E.msi"
CANCELLED = 1602   # the recording msiexec's scripted result
GUARD_PREFIX = "brelm_pellix_"


class SpineTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()
        cls.wine.install_recording_msiexec()
        cls.wine.set_msiexec_exit(CANCELLED)
        cls.medium = w.config().e2e_dir / "spine-medium"

    @classmethod
    def tearDownClass(cls):
        cls.wine.restore_msiexec()

    def setUp(self):
        self.wine.set_msiexec_exit(CANCELLED)
        self.wine.clear_msiexec_records()
        self.wine.wait_no_process(HELPER)
        helper = self.wine.temp_dir / HELPER
        if helper.exists():
            os.chmod(helper, 0o644)
            helper.unlink()

    def medium_with(self, setup, autorun, letter="m"):
        """A CD-ROM drive (M: unless told) with setup.exe, a plain placeholder
        package and autorun.inf holding `autorun` (None: no autorun.inf at all)."""
        medium = self.medium if letter == "m" else self.medium.with_name(f"spine-medium-{letter}")
        if medium.exists():
            shutil.rmtree(medium)
        medium.mkdir(parents=True)
        shutil.copyfile(setup, medium / "setup.exe")
        (medium / PACKAGE).write_bytes(b"a placeholder package")
        if autorun is not None:
            (medium / "autorun.inf").write_text(autorun)
        self.wine.add_drive(letter, medium, type="cdrom", label="SPINE1033")
        return medium / "setup.exe"

    @staticmethod
    def settings(upgrade_code=None, installer=PACKAGE):
        text = "[Setup]\r\n"
        if upgrade_code is not None:
            text += f"UpgradeCode={upgrade_code}\r\n"
        if installer is not None:
            text += f"Installer={installer}\r\n"
        return text

    def each_setup(self):
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                self.setUp()
                try:
                    yield exe.require()
                except GeneratorExit:
                    # the loop body failed: its own error is the report
                    return

    def helper_starts(self, result):
        """Command lines of eject helpers started (needs +process)."""
        return [cmd for image, cmd in w.traced_process_starts(result)
                if image.lower().endswith("\\" + HELPER)]

    def msiexec_starts(self, result):
        return [cmd for image, cmd in w.traced_process_starts(result) if "msiexec" in image.lower()]


class GuardTests(SpineTestCase):
    def test_guard_name_held_elsewhere(self):
        code, other = w.new_upgrade_code(), w.new_upgrade_code()
        # (object held, its name, the medium's upgrade code, exit code, msiexec started)
        cases = [
            ("mutex", GUARD_PREFIX + code, code, 183, False),
            # without an upgrade code the prefix alone is the guard name
            ("mutex", GUARD_PREFIX, None, 183, False),
            ("mutex", GUARD_PREFIX + other, code, CANCELLED, True),
            # a name taken by an event gives no mutex: the run goes on unguarded
            ("event", GUARD_PREFIX + code, code, CANCELLED, True),
        ]
        for setup in self.each_setup():
            for kind, name, upgrade_code, expected, installs in cases:
                with self.subTest(held=kind, name=name, upgrade_code=upgrade_code):
                    self.wine.clear_msiexec_records()
                    program = self.medium_with(setup, self.settings(upgrade_code))
                    with self.wine.hold_object(kind, name) as held:
                        self.assertEqual(held.status, "created", name)
                        result = self.wine.run(program, [], winedebug="+process")
                    self.assertEqual(result, expected)
                    self.assertEqual(len(self.wine.msiexec_records()), 1 if installs else 0)
                    self.assertEqual(len(self.msiexec_starts(result)), 1 if installs else 0)
                    self.assertEqual(self.helper_starts(result), [], "no hand-off after 183 or 1602")

    def test_second_copy_ends_with_183_while_the_first_waits_for_msiexec(self):
        code = w.new_upgrade_code()
        for setup in self.each_setup():
            program = self.medium_with(setup, self.settings(code))
            self.wine.set_msiexec_exit(CANCELLED, delay_ms=4000)
            first = self.wine.start(program, [], timeout=60)
            w.wait_for(lambda: self.wine.msiexec_records() or not first.running(), 30,
                       what="the first copy to start msiexec")
            self.assertTrue(first.running(), first)
            # The first copy's guard has exactly this name.
            self.assertEqual(self.wine.probe_object("mutex", GUARD_PREFIX + code), 183)
            second = self.wine.run(program, [])
            self.assertEqual(second, 183)
            self.assertLess(second.elapsed, 3, "the second copy does not wait")
            self.assertEqual(first.wait(), CANCELLED)
            self.assertEqual(len(self.wine.msiexec_records()), 1, "only the first copy ran msiexec")

            # Once the first has ended its name is free again.
            self.wine.set_msiexec_exit(CANCELLED)
            self.assertEqual(self.wine.run(program, []), CANCELLED)
            self.assertEqual(len(self.wine.msiexec_records()), 2)


    def test_upgrade_codes_differing_only_in_case_run_side_by_side(self):
        # Named objects are case-sensitive, on Windows and under Wine alike.
        code = w.new_upgrade_code()
        self.addCleanup(self.wine.remove_drive, "n")
        for setup in self.each_setup():
            upper = self.medium_with(setup, self.settings(code))
            lower = self.medium_with(setup, self.settings(code.lower()), letter="n")
            self.wine.set_msiexec_exit(CANCELLED, delay_ms=4000)
            first = self.wine.start(upper, [], timeout=60)
            w.wait_for(lambda: self.wine.msiexec_records() or not first.running(), 30,
                       what="the first copy to start msiexec")
            self.assertTrue(first.running(), first)
            self.assertEqual(self.wine.probe_object("mutex", GUARD_PREFIX + code), 183)
            self.wine.set_msiexec_exit(CANCELLED)   # the second copy's msiexec ends at once
            second = self.wine.run(lower, [])
            self.assertEqual(second, CANCELLED)
            self.assertTrue(first.running(), "the second copy ran while the first waited for msiexec")
            self.assertEqual(first.wait(), CANCELLED)
            self.assertEqual([r.argv[2] for r in self.wine.msiexec_records()],
                             [f"M:\\{PACKAGE}", f"N:\\{PACKAGE}"])


class InstalledProductTests(SpineTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.upgrade_code = w.new_upgrade_code()
        cls.package = w.build_msi(w.config().e2e_dir / "spine-pkg" / "spine.msi", cls.upgrade_code,
                                  "SetupStub Spine E2E", "1.0.0")
        result = cls.wine.install_msi(cls.package)
        assert result == 0, result

    @classmethod
    def tearDownClass(cls):
        cls.wine.uninstall_msi(cls.package)
        super().tearDownClass()

    def test_installed_product_is_recognised_and_only_the_eject_helper_starts(self):
        self.assertEqual(self.wine.related_products(self.upgrade_code), [self.package.product_code])
        for setup in self.each_setup():
            program = self.medium_with(setup, self.settings(self.upgrade_code))
            result = self.wine.run(program, [], winedebug="+process")
            self.assertEqual(result, 0)
            self.assertEqual(self.wine.msiexec_records(), [])
            self.assertEqual(self.msiexec_starts(result), [])
            self.assertEqual(self.helper_starts(result),
                             [f'"{self.wine.temp_dir_windows}\\{HELPER}" -eject#M{result.pid}'])
            self.wine.wait_no_process(HELPER)

    def test_another_upgrade_code_is_not_taken_for_the_installed_product(self):
        for setup in self.each_setup():
            program = self.medium_with(setup, self.settings(w.new_upgrade_code()))
            self.assertEqual(self.wine.run(program, []), CANCELLED)
            self.assertEqual(len(self.wine.msiexec_records()), 1)


class NoPackageNamedTests(SpineTestCase):
    def test_settings_that_name_no_package_end_with_an_error_and_start_nothing(self):
        # Wine's GetPrivateProfileStringW leaves ERROR_FILE_NOT_FOUND (2) when
        # the file is missing and 0 when only the key is, which the program
        # turns into 1603.
        cases = [
            ("no autorun.inf", None, 2),
            ("no Installer key", self.settings(w.new_upgrade_code(), installer=None), 1603),
            ("empty Installer value", self.settings(w.new_upgrade_code(), installer=""), 1603),
        ]
        for setup in self.each_setup():
            for what, autorun, expected in cases:
                with self.subTest(what):
                    program = self.medium_with(setup, autorun)
                    result = self.wine.run(program, [], winedebug="+process")
                    self.assertEqual(result, expected)
                    self.assertEqual(self.wine.msiexec_records(), [])
                    self.assertEqual(self.msiexec_starts(result), [])
                    self.assertEqual(self.helper_starts(result), [])
                    self.assertFalse((self.wine.temp_dir / HELPER).exists())


if __name__ == "__main__":
    unittest.main()


class SettingsFileTests(SpineTestCase):
    """The settings file is read by Windows' own rules; the simulated Windows
    of the host tests follows the same ones, checked here against Wine, which
    differs in one case named below."""

    def test_reading_rules(self):
        # (what, autorun.inf bytes, the package msiexec is given, or None: no msiexec)
        plain = f"M:\\{PACKAGE}"
        cases = [
            ("names match without regard to case", f"[SETUP]\r\ninstaller={PACKAGE}\r\n".encode(), plain),
            ("one pair of quotes is removed", f"[Setup]\r\nInstaller=\"{PACKAGE}\"\r\n".encode(), plain),
            ("blanks around key and value", f"[ Setup ]\r\n  Installer =  {PACKAGE}  \r\n".encode(), plain),
            # Wine decodes a UTF-8 mark. Windows does not: "[Setup]" behind it is
            # no section there, and the run would end with 2 having started nothing.
            ("UTF-8 with its byte-order mark, which Wine decodes",
             f"\ufeff[Setup]\r\nInstaller={PACKAGE}\r\n".encode("utf-8"), plain),
            ("UTF-16 with its byte-order mark", ("\ufeff" + f"[Setup]\r\nInstaller={PACKAGE}\r\n").encode("utf-16-le"),
             plain),
            ("only the first section of a name is read",
             f"[Setup]\r\nUpgradeCode=\r\n[Setup]\r\nInstaller={PACKAGE}\r\n".encode(), None),
            ("a line without its closing bracket is no section",
             f"[Other]\r\n[Setup\r\nInstaller=wrong.msi\r\n[Setup]\r\nInstaller={PACKAGE}\r\n".encode(), plain),
            ("the first line of a key counts",
             f"[Setup]\r\nInstaller={PACKAGE}\r\nInstaller=wrong.msi\r\n".encode(), plain),
        ]
        for setup in self.each_setup():
            for what, text, package in cases:
                with self.subTest(what):
                    self.wine.clear_msiexec_records()
                    program = self.medium_with(setup, "")
                    (self.medium / "autorun.inf").write_bytes(text)
                    result = self.wine.run(program, [])
                    records = self.wine.msiexec_records()
                    if package is None:
                        self.assertEqual(records, [], result)
                        self.assertNotEqual(result, 0)
                    else:
                        self.assertEqual(result, CANCELLED)
                        self.assertEqual(len(records), 1)
                        self.assertIn(f'-i "{package}"', records[0].cmdline)
