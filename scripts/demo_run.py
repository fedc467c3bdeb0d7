#!/usr/bin/python3
"""The demo's second half (scripts/demo builds first): authors a sample
medium, runs setup.exe from it under Wine in a private prefix and tells
what happened, from what Wine itself reports. Uninstalls the sample at the
end, so every run starts from the same state.

  scripts/demo_run.py [--build-dir build] [--stubmedia PATH]
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
import uuid
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "e2e"))
import wine_env as w  # noqa: E402

UPGRADE_CODE = "{" + str(uuid.uuid5(uuid.NAMESPACE_URL, "setupstub:demo:brelm-sample")).upper() + "}"
PRODUCT = "Brelm Sample"
LABEL = "BRELM SAMPLE"
PACKAGE = "Sample.msi"
LANGUAGES = (1033, 1031)
SYSTEM_LOCALE = "de_DE.UTF-8"          # Wine: system language 0x0407
LANGUAGE_MAP = {1031: 1031}
HELPER = "brelm_eject.exe"
FLAG = "BRELM_PELLIX_EnableLogging.txt"
LOG = "BRELM_PELLIX.log"
EJECT, LOAD = 0x2D4808, 0x2D480C
LZMA_ALONE = "/usr/bin/lzma_alone"

_VALUE = r'(\(null\)|L"(?:[^"\\]|\\.)*")'
_SHELL_EXECUTE = re.compile(r"trace:exec:SHELL_execute mask=(0x[0-9a-f]+) .*? file=" + _VALUE +
                            r" parm=" + _VALUE + r" dir=" + _VALUE + r" show=(0x[0-9a-f]+)")


def shell_launches(trace):
    """ShellExecuteExW records from a +exec trace: (mask, file, parameters, directory, show)."""
    def text(v):
        return None if v == "(null)" else w._trace_unescape(v[2:-1])
    return [(int(m.group(1), 16), text(m.group(2)), text(m.group(3)), text(m.group(4)), int(m.group(5), 16))
            for m in _SHELL_EXECUTE.finditer(trace)]


def say(text="", indent=0):
    for line in str(text).splitlines() or [""]:
        print(" " * indent + line, flush=True)


def size(path):
    return f"{path.stat().st_size:>7} bytes"


class Demo:
    def __init__(self, args):
        self.build = Path(args.build_dir).resolve()
        self.root = self.build / "demo"
        self.stubmedia = Path(args.stubmedia) if args.stubmedia else None
        self.setup32 = self.build / "win32" / "setup.exe"
        self.setup64 = self.build / "win64" / "setup.exe"
        w.configure(build_dir=self.root, setup_win64=self.setup64, setup_win32=self.setup32)
        self.problems = []

    def expect(self, ok, what):
        if not ok:
            self.problems.append(what)
            say(f"  !! unexpected: {what}")

    # ------------------------------------------------------------ authoring

    def author(self):
        product_dir, input_dir = self.root / "product", self.root / "input"
        self.medium = self.root / "medium"
        for d in (product_dir, input_dir, self.medium):
            if d.exists():
                shutil.rmtree(d)
        input_dir.mkdir(parents=True)
        self.package = w.build_msi(product_dir / PACKAGE, UPGRADE_CODE, PRODUCT, "1.0.0",
                                   manufacturer="Brelm Sample Authors", files=[
                                       ("readme.txt", f"{PRODUCT} 1.0.0, installed from a SetupStub medium.\n"),
                                       ("sample.cfg", "greeting=Hallo\n")])
        shutil.copyfile(self.package.path, input_dir / PACKAGE)
        have_stubmedia = self.stubmedia and self.stubmedia.is_file()
        for language in LANGUAGES:
            if have_stubmedia:
                # The same product built for each language; stubmedia makes the transforms.
                build = w.build_msi(product_dir / str(language) / PACKAGE, UPGRADE_CODE, PRODUCT, "1.0.0",
                                    manufacturer="Brelm Sample Authors", language=language, files=[
                                        ("readme.txt", f"{PRODUCT} 1.0.0, installed from a SetupStub medium.\n"),
                                        ("sample.cfg", "greeting=Hallo\n")])
                proc = subprocess.run([str(self.stubmedia), "transform", str(self.package.path), str(build.path),
                                       "-o", str(input_dir / f"{language}.mst")], stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
                if proc.returncode != 0:
                    raise SystemExit(f"demo: stubmedia transform failed ({proc.returncode}):\n{proc.stdout}")
            else:
                # Wine's msiexec ignores a transform it cannot apply.
                (input_dir / f"{language}.mst").write_bytes(f"placeholder transform {language}\n".encode())

        kind = "transforms made by stubmedia transform" if have_stubmedia else "placeholder transforms"
        say(f"1. Sample medium: {PRODUCT} 1.0.0 built with wixl (UpgradeCode {UPGRADE_CODE}),")
        say(f"   {kind} {', '.join(f'{l}.mst' for l in LANGUAGES)}; packed into {self.rel(self.medium)}")
        if have_stubmedia:
            self.pack_with_stubmedia(input_dir)
        else:
            say(f"   (stubmedia is not built: packed with {LZMA_ALONE} and an autorun.inf written here)")
            self.pack_by_hand(input_dir)
        for p in sorted(self.medium.iterdir()):
            if p.name != ".windows-label":
                say(f"   {p.name:<12} {size(p)}")
        say("   autorun.inf:")
        say((self.medium / "autorun.inf").read_text(encoding="utf-8", errors="replace").strip(), 6)

    def pack_with_stubmedia(self, input_dir):
        mapping = ",".join(f"{k}={v}" for k, v in LANGUAGE_MAP.items())
        cmd = [str(self.stubmedia), "pack", str(input_dir), str(self.medium), "--upgrade-code", UPGRADE_CODE,
               "--map", mapping, "--label", LABEL, "--setup-exe", str(self.setup32), "--quiet"]
        say(f"   stubmedia pack ... --map {mapping} --label \"{LABEL}\" --setup-exe {self.rel(self.setup32)}")
        proc = subprocess.run(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True)
        if proc.returncode != 0:
            raise SystemExit(f"demo: stubmedia pack failed ({proc.returncode}):\n{proc.stdout}")
        self.packed_by = "stubmedia pack (each compressed file verified with the launcher's own expansion)"

    def pack_by_hand(self, input_dir):
        if not os.access(LZMA_ALONE, os.X_OK):
            raise SystemExit(f"demo: {LZMA_ALONE} is missing (Debian package lzma-alone)")
        self.medium.mkdir(parents=True)
        shutil.copyfile(self.setup32, self.medium / "setup.exe")
        for name in [PACKAGE] + [f"{l}.mst" for l in LANGUAGES]:
            subprocess.check_call([LZMA_ALONE, "e", str(input_dir / name), str(self.medium / (name[:-1] + "_"))],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        lines = ["[autorun]", "open=setup.exe", "icon=setup.exe,0", f"label={LABEL}", "",
                 "[Setup]", f"UpgradeCode={UPGRADE_CODE}", f"Installer={PACKAGE}", "", "[LanguageMap]"]
        lines += [f"{k}={v}" for k, v in LANGUAGE_MAP.items()]
        (self.medium / "autorun.inf").write_text("\r\n".join(lines) + "\r\n")
        self.packed_by = "lzma_alone"

    # ------------------------------------------------------------- running

    def prepare_wine(self):
        wine_version = subprocess.run([w.WINE64, "--version"], stdout=subprocess.PIPE, text=True).stdout.strip()
        say()
        fresh = not (w.config().prefix_dir / w.WinePrefix.READY_MARK).exists()
        say(f"2. Wine ({wine_version}), private prefix {self.rel(w.config().prefix_dir)}"
            + (" (creating it, once: about 15 s)" if fresh else ""))
        self.wine = w.shared_prefix()
        if self.wine.related_products(UPGRADE_CODE):   # left by an interrupted demo
            self.wine.uninstall_msi(self.package)
        if w.is_32bit_execution_available():
            self.arch = "the real 32-bit setup.exe"
        else:
            shutil.copyfile(self.setup64, self.medium / "setup.exe")
            self.arch = "the x86-64 twin"
            say(f"   NOTE: 32-bit code cannot run here ({w.thirty_two_bit_note()}).")
            say(f"   The medium was authored with {self.rel(self.setup32)}; for this run its setup.exe is")
            say(f"   replaced by {self.rel(self.setup64)}, the 64-bit twin built from the same sources.")
        self.wine.add_drive("m", self.medium, type="cdrom", label=LABEL)
        info = self.wine.drive_info("m")
        say(f"   medium on M: (GetDriveTypeW {info.type} = CD-ROM, volume label \"{info.label}\"), "
            f"LC_ALL={SYSTEM_LOCALE}")
        (self.wine.temp_dir / FLAG).write_bytes(b"")
        say(f"   logging flag {self.wine.temp_dir_windows}\\{FLAG} created: msiexec is asked for a verbose log")

    def run_setup(self, trace):
        return self.wine.run(self.medium / "setup.exe", [], winedebug=trace, env={"LC_ALL": SYSTEM_LOCALE},
                             timeout=180)

    def explain_language(self):
        """Why the launcher picks its language, by the launcher's own code on
        the simulated Windows (stubmedia explain), when stubmedia is built."""
        if not (self.stubmedia and self.stubmedia.is_file()):
            return None
        proc = subprocess.run([str(self.stubmedia), "explain", str(self.medium), "--system-language", "1031",
                               "--label", LABEL, "--drive", "M", "--json"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        if proc.returncode != 0:
            return None
        import json
        return json.loads(proc.stdout)["language"]["reason"]

    def first_run(self):
        say()
        say(f"3. M:\\setup.exe ({self.arch}) under Wine, traced with WINEDEBUG=+process,+exec,+file")
        started = time.monotonic()
        result = self.run_setup("+process,+exec,+file")
        self.wine.wait_no_process(HELPER)
        elapsed = time.monotonic() - started
        trace = result.stderr
        launches = shell_launches(trace)
        self.expect(len(launches) == 1, f"one ShellExecuteExW call, saw {len(launches)}")
        transform = None
        if launches:
            mask, file, parameters, directory, show = launches[0]
            m = re.search(r"TRANSFORMS=(\d+)\.mst", parameters or "")
            transform = int(m.group(1)) if m else None

        reason = self.explain_language()
        say(f"   language   {transform}" + (f": {reason} (stubmedia explain)" if reason else ""))
        say(f"              seen: TRANSFORMS={transform}.mst in msiexec's parameters "
            f"(system language 0x0407 from LC_ALL={SYSTEM_LOCALE})", 0)
        self.expect(transform == LANGUAGE_MAP[1031], f"transform {LANGUAGE_MAP[1031]} for a German system")

        loads = [p for p, code in w.traced_device_ioctls(trace) if code == LOAD]
        say(f"   load       request sent to {loads[0] if loads else '(none)'} before the installation "
            "(+file trace;\n              it fails on Wine's directory-backed drive and setup.exe goes on, as designed)")

        say(f"   staged     {self.wine.temp_dir_windows}\\ now holds:")
        expected_package = self.package.path.read_bytes()
        for p in sorted(self.wine.temp_dir.iterdir(), key=lambda p: p.name.lower()):
            note = {PACKAGE: "expanded from M:\\Sample.ms_" + (", same bytes as the wixl package"
                                                               if p.read_bytes() == expected_package else
                                                               ", DIFFERENT from the wixl package"),
                    f"{transform}.mst": f"expanded from M:\\{transform}.ms_",
                    FLAG: "the logging flag (made by the demo)",
                    LOG: "msiexec's verbose log",
                    HELPER: "the eject helper, a copy of setup.exe"}.get(p.name, "")
            say(f"              {p.name:<32} {size(p)}  {note}")

        if launches:
            say(f"   msiexec    {file} {parameters}")
            say(f"              working directory {directory}, mask 0x{mask:x}, show {show} "
                "(the ShellExecuteExW record in the +exec trace)")
        msiexec_starts = [c for i, c in w.traced_process_starts(trace) if i.lower().endswith("\\msiexec.exe")]
        self.expect(len(msiexec_starts) == 1, "msiexec started once")
        log = self.wine.temp_dir / LOG
        if log.exists():
            lines = [l.strip() for l in log.read_text(encoding="cp1252", errors="replace").splitlines() if l.strip()]
            prop = next((l for l in lines if l.startswith("Property(S): TRANSFORMS")), None)
            say(f"              its log says: \"{prop}\"; last line: \"{lines[-1]}\"" if prop else
                f"              its log's last line: \"{lines[-1]}\"")
        say(f"   exit code  {result.code}: setup.exe's exit code after {elapsed:.1f} s, which is msiexec's passed through")
        say("              unchanged; Wine's traces do not show msiexec's own, its log above ends in success (1)")
        self.expect(result == 0, f"exit code 0, got {result.code}")

        products = self.wine.related_products(UPGRADE_CODE)
        target = self.wine.drive_c / "users" / self.wine.user_name / "AppData" / "Local" / self.package.install_dir_name
        files = sorted(p.name for p in target.iterdir()) if target.is_dir() else []
        say(f"   installed  MsiEnumRelatedProductsW finds {products[0] if products else 'nothing'}"
            f"{f' = {PRODUCT} {self.package.version}' if products == [self.package.product_code] else ''}")
        say(f"              files in C:\\users\\{self.wine.user_name}\\AppData\\Local\\{self.package.install_dir_name}: "
            f"{', '.join(files) or 'none'}")
        self.expect(products == [self.package.product_code], "the sample product installed")

        helpers = [c for i, c in w.traced_process_starts(trace) if i.lower().endswith("\\" + HELPER)]
        ejects = [p for p, code in w.traced_device_ioctls(trace) if code == EJECT]
        say(f"   hand-off   started {helpers[0] if helpers else '(no eject helper)'}   (+process trace)")
        say(f"              the helper sent the eject request to {ejects[0] if ejects else '(none)'} (+file trace)")
        self.expect(len(helpers) == 1 and ejects == ["\\\\.\\M:"], "one eject helper that asks M: to eject")
        # Nobody reads the helper's exit code; running it again shows the outcome.
        again = self.wine.run(self.wine.temp_dir / HELPER, ["-eject#M0"], cwd=self.wine.temp_dir_windows + "\\")
        say(f"              outcome: on Wine's directory-backed drive the request fails; run again as "
            f"\"{HELPER} -eject#M0\" it ends with {again.code} (1 would mean ejected)")

    def second_run(self):
        say()
        say("4. The same medium again")
        result = self.run_setup("+process")
        self.wine.wait_no_process(HELPER)
        starts = [i.rsplit("\\", 1)[-1] for i, _ in w.traced_process_starts(result.stderr)][1:]
        say(f"   exit code {result.code}; processes started: {', '.join(starts) or 'none'} "
            "(the product is installed already: no msiexec)")
        self.expect(result == 0 and starts == [HELPER], "installed product: exit 0, only the eject helper")

    def clean_up(self):
        say()
        result = self.wine.uninstall_msi(self.package)
        left = self.wine.related_products(UPGRADE_CODE)
        say(f"5. Clean-up: msiexec /x {self.package.product_code} ended with {result.code}; "
            f"related products now: {', '.join(left) or 'none'}")
        self.expect(result == 0 and not left, "the sample uninstalled")

    def rel(self, path):
        try:
            return str(Path(path).resolve().relative_to(REPO))
        except ValueError:
            return str(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=str(REPO / "build"))
    parser.add_argument("--stubmedia")
    args = parser.parse_args()
    started = time.monotonic()
    demo = Demo(args)
    problems = w.missing_components()
    if problems:
        raise SystemExit("demo: " + "; ".join(problems))
    try:
        demo.author()
        demo.prepare_wine()
        demo.first_run()
        demo.second_run()
        demo.clean_up()
    finally:
        w.shutdown()
    say()
    if demo.problems:
        say(f"demo: FAILED ({len(demo.problems)} unexpected): " + "; ".join(demo.problems))
        return 1
    say(f"demo: done in {time.monotonic() - started:.0f} s (Wine logs in {demo.rel(w.config().prefix_dir)}-logs)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
