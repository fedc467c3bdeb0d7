"""The media hand-off under Wine: the eject helper's copy and start, eject
mode's bounded wait for the installing run, and the drive requests."""

import os
import re
import shutil
import time
import unittest

import wine_env as w

HELPER = "brelm_eject.exe"
EJECT_CODE = 0x2D4808
LOAD_CODE = 0x2D480C


def debugstr(text):
    """How Wine's traces quote a wide string."""
    return 'L"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def device_opens(trace, letter):
    """Access words of every CreateFileW of the drive's device in a +file trace."""
    device = debugstr("\\\\.\\" + letter + ":")
    pattern = re.escape(f"CreateFileW {device} ") + r"(.*?) FILE_SHARE_READ FILE_SHARE_WRITE  creation 3 attributes 0x0$"
    return [m.group(1) for m in re.finditer(pattern, trace, re.M)]


def storage_requests(trace, code):
    """The DeviceIoControl calls shaped as load or eject requests with that
    code; handle None for a request sent without a device."""
    return w.traced_storage_requests(trace, code)


def device_requests(trace, code, letter="M"):
    """Requests with that code that reached the drive's opened device."""
    return [r for r in storage_requests(trace, code) if r.handle is not None and r.path == "\\\\.\\" + letter + ":"]


class MediaTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()
        cls.medium = w.config().e2e_dir / "media-medium"
        cls.upgrade_code = w.new_upgrade_code()
        cls.package = None

    @classmethod
    def tearDownClass(cls):
        if cls.package is not None:
            cls.wine.uninstall_msi(cls.package)

    @classmethod
    def install_product(cls):
        """A real product for the medium's upgrade code, installed once per class."""
        if cls.package is None:
            cls.package = w.build_msi(w.config().e2e_dir / "media-pkg" / "media.msi", cls.upgrade_code,
                                      "SetupStub Media E2E", "1.0.0")
            result = cls.wine.install_msi(cls.package)
            assert result == 0, result
            assert cls.wine.related_products(cls.upgrade_code), "the product is not known after installing"

    def helper_path(self):
        return self.wine.temp_dir / HELPER

    def no_helper(self):
        """No helper running and none left in the temp directory."""
        self.wine.wait_no_process(HELPER)
        path = self.helper_path()
        if path.exists() or path.is_symlink():
            os.chmod(path, 0o644)
            path.unlink()

    def medium_with(self, setup, drive_type, upgrade_code):
        """Drive M: of that type holding setup.exe and autorun.inf."""
        if self.medium.exists():
            shutil.rmtree(self.medium)
        self.medium.mkdir(parents=True)
        shutil.copyfile(setup, self.medium / "setup.exe")
        (self.medium / "autorun.inf").write_text(f"[Setup]\r\nUpgradeCode={upgrade_code}\r\n")
        self.wine.add_drive("m", self.medium, type=drive_type)
        return self.medium / "setup.exe"

    def each_setup(self):
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                try:
                    yield exe.require()
                except GeneratorExit:
                    # the loop body failed: its own error is the report
                    return


class HandOffTests(MediaTestCase):
    def test_installed_product_starts_a_copy_in_temp_that_ejects_the_medium(self):
        self.install_product()
        for setup in self.each_setup():
            self.no_helper()
            program = self.medium_with(setup, "cdrom", self.upgrade_code)
            result = self.wine.run(program, [], winedebug="+file,+process")
            self.assertEqual(result, 0)
            self.wine.wait_no_process(HELPER)
            self.assertEqual(self.helper_path().read_bytes(), setup.read_bytes())

            trace = result.stderr
            line = f'"{self.wine.temp_dir_windows}\\{HELPER}" -eject#M{result.pid}'
            self.assertIn(f"CreateProcessInternalW app (null) cmdline {debugstr(line)}", trace)
            self.assertEqual(storage_requests(trace, LOAD_CODE), [], "no load request for an installed product")
            # The copy ran: it opened the medium's device for reading and asked it to eject.
            self.assertEqual(device_opens(trace, "M"), ["GENERIC_READ"])
            self.assertEqual(len(device_requests(trace, EJECT_CODE)), 1)

    def test_read_only_earlier_helper_is_deleted_and_replaced(self):
        self.install_product()
        for setup in self.each_setup():
            self.no_helper()
            old = self.helper_path()
            old.write_bytes(b"earlier helper")
            os.chmod(old, 0o444)
            # Wine as root would write through read-only files: a second name shows
            # whether the old file was deleted or overwritten in place.
            link = old.with_name("old-helper-link")
            if link.exists():
                link.unlink()
            os.link(old, link)
            try:
                program = self.medium_with(setup, "hd", self.upgrade_code)
                self.assertEqual(self.wine.run(program, []), 0)
                self.wine.wait_no_process(HELPER)
                self.assertEqual(self.helper_path().read_bytes(), setup.read_bytes())
                self.assertEqual(link.read_bytes(), b"earlier helper")
            finally:
                link.unlink()

    def test_earlier_helper_still_running_blocks_the_hand_off_but_not_the_run(self):
        self.install_product()
        for setup in self.each_setup():
            self.no_helper()
            earlier_bytes = setup.read_bytes() + b"an earlier copy"  # runs all the same
            self.helper_path().write_bytes(earlier_bytes)
            with self.wine.start_sleeper(60000) as sleeper:
                # An earlier eject run, still waiting for its installing run.
                earlier = self.wine.start(self.helper_path(), [f"-eject#C{sleeper.pid}"], timeout=30)
                w.wait_for(lambda: any(p[2].lower() == HELPER for p in self.wine.processes()), 15,
                           what="the earlier helper to run")
                program = self.medium_with(setup, "hd", self.upgrade_code)
                result = self.wine.run(program, [], winedebug="+process")
                self.assertEqual(result, 0)
                self.assertNotIn("-eject#M", result.stderr, "no second helper is started")
                self.assertEqual(earlier.wait(), 0)
            self.assertEqual(self.helper_path().read_bytes(), earlier_bytes, "the running copy's file is left alone")


class EjectModeTests(MediaTestCase):
    def eject_run(self, setup, tail, **kw):
        return self.wine.run(setup, tail, cwd=self.wine.temp_dir_windows + "\\", **kw)

    def test_eject_waits_for_a_live_process_at_most_five_seconds(self):
        for setup in self.each_setup():
            baseline = self.eject_run(setup, "-eject#C0")
            self.assertEqual(baseline, 0, "a fixed drive cannot eject")

            with self.wine.start_sleeper(2500) as sleeper:
                ends_at = time.monotonic() + 2.5
                result = self.eject_run(setup, f"-eject#C{sleeper.pid}")
                finished = time.monotonic()
                self.assertEqual(result, 0)
                self.assertGreaterEqual(finished, ends_at - 0.3, "the eject run did not wait")
                self.assertEqual(sleeper.wait(timeout=10), 0)

            with self.wine.start_sleeper(60000) as sleeper:
                result = self.eject_run(setup, f"-eject#C{sleeper.pid}")
                self.assertEqual(result, 0)
                self.assertTrue(sleeper.running(), "the waited-for process still runs")
                waited = result.elapsed - baseline.elapsed
                self.assertGreater(waited, 4.5)
                self.assertLess(waited, 7.5, "the wait is bounded at 5000 ms")

    def test_device_is_opened_with_the_access_of_its_drive_type_and_the_eject_fails_on_a_directory(self):
        cases = [("cdrom", ["GENERIC_READ"]), ("removable", ["GENERIC_READ GENERIC_WRITE"]), ("hd", [])]
        for setup in self.each_setup():
            for drive_type, opens in cases:
                with self.subTest(drive=drive_type):
                    self.medium_with(setup, drive_type, "{00000000-0000-0000-0000-000000000000}")
                    result = self.eject_run(setup, "-eject#M0", winedebug="+file")
                    self.assertEqual(result, 0, "a directory-backed drive cannot eject")
                    self.assertEqual(device_opens(result.stderr, "M"), opens)
                    # Sent in every case; without a device it fails at once.
                    requests = storage_requests(result.stderr, EJECT_CODE)
                    self.assertEqual(len(requests), 1)
                    self.assertEqual(requests[0].handle is not None, bool(opens))
                    self.assertEqual(requests[0].bits, w.pointer_bits(setup))


class LoadRequestTests(MediaTestCase):
    def test_install_mode_sends_the_load_request_to_its_own_drive(self):
        not_installed = w.new_upgrade_code()
        for setup in self.each_setup():
            for drive_type, opens in [("cdrom", ["GENERIC_READ"]), ("removable", ["GENERIC_READ GENERIC_WRITE"])]:
                with self.subTest(drive=drive_type):
                    self.no_helper()
                    program = self.medium_with(setup, drive_type, not_installed)
                    result = self.wine.run(program, [], winedebug="+file")
                    self.assertNotEqual(result, 0, "no package: the installation cannot succeed")
                    self.assertFalse(result.is_crash, result)
                    self.assertEqual(device_opens(result.stderr, "M"), opens)
                    self.assertEqual(len(device_requests(result.stderr, LOAD_CODE)), 1)
                    self.assertFalse(self.helper_path().exists(), "no hand-off after a failed installation")


if __name__ == "__main__":
    unittest.main()
