"""Self-tests of the e2e harness, using only its own helper programs."""

import time
import unittest
import uuid

import wine_env as w


class WineTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()

    def winfo(self, *args, **kw):
        """Run winfo; its key=value output as a dict."""
        result = self.wine.run(w.tool_path("winfo"), *args, **kw)
        self.assertEqual(result, 0)
        return dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)


def argv_of(info):
    return [info[f"arg:{i}"] for i in range(sum(k.startswith("arg:") for k in info))]


TRICKY_ARGS = [
    "plain",
    "with space",
    'quote"inside',
    "trailing\\",
    "space and trailing\\",
    "\\\\server\\share\\",
    "",
    'a\\\\"b',
    "tab\there",
    "Ünïcødé ✓ 日本",
    "C:\\path with space\\pkg.msi",
    "TRANSFORMS=1033.mst",
]


class CommandLineTests(WineTestCase):
    def test_quoting_round_trips_through_the_windows_c_runtime(self):
        info = self.winfo(TRICKY_ARGS)
        self.assertEqual(argv_of(info)[1:], TRICKY_ARGS)
        self.assertEqual(w.split_command_line(info["cmdline"])[1:], TRICKY_ARGS)

    def test_split_agrees_with_the_c_runtime_on_raw_command_lines(self):
        raws = [
            r'a""b "c""d" e',
            r'x\\\"y "z\\" \\\\"w"',
            '   lead  "unterminated quote',
            r'"" "" x',
            r'a\b\\c\\\"d',
        ]
        for raw in raws:
            with self.subTest(raw=raw):
                info = self.winfo(raw)
                self.assertEqual(info["cmdline"].split(" ", 1)[1], raw)
                self.assertEqual(w.split_command_line(info["cmdline"]), argv_of(info))

    def test_complete_command_line_with_a_chosen_program_name(self):
        info = self.winfo(cmdline="fake-name.exe  x", app=self.wine.to_windows(w.tool_path("winfo")))
        self.assertEqual(info["cmdline"], "fake-name.exe  x")
        self.assertEqual(argv_of(info), ["fake-name.exe", "x"])


class RunTests(WineTestCase):
    def test_exit_code_is_the_full_unsigned_32_bit_value(self):
        # wine's own Unix exit status would keep only the low byte
        for code, crash in [(0, False), (256, False), (1602, False), (3010, False),
                            (0xC0000409, True)]:
            with self.subTest(code=hex(code)):
                result = self.wine.run(w.tool_path("sleeper"), ["C:\\e2e\\s.pid", "0", str(code)])
                self.assertEqual(result, code)
                self.assertEqual(result.is_crash, crash)
        self.assertEqual(result.signed, 0xC0000409 - (1 << 32))
        self.assertEqual(result.status_name, "STATUS_STACK_BUFFER_OVERRUN")

    def test_working_directory(self):
        tool = w.tool_path("winfo")
        sub = self.wine.drive_c / "e2e" / "Work Dir"
        sub.mkdir(parents=True, exist_ok=True)
        for cwd, expected in [(None, self.wine.to_windows(tool.parent)),
                              ("C:\\windows", "C:\\windows"),
                              (sub, "C:\\e2e\\Work Dir")]:
            with self.subTest(cwd=cwd):
                self.assertEqual(self.winfo(cwd=cwd)["cwd"].rstrip("\\"), expected)

    def test_environment_reaches_the_program(self):
        info = self.wine.windows_info(["E2E_SET", "E2E_UNSET"], env={"E2E_SET": "on é", "E2E_UNSET": None})
        self.assertEqual(info["env:E2E_SET"], "on é")
        self.assertIsNone(info["env:E2E_UNSET"])

    def test_locale_follows_lc_all(self):
        self.assertEqual(self.wine.windows_info()["syslang"], "0x0409")
        self.assertEqual(self.wine.windows_info(env={"LC_ALL": "de_DE.UTF-8"})["syslang"], "0x0407")

    def test_timeout_terminates_the_program(self):
        start = time.monotonic()
        with self.assertRaises(w.WineTimeout) as caught:
            self.wine.run(w.tool_path("sleeper"), ["C:\\e2e\\t.pid", "60000"], timeout=1)
        self.assertLess(time.monotonic() - start, 15)
        self.assertNotIn(caught.exception.pid, [p[0] for p in self.wine.processes()])

    def test_program_that_cannot_start_is_a_harness_error(self):
        with self.assertRaisesRegex(w.HarnessError, r"error=2 CreateProcessW"):
            self.wine.run("C:\\does\\not\\exist.exe")

    def test_temp_dir_is_what_windows_reports(self):
        info = self.wine.windows_info()
        self.assertEqual(info["temp"], self.wine.temp_dir_windows + "\\")
        self.assertEqual(info["user"], self.wine.user_name)
        self.assertTrue(self.wine.temp_dir.is_dir())
        self.assertEqual(self.wine.to_unix(info["temp"]), self.wine.temp_dir)


class PathTests(WineTestCase):
    def test_unix_to_windows(self):
        self.assertEqual(self.wine.to_windows(self.wine.drive_c / "e2e" / "x y.txt"), "C:\\e2e\\x y.txt")
        self.assertEqual(self.wine.to_windows("/usr/share"), "Z:\\usr\\share")

    def test_windows_to_unix_ignores_case_like_windows(self):
        temp = self.wine.temp_dir
        self.assertEqual(self.wine.to_unix(f"c:\\USERS\\{self.wine.user_name.upper()}\\temp"), temp)
        self.assertEqual(self.wine.to_unix("C:/users/../users/Public"), self.wine.drive_c / "users" / "Public")
        with self.assertRaises(ValueError):
            self.wine.to_unix("Q:\\nowhere")
        with self.assertRaises(ValueError):
            self.wine.to_unix("relative\\path")


class DriveTests(WineTestCase):
    def setUp(self):
        self.media = self.wine.path.parent / "media-drive-tests"
        self.addCleanup(self._remove, "m")

    def _remove(self, letter):
        if letter in self.wine._drives:
            self.wine.remove_drive(letter)

    def test_drive_types_and_labels(self):
        for kind, expected, label in [("cdrom", w.DRIVE_CDROM, "SETUP_CD"),
                                      ("removable", w.DRIVE_REMOVABLE, "STICK"),
                                      ("hd", w.DRIVE_FIXED, "Données"),
                                      ("cdrom", w.DRIVE_CDROM, "")]:
            with self.subTest(kind=kind, label=label):
                self.wine.add_drive("M:", self.media, kind, label=label)
                info = self.wine.drive_info("m")
                self.assertEqual(info.type, expected, info)
                self.assertTrue(info.volume_ok, info)
                self.assertEqual(info.label, label)

    def test_relabel_and_remove(self):
        self.wine.add_drive("m", self.media, "cdrom", label="FIRST")
        self.assertEqual(self.wine.drive_info("m").label, "FIRST")
        self.wine.set_drive_label("m", "SECOND")
        self.assertEqual(self.wine.drive_info("m").label, "SECOND")
        self.wine.remove_drive("m")
        self.assertEqual(self.wine.drive_info("m").type, w.DRIVE_NO_ROOT_DIR)

    def test_windows_paths_on_the_drive_map_to_its_directory(self):
        self.wine.add_drive("m", self.media, "removable")
        (self.media / "AutoRun.inf").write_text("[x]\n")
        self.assertEqual(self.wine.to_unix("M:\\autorun.INF"), self.media / "AutoRun.inf")
        self.assertEqual(self.wine.to_windows(self.media / "sub"), "M:\\sub")

    def test_c_and_z_are_refused(self):
        for letter in ("C:", "z", "1"):
            with self.subTest(letter=letter), self.assertRaises(ValueError):
                self.wine.add_drive(letter, self.media)


class TraceTests(WineTestCase):
    def test_device_requests_are_read_from_the_file_trace(self):
        media = self.wine.path.parent / "media-trace"
        media.mkdir(exist_ok=True)
        result = self.wine.run(w.tool_path("define_drive"), ["n", "cdrom", str(media)], winedebug="+file")
        self.addCleanup(self.wine.remove_drive, "n")
        self.assertEqual(result, 0)
        self.assertIn(("\\\\.\\MountPointManager", 0x6DC080), w.traced_device_ioctls(result))
        opened = [o for o in w.traced_opens(result) if o[0] == "\\\\.\\MountPointManager"]
        self.assertEqual(len(opened), 1)
        self.assertIn("GENERIC_READ", opened[0][1])
        self.assertIsNotNone(opened[0][2])

    def test_trace_strings_are_unescaped(self):
        line = ('0104:0108:trace:process:NtCreateUserProcess L"x" image L"C:\\\\a\\00e9.exe" '
                'cmdline L"\\"C:\\\\a\\00e9.exe\\" \\\\\\00e9\\t" parent (nil)')
        self.assertEqual(w.traced_process_starts(line), [("C:\\aé.exe", '"C:\\aé.exe" \\é\t')])


class RecordingMsiexecTests(WineTestCase):
    PARAMS = '-i "C:\\Media Dir\\pkg ü.msi" TRANSFORMS=1033.mst'

    def setUp(self):
        self.wine.install_recording_msiexec()
        self.addCleanup(self.wine.restore_msiexec)

    def shell_exec(self, params=PARAMS, directory="C:\\users"):
        return self.wine.run(w.tool_path("shell_exec"), ["msiexec.exe", params, directory])

    def test_records_launch_and_returns_the_scripted_exit_code(self):
        cases = [("0", 0), ("1602", 1602), ("3010\r\n", 3010), ("0xC0000409", 0xC0000409)]
        for n, (script, expected) in enumerate(cases, 1):
            with self.subTest(script=script):
                self.wine.set_msiexec_exit(script)
                self.assertEqual(self.shell_exec(), expected)
                records = self.wine.msiexec_records()
                self.assertEqual(len(records), n)
                rec = records[-1]
                self.assertEqual(rec.run, n)
                self.assertEqual(rec.exit, expected)
                self.assertEqual(rec.exe.lower(), "c:\\windows\\system32\\msiexec.exe")
                self.assertTrue(rec.cmdline.endswith(" " + self.PARAMS), rec.cmdline)
                self.assertEqual(rec.argv[1:], ["-i", "C:\\Media Dir\\pkg ü.msi", "TRANSFORMS=1033.mst"])
                self.assertEqual(rec.cwd.rstrip("\\"), "C:\\users")

    def test_malformed_script_is_not_taken_for_an_exit_code(self):
        self.wine.set_msiexec_exit("16o2")
        self.assertEqual(self.shell_exec(), w.MSIEXEC_BAD_SCRIPT)

    def test_exact_command_line_and_escapes(self):
        cmdline = 'msiexec.exe /i "C:\\a\\\\b\\"q" \t{tab} "日本"'
        self.assertEqual(self.wine.run("msiexec.exe", cmdline=cmdline, cwd="C:\\e2e"), 0)
        (rec,) = self.wine.msiexec_records()
        self.assertEqual(rec.cmdline, cmdline)
        self.assertEqual(rec.cwd.rstrip("\\"), "C:\\e2e")

    def test_launch_is_recorded_before_the_delay_ends(self):
        self.wine.set_msiexec_exit(1602, delay_ms=1500)
        bg = self.wine.start(w.tool_path("shell_exec"), ["msiexec.exe", "/x", ""])
        w.wait_for(self.wine.msiexec_records, 20, what="the msiexec record")
        self.assertTrue(bg.running())
        result = bg.wait()
        self.assertEqual(result, 1602)
        self.assertGreaterEqual(result.elapsed, 1.5)

    def test_process_trace_shows_the_launch(self):
        result = self.wine.run(w.tool_path("shell_exec"), ["msiexec.exe", '/i "C:\\é\\x.msi"', ""],
                               winedebug="+process")
        starts = [s for s in w.traced_process_starts(result) if s[0].lower().endswith("msiexec.exe")]
        self.assertEqual(starts, [("C:\\windows\\system32\\msiexec.exe",
                                   '"C:\\windows\\system32\\msiexec.exe" /i "C:\\é\\x.msi"')])

    def test_restore_brings_back_wines_msiexec(self):
        sysdir = self.wine.drive_c / "windows" / "system32"
        self.wine.restore_msiexec()
        self.assertFalse(self.wine.recording_msiexec_installed())
        self.assertEqual((sysdir / "msiexec.exe").read_bytes(),
                         (self.wine.path / "e2e-originals" / "system32" / "msiexec.exe").read_bytes())
        # Wine's own msiexec answers ERROR_UNKNOWN_PRODUCT and records nothing
        self.assertEqual(self.shell_exec("/qn /x {00000000-0000-0000-0000-000000000001}"), 1605)
        self.assertEqual(self.wine.msiexec_records(), [])


class NamedObjectTests(WineTestCase):
    def test_held_mutex_makes_other_creators_see_already_exists(self):
        name = f"brelm_pellix_{{{str(uuid.uuid4()).upper()}}}"
        with self.wine.hold_object("mutex", name) as held:
            self.assertEqual((held.status, held.error), ("created", 0))
            self.assertEqual(self.wine.probe_object("mutex", name), w.ERROR_ALREADY_EXISTS)
            self.assertEqual(self.wine.probe_object("mutex", name + "_other"), 0)
        self.assertEqual(self.wine.probe_object("mutex", name), 0)

    def test_name_held_by_an_event_gives_no_mutex(self):
        name = f"e2e_event_{uuid.uuid4().hex}"
        with self.wine.hold_object("event", name):
            self.assertEqual(self.wine.probe_object("mutex", name), w.ERROR_INVALID_HANDLE)


class FileAttributeTests(WineTestCase):
    def test_wine_creates_anew_over_hidden_and_system_files(self):
        # Windows refuses both with ERROR_ACCESS_DENIED (EACCES for _wfopen)
        # until the file is made normal; Wine 8 writes over it, as the
        # simulated Windows of the host tests does not.
        folder = self.wine.drive_c / "e2e" / "attributes"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "source.txt").write_bytes(b"new")
        target = "C:\\e2e\\attributes\\target.txt"
        for attributes in (w.FILE_ATTRIBUTE_HIDDEN, w.FILE_ATTRIBUTE_SYSTEM):
            for step in (f"copy|C:\\e2e\\attributes\\source.txt|{target}", f"wfopen|{target}|wb+"):
                with self.subTest(attributes=attributes, step=step.split("|")[0]):
                    (folder / "target.txt").write_bytes(b"old")
                    set_attributes, get_attributes, created = self.wine.file_steps(
                        f"attrib|{target}|{attributes:x}", f"getattrib|{target}", step)
                    self.assertEqual(set_attributes["ok"], 1)
                    self.assertTrue(get_attributes["value"] & attributes, get_attributes)
                    self.assertEqual(created["ok"], 1, created)
                    self.assertEqual((folder / "target.txt").read_bytes(), b"new" if step.startswith("copy") else b"")


class ProcessTests(WineTestCase):
    def test_sleeper_pid_is_listed_until_it_is_killed(self):
        bg = self.wine.start_sleeper(30000)
        pid = bg.pid
        self.assertIn((pid, "sleeper.exe"), [(p[0], p[2]) for p in self.wine.processes()])
        self.assertEqual(bg.kill(code=77), 77)
        self.assertNotIn(pid, [p[0] for p in self.wine.processes()])

    def test_sleeper_ends_on_its_own(self):
        bg = self.wine.start_sleeper(300, exit_code=5)
        self.assertGreater(bg.pid, 0)
        self.assertEqual(bg.wait(), 5)


class MsiTests(WineTestCase):
    def test_wixl_package_installs_and_uninstalls_with_wines_msiexec(self):
        upgrade = str(uuid.uuid4())
        pkg = w.build_msi(self.wine.path.parent / "msi" / "sample.msi", upgrade, "E2E Sample", "1.2.3",
                          files=[("payload.txt", "hello\n"), ("données.bin", b"\x00\x01")])
        self.addCleanup(self.wine.uninstall_msi, pkg.product_code)
        installed = self.wine.temp_dir.parent / "AppData" / "Local" / pkg.install_dir_name
        # installing while the recording msiexec is in place still uses Wine's
        self.wine.install_recording_msiexec()
        self.addCleanup(self.wine.restore_msiexec)

        self.assertEqual(self.wine.related_products(upgrade), [])
        self.assertEqual(self.wine.install_msi(pkg), 0)
        self.assertEqual(self.wine.msiexec_records(), [])
        self.assertEqual(self.wine.related_products(upgrade), [pkg.product_code])
        self.assertEqual(self.wine.product_state(pkg.product_code), 5)
        self.assertEqual((installed / "payload.txt").read_text(), "hello\n")
        self.assertEqual((installed / "données.bin").read_bytes(), b"\x00\x01")

        self.assertEqual(self.wine.uninstall_msi(pkg.product_code), 0)
        self.assertEqual(self.wine.related_products(upgrade), [])
        self.assertEqual(self.wine.product_state(pkg.product_code), -1)
        self.assertFalse((installed / "payload.txt").exists())


class PureHelperTests(unittest.TestCase):
    def test_quote_and_split_round_trip(self):
        for arg in TRICKY_ARGS + ['""', '\\"', "a b\\\\"]:
            with self.subTest(arg=arg):
                self.assertEqual(w.split_command_line("p.exe " + w.quote_arg(arg)), ["p.exe", arg])

    def test_program_name_is_split_without_escapes(self):
        self.assertEqual(w.split_command_line('"C:\\dir\\a b\\setup.exe"x y'), ["C:\\dir\\a b\\setup.exe", "x", "y"])
        self.assertEqual(w.split_command_line("C:\\x\\\\m.exe -eject#M1234"), ["C:\\x\\\\m.exe", "-eject#M1234"])

    def test_pe_machine(self):
        self.assertEqual(w.pe_machine(w.tool_path("sleeper", "x86_64")), 0x8664)
        self.assertEqual(w.pe_machine(w.tool_path("sleeper", "i686")), 0x14C)
        self.assertIsNone(w.pe_machine(__file__))


if __name__ == "__main__":
    unittest.main()
