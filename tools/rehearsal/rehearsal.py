#!/usr/bin/python3
"""The Wine half of `stubmedia try`: runs the real setup.exe from a medium
folder under Wine in a private prefix, with the medium as a CD-ROM or
removable drive carrying its volume label, the chosen system language,
Wine's own msiexec and the user's package; then records what happened,
uninstalls the product and removes the prefix unless asked to keep it.

Progress lines go to standard error; the observations go to --result as
JSON, for stubmedia to report. The Wine driving is the end-to-end tests'
own module (wine_env), found beside this file once installed and in
tests/e2e/ of the source tree.
"""

import argparse
import json
import os
import re
import shutil
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
for _candidate in (HERE, HERE.parent.parent / "tests" / "e2e"):
    if (_candidate / "wine_env.py").is_file():
        sys.path.insert(0, str(_candidate))
        break
import wine_env as w  # noqa: E402

FLAG = "BRELM_PELLIX_EnableLogging.txt"
LOG = "BRELM_PELLIX.log"
HELPER = "brelm_eject.exe"
LOAD, EJECT = 0x2D480C, 0x2D4808
LOG_TAIL_LINES = 25

# Windows language -> the glibc locale whose LC_ALL makes Wine report it as
# the system default language.
LOCALES = {
    0x0401: "ar_SA", 0x0404: "zh_TW", 0x0405: "cs_CZ", 0x0406: "da_DK", 0x0407: "de_DE", 0x0408: "el_GR",
    0x0409: "en_US", 0x040B: "fi_FI", 0x040C: "fr_FR", 0x040D: "he_IL", 0x040E: "hu_HU", 0x0410: "it_IT",
    0x0411: "ja_JP", 0x0412: "ko_KR", 0x0413: "nl_NL", 0x0414: "nb_NO", 0x0415: "pl_PL", 0x0416: "pt_BR",
    0x0419: "ru_RU", 0x041D: "sv_SE", 0x041F: "tr_TR", 0x0804: "zh_CN", 0x0807: "de_CH", 0x0809: "en_GB",
    0x080C: "fr_BE", 0x0816: "pt_PT", 0x0C07: "de_AT", 0x0C0A: "es_ES", 0x0C0C: "fr_CA",
}

_VALUE = r'(\(null\)|L"(?:[^"\\]|\\.)*")'
_SHELL_EXECUTE = re.compile(r"trace:exec:SHELL_execute mask=(0x[0-9a-f]+) .*? file=" + _VALUE +
                            r" parm=" + _VALUE + r" dir=" + _VALUE + r" show=(0x[0-9a-f]+)")


def progress(text):
    print(f"try: {text}", file=sys.stderr, flush=True)


def shell_launches(trace):
    """ShellExecuteExW calls in a +exec trace: [{mask, file, parameters, directory, show}]."""
    def text(v):
        return None if v == "(null)" else w._trace_unescape(v[2:-1])
    return [{"mask": int(m.group(1), 16), "file": text(m.group(2)), "parameters": text(m.group(3)),
             "directory": text(m.group(4)), "show": int(m.group(5), 16)}
            for m in _SHELL_EXECUTE.finditer(trace)]


def read_log(path):
    data = path.read_bytes()
    if data.startswith(b"\xff\xfe"):
        return data[2:].decode("utf-16-le", errors="replace")
    return data.decode("cp1252", errors="replace")


def copy_medium(source, target):
    """The medium as the drive's folder: hard links where the file system
    allows, so a large package costs no copy; Wine writes only the label
    file there, never into the user's files."""
    def link_or_copy(src, dst):
        try:
            os.link(src, dst)
        except OSError:
            shutil.copy2(src, dst)
    if target.exists():
        shutil.rmtree(target)
    shutil.copytree(source, target, copy_function=link_or_copy)


class Rehearsal:
    def __init__(self, args):
        self.args = args
        self.work = Path(args.work).resolve()
        self.result = {"ok": False, "error": None}

    def fail(self, message):
        self.result["error"] = message
        progress(f"failed: {message}")

    def run(self):
        a = self.args
        try:
            self.prepare()
            if self.result["error"] is None:
                self.rehearse()
        except (w.MissingComponent, w.HarnessError, w.WineTimeout, OSError) as e:
            self.fail(str(e).strip())
        finally:
            self.tidy()
        return self.result

    def prepare(self):
        a = self.args
        w.require_wine()
        w.configure(build_dir=self.work)
        fresh = not (w.config().prefix_dir / w.WinePrefix.READY_MARK).exists()
        progress("creating a private Wine prefix (about 20 s)" if fresh else "starting Wine in the kept prefix")
        can32 = w.is_32bit_execution_available()
        arch = a.arch
        if arch == "auto":
            arch = "win32" if can32 else "win64"
        self.result["arch"] = arch
        self.result["can_run_32bit"] = can32
        if not can32:
            self.result["note_32bit"] = w.thirty_two_bit_note()
        if arch == "win32" and not can32:
            return self.fail("this machine cannot run 32-bit code (" + w.thirty_two_bit_note() +
                             "): rehearse with --arch win64, the x86-64 twin of setup.exe")
        locale = LOCALES.get(a.system_language)
        if locale is None:
            return self.fail(f"no locale known for system language {a.system_language} "
                             f"(0x{a.system_language:04X}); known: " +
                             ", ".join(f"{k}" for k in sorted(LOCALES)))
        self.locale = locale + ".UTF-8"

        progress("copying the medium into the rehearsal's drive folder")
        self.medium = self.work / "drive-m"
        copy_medium(Path(a.medium), self.medium)
        setup = self.medium / "setup.exe"
        if not setup.is_file():
            return self.fail("the medium has no setup.exe")
        if arch == "win64":
            twin = Path(a.setup64) if a.setup64 else None
            if twin is None or w.pe_machine(twin) != 0x8664:
                return self.fail(f"the x86-64 twin of setup.exe is missing or no x86-64 program: {twin}")
            setup.unlink()
            shutil.copyfile(twin, setup)
            self.result["setup_exe"] = "the x86-64 twin of setup.exe, in place of the medium's"
        else:
            if w.pe_machine(setup) != 0x14C:
                return self.fail("the medium's setup.exe is no 32-bit Windows program")
            self.result["setup_exe"] = "the medium's own setup.exe"

        self.wine = w.shared_prefix()
        self.result["prefix"] = str(self.wine.path)

        progress(f"defining M: as a {a.drive_type} drive labelled \"{a.label}\"")
        self.wine.add_drive("m", self.medium, type=a.drive_type, label=a.label)
        info = self.wine.drive_info("m")
        self.result["drive"] = {"letter": "M", "type": info.type, "label": info.label}
        syslang = int(self.wine.windows_info(env={"LC_ALL": self.locale})["syslang"], 0)
        self.result["system_language"] = syslang
        self.result["locale"] = self.locale
        if syslang != a.system_language:
            return self.fail(f"Wine reports system language {syslang} with LC_ALL={self.locale}, "
                             f"not {a.system_language}")
        if self.wine.related_products(a.upgrade_code):
            return self.fail("the product is installed in this prefix already; a kept prefix keeps it")
        (self.wine.temp_dir / FLAG).write_bytes(b"")

    def rehearse(self):
        a = self.args
        progress(f"running M:\\setup.exe under Wine (system language {a.system_language}, "
                 f"LC_ALL={self.locale})")
        started = time.monotonic()
        run = self.wine.run(self.medium / "setup.exe", [], winedebug="+process,+exec,+file",
                            env={"LC_ALL": self.locale}, timeout=a.timeout)
        self.wine.wait_no_process(HELPER, timeout=30)
        r = self.result
        r["seconds"] = round(time.monotonic() - started, 1)
        r["exit_code"] = run.code
        trace = run.stderr or ""
        launches = shell_launches(trace)
        r["msiexec"] = launches[0] if launches else None
        starts = w.traced_process_starts(trace)
        r["processes"] = [{"image": image, "command_line": cmdline} for image, cmdline in starts[1:]]
        requests = w.traced_storage_requests(trace)
        r["load_requests"] = [q.path for q in requests if q.code == LOAD]
        r["eject_requests"] = [q.path for q in requests if q.code == EJECT]
        helpers = [c for image, c in starts if image.lower().endswith("\\" + HELPER)]
        r["eject_helper"] = helpers[0] if helpers else None

        temp = self.wine.temp_dir
        r["temp_dir"] = self.wine.temp_dir_windows + "\\"
        r["staged"] = [{"name": p.name, "size": p.stat().st_size}
                       for p in sorted(temp.iterdir(), key=lambda p: p.name.lower())
                       if p.is_file() and p.name not in (FLAG, LOG)]
        log = temp / LOG
        r["log"] = None
        if log.is_file():
            lines = [line.rstrip() for line in read_log(log).splitlines() if line.strip()]
            r["log"] = {"lines": len(lines), "tail": lines[-LOG_TAIL_LINES:]}
        products = self.wine.related_products(a.upgrade_code)
        r["installed_products"] = products
        r["ok"] = bool(products) and run.code in (0, 3010, 1641)

        if products:
            progress("uninstalling the product again")
        r["uninstall"] = []
        for product in products:
            code = self.wine.uninstall_msi(product)
            r["uninstall"].append({"product": product, "exit_code": code.code})
        r["left_installed"] = self.wine.related_products(a.upgrade_code) if products else []

    def tidy(self):
        w.shutdown()
        if self.args.keep:
            self.result["kept"] = str(self.work)
            return
        progress("removing the prefix")
        shutil.rmtree(self.work / "e2e", ignore_errors=True)
        shutil.rmtree(self.work / "drive-m", ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--medium", required=True)
    p.add_argument("--label", required=True)
    p.add_argument("--drive-type", choices=("cdrom", "removable"), default="cdrom")
    p.add_argument("--system-language", type=lambda v: int(v, 0), required=True)
    p.add_argument("--arch", choices=("auto", "win32", "win64"), default="auto")
    p.add_argument("--setup64")
    p.add_argument("--upgrade-code", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--keep", action="store_true")
    p.add_argument("--timeout", type=float, default=900)
    p.add_argument("--result", required=True)
    args = p.parse_args()
    result = Rehearsal(args).run()
    Path(args.result).write_text(json.dumps(result, indent=2), encoding="utf-8")
    return 0 if result["error"] is None else 1


if __name__ == "__main__":
    sys.exit(main())
