"""Robustness and planting under Wine.

- DLLs planted on the medium and in the temp directory (where the eject
  helper runs from) are never run by setup.exe or its helper, under every
  name Wine loads into them; the static imports are kernel32 and msvcrt
  alone, since Wine resolves the tree behind any other static import from
  the program's own directory before wWinMain can restrict the search.
- Without msi.dll an installed product counts as not installed.
- Bad media (broken autorun.inf, values past every capacity, paths past
  260 characters) end with the program's own exit codes, never a crash.
- Staging and the hand-off never delete or change a file but their own
  names in the temp directory: bystanders on the medium, in temp and in
  temp's parent survive every scenario.

A planted msiexec.exe is covered by test_installer.py."""

import os
import random
import re
import shutil
import subprocess
import unittest

import wine_env as w

HELPER = "brelm_eject.exe"
PACKAGE = "Setup.msi"
CANCELLED = 1602

# A DLL that, once its code runs, leaves a marker naming itself and the
# process that loaded it. It needs nothing but kernel32.
PLANTED_DLL_SOURCE = r"""
#include <windows.h>
static const WCHAR *BaseName(const WCHAR *path)
{
    const WCHAR *name = path;
    for (const WCHAR *c = path; *c; ++c)
        if (*c == L'\\')
            name = c + 1;
    return name;
}
BOOL WINAPI PlantedMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        WCHAR dll[MAX_PATH] = {0}, exe[MAX_PATH] = {0}, mark[3 * MAX_PATH] = {0};
        GetModuleFileNameW(self, dll, MAX_PATH - 1);
        GetModuleFileNameW(NULL, exe, MAX_PATH - 1);
        lstrcpyW(mark, L"C:\\e2e\\planted\\");
        lstrcatW(mark, BaseName(dll));
        lstrcatW(mark, L"--");
        lstrcatW(mark, BaseName(exe));
        HANDLE h = CreateFileW(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    return TRUE;
}
"""

# Names a Windows loader or Wine is known to look for in an application's
# directory, beyond those a traced run shows.
EXTRA_PLANTED = ["msi.dll", "mscoree.dll", "version.dll", "shcore.dll", "shell32.dll", "shlwapi.dll",
                 "user32.dll", "cryptbase.dll", "dwmapi.dll", "uxtheme.dll", "userenv.dll", "profapi.dll",
                 "libgcc_s_dw2-1.dll", "libgcc_s_seh-1.dll", "libstdc++-6.dll", "libwinpthread-1.dll"]

_LOADED = re.compile(r'trace:loaddll:build_module Loaded L"((?:[^"\\]|\\.)*)" at [0-9A-Fa-f]+: (native|builtin)')


def loaded_modules(result):
    """(Windows path, 'native'|'builtin') of every module a +loaddll trace shows."""
    return [(w._trace_unescape(m.group(1)), m.group(2)) for m in _LOADED.finditer(result.stderr)]


def build_planted_dll(arch):
    compiler = w.require_compiler(arch)
    out_dir = w.config().e2e_dir / "robustness"
    out_dir.mkdir(parents=True, exist_ok=True)
    source, dll = out_dir / "planted.c", out_dir / f"planted-{arch}.dll"
    source.write_text(PLANTED_DLL_SOURCE)
    entry = "PlantedMain" if arch == "x86_64" else "_PlantedMain@12"
    subprocess.check_call([compiler, "-shared", "-O2", "-s", "-nostdlib", "-e", entry, "-o", str(dll),
                           str(source), "-lkernel32"], stdin=subprocess.DEVNULL)
    return dll


def static_imports(exe):
    try:
        import pefile
    except ImportError:
        raise w.MissingComponent("python3-pefile is missing: apt-get install -y python3-pefile, "
                                 "and run with /usr/bin/python3")
    pe = pefile.PE(str(exe), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                                           pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]])
    entries = list(getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])) + list(getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []))
    return sorted(e.dll.decode("ascii", "replace").lower() for e in entries)


def all_builds():
    """Both builds, the 32-bit one too: reading its import table needs no 32-bit execution."""
    cfg = w.config()
    return [w.SetupExe("win64", cfg.setup_win64 or cfg.build_dir / "win64" / "setup.exe"),
            w.SetupExe("win32", cfg.setup_win32 or cfg.build_dir / "win32" / "setup.exe")]


class RobustnessTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()
        cls.wine.install_recording_msiexec()
        cls.medium = w.config().e2e_dir / "robustness-medium"

    @classmethod
    def tearDownClass(cls):
        cls.wine.restore_msiexec()

    def fresh_medium(self, setup, autorun, files=(), drive_type="cdrom", subdir=None):
        """Drive M: holding setup.exe (in subdir, when given) and autorun.inf
        beside it; returns the program's Unix path."""
        if self.medium.exists():
            for p in self.medium.rglob("*"):
                os.chmod(p, 0o755 if p.is_dir() else 0o644)
            shutil.rmtree(self.medium)
        home = self.medium / subdir if subdir else self.medium
        home.mkdir(parents=True)
        shutil.copyfile(setup, home / "setup.exe")
        if autorun is not None:
            (home / "autorun.inf").write_bytes(autorun if isinstance(autorun, bytes) else autorun.encode())
        for name, data in files:
            (home / name).write_bytes(data)
        self.wine.add_drive("m", self.medium, drive_type, label="ROBUST")
        return home / "setup.exe"

    def clean_temp(self):
        self.wine.wait_no_process(HELPER)
        for entry in self.wine.temp_dir.iterdir():
            if entry.is_dir() and not entry.is_symlink():
                shutil.rmtree(entry)
            else:
                if not entry.is_symlink():
                    os.chmod(entry, 0o644)
                entry.unlink()
        self.wine.clear_msiexec_records()

    @staticmethod
    def setups():
        return [(exe.arch, exe.require()) for exe in w.setup_exes()]


class DllPlantingTests(RobustnessTestCase):
    def test_static_imports_are_kernel32_and_msvcrt_only(self):
        # On Windows shell32 and shlwapi would be safe (KnownDLLs), but Wine
        # takes the DLLs behind them (user32, version, shcore ...) from the
        # program's directory first; a planted shcore.dll ran that way.
        for exe in all_builds():
            with self.subTest(arch=exe.arch):
                self.assertEqual(static_imports(exe.require()), ["kernel32.dll", "msvcrt.dll"])

    def run_hand_off(self, setup, files=()):
        """A plain medium installs (msiexec exits 0), so the helper copy
        starts from the temp directory in eject mode; waits for it."""
        program = self.fresh_medium(setup, f"[Setup]\r\nUpgradeCode={w.new_upgrade_code()}\r\nInstaller={PACKAGE}\r\n",
                                    files=[(PACKAGE, b"package")] + list(files))
        self.wine.set_msiexec_exit(0)
        result = self.wine.run(program, [], winedebug="+loaddll")
        self.wine.wait_no_process(HELPER)
        return result

    def test_dlls_planted_beside_the_program_or_its_helper_never_run(self):
        arch = {"win64": "x86_64", "win32": "i686"}
        marks = self.wine.e2e_dir / "planted"
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                setup = exe.require()
                planted = build_planted_dll(arch[exe.arch])
                # Every module Wine maps into the program and its helper in a clean run...
                self.clean_temp()
                clean = self.run_hand_off(setup)
                self.assertEqual(clean, 0)
                seen = {path.rsplit("\\", 1)[-1].lower() for path, _ in loaded_modules(clean)}
                self.assertIn(HELPER, seen, "the helper's own trace is missing")
                names = sorted((seen | set(EXTRA_PLANTED)) - {"setup.exe", HELPER, "ntdll.dll"}
                               - {n for n in seen if n.endswith(".exe")})
                self.assertIn("msi.dll", names)

                # ...planted on the medium and in the temp directory.
                self.clean_temp()
                if marks.exists():
                    shutil.rmtree(marks)
                marks.mkdir()
                for name in names:
                    shutil.copyfile(planted, self.wine.temp_dir / name)
                result = self.run_hand_off(setup, [(n, planted.read_bytes()) for n in names])
                self.assertEqual(result, 0)
                (record,) = self.wine.msiexec_records()
                self.assertEqual(record.exe, self.wine.system_image("msiexec.exe", setup))
                ours = ("setup.exe", HELPER)
                ran = sorted(m.name for m in marks.iterdir() if m.name.rsplit("--", 1)[-1].lower() in ours)
                self.assertEqual(ran, [], f"planted DLLs ran in the program or its helper; planted {names}")
                native = [(p, kind) for p, kind in loaded_modules(result) if kind == "native"
                          and p.lower().endswith(".dll")
                          and (p.upper().startswith("M:\\") or p.lower().startswith(self.wine.temp_dir_windows.lower()))]
                self.assertEqual(native, [])
                self.assertTrue(any(p.lower().endswith("\\" + HELPER) for p, _ in loaded_modules(result)),
                                "the helper did not run from the temp directory")
                self.clean_temp()


class MsiUnavailableTests(RobustnessTestCase):
    @classmethod
    def tearDownClass(cls):
        if getattr(cls, "package", None) is not None:
            cls.wine.uninstall_msi(cls.package)
        super().tearDownClass()

    def test_without_msi_dll_an_installed_product_counts_as_not_installed(self):
        # "msi=" makes Wine refuse msi.dll by every name and path, as a
        # system without Windows Installer would.
        code = w.new_upgrade_code()
        type(self).package = w.build_msi(w.config().e2e_dir / "robustness-pkg" / "robust.msi", code,
                                         "SetupStub Robustness E2E", "1.0.0")
        self.assertEqual(self.wine.install_msi(self.package), 0)
        self.assertTrue(self.wine.related_products(code))
        autorun = f"[Setup]\r\nUpgradeCode={code}\r\nInstaller={PACKAGE}\r\n"
        for arch, setup in self.setups():
            with self.subTest(arch=arch):
                program = self.fresh_medium(setup, autorun, files=[(PACKAGE, b"package")])
                for what, env, installed in (("with msi.dll", None, True),
                                             ("without msi.dll", {"WINEDLLOVERRIDES": "msi="}, False)):
                    with self.subTest(what):
                        self.clean_temp()
                        self.wine.set_msiexec_exit(CANCELLED)
                        result = self.wine.run(program, [], env=env)
                        records = self.wine.msiexec_records()
                        if installed:
                            self.assertEqual((result, records), (0, []))
                        else:
                            self.assertEqual(result, CANCELLED)
                            self.assertEqual([r.argv[1:] for r in records],
                                             [["-i", f"M:\\{PACKAGE}", "TRANSFORMS=1033.mst"]])
        self.clean_temp()


def deep_directory(root, length, fill):
    """(Windows path, relative Unix parts) of a directory below root whose
    Windows path, without a trailing backslash, has length characters."""
    path, parts = root.rstrip("\\"), []
    while len(path) < length:
        part = fill * min(100, length - len(path) - 1)
        path += "\\" + part
        parts.append(part)
    assert len(path) == length, (path, length)
    return path, parts


class BadMediaTests(RobustnessTestCase):
    """Each bad medium ends with the exit code the program gives it, never
    with a crash code."""

    def settings(self, *lines):
        return ("\r\n".join(("[Setup]", f"UpgradeCode={w.new_upgrade_code()}") + lines) + "\r\n").encode()

    def check(self, what, result, exit_code, argv):
        self.assertFalse(result.is_crash, f"{what}: {result!r}")
        self.assertEqual(result, exit_code, what)
        got = [r.argv[1:] for r in self.wine.msiexec_records()]
        self.assertEqual(got, [argv] if argv is not None else [], what)

    def test_broken_settings_files(self):
        rng = random.Random(8)
        plain = ["-i", f"M:\\{PACKAGE}", "TRANSFORMS=1033.mst"]
        unstaged = ["-i", "", "TRANSFORMS=1033.mst"]
        good = self.settings(f"Installer={PACKAGE}")
        deep = "\\".join([c * 63 for c in "abc"] + ["d" * 60]) + ".msi"   # M:\ and it: 259
        assert len("M:\\" + deep) == 259
        cases = [
            # what, autorun.inf bytes (None: a directory of that name), exit code, msiexec's arguments
            ("binary garbage", rng.randbytes(8192), 1603, None),
            ("garbage around the values", rng.randbytes(3000) + b"\r\n" + good + rng.randbytes(3000), CANCELLED, plain),
            ("NUL bytes in the value", self.settings(f"Installer={PACKAGE}\0junk"), CANCELLED, plain),
            ("UTF-16 with a byte-order mark", b"\xff\xfe" + good.decode().encode("utf-16-le"), CANCELLED, plain),
            ("UTF-16, byte-order mark, odd last byte", b"\xff\xfe" + good.decode().encode("utf-16-le") + b"A",
             CANCELLED, plain),
            ("UTF-16 without a byte-order mark", good.decode().encode("utf-16-le"), 1603, None),
            ("byte-order mark alone", b"\xff\xfe", 1603, None),
            ("empty file", b"", 1603, None),
            # Wine decodes a UTF-8 mark; Windows reads it as code-page characters,
            # so [Setup] right behind it would be no section there (exit code 2)
            ("UTF-8 byte-order mark, broken UTF-8", b"\xef\xbb\xbf" + good + b"Junk=\xc3\xff\xe2\x82\r\n",
             CANCELLED, plain),
            ("a line of a mebibyte first", b"L" * (1 << 20) + b"\r\n" + good, CANCELLED, plain),
            ("a value of a mebibyte", good + b"UseVolumeNameForLanguage=" + b"1" * (1 << 20) + b"\r\n",
             CANCELLED, plain),
            ("unterminated section names", b"[Setup\r\n[\r\n[]\r\n=\r\n==\r\n" + good, CANCELLED, plain),
            ("upgrade code of 64 KiB", b"[Setup]\r\nUpgradeCode=" + b"u" * 65536 + f"\r\nInstaller={PACKAGE}\r\n".encode(),
             CANCELLED, plain),
            ("package name of 259 characters", self.settings(f"Installer={deep}"), CANCELLED,
             ["-i", "M:\\" + deep, "TRANSFORMS=1033.mst"]),
            ("package name of 260 characters", self.settings(f"Installer=x{deep}"), CANCELLED, unstaged),
            ("package name of 64 KiB", self.settings("Installer=" + "p" * 65536), CANCELLED, unstaged),
            ("language map value past its capacity",
             good + b"[LanguageMap]\r\n1033=" + b"9" * 5000 + b"\r\n", CANCELLED,   # 999999999 & 0xFFFF
             ["-i", f"M:\\{PACKAGE}", "TRANSFORMS=51711.mst"]),
            ("autorun.inf is a directory", None, 5, None),
        ]
        for arch, setup in self.setups():
            with self.subTest(arch=arch):
                for what, autorun, exit_code, argv in cases:
                    with self.subTest(what):
                        self.clean_temp()
                        self.wine.set_msiexec_exit(CANCELLED)
                        program = self.fresh_medium(setup, autorun, files=[(PACKAGE, b"package")])
                        if autorun is None:
                            (program.parent / "autorun.inf").mkdir()
                        if what == "package name of 259 characters":
                            target = program.parent.joinpath(*deep.split("\\"))
                            target.parent.mkdir(parents=True)
                            target.write_bytes(b"deep package")
                        self.check(what, self.wine.run(program, []), exit_code, argv)
        self.clean_temp()

    def test_program_paths_at_the_limit(self):
        # Wine starts no program whose path has 260 characters or more, so
        # those are left to the host tests.
        for arch, setup in self.setups():
            with self.subTest(arch=arch):
                for what, directory_length, exit_code in (
                        ("settings path of 259", 247, CANCELLED),   # the directory, a backslash, autorun.inf
                        ("program path of 259", 249, 1603)):        # no room for autorun.inf beside it
                    with self.subTest(what):
                        self.clean_temp()
                        self.wine.set_msiexec_exit(CANCELLED)
                        directory, parts = deep_directory("M:", directory_length, "d")
                        self.assertEqual(len(directory + "\\setup.exe"), directory_length + 10)
                        program = self.fresh_medium(setup, self.settings(f"Installer={PACKAGE}"),
                                                    files=[(PACKAGE, b"package")], subdir="/".join(parts))
                        result = self.wine.run(program, [], cwd="C:\\")
                        argv = ["-i", directory + "\\" + PACKAGE, "TRANSFORMS=1033.mst"] if exit_code == CANCELLED else None
                        self.check(what, result, exit_code, argv)
        self.clean_temp()

    def environment_value(self, name):
        """(type, data) of a user environment variable in the registry."""
        result = self.wine.run("reg.exe", ["query", "HKCU\\Environment", "/v", name], cwd="C:\\")
        self.assertEqual(result, 0)
        m = re.search(r"^\s*%s\s+(REG_\w+)\s+(.*?)\s*$" % name, result.stdout, re.M | re.I)
        self.assertIsNotNone(m, result.stdout)
        return m.group(1), m.group(2)

    def set_environment_value(self, name, kind, data):
        self.assertEqual(self.wine.run("reg.exe", ["add", "HKCU\\Environment", "/v", name, "/t", kind, "/d", data,
                                                   "/f"], cwd="C:\\"), 0)

    def set_temp(self, windows_path):
        """GetTempPathW follows the user's TEMP and TMP; the first change
        arranges for both to be put back."""
        if not getattr(self, "_temp_kept", False):
            for name in ("TEMP", "TMP"):
                self.addCleanup(self.set_environment_value, name, *self.environment_value(name))
            self._temp_kept = True
        for name in ("TEMP", "TMP"):
            self.set_environment_value(name, "REG_SZ", windows_path)

    def test_temporary_directories_at_the_limit(self):
        originals = w.config().e2e_dir / "robustness-originals"
        originals.mkdir(parents=True, exist_ok=True)
        (originals / PACKAGE).write_bytes(b"package " * 1000)
        (originals / "1033.mst").write_bytes(b"transform")
        compressed = originals / "compressed"
        compressed.mkdir(exist_ok=True)
        for name in (PACKAGE, "1033.mst"):
            w.compress_lzma_alone(originals / name, compressed / (name[:-1] + "_"))
        files = [(p.name, p.read_bytes()) for p in compressed.iterdir()]
        long_root = self.wine.drive_c / "robust-temp"
        # (what, length of the directory GetTempPathW gives, backslash included;
        #  staged, helper started). Wine gives at most 258 characters.
        cases = [("helper path of 259", 244, True, True),
                 ("helper path of 260", 245, True, False),
                 ("staged package path of 259", 249, True, False),
                 ("staged package path of 260", 250, False, False),
                 ("longest Wine gives", 258, False, False),
                 ("longer than Wine gives", 300, False, False)]
        for arch, setup in self.setups():
            with self.subTest(arch=arch):
                for what, length, staged, helper in cases:
                    with self.subTest(what):
                        if long_root.exists():
                            shutil.rmtree(long_root)
                        temp, parts = deep_directory("C:\\robust-temp", length - 1, "t")
                        long_root.joinpath(*parts).mkdir(parents=True)
                        self.set_temp(temp)
                        self.wine.clear_msiexec_records()
                        self.wine.set_msiexec_exit(0)
                        program = self.fresh_medium(setup, self.settings(f"Installer={PACKAGE}"), files=files)
                        result = self.wine.run(program, [], winedebug="+process")
                        self.wine.wait_no_process(HELPER)
                        package = temp + "\\\\" + PACKAGE if staged else ""
                        self.check(what, result, 0, ["-i", package, "TRANSFORMS=1033.mst"])
                        if staged:
                            self.assertEqual(self.wine.to_unix(temp + "\\" + PACKAGE).read_bytes(),
                                             (originals / PACKAGE).read_bytes())
                        # Wine cuts long command lines in its trace; the start of the image is whole.
                        started = re.search(r'NtCreateUserProcess L"[^"]*\\\\%s" pid' % re.escape(HELPER), result.stderr)
                        self.assertEqual(bool(started), helper)
                        self.assertEqual(self.wine.to_unix(temp + "\\" + HELPER).is_file(), helper)
        shutil.rmtree(long_root, ignore_errors=True)


    def test_a_temporary_directory_that_does_not_exist(self):
        # A package in neither form is staged nowhere, and msiexec is started in
        # the temporary directory to report it. Windows refuses a working
        # directory that does not exist: ShellExecuteExW fails with
        # ERROR_DIRECTORY (267), the run's exit code, and msiexec never runs.
        # Wine starts msiexec all the same, in the caller's own directory.
        missing = "C:\\robust-missing-temp"
        shutil.rmtree(self.wine.drive_c / "robust-missing-temp", ignore_errors=True)
        self.set_temp(missing)
        for arch, setup in self.setups():
            with self.subTest(arch=arch):
                self.wine.clear_msiexec_records()
                self.wine.set_msiexec_exit(CANCELLED)
                program = self.fresh_medium(setup, self.settings("Installer=Missing.msi"))
                result = self.wine.run(program, [], winedebug="+exec")
                self.check("missing temp", result, CANCELLED, ["-i", missing + "\\\\Missing.msi", "TRANSFORMS=1033.mst"])
                traced_dir = (missing + "\\").replace("\\", "\\\\")
                self.assertIn(f'dir=L"{traced_dir}"', result.stderr, "the launch names the missing directory")
                self.assertEqual(self.wine.msiexec_records()[0].cwd, "M:\\")


def tree(root):
    """{relative path: bytes} of every file below root."""
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


class BystanderTests(RobustnessTestCase):
    OWN = {PACKAGE.lower(), "1033.mst", HELPER}   # lower case

    def test_bystanders_survive_every_scenario(self):
        originals = w.config().e2e_dir / "robustness-bystander-originals"
        originals.mkdir(parents=True, exist_ok=True)
        (originals / PACKAGE).write_bytes(b"package " * 500)
        (originals / "1033.mst").write_bytes(b"transform")
        for name in (PACKAGE, "1033.mst"):
            w.compress_lzma_alone(originals / name, originals / (name[:-1] + "_"))
        package_, transform_ = (originals / "Setup.ms_").read_bytes(), (originals / "1033.ms_").read_bytes()
        broken = b"\x5d\x00\x00\x01\x00" + b"\xff" * 8 + b"no size"
        temp, parent = self.wine.temp_dir, self.wine.temp_dir.parent
        # Lures: the staged and helper names beside temp, on the medium and above it.
        planted = {
            "medium": ["bystander.txt", "Setup.msi.bak", "1033.mst", HELPER, "sub/Setup.msi"],
            "temp": ["bystander.txt", "Setup.ms_", "1033.ms_", "sub2/Setup.msi", "Setup.msi.log"],
            "parent": ["robust-bystander.txt", PACKAGE, "1033.mst", HELPER, "Setup.ms_"],
        }
        def place(where):
            return {"medium": self.medium, "temp": temp, "parent": parent}[where]
        for name in planted["parent"]:
            self.addCleanup(lambda p=parent / name: p.unlink() if p.exists() else None)
        upgrade = f"UpgradeCode={w.new_upgrade_code()}"
        cases = [
            # what, Installer value, medium files, msiexec's exit, stale read-only own files, exit code
            ("plain package, hand-off and eject run", PACKAGE, {PACKAGE: b"plain"}, 0, True, 0),
            ("compressed package and transform, hand-off", PACKAGE, {"Setup.ms_": package_, "1033.ms_": transform_},
             0, True, 0),
            ("compressed package broken", PACKAGE, {"Setup.ms_": broken, "1033.ms_": transform_}, CANCELLED, True,
             CANCELLED),
            ("compressed transform missing", PACKAGE, {"Setup.ms_": package_}, CANCELLED, False, CANCELLED),
            ("name reaching into temp's parent", "..\\" + PACKAGE, {"Setup.ms_": package_, "1033.ms_": transform_},
             CANCELLED, False, CANCELLED),
            ("name reaching into a subdirectory", "sub2\\" + PACKAGE,
             {"sub2/Setup.ms_": package_, "1033.ms_": transform_}, CANCELLED, False, CANCELLED),
        ]
        for arch, setup in self.setups():
            with self.subTest(arch=arch):
                for what, installer, files, msiexec_exit, stale, exit_code in cases:
                    with self.subTest(what):
                        self.clean_temp()
                        program = self.fresh_medium(setup, f"[Setup]\r\n{upgrade}\r\nInstaller={installer}\r\n")
                        for name, data in files.items():
                            target = self.medium / name
                            target.parent.mkdir(parents=True, exist_ok=True)
                            target.write_bytes(data)
                        for where, names in planted.items():
                            for name in names:
                                target = place(where) / name
                                target.parent.mkdir(parents=True, exist_ok=True)
                                target.write_bytes(f"bystander {where} {name}".encode())
                        if stale:
                            for name in self.OWN:
                                (temp / name).write_bytes(b"stale")
                                os.chmod(temp / name, 0o444)
                        medium_before, temp_before = tree(self.medium), tree(temp)
                        self.wine.set_msiexec_exit(msiexec_exit)
                        result = self.wine.run(program, [])
                        self.wine.wait_no_process(HELPER)
                        self.assertFalse(result.is_crash, result)
                        self.assertEqual(result, exit_code)

                        self.assertEqual(tree(self.medium), medium_before)
                        temp_after = tree(temp)
                        for name, data in temp_before.items():
                            if name.lower() not in self.OWN:
                                self.assertEqual(temp_after.get(name), data, f"temp\\{name}")
                        self.assertEqual({n for n in temp_after if n not in temp_before and n.lower() not in self.OWN},
                                         set())
                        for name in planted["parent"]:
                            self.assertEqual((parent / name).read_bytes(), f"bystander parent {name}".encode())
                        if exit_code == 0:
                            # the hand-off replaced the stale read-only helper with the program
                            self.assertEqual((temp / HELPER).read_bytes(), setup.read_bytes())
        self.clean_temp()


if __name__ == "__main__":
    unittest.main()
