#!/usr/bin/python3
"""Runs the end-to-end tests (tests/e2e/test_*.py) under Wine.

  tests/e2e/run_e2e.py [--build-dir build] [--setup-win64 PATH] [--setup-win32 PATH]
                       [--no-win32] [-k PATTERN] [-v] [test names...]

The same settings can come from E2E_BUILD_DIR, E2E_SETUP_WIN64 and
E2E_SETUP_WIN32; setup.exe defaults to <build dir>/win64/setup.exe and
<build dir>/win32/setup.exe.

Ends with the line "e2e: N passed, N failed" (", N skipped" when any) and
exits non-zero on any failure or error. The line before it says which
setup.exe the run proved (the real 32-bit one under Wine, or only the x86-64
twin); it is also written to <build dir>/e2e/proven.txt. --no-win32 (or
E2E_NO_WIN32=1) runs as a machine that cannot execute 32-bit code would. A missing wine64, mingw-w64 or wixl
is a failure, never a skip."""

import argparse
import os
import sys
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import wine_env  # noqa: E402


class Preflight(unittest.TestCase):
    """Fails once, clearly, for each missing component."""

    def test_required_components_are_installed(self):
        problems = wine_env.missing_components()
        if problems:
            self.fail("e2e cannot run:\n  " + "\n  ".join(problems))


class TimedResult(unittest.TextTestResult):
    """Also notes how long each test took, to keep the run fast."""

    def startTest(self, test):
        self._started = time.monotonic()
        super().startTest(test)

    def addSuccess(self, test):
        self.passed = getattr(self, "passed", 0) + 1
        super().addSuccess(test)

    def stopTest(self, test):
        self.durations = getattr(self, "durations", [])
        self.durations.append((time.monotonic() - self._started, test.id()))
        super().stopTest(test)


def note_32bit():
    if wine_env.is_32bit_execution_available():
        return None
    exe = wine_env.config().setup_win32 or wine_env.config().build_dir / "win32" / "setup.exe"
    return (f"NOTE: the real 32-bit {exe} is NOT run: {wine_env.thirty_two_bit_note()}; "
            "only the x86-64 twin of the same sources is tested here.")


def proven_line():
    """Which setup.exe this run proved, from the runs the harness counted."""
    runs = wine_env.setup_runs()
    win32 = wine_env.setup_exe_path("win32")
    twin = f"the x86-64 twin ran {runs['win64']} times"
    if not wine_env.is_32bit_execution_available():
        return (f"e2e: proven: ONLY the x86-64 twin ({runs['win64']} runs); the real 32-bit {win32} "
                f"was NOT run: {wine_env.thirty_two_bit_note()}")
    if runs["win32"] == 0:
        return f"e2e: proven: ONLY the x86-64 twin ({runs['win64']} runs); no selected test ran the real 32-bit {win32}"
    return f"e2e: proven: the real 32-bit {win32} ran {runs['win32']} times under Wine, {twin}"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", help="default: $E2E_BUILD_DIR, else build/ in the repository")
    parser.add_argument("--setup-win64", help="default: <build dir>/win64/setup.exe")
    parser.add_argument("--setup-win32", help="default: <build dir>/win32/setup.exe")
    parser.add_argument("--no-win32", action="store_true",
                        help="test the x86-64 twin only, as on a machine that cannot run 32-bit code")
    parser.add_argument("-k", dest="patterns", action="append", help="only tests matching this substring")
    parser.add_argument("-v", "--verbose", action="store_true")
    parser.add_argument("tests", nargs="*", help="test names, e.g. test_harness.DriveTests")
    args = parser.parse_args(argv)

    if args.no_win32:
        os.environ[wine_env.NO_WIN32_VARIABLE] = "1"
    config = wine_env.configure(build_dir=args.build_dir, setup_win64=args.setup_win64,
                                setup_win32=args.setup_win32)
    proven_file = config.e2e_dir / "proven.txt"
    proven_file.unlink(missing_ok=True)
    started = time.monotonic()

    loader = unittest.TestLoader()
    if args.patterns:
        loader.testNamePatterns = [f"*{p}*" for p in args.patterns]
    suite = unittest.TestSuite()
    suite.addTest(unittest.defaultTestLoader.loadTestsFromTestCase(Preflight))
    if args.tests:
        suite.addTests(loader.loadTestsFromNames(args.tests))
    else:
        suite.addTests(loader.discover(str(HERE), pattern="test_*.py", top_level_dir=str(HERE)))

    prefix_note = ""
    note = None
    if not wine_env.missing_components():
        note = note_32bit()
        if note:
            print("=" * 78 + "\n" + note + "\n" + "=" * 78, flush=True)
        try:
            prefix = wine_env.shared_prefix()
            how = f"created in {prefix.boot_seconds:.1f} s" if prefix.created else "reused"
            prefix_note = f"e2e: prefix {prefix.path} {how}, session ready after {time.monotonic() - started:.1f} s"
            print(prefix_note, flush=True)
        except AssertionError as e:
            print(f"e2e: FAILURE: the Wine prefix could not be started: {e}", flush=True)

    tests_started = time.monotonic()
    runner = unittest.TextTestRunner(stream=sys.stdout, verbosity=2 if args.verbose else 1,
                                     resultclass=TimedResult)
    try:
        result = runner.run(suite)
    finally:
        wine_env.shutdown()
    tests_seconds = time.monotonic() - tests_started

    skipped = len(result.skipped)
    failed = len(result.failures) + len(result.errors) + len(result.unexpectedSuccesses)
    # a failing setUpClass counts once, in errors, for the tests it stopped
    passed = getattr(result, "passed", 0)
    if result.testsRun <= 1:
        print("e2e: FAILURE: no tests found", flush=True)
        failed += 1
    slowest = sorted(getattr(result, "durations", []), reverse=True)[:5]
    if slowest:
        print("e2e: slowest: " + ", ".join(f"{t.rsplit('.', 1)[-1]} {d:.1f} s" for d, t in slowest))
    if note:
        print(note)
    if prefix_note:
        print(prefix_note)
    print(f"e2e: tests took {tests_seconds:.1f} s, {time.monotonic() - started:.1f} s in all")
    proven = proven_line()
    print(proven)
    proven_file.parent.mkdir(parents=True, exist_ok=True)
    proven_file.write_text(proven + "\n", encoding="utf-8")
    summary = f"e2e: {passed} passed, {failed} failed"
    if skipped:
        summary += f", {skipped} skipped"
    print(summary, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
