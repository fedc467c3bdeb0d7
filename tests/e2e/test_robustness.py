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
import re
import shutil
import subprocess
import unittest
import uuid

import wine_env as w

HELPER = "brelm_eject.exe"
PACKAGE = "Setup.msi"
CANCELLED = 1602
SYSTEM_MSIEXEC = "C:\\windows\\system32\\msiexec.exe"

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


def new_code():
    return "{" + str(uuid.uuid4()).upper() + "}"


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

    def for_each_setup(self):
        for exe in w.setup_exes():
            with self.subTest(arch=exe.arch):
                yield exe.require()


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
        program = self.fresh_medium(setup, f"[Setup]\r\nUpgradeCode={new_code()}\r\nInstaller={PACKAGE}\r\n",
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
                self.assertEqual(record.exe, SYSTEM_MSIEXEC)
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


if __name__ == "__main__":
    unittest.main()
