"""The installer launch under Wine, and the whole install road.

With the recording msiexec in place: the launch record as Wine's shell
receives it (+exec trace) and what msiexec itself sees (command line,
working directory, its own path) for a plain and a compressed medium; the
transform language from the volume label and from the language map;
msiexec's exit code passed through, with the eject hand-off only after 0;
the verbose log when the flag file exists; and the system's msiexec
started by its full path, never one lying beside the package.

Then with Wine's own msiexec: a medium holding only the compressed package,
its compressed transform and autorun.inf installs a real product, and the
next run finds it installed.

"Installer64" follows IsWow64Process: the real 32-bit build in the 64-bit
prefix runs under WOW64 and takes it, the 64-bit twin is a native process
and takes "Installer". A 32-bit prefix (IsWow64Process FALSE for the 32-bit
build too) is left to the host tests."""

import os
import random
import re
import shutil
import unittest

import wine_env as w

HELPER = "brelm_eject.exe"
PACKAGE = "Setup.msi"
FLAG = "BRELM_PELLIX_EnableLogging.txt"
LOG = "BRELM_PELLIX.log"
SYSTEM_MSIEXEC = "C:\\windows\\system32\\msiexec.exe"
CANCELLED = 1602
MASK = 0x440   # SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI
SW_SHOWNORMAL = 1


_TRACE_VALUE = r'(\(null\)|L"(?:[^"\\]|\\.)*")'
_SHELL_EXECUTE = re.compile(
    r"trace:exec:SHELL_execute mask=(0x[0-9a-f]+) hwnd=([0-9a-f]+) verb=" + _TRACE_VALUE +
    r" file=" + _TRACE_VALUE + r" parm=" + _TRACE_VALUE + r" dir=" + _TRACE_VALUE +
    r" show=(0x[0-9a-f]+)")


def shell_launches(result):
    """The launch records handed to ShellExecuteExW, as Wine traces them
    (needs +exec): dicts of mask, hwnd, verb, file, parameters, directory,
    show; None for a null string."""
    def value(text):
        return None if text == "(null)" else w._trace_unescape(text[2:-1])
    launches = []
    for m in _SHELL_EXECUTE.finditer(result.stderr):
        launches.append(dict(mask=int(m.group(1), 16), hwnd=int(m.group(2), 16), verb=value(m.group(3)),
                             file=value(m.group(4)), parameters=value(m.group(5)),
                             directory=value(m.group(6)), show=int(m.group(7), 16)))
    return launches


class InstallerTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()
        cls.medium = w.config().e2e_dir / "installer-medium"
        cls.originals = w.config().e2e_dir / "installer-originals"
        rng = random.Random(7)
        cls.package_bytes = rng.randbytes(40000) + b"table row " * 5000
        cls.transform_bytes = rng.randbytes(3000)

    def setUp(self):
        self.clean_temp()

    def clean_temp(self):
        self.wine.wait_no_process(HELPER)
        for entry in list(self.wine.temp_dir.iterdir()):
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                os.chmod(entry, 0o644)
                entry.unlink()

    def medium_with(self, setup, compressed=False, settings="", language_map=None, label="SETUPSTUB",
                    upgrade_code=None, package_bytes=None, transform_bytes=None):
        """Drive M: (CD-ROM) with setup.exe, autorun.inf and the package,
        plain or compressed with the transform 1033."""
        for directory in (self.medium, self.originals):
            if directory.exists():
                shutil.rmtree(directory)
            directory.mkdir(parents=True)
        shutil.copyfile(setup, self.medium / "setup.exe")
        text = ("[autorun]\r\nopen=setup.exe\r\nicon=setup.exe,0\r\n\r\n[Setup]\r\n"
                f"UpgradeCode={upgrade_code or w.new_upgrade_code()}\r\nInstaller={PACKAGE}\r\n{settings}")
        if language_map:
            text += "\r\n[LanguageMap]\r\n" + "".join(f"{k}={v}\r\n" for k, v in language_map.items())
        (self.medium / "autorun.inf").write_text(text)
        package = self.package_bytes if package_bytes is None else package_bytes
        if compressed:
            transform = self.transform_bytes if transform_bytes is None else transform_bytes
            for name, data in ((PACKAGE, package), ("1033.mst", transform)):
                (self.originals / name).write_bytes(data)
                w.compress_lzma_alone(self.originals / name, self.medium / (name[:-1] + "_"))
        else:
            (self.medium / PACKAGE).write_bytes(package)
        self.wine.add_drive("m", self.medium, type="cdrom", label=label)
        return self.medium / "setup.exe"

    def each_setup(self):
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                self.clean_temp()
                try:
                    yield exe.require()
                except GeneratorExit:
                    # the loop body failed: its own error is the report
                    return

    @staticmethod
    def starts_of(result, image_name):
        """Command lines of the processes of that image started (needs +process)."""
        return [cmd for image, cmd in w.traced_process_starts(result)
                if image.lower().rsplit("\\", 1)[-1] == image_name.lower()]


class RecordingTestCase(InstallerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.wine.install_recording_msiexec()

    @classmethod
    def tearDownClass(cls):
        cls.wine.restore_msiexec()

    def setUp(self):
        super().setUp()
        self.wine.clear_msiexec_records()
        self.wine.set_msiexec_exit(CANCELLED)

    def run_once(self, program, **kw):
        """Run setup.exe; the result and the one msiexec start it made."""
        self.wine.clear_msiexec_records()
        result = self.wine.run(program, [], **kw)
        records = self.wine.msiexec_records()
        self.assertEqual(len(records), 1, (result, records))
        return result, records[0]


class LaunchTests(RecordingTestCase):
    def test_plain_package_at_the_drive_root(self):
        for setup in self.each_setup():
            program = self.medium_with(setup)
            result, record = self.run_once(program, winedebug="+exec")
            self.assertEqual(result, CANCELLED)
            parameters = f'-i "M:\\{PACKAGE}" TRANSFORMS=1033.mst'
            self.assertEqual(shell_launches(result), [dict(
                mask=MASK, hwnd=0, verb=None, file=SYSTEM_MSIEXEC, parameters=parameters,
                directory="M:", show=SW_SHOWNORMAL)])
            self.assertEqual(record.cmdline, f'"{SYSTEM_MSIEXEC}" {parameters}')
            # Wine resolves the bare "M:" to the drive's current directory, its root.
            self.assertEqual(record.cwd, "M:\\")
            self.assertEqual(record.exe, self.wine.system_image("msiexec.exe", setup))

    def test_compressed_package_staged_in_temp(self):
        temp = self.wine.temp_dir_windows + "\\"    # as GetTempPathW returns it
        for setup in self.each_setup():
            program = self.medium_with(setup, compressed=True)
            result, record = self.run_once(program, winedebug="+exec")
            self.assertEqual(result, CANCELLED)
            parameters = f'-i "{temp}\\{PACKAGE}" TRANSFORMS=1033.mst'
            self.assertEqual(shell_launches(result), [dict(
                mask=MASK, hwnd=0, verb=None, file=SYSTEM_MSIEXEC, parameters=parameters,
                directory=temp, show=SW_SHOWNORMAL)])
            self.assertEqual(record.cmdline, f'"{SYSTEM_MSIEXEC}" {parameters}')
            # Wine reports a current directory other than a root without its trailing backslash.
            self.assertEqual(record.cwd, temp.rstrip("\\"))
            # the transform, named bare in the parameters, lies in msiexec's working directory
            self.assertEqual((self.wine.to_unix(record.cwd) / "1033.mst").read_bytes(), self.transform_bytes)
            self.assertEqual((self.wine.temp_dir / PACKAGE).read_bytes(), self.package_bytes)

    def test_a_planted_msiexec_beside_the_package_or_in_temp_is_never_run(self):
        recorder = w.tool_path("record_msiexec")
        for setup in self.each_setup():
            for compressed in (False, True):
                with self.subTest(compressed=compressed):
                    self.clean_temp()
                    program = self.medium_with(setup, compressed=compressed)
                    for directory in (self.medium, self.wine.temp_dir):
                        shutil.copyfile(recorder, directory / "msiexec.exe")
                    result, record = self.run_once(program)
                    self.assertEqual(result, CANCELLED)
                    self.assertEqual(record.exe, self.wine.system_image("msiexec.exe", setup))
                    # a planted one lay in msiexec's working directory, where a bare name finds it first
                    self.assertTrue((self.wine.to_unix(record.cwd) / "msiexec.exe").is_file(), record.cwd)
        self.clean_temp()


class PackageChoiceTests(RecordingTestCase):
    def test_installer64_is_taken_only_by_the_32_bit_build_under_wow64(self):
        for setup in self.each_setup():
            wow64 = w.pointer_bits(setup) == 32 and self.wine.arch == "win64"
            # (what, [Setup] lines after Installer=, the package msiexec gets)
            cases = [
                ("both named", "Installer64=Setup64.msi\r\n", "Setup64.msi" if wow64 else PACKAGE),
                ("Installer64 empty", "Installer64=\r\n", PACKAGE),
            ]
            for what, settings, package in cases:
                with self.subTest(what):
                    program = self.medium_with(setup, settings=settings)
                    (self.medium / "Setup64.msi").write_bytes(b"the 64-bit package")
                    result, record = self.run_once(program)
                    self.assertEqual(result, CANCELLED)
                    self.assertEqual(record.argv[1:3], ["-i", f"M:\\{package}"])


class LanguageTests(RecordingTestCase):
    def test_transform_language(self):
        german = {"LC_ALL": "de_DE.UTF-8"}
        # (what, extra [Setup] lines, [LanguageMap], volume label, environment, transform)
        cases = [
            ("label", "UseVolumeNameForLanguage=1\r\n", None, "PRODUCT1031", None, "1031.mst"),
            ("label without digits", "UseVolumeNameForLanguage=1\r\n", {1031: 1041}, "PRODUCT", german, "1033.mst"),
            ("map, German system", "", {1031: 1031}, "PRODUCT1041", german, "1031.mst"),
            ("map, system not listed", "", {1031: 1031}, "PRODUCT1041", None, "1033.mst"),
        ]
        for setup in self.each_setup():
            for what, settings, language_map, label, env, transform in cases:
                with self.subTest(what):
                    program = self.medium_with(setup, settings=settings, language_map=language_map, label=label)
                    result, record = self.run_once(program, env=env)
                    self.assertEqual(result, CANCELLED)
                    self.assertEqual(record.argv[1:], ["-i", f"M:\\{PACKAGE}", f"TRANSFORMS={transform}"])


class ExitCodeTests(RecordingTestCase):
    def test_msiexec_exit_code_passes_through_and_only_0_hands_off(self):
        for setup in self.each_setup():
            program = self.medium_with(setup)
            for code in (0, CANCELLED, 3010):
                with self.subTest(msiexec_exit=code):
                    self.clean_temp()
                    self.wine.set_msiexec_exit(code)
                    result, record = self.run_once(program, winedebug="+process")
                    self.assertEqual(result, code)
                    helpers = self.starts_of(result, HELPER)
                    if code == 0:
                        self.assertEqual(helpers, [f'"{self.wine.temp_dir_windows}\\{HELPER}" -eject#M{result.pid}'])
                        self.wine.wait_no_process(HELPER)
                        self.assertEqual((self.wine.temp_dir / HELPER).read_bytes(), setup.read_bytes())
                    else:
                        self.assertEqual(helpers, [])
                        self.assertFalse((self.wine.temp_dir / HELPER).exists())


class LoggingTests(RecordingTestCase):
    def test_flag_file_or_directory_turns_on_the_verbose_log(self):
        # the temp directory as returned, one more backslash, the log's name
        log_path = f"{self.wine.temp_dir_windows}\\\\{LOG}"
        logged = f'"{SYSTEM_MSIEXEC}" -i "M:\\{PACKAGE}" /l*v "{log_path}" TRANSFORMS=1033.mst'
        plain = f'"{SYSTEM_MSIEXEC}" -i "M:\\{PACKAGE}" TRANSFORMS=1033.mst'
        flag = self.wine.temp_dir / FLAG
        for setup in self.each_setup():
            program = self.medium_with(setup)
            for kind in ("file", "directory"):
                with self.subTest(flag=kind):
                    if kind == "file":
                        flag.write_bytes(b"")
                    else:
                        flag.mkdir()
                    _, record = self.run_once(program)
                    self.assertEqual(record.cmdline, logged)
                    self.assertEqual(record.argv[3:5], ["/l*v", log_path])
                    if kind == "file":
                        flag.unlink()
                    else:
                        flag.rmdir()
                    _, record = self.run_once(program)
                    self.assertEqual(record.cmdline, plain, "no flag, no log")


class RealInstallTests(InstallerTestCase):
    """Wine's own msiexec installs a wixl-built product from a compressed medium."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.wine.restore_msiexec()

    def test_compressed_medium_installs_the_product_and_the_next_run_finds_it(self):
        upgrade_code = w.new_upgrade_code()
        package = w.build_msi(w.config().e2e_dir / "installer-pkg" / PACKAGE, upgrade_code,
                              "SetupStub Installer E2E", "1.0.0",
                              files=[("readme.txt", "installed by setup.exe from a compressed medium\n")])
        installed_file = (self.wine.drive_c / "users" / self.wine.user_name / "AppData" / "Local" /
                          package.install_dir_name / "readme.txt")
        for setup in self.each_setup():
            self.addCleanup(self.uninstall, package)
            program = self.medium_with(setup, compressed=True, upgrade_code=upgrade_code,
                                       package_bytes=package.path.read_bytes(),
                                       transform_bytes=b"a placeholder transform")
            self.assertEqual(sorted(p.name for p in self.medium.iterdir() if p.name != ".windows-label"),
                             ["1033.ms_", "Setup.ms_", "autorun.inf", "setup.exe"])
            self.assertEqual(self.wine.related_products(upgrade_code), [])

            first = self.wine.run(program, [], winedebug="+process", timeout=180)
            self.assertEqual(first, 0)
            self.assertEqual(self.starts_of(first, "msiexec.exe"),
                             [f'"{SYSTEM_MSIEXEC}" -i "{self.wine.temp_dir_windows}\\\\{PACKAGE}" TRANSFORMS=1033.mst'])
            self.assertEqual(self.wine.related_products(upgrade_code), [package.product_code])
            self.assertTrue(installed_file.is_file(), installed_file)
            self.assertEqual(len(self.starts_of(first, HELPER)), 1)
            self.wine.wait_no_process(HELPER)

            second = self.wine.run(program, [], winedebug="+process")
            self.assertEqual(second, 0)
            self.assertEqual(self.starts_of(second, "msiexec.exe"), [], "installed already")
            self.assertEqual(len(self.starts_of(second, HELPER)), 1)
            self.wine.wait_no_process(HELPER)

            self.uninstall(package)
            self.assertEqual(self.wine.related_products(upgrade_code), [])
            self.assertFalse(installed_file.exists())

    def uninstall(self, package):
        if self.wine.related_products(package.upgrade_code):
            self.assertEqual(self.wine.uninstall_msi(package), 0)


if __name__ == "__main__":
    unittest.main()
