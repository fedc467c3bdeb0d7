"""The shipped executable as built: two clean builds of the 32-bit product in
different directories give the same bytes, and the PE checker accepts the
32-bit setup.exe and its x86-64 twin. Needs mingw-w64, cmake and Ninja, not
Wine."""

import concurrent.futures
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

import wine_env as w

CHECK_PE = w.HERE / "check_pe.py"
TOOLCHAIN_32 = w.REPO_ROOT / "cmake" / "mingw-i686.cmake"


def require_build_tools():
    w.require_compiler("i686")
    if not shutil.which("i686-w64-mingw32-g++"):
        raise w.MissingComponent("i686-w64-mingw32-g++ is missing: install g++-mingw-w64-i686-win32")
    for tool, package in (("cmake", "cmake"), ("ninja", "ninja-build")):
        if not shutil.which(tool):
            raise w.MissingComponent(f"{tool} is missing: install the Debian package {package}")


def snapshot_sources(target):
    """Copy the source tree (without builds and git) to target. The
    repository is shared with people editing it: both builds must see the
    same sources, and different source paths show a path baked in too."""
    shutil.copytree(w.REPO_ROOT, target, symlinks=True,
                    ignore=shutil.ignore_patterns("build", ".git", "__pycache__", "*.pyc"))


def clean_build(source_dir, build_dir):
    """Configure and build the win32 product from nothing; the setup.exe path."""
    log = build_dir.parent / (build_dir.name + ".log")
    with open(log, "wb") as out:
        for cmd in (["cmake", "-S", str(source_dir), "-B", str(build_dir), "--toolchain",
                     str(source_dir / TOOLCHAIN_32.relative_to(w.REPO_ROOT)),
                     "-DCMAKE_BUILD_TYPE=MinSizeRel", "-G", "Ninja"],
                    ["cmake", "--build", str(build_dir)]):
            rc = subprocess.call(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            if rc != 0:
                raise AssertionError(f"{' '.join(cmd)} failed ({rc}):\n{log.read_text(errors='replace')[-3000:]}")
    exe = build_dir / "setup.exe"
    if not exe.is_file():
        raise AssertionError(f"the build left no {exe}")
    return exe


def check_pe(exe, machine):
    """check_pe.py's verdict: (exit status, its output)."""
    proc = subprocess.run(["/usr/bin/python3", str(CHECK_PE), str(exe), "--machine", machine],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, timeout=60)
    return proc.returncode, proc.stdout


class BuildTests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require_build_tools()
        cls.scratch = Path(tempfile.mkdtemp(prefix="setupstub-build-"))
        # Different depths and name lengths: a path baked in anywhere shows.
        sources = [cls.scratch / "x" / "src", cls.scratch / "y" / "deeper" / "source-tree"]
        builds = [cls.scratch / "x" / "a", cls.scratch / "y" / "deeper" / "bb"]
        snapshot_sources(sources[0])
        shutil.copytree(sources[0], sources[1], symlinks=True)
        started = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            cls.fresh = list(pool.map(clean_build, sources, builds))
        cls.build_seconds = time.monotonic() - started

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.scratch, ignore_errors=True)

    def test_two_clean_builds_in_different_directories_are_byte_identical(self):
        a, b = (p.read_bytes() for p in self.fresh)
        self.assertGreater(len(a), 4096)
        if a != b:
            first = next(i for i, (x, y) in enumerate(zip(a, b)) if x != y) if len(a) == len(b) else None
            self.fail(f"{self.fresh[0]} ({len(a)} bytes) and {self.fresh[1]} ({len(b)} bytes) differ"
                      + (f", first at offset 0x{first:x}" if first is not None else ""))
        print(f"\n  two clean win32 builds from two source copies: {self.build_seconds:.1f} s, "
              f"{len(a)} bytes each", file=sys.stderr)

    def test_pe_checker_accepts_the_32_bit_product_and_its_64_bit_twin(self):
        cfg = w.config()
        win32 = cfg.setup_win32 or cfg.build_dir / "win32" / "setup.exe"
        # The runner's own win32 build when it has one, else a fresh one.
        if not win32.is_file():
            win32 = self.fresh[0]
        twin = w.SetupExe("win64", cfg.setup_win64 or cfg.build_dir / "win64" / "setup.exe").require()
        for exe, machine in ((win32, "i386"), (twin, "amd64")):
            with self.subTest(exe=str(exe)):
                status, output = check_pe(exe, machine)
                self.assertEqual(status, 0, output)
                self.assertIn(f"check_pe: OK {exe}", output)

    def test_pe_checker_refuses_the_wrong_machine(self):
        # The checker itself can fail: the twin is no i386 product.
        twin = w.SetupExe("win64", w.config().setup_win64 or w.config().build_dir / "win64" / "setup.exe").require()
        status, output = check_pe(twin, "i386")
        self.assertEqual(status, 1, output)
        self.assertIn("check_pe: FAILED", output)


if __name__ == "__main__":
    unittest.main()
