"""Runs real Windows programs under Wine for the end-to-end tests.

One private prefix per build directory (default build/e2e/wineprefix),
created once and reused; a keep-alive process holds the Wine session open
for the whole run so each program start costs a fraction of a second.
Every program is started through tools/run_child.c, which passes the
command line byte for byte and reports the full 32-bit exit code (wine's
own Unix exit status keeps only the low 8 bits).

A missing Wine, mingw-w64 or wixl raises MissingComponent, an
AssertionError: the test fails, it is never skipped.
"""

import concurrent.futures
import errno
import fcntl
import itertools
import json
import os
import pwd
import re
import shutil
import struct
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO_ROOT = HERE.parent.parent
TOOLS_SRC = HERE / "tools"

WINE64 = "/usr/lib/wine/wine64"
WINE32_LOADER = "/usr/lib/wine/wine"
WINE_LAUNCHER = "/usr/bin/wine"
WINESERVER = "/usr/lib/wine/wineserver"
WIXL = "wixl"
COMPILERS = {"x86_64": "x86_64-w64-mingw32-gcc", "i686": "i686-w64-mingw32-gcc"}

BASE_DLL_OVERRIDES = "mscoree,mshtml="

# GetDriveTypeW answers
DRIVE_NO_ROOT_DIR = 1
DRIVE_REMOVABLE = 2
DRIVE_FIXED = 3
DRIVE_CDROM = 5
DRIVE_TYPES = {"removable": DRIVE_REMOVABLE, "hd": DRIVE_FIXED, "cdrom": DRIVE_CDROM}

FILE_ATTRIBUTE_READONLY = 0x01
FILE_ATTRIBUTE_HIDDEN = 0x02
FILE_ATTRIBUTE_SYSTEM = 0x04

ERROR_SUCCESS = 0
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_ALREADY_EXISTS = 183

# The recording msiexec is told apart from Wine's by this UTF-16 string.
RECORDING_MARKER = "C:\\e2e\\msiexec_log.txt".encode("utf-16-le")

# Exit codes of the recording msiexec that no installer returns.
MSIEXEC_LOG_FAILED = 29001
MSIEXEC_BAD_SCRIPT = 29002

TOOLS = {
    # name: subsystem
    "run_child": "console",
    "record_msiexec": "windows",
    "define_drive": "console",
    "drive_probe": "console",
    "hold_object": "console",
    "sleeper": "console",
    "msi_probe": "console",
    "proc_list": "console",
    "winfo": "console",
    "shell_exec": "windows",
    "msi_transform": "console",
    "icon_probe": "windows",  # gdi32 for the pixels
    "file_probe": "console",
}

NTSTATUS_NAMES = {
    0xC0000005: "STATUS_ACCESS_VIOLATION",
    0xC000001D: "STATUS_ILLEGAL_INSTRUCTION",
    0xC0000094: "STATUS_INTEGER_DIVIDE_BY_ZERO",
    0xC00000FD: "STATUS_STACK_OVERFLOW",
    0xC0000135: "STATUS_DLL_NOT_FOUND",
    0xC0000139: "STATUS_ENTRYPOINT_NOT_FOUND",
    0xC0000142: "STATUS_DLL_INIT_FAILED",
    0xC0000409: "STATUS_STACK_BUFFER_OVERRUN",
    0xC0000374: "STATUS_HEAP_CORRUPTION",
}


class MissingComponent(AssertionError):
    """A real component the tests need (Wine, mingw-w64, wixl) is absent."""


class HarnessError(AssertionError):
    """The harness itself could not do what was asked."""


class WineTimeout(AssertionError):
    """A Windows program outlived its time limit; it has been terminated."""

    def __init__(self, message, pid=None, cmdline=None):
        super().__init__(message)
        self.pid = pid
        self.cmdline = cmdline


# ---------------------------------------------------------------- config

class Config:
    def __init__(self):
        self.build_dir = Path(os.environ.get("E2E_BUILD_DIR", REPO_ROOT / "build")).resolve()
        self.setup_win64 = _opt_path(os.environ.get("E2E_SETUP_WIN64"))
        self.setup_win32 = _opt_path(os.environ.get("E2E_SETUP_WIN32"))

    @property
    def e2e_dir(self):
        return self.build_dir / "e2e"

    @property
    def prefix_dir(self):
        return self.e2e_dir / "wineprefix"


def _opt_path(value):
    return Path(value).resolve() if value else None


_config = Config()


def config():
    return _config


def configure(build_dir=None, setup_win64=None, setup_win32=None):
    """Set where the build lives and which setup.exe files to test.

    The same values are also read from E2E_BUILD_DIR, E2E_SETUP_WIN64 and
    E2E_SETUP_WIN32, and exported there so child test processes agree."""
    global _config
    if build_dir is not None:
        os.environ["E2E_BUILD_DIR"] = str(Path(build_dir).resolve())
    if setup_win64 is not None:
        os.environ["E2E_SETUP_WIN64"] = str(Path(setup_win64).resolve())
    if setup_win32 is not None:
        os.environ["E2E_SETUP_WIN32"] = str(Path(setup_win32).resolve())
    _config = Config()
    return _config


class SetupExe:
    """One setup.exe build to test: arch 'win64' (the x86-64 twin) or 'win32'."""

    MACHINES = {"win64": 0x8664, "win32": 0x14C}

    def __init__(self, arch, path):
        self.arch = arch
        self.path = Path(path)

    def require(self):
        """The path, after checking it is a PE file of the right machine."""
        if not self.path.is_file():
            raise MissingComponent(
                f"{self.arch} setup.exe not found at {self.path}: build it first "
                f"(or pass --setup-{self.arch})")
        machine = pe_machine(self.path)
        if machine != self.MACHINES[self.arch]:
            raise HarnessError(f"{self.path} is not a {self.arch} PE file (machine {machine!r})")
        return self.path

    def __repr__(self):
        return f"SetupExe({self.arch}, {self.path})"


def setup_exes():
    """The setup.exe builds that can run here: the x86-64 twin always, the
    real 32-bit one only when this machine can execute 32-bit code."""
    exes = [SetupExe("win64", setup_exe_path("win64"))]
    if is_32bit_execution_available():
        exes.append(SetupExe("win32", setup_exe_path("win32")))
    return exes


def setup_exe_path(arch):
    cfg = config()
    chosen = cfg.setup_win32 if arch == "win32" else cfg.setup_win64
    return chosen or cfg.build_dir / arch / "setup.exe"


# Runs of each setup.exe build under Wine, copies included, so that the
# run's summary can say which one the tests really proved.
_setup_runs = {"win32": 0, "win64": 0}
_setup_digests = {}


def _note_setup_run(unix_path):
    try:
        size = os.path.getsize(unix_path)
    except OSError:
        return
    for arch in _setup_runs:
        build = setup_exe_path(arch)
        try:
            stat = build.stat()
        except OSError:
            continue
        if stat.st_size != size:
            continue
        key = (build, stat.st_mtime_ns)
        if key not in _setup_digests:
            _setup_digests[key] = build.read_bytes()
        if Path(unix_path).read_bytes() == _setup_digests[key]:
            _setup_runs[arch] += 1


def setup_runs():
    """{'win32': n, 'win64': n}: how often each setup.exe build was started."""
    return dict(_setup_runs)


def pointer_bits(path):
    """32 or 64: the pointer width of a PE file (None when it is none)."""
    return {0x14C: 32, 0x8664: 64}.get(pe_machine(path))


def pe_machine(path):
    """The COFF machine field of a PE file (0x8664, 0x14c), or None."""
    try:
        with open(path, "rb") as f:
            head = f.read(4096)
        (pe_offset,) = struct.unpack_from("<I", head, 0x3C)
        if head[:2] != b"MZ" or head[pe_offset:pe_offset + 4] != b"PE\0\0":
            return None
        return struct.unpack_from("<H", head, pe_offset + 4)[0]
    except (OSError, struct.error):
        return None


# ---------------------------------------------------------- prerequisites

def require_wine():
    for path in (WINE64, WINESERVER):
        if not os.access(path, os.X_OK):
            raise MissingComponent(f"{path} is missing: install the Debian packages wine and wine64")


def require_compiler(arch="x86_64"):
    compiler = COMPILERS[arch]
    if not shutil.which(compiler):
        pkg = "gcc-mingw-w64-x86-64-win32" if arch == "x86_64" else "gcc-mingw-w64-i686-win32"
        raise MissingComponent(f"{compiler} is missing: install the Debian package {pkg}")
    return compiler


LZMA_ALONE = "/usr/bin/lzma_alone"


def compress_lzma_alone(source, target, options=()):
    """An LZMA-alone file with the size in its header, as media authors make
    them with lzma_alone (xz --format=lzma would write the size as unknown)."""
    if not os.access(LZMA_ALONE, os.X_OK):
        raise MissingComponent(f"{LZMA_ALONE} is missing: install the Debian package lzma-alone")
    with open(os.devnull, "wb") as quiet:
        subprocess.check_call([LZMA_ALONE, "e", str(source), str(target), *options], stdin=subprocess.DEVNULL,
                              stdout=quiet, stderr=quiet)


def require_wixl():
    path = shutil.which(WIXL)
    if not path:
        raise MissingComponent("wixl is missing: install the Debian package wixl")
    return path


def missing_components():
    """Human-readable list of what the e2e tests need and cannot find."""
    problems = []
    for check in (require_wine, require_compiler, require_wixl):
        try:
            check()
        except MissingComponent as e:
            problems.append(str(e))
    return problems


_probe_32 = None
# Set (not "0") to run as a machine that cannot execute 32-bit code would:
# the x86-64 twin only.
NO_WIN32_VARIABLE = "E2E_NO_WIN32"


def is_32bit_execution_available():
    """Whether 32-bit Windows programs can run here. The first call probes:
    the 32-bit Wine loader must start (kernels built without 32-bit support
    refuse it with "Exec format error"), then a 32-bit PE must really run
    in the shared prefix."""
    return _probe_32bit()[0]


def thirty_two_bit_note():
    """Why 32-bit programs cannot run here ('' when they can)."""
    return _probe_32bit()[1]


def _probe_32bit():
    global _probe_32
    if _probe_32 is not None:
        return _probe_32
    if os.environ.get(NO_WIN32_VARIABLE, "") not in ("", "0"):
        _probe_32 = (False, f"{NO_WIN32_VARIABLE} is set, as on a machine that refuses 32-bit code")
        return _probe_32
    if not os.path.exists(WINE32_LOADER):
        _probe_32 = (False, f"{WINE32_LOADER} is not installed (package wine32:i386)")
        return _probe_32
    log = config().e2e_dir / "probe32.log"
    log.parent.mkdir(parents=True, exist_ok=True)
    try:
        with open(log, "wb") as out:
            rc = subprocess.call([WINE32_LOADER, "--version"], stdin=subprocess.DEVNULL,
                                 stdout=out, stderr=subprocess.STDOUT, timeout=30)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            _probe_32 = (False, "the kernel refuses 32-bit code (Exec format error)")
        else:
            _probe_32 = (False, f"cannot start {WINE32_LOADER}: {e}")
        return _probe_32
    text = log.read_text(errors="replace")
    if rc != 0 or "Exec format error" in text:
        _probe_32 = (False, f"{WINE32_LOADER} --version failed ({rc}): {text.strip()[:200]}")
        return _probe_32
    if not shutil.which(COMPILERS["i686"]):
        _probe_32 = (False, f"{COMPILERS['i686']} is missing, no 32-bit probe program")
        return _probe_32
    _probe_32 = (True, "")  # lets the probe below use the 32-bit tools
    try:
        info = shared_prefix().windows_info(arch="i686")
        ok = info.get("pointer_bits") == "32"
        _probe_32 = (ok, "" if ok else f"a 32-bit probe program did not run as 32-bit: {info}")
    except AssertionError as e:
        _probe_32 = (False, f"a 32-bit probe program failed: {e}")
    return _probe_32


# ------------------------------------------------------------------ tools

_build_lock = threading.Lock()
_built = {}


def tools_dir(arch="x86_64"):
    return config().e2e_dir / "tools" / arch


def build_tools(arch="x86_64", names=None):
    """Compile helper programs (default: all of them) for arch ('x86_64' or
    'i686') into build/e2e/tools/<arch>/ when missing or older than their
    sources. Returns {name: path}."""
    names = list(TOOLS) if names is None else list(names)
    out_dir = tools_dir(arch)
    paths = {n: out_dir / f"{n}.exe" for n in names}
    with _build_lock:
        todo = [n for n in names if _built.get((out_dir, n)) is None]
        if not todo:
            return paths
        compiler = require_compiler(arch)
        out_dir.mkdir(parents=True, exist_ok=True)
        header_mtime = (TOOLS_SRC / "tool_common.h").stat().st_mtime
        stale = []
        for name in todo:
            src, exe = TOOLS_SRC / f"{name}.c", paths[name]
            if not exe.exists() or exe.stat().st_mtime < max(src.stat().st_mtime, header_mtime):
                stale.append(name)

        def compile_one(name):
            src, exe = TOOLS_SRC / f"{name}.c", paths[name]
            tmp = exe.with_name(f".{exe.name}.{os.getpid()}.tmp")
            cmd = [compiler, "-municode", f"-m{TOOLS[name]}", "-O2", "-s", "-static", "-Wall", "-Wextra",
                   "-o", str(tmp), str(src)]
            log = exe.with_suffix(".log")
            with open(log, "wb") as out:
                rc = subprocess.call(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            if rc != 0:
                raise HarnessError(f"building {src.name} for {arch} failed:\n{log.read_text(errors='replace')}")
            os.replace(tmp, exe)

        if stale:
            with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
                list(pool.map(compile_one, stale))
        for name in todo:
            _built[(out_dir, name)] = paths[name]
    return paths


def tool_path(name, arch="x86_64"):
    """The helper program, built first when needed."""
    return build_tools(arch, [name])[name]


# ------------------------------------------------------ command lines

def quote_arg(arg):
    """Quote one argument so CommandLineToArgvW and the C runtimes give it back."""
    if arg and not re.search(r'[\s"]', arg):
        return arg
    out, backslashes = ['"'], 0
    for ch in arg:
        if ch == "\\":
            backslashes += 1
            continue
        if ch == '"':
            out.append("\\" * (2 * backslashes + 1) + '"')
        else:
            out.append("\\" * backslashes + ch)
        backslashes = 0
    out.append("\\" * (2 * backslashes) + '"')
    return "".join(out)


def join_command_line(args):
    return " ".join(quote_arg(a) for a in args)


def split_command_line(cmdline):
    """Split a Windows command line as the Microsoft C runtime does: the
    program name ends at the first blank (or its closing quote) with no
    escapes; then 2n backslashes + quote give n backslashes and toggle
    quoting, 2n+1 give n and a literal quote, and "" inside quotes is a
    literal quote."""
    args, i, n = [], 0, len(cmdline)
    # program name
    if cmdline.startswith('"'):
        end = cmdline.find('"', 1)
        end = n if end < 0 else end
        args.append(cmdline[1:end])
        i = end + 1
    else:
        m = re.match(r"[^ \t]*", cmdline)
        args.append(m.group(0))
        i = m.end()
    while True:
        while i < n and cmdline[i] in " \t":
            i += 1
        if i >= n:
            return args
        cur, quoted = [], False
        while i < n and (quoted or cmdline[i] not in " \t"):
            ch = cmdline[i]
            if ch == "\\":
                j = i
                while j < n and cmdline[j] == "\\":
                    j += 1
                count = j - i
                if j < n and cmdline[j] == '"':
                    cur.append("\\" * (count // 2))
                    if count % 2:
                        cur.append('"')
                        i = j + 1
                    else:
                        i = j
                    continue
                cur.append("\\" * count)
                i = j
                continue
            if ch == '"':
                if quoted and i + 1 < n and cmdline[i + 1] == '"':
                    cur.append('"')
                    i += 2
                    continue
                quoted = not quoted
                i += 1
                continue
            cur.append(ch)
            i += 1
        args.append("".join(cur))


# --------------------------------------------------------------- results

class RunResult(int):
    """A finished Windows process. Its value is the exit code as an unsigned
    32-bit number, so `assertEqual(result, 1602)` reads naturally and a
    failing assertion shows the command line and the end of stderr."""

    def __new__(cls, code, **info):
        self = super().__new__(cls, code & 0xFFFFFFFF)
        self.__dict__.update(info)
        return self

    @property
    def code(self):
        return int(self)

    @property
    def signed(self):
        """The exit code as the signed 32-bit value a C program returned."""
        return self.code - (1 << 32) if self.code & 0x80000000 else self.code

    @property
    def is_crash(self):
        """True for NTSTATUS error codes (0xC0000000 and above), which is how
        an unhandled exception or a failed process start ends."""
        return self.code >= 0xC0000000

    @property
    def status_name(self):
        return NTSTATUS_NAMES.get(self.code, "")

    @property
    def stdout(self):
        return _read_text(self.stdout_path)

    @property
    def stderr(self):
        return _read_text(self.stderr_path)

    def __repr__(self):
        name = f" {self.status_name}" if self.status_name else ""
        tail = self.stderr.strip()[-600:]
        return (f"<RunResult code={self.code} (0x{self.code:08X}{name}) cmdline={self.cmdline!r} "
                f"cwd={self.cwd!r} elapsed={self.elapsed:.2f}s stdout={self.stdout_path}"
                + (f" stderr tail:\n{tail}\n" if tail else "") + ">")

    __str__ = __repr__


def _read_text(path):
    try:
        return Path(path).read_text(encoding="utf-8", errors="replace")
    except OSError:
        return ""


def wait_for(predicate, timeout, interval=0.02, what="condition"):
    """Poll predicate() until it returns a true value; that value, or
    HarnessError after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise HarnessError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(interval)


def wait_for_file(path, timeout=10):
    return wait_for(lambda: Path(path).exists(), timeout, what=str(path))


class Background:
    """A Windows program started with WinePrefix.start()."""

    def __init__(self, prefix, popen, request, timeout):
        self._prefix, self._popen, self._request = prefix, popen, request
        self._timeout = timeout
        self._result = None

    @property
    def pid(self):
        """The Windows process id (waits until the process exists)."""
        pidfile = Path(self._request["pidfile_unix"])
        wait_for(lambda: pidfile.exists() or self._popen.poll() is not None, 30, what="child pid")
        if not pidfile.exists():
            self.wait()
            raise HarnessError(f"no pid: the program never started: {self._result!r}")
        return int(pidfile.read_text().strip())

    def running(self):
        return self._popen.poll() is None

    def wait(self, timeout=None):
        """Wait for the program to end; the RunResult (WineTimeout if its own
        time limit ran out)."""
        if self._result is None:
            limit = timeout if timeout is not None else (self._timeout or 3600) + 30
            try:
                self._popen.wait(limit)
            except subprocess.TimeoutExpired:
                raise HarnessError(f"run_child still running after {limit}s: {self._request['cmd']!r}")
            self._result = self._prefix._collect(self._request, self._popen.returncode)
        return self._result

    def kill(self, code=1):
        """Terminate the Windows program (if still running) and collect it."""
        if self.running():
            self._prefix._tool("proc_list", ["kill", str(self.pid), str(code)], check=False)
        return self.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


class HeldObject:
    """A named mutex or event held by a hold_object process."""

    def __init__(self, prefix, kind, name, background, release_file, status_line):
        self.kind, self.name = kind, name
        self._background, self._release_file = background, release_file
        words = status_line.split()
        self.status = words[0]            # created | exists | failed
        self.error = int(words[1])
        self.pid = int(words[2].split("=")[1])

    def release(self):
        Path(self._release_file).touch()
        return self._background.wait(timeout=30)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.release()


class MsiexecRecord:
    """One start of the recording msiexec."""

    def __init__(self, data):
        self.data = data
        self.run = data["run"]
        self.pid = data["pid"]
        self.cmdline = data["cmdline"]
        self.cwd = data["cwd"]
        self.exe = data["exe"]
        self.exit = data["exit"]
        self.delay_ms = data["delay_ms"]

    @property
    def argv(self):
        return split_command_line(self.cmdline)

    def __repr__(self):
        return f"MsiexecRecord({self.data!r})"


class DriveInfo:
    def __init__(self, line):
        fields = dict(re.findall(r"(\w+)=(\S*)", line.split(" label=")[0]))
        self.type = int(fields["type"])
        self.volume_ok = fields["volume_ok"] == "1"
        self.error = int(fields["error"])
        self.serial = int(fields["serial"])
        self.fs = fields["fs"]
        self.label = line.split(" label=", 1)[1].rstrip("\r\n") if " label=" in line else ""

    def __repr__(self):
        return (f"DriveInfo(type={self.type}, volume_ok={self.volume_ok}, error={self.error}, "
                f"label={self.label!r}, fs={self.fs!r})")


class MsiPackage:
    def __init__(self, path, product_code, upgrade_code, product_name, version, install_dir_name):
        self.path = Path(path)
        self.product_code = product_code
        self.upgrade_code = upgrade_code
        self.product_name = product_name
        self.version = version
        self.install_dir_name = install_dir_name

    def __repr__(self):
        return f"MsiPackage({self.path}, product={self.product_code}, upgrade={self.upgrade_code})"


# ----------------------------------------------------------- Wine traces
# Run a program with winedebug="+file" or "+process" and read what it did
# from the trace in its stderr. Wine cuts very long strings short ("...").
#
# One trace holds 64-bit and 32-bit processes side by side (run_child is
# 64-bit, the real setup.exe 32-bit), and Wine prints handles and pointers
# at the width of the process: "CreateFileW returning 0000000000000030" in a
# 64-bit one, "00000030" in a 32-bit one, INVALID_HANDLE_VALUE as sixteen or
# eight F's ("0xffffffff" where printed as a pointer). So the readers take
# the width from each line, never from the machine they run on.

_TRACE_STRING = r'L"((?:[^"\\]|\\.)*)"'
# "pid:tid:" with +pid (which run() adds), else "tid:"; the key is the
# process when known, since handles are per process
_TRACE_WHO = r"^((?:[0-9a-f]+:)?[0-9a-f]+):trace:"
_POINTER_WIDTHS = {8: 32, 16: 64}


def _trace_process_key(who):
    return who.split(":")[0]


def _trace_handle(field):
    """A handle as traced ("00000030", "0000000000000030", "0x30",
    "0xffffffff"): its value, or None for a null or invalid handle."""
    value = int(field, 16)
    if value == 0 or value in (0xFFFFFFFF, 0xFFFFFFFFFFFFFFFF):
        return None
    return value


def _trace_unescape(text):
    r"""Undo Wine's escaping of traced strings (\\, \", \n, \r, \t and
    \HHHH for anything outside printable ASCII)."""
    out, i = [], 0
    simple = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t"}
    while i < len(text):
        ch = text[i]
        if ch == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt in simple:
                out.append(simple[nxt])
                i += 2
                continue
            if re.fullmatch(r"[0-9a-fA-F]{4}", text[i + 1:i + 5]):
                out.append(chr(int(text[i + 1:i + 5], 16)))
                i += 5
                continue
        out.append(ch)
        i += 1
    return "".join(out)


def _trace_text(result_or_text):
    return result_or_text if isinstance(result_or_text, str) else result_or_text.stderr


def traced_process_starts(result_or_text):
    """[(image, command line)] of every process created (needs +process)."""
    starts = []
    pattern = re.compile(r":trace:process:NtCreateUserProcess .*? image " + _TRACE_STRING +
                         r" cmdline " + _TRACE_STRING)
    for line in _trace_text(result_or_text).splitlines():
        m = pattern.search(line)
        if m:
            starts.append((_trace_unescape(m.group(1)), _trace_unescape(m.group(2))))
    return starts


_OPEN_RE = re.compile(_TRACE_WHO + r"file:CreateFileW " + _TRACE_STRING + r" (.*)$")
_OPENED_RE = re.compile(_TRACE_WHO + r"file:CreateFileW returning ([0-9a-fA-F]+)")


def traced_opens(result_or_text):
    """[(path, access and flags as traced, handle or None)] of every
    CreateFileW call (needs +file)."""
    opens, pending = [], {}
    for line in _trace_text(result_or_text).splitlines():
        m = _OPEN_RE.match(line)
        if m:
            pending[m.group(1)] = len(opens)
            opens.append([_trace_unescape(m.group(2)), m.group(3).strip(), None])
            continue
        m = _OPENED_RE.match(line)
        if m and m.group(1) in pending:
            opens[pending.pop(m.group(1))][2] = _trace_handle(m.group(2))
    return [tuple(o) for o in opens]


def _opened_names(lines):
    """Yields (line, match kind, data) and keeps {(process, handle): path}
    for the CreateFileW calls seen so far."""
    names, pending = {}, {}
    for line in lines:
        m = _OPEN_RE.match(line)
        if m:
            pending[m.group(1)] = _trace_unescape(m.group(2))
            continue
        m = _OPENED_RE.match(line)
        if m and m.group(1) in pending:
            path = pending.pop(m.group(1))
            handle = _trace_handle(m.group(2))
            if handle is not None:
                names[(_trace_process_key(m.group(1)), handle)] = path
            continue
        yield line, names


def traced_device_ioctls(result_or_text):
    """[(path the handle was opened with or None, control code)] of every
    device control request, in order (needs +file)."""
    ioctls = []
    ioctl_re = re.compile(_TRACE_WHO + r"file:NtDeviceIoControlFile \((0x[0-9a-f]+),(?:[^,]*,){4}(0x[0-9a-f]+),")
    for line, names in _opened_names(_trace_text(result_or_text).splitlines()):
        m = ioctl_re.match(line)
        if m:
            handle = _trace_handle(m.group(2))
            key = (_trace_process_key(m.group(1)), handle)
            ioctls.append((names.get(key) if handle is not None else None, int(m.group(3), 16)))
    return ioctls


class StorageRequest(tuple):
    """One DeviceIoControl call shaped as a load or eject request."""

    __slots__ = ()

    def __new__(cls, process, path, handle, code, bits):
        return super().__new__(cls, (process, path, handle, code, bits))

    process = property(lambda self: self[0])   # the process key ("0174")
    path = property(lambda self: self[1])      # what the handle was opened as, or None
    handle = property(lambda self: self[2])    # None: INVALID_HANDLE_VALUE, no device
    code = property(lambda self: self[3])
    bits = property(lambda self: self[4])      # 32 or 64, from the traced pointer width


def traced_storage_requests(result_or_text, code=None):
    """[StorageRequest] of every DeviceIoControl call with no input or
    output buffer, a bytes-returned count and no OVERLAPPED, as the load
    and eject requests are made (needs +file), optionally only those with
    that control code. A request sent without a device has handle None."""
    requests = []
    call_re = re.compile(_TRACE_WHO + r"file:KERNEL32_DeviceIoControl \(([^()]*)\)$")
    for line, names in _opened_names(_trace_text(result_or_text).splitlines()):
        m = call_re.match(line)
        if not m:
            continue
        fields = m.group(2).split(",")
        if len(fields) != 8:
            continue
        handle, ioctl, in_buf, in_size, out_buf, out_size, returned, overlapped = fields
        width = len(handle)
        pointers = (handle, in_buf, out_buf, returned, overlapped)
        if width not in _POINTER_WIDTHS or any(len(p) != width or not re.fullmatch(r"[0-9A-F]+", p)
                                               for p in pointers):
            raise HarnessError(f"unexpected DeviceIoControl trace line: {line!r}")
        if int(in_buf, 16) or in_size != "0" or int(out_buf, 16) or out_size != "0" \
                or not int(returned, 16) or int(overlapped, 16):
            continue
        process = _trace_process_key(m.group(1))
        value = _trace_handle(handle)
        request = StorageRequest(process, names.get((process, value)) if value is not None else None,
                                 value, int(ioctl, 16), _POINTER_WIDTHS[width])
        if code is None or request.code == code:
            requests.append(request)
    return requests


# ----------------------------------------------------------------- prefix

class WinePrefix:
    """A private Wine prefix and the operations the e2e tests need on it."""

    READY_MARK = ".e2e-prefix-ready"

    def __init__(self, path=None, arch="win64"):
        if arch not in ("win64", "win32"):
            raise ValueError("arch must be 'win64' or 'win32'")
        self.path = Path(path or config().prefix_dir).resolve()
        self.arch = arch
        self.logs_dir = self.path.parent / (self.path.name + "-logs")
        self.boot_seconds = None      # set when ensure() created the prefix
        self.created = False
        self._lock_file = None
        self._keepalive = None
        self._seq = itertools.count(1)
        self._drives = {}

    # -- layout

    @property
    def drive_c(self):
        return self.path / "drive_c"

    @property
    def e2e_dir(self):
        """C:\\e2e: the tools' scripted inputs and outputs."""
        return self.drive_c / "e2e"

    @property
    def user_name(self):
        """The Windows user name. Wine takes it from the Unix account (as
        root: 'root'), not from $USER, so it is read from the prefix."""
        users = self.drive_c / "users"
        names = sorted(p.name for p in users.iterdir() if p.is_dir() and p.name != "Public") \
            if users.is_dir() else []
        if len(names) == 1:
            return names[0]
        return pwd.getpwuid(os.getuid()).pw_name

    @property
    def temp_dir(self):
        """The user's temp directory (Unix path), GetTempPathW's answer."""
        return self.drive_c / "users" / self.user_name / "Temp"

    @property
    def temp_dir_windows(self):
        return f"C:\\users\\{self.user_name}\\Temp"

    def system_image(self, name, exe):
        """The path a program started as C:\\windows\\system32\\<name> by
        the program `exe` reports as its own: for a 32-bit caller in a 64-bit
        prefix, WOW64 redirects system32 to syswow64 and the started program
        (a 32-bit one from there) names syswow64."""
        sysdir = "syswow64" if self.arch == "win64" and pointer_bits(exe) == 32 else "system32"
        return f"C:\\windows\\{sysdir}\\{name}"

    def system_dirs(self):
        """{Unix dir: 'x86_64'|'i686'}: what C:\\windows\\system32 is for a
        64-bit and for a 32-bit process."""
        win = self.drive_c / "windows"
        if self.arch == "win32":
            return {win / "system32": "i686"}
        return {win / "system32": "x86_64", win / "syswow64": "i686"}

    # -- paths

    def _drive_targets(self):
        targets = {}
        dosdevices = self.path / "dosdevices"
        for entry in dosdevices.iterdir():
            if re.fullmatch(r"[a-z]:", entry.name) and entry.is_symlink():
                targets[entry.name[0]] = Path(os.path.realpath(entry))
        return targets

    def to_windows(self, unix_path):
        """Windows path of a Unix path, on the drive that maps it most closely
        (C: for the prefix, Z: for the rest of the file system)."""
        real = Path(os.path.realpath(unix_path))
        best = None
        for letter, target in self._drive_targets().items():
            try:
                rest = real.relative_to(target)
            except ValueError:
                continue
            if best is None or len(target.parts) > len(best[1].parts):
                best = (letter, target, rest)
        if best is None:
            raise ValueError(f"{unix_path} is on no drive of {self.path}")
        letter, _, rest = best
        return f"{letter.upper()}:\\" + "\\".join(rest.parts)

    def to_unix(self, windows_path):
        """Unix path of a Windows path; each component is matched without
        regard to case when the exact name does not exist, as Windows does."""
        p = windows_path
        if p.startswith("\\\\?\\"):
            p = p[4:]
        m = re.match(r"([A-Za-z]):(.*)$", p)
        if not m:
            raise ValueError(f"not an absolute drive path: {windows_path!r}")
        letter, rest = m.group(1).lower(), m.group(2)
        target = self._drive_targets().get(letter)
        if target is None:
            raise ValueError(f"drive {letter.upper()}: is not defined in {self.path}")
        current = target
        for part in [x for x in re.split(r"[\\/]+", rest) if x and x != "."]:
            if part == "..":
                current = current.parent
                continue
            exact = current / part
            if not exact.exists() and current.is_dir():
                matches = [c for c in current.iterdir() if c.name.lower() == part.lower()]
                if len(matches) == 1:
                    exact = matches[0]
            current = exact
        return current

    # -- session

    def ensure(self):
        """Create the prefix when missing (wineboot), clean what earlier runs
        left in it (drive letters, msiexec, C:\\e2e, the user's temp
        directory) and start the session. Idempotent."""
        if self._keepalive is not None:
            if self._keepalive.poll() is not None:
                # Something ended it; the session goes on, state included.
                print(f"e2e: warning: the keep-alive process ended ({self._keepalive.returncode}); "
                      "starting another", file=sys.stderr)
                self._start_keepalive()
            return self
        require_wine()
        self._lock()
        build_tools(self._tool_arch())
        if not (self.path / self.READY_MARK).exists():
            self._create()
        else:
            self._stop_server()
        self._reset_state()
        self._start_keepalive()
        return self

    def _lock(self):
        if self._lock_file is not None:
            return
        self.path.parent.mkdir(parents=True, exist_ok=True)
        f = open(self.path.parent / (self.path.name + ".lock"), "w")
        deadline, told = time.monotonic() + 900, False
        while True:
            try:
                fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if not told:
                    print(f"e2e: waiting for another run using {self.path}", file=sys.stderr, flush=True)
                    told = True
                if time.monotonic() > deadline:
                    raise HarnessError(f"{self.path} stayed locked by another e2e run")
                time.sleep(0.5)
        self._lock_file = f

    def _create(self):
        if self.path.exists():
            # never delete a directory that is not an unfinished prefix
            if any(p.name not in ("dosdevices", "drive_c", "system.reg", "user.reg", "userdef.reg",
                                  ".update-timestamp", "wineserver", "e2e-originals")
                   for p in self.path.iterdir()):
                raise HarnessError(f"{self.path} exists and is not a Wine prefix; remove it by hand")
            self._stop_server()
            shutil.rmtree(self.path)
        start = time.monotonic()
        env = self.env()
        env["WINEARCH"] = self.arch
        log = self.path.parent / (self.path.name + "-wineboot.log")
        with open(log, "wb") as out:
            rc = subprocess.call([self._loader(), "wineboot", "-i"], env=env, cwd="/",
                                 stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                 timeout=300)
        self._wineserver("-w")
        if rc != 0 or not (self.path / "system.reg").exists():
            raise HarnessError(f"wineboot failed ({rc}), see {log}:\n{_read_text(log)[-2000:]}")
        (self.path / self.READY_MARK).write_text(f"{self.arch}\n")
        self.boot_seconds = time.monotonic() - start
        self.created = True

    def _reset_state(self):
        # With no server running, the mount manager forgets everything that
        # is not in dosdevices, so removing the links resets the drives.
        dosdevices = self.path / "dosdevices"
        for entry in dosdevices.iterdir():
            if re.fullmatch(r"[abd-y]:{1,2}", entry.name):
                entry.unlink()
        self._drives.clear()
        for sysdir in self.system_dirs():
            self._restore_msiexec_in(sysdir)
        # what earlier runs expanded or copied into the temp directory
        if self.temp_dir.is_dir():
            for entry in self.temp_dir.iterdir():
                if entry.is_dir() and not entry.is_symlink():
                    shutil.rmtree(entry, ignore_errors=True)
                else:
                    entry.unlink()
        if self.e2e_dir.exists():
            shutil.rmtree(self.e2e_dir)
        (self.e2e_dir / "run").mkdir(parents=True)
        if self.logs_dir.exists():
            shutil.rmtree(self.logs_dir)
        self.logs_dir.mkdir(parents=True)

    def _start_keepalive(self):
        # Any user process keeps Wine's services up; without one each start
        # would boot the session again (about 1.2 s instead of 0.15 s). It is
        # a sleeper under another name, so tests can look for their own.
        keepalive = tools_dir(self._tool_arch()) / "e2e_keepalive.exe"
        shutil.copyfile(tool_path("sleeper", self._tool_arch()), keepalive)
        sleeper = self.to_windows(keepalive)
        pidfile = self.e2e_dir / "keepalive.pid"
        out = open(self.logs_dir / "keepalive.log", "wb")
        self._keepalive = subprocess.Popen(
            [self._loader(), sleeper, self.to_windows(pidfile), str(24 * 3600 * 1000)],
            env=self.env(), cwd=str(self.drive_c), stdin=subprocess.DEVNULL, stdout=out,
            stderr=subprocess.STDOUT)
        out.close()
        try:
            wait_for(lambda: pidfile.exists() or self._keepalive.poll() is not None, 60,
                     what="the Wine session to start")
        except HarnessError:
            raise HarnessError(f"Wine session did not start, see {self.logs_dir / 'keepalive.log'}")
        if self._keepalive.poll() is not None:
            raise HarnessError(f"Wine session failed to start: {_read_text(self.logs_dir / 'keepalive.log')}")

    def kill(self):
        """Stop this prefix's wineserver and every process in it (only this
        prefix: WINEPREFIX is set for wineserver -k)."""
        self._stop_server()
        if self._keepalive is not None:
            try:
                self._keepalive.wait(10)
            except subprocess.TimeoutExpired:
                self._keepalive.kill()
            self._keepalive = None
        if self._lock_file is not None:
            self._lock_file.close()
            self._lock_file = None

    def _stop_server(self):
        if self.path.exists():
            self._wineserver("-k")
            self._wineserver("-w")

    def _wineserver(self, flag):
        subprocess.call([WINESERVER, flag], env=self.env(), stdin=subprocess.DEVNULL,
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)

    def _loader(self):
        return WINE64 if self.arch == "win64" else WINE_LAUNCHER

    def _tool_arch(self):
        return "x86_64" if self.arch == "win64" else "i686"

    # -- environment

    def env(self, extra=None, winedebug=None):
        """Environment for a wine process: this prefix, no debug output, no
        display (nothing may open a window), the C.UTF-8 locale unless the
        caller sets one, and msiexec.exe=n while the recording msiexec is in
        place (Wine would otherwise load its own built-in msiexec)."""
        env = dict(os.environ)
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEARCH", "WINELOADER", "WINESERVER"):
            env.pop(name, None)
        env.update(WINEPREFIX=str(self.path), WINEDEBUG=winedebug or "-all", LANG="C.UTF-8",
                   LC_ALL="C.UTF-8")
        extra = dict(extra or {})
        caller_overrides = extra.pop("WINEDLLOVERRIDES", "")
        overrides = BASE_DLL_OVERRIDES
        if "msiexec" not in caller_overrides.lower() and self.path.exists() \
                and self.recording_msiexec_installed():
            overrides += ";msiexec.exe=n"
        if caller_overrides:
            overrides += ";" + caller_overrides
        env["WINEDLLOVERRIDES"] = overrides
        for key, value in extra.items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = str(value)
        return env

    # -- running programs

    def _windows_exe(self, exe):
        exe = str(exe)
        if exe.startswith("/"):
            return self.to_windows(exe)
        return exe

    def _request(self, exe, args, cwd, cmdline, timeout, app=None):
        win_exe = self._windows_exe(exe)
        if cmdline is None:
            if isinstance(args, str):
                cmdline = quote_arg(win_exe) + (" " + args if args else "")
            else:
                cmdline = join_command_line([win_exe] + [str(a) for a in args])
        if cwd is None:
            cwd = win_exe.rsplit("\\", 1)[0] + "\\" if re.match(r"[A-Za-z]:\\", win_exe) else "C:\\"
        elif str(cwd).startswith("/"):
            cwd = self.to_windows(cwd)
        cwd = str(cwd)
        for value in (cmdline, cwd, app or ""):
            if "\n" in value or "\r" in value:
                raise ValueError("line breaks cannot be passed in a command line or directory")
        seq = next(self._seq)
        name = re.sub(r"[^A-Za-z0-9_.-]", "_", win_exe.rsplit("\\", 1)[-1])[:40]
        tag = f"{seq:04d}-{name}"
        run_dir = self.e2e_dir / "run"
        run_dir.mkdir(parents=True, exist_ok=True)
        req = {
            "tag": tag, "cmd": cmdline, "cwd": cwd, "app": app,
            "req_unix": run_dir / f"{tag}.req",
            "result_unix": run_dir / f"{tag}.result",
            "pidfile_unix": run_dir / f"{tag}.pid",
            "stdout": self.logs_dir / f"{tag}.out",
            "stderr": self.logs_dir / f"{tag}.err",
        }
        lines = [f"cmd={cmdline}", f"cwd={cwd}",
                 f"result={self.to_windows(req['result_unix'])}",
                 f"pidfile={self.to_windows(req['pidfile_unix'])}",
                 f"timeout_ms={int(timeout * 1000) if timeout else 0}"]
        if app:
            lines.append(f"app={app}")
        req["req_unix"].write_text("\n".join(lines) + "\n", encoding="utf-8")
        return req

    def start(self, exe, args=(), cwd=None, env=None, timeout=120, cmdline=None, winedebug=None,
              app=None):
        """Start a Windows program without waiting; see run()."""
        self.ensure()
        req = self._request(exe, args, cwd, cmdline, timeout, app)
        program = self._windows_exe(app or exe)
        try:
            _note_setup_run(self.to_unix(program))
        except ValueError:
            pass   # a bare name such as "msiexec.exe", or a drive the test removed
        self.logs_dir.mkdir(parents=True, exist_ok=True)
        with open(req["stdout"], "wb") as out, open(req["stderr"], "wb") as errf:
            popen = subprocess.Popen(
                [self._loader(), self._tool_windows_path("run_child"), self.to_windows(req["req_unix"])],
                env=self.env(env, self._winedebug(winedebug)), cwd=str(self.drive_c),
                stdin=subprocess.DEVNULL,
                stdout=out, stderr=errf)
        req["started"] = time.monotonic()
        return Background(self, popen, req, timeout)

    @staticmethod
    def _winedebug(channels):
        # process ids in trace lines let the trace readers keep processes apart
        if channels and "pid" not in channels.split(","):
            return "+pid," + channels
        return channels

    def run(self, exe, args=(), cwd=None, env=None, timeout=60, cmdline=None, winedebug=None,
            app=None):
        """Run a Windows program and wait for it.

        exe      Unix path (translated), Windows path, or a bare name that
                 CreateProcessW looks up (e.g. "msiexec.exe").
        args     a list (each quoted as needed) or a str appended verbatim.
        cmdline  the complete command line instead (argv[0] included).
        cwd      Windows or Unix path; default: the program's own directory
                 (as Explorer starts a program), or C:\\ for a bare name.
        env      extra variables for the Windows side (None removes one).
        timeout  seconds; the program and what it started are terminated
                 and WineTimeout is raised.
        winedebug  e.g. "+file,+process": Wine's trace lands in .stderr.
        Returns a RunResult (an int: the unsigned 32-bit exit code)."""
        return self.start(exe, args, cwd, env, timeout, cmdline, winedebug, app).wait()

    def _collect(self, req, loader_rc):
        elapsed = time.monotonic() - req["started"]
        result_file = req["result_unix"]
        text = result_file.read_text(encoding="utf-8").strip() if result_file.exists() else ""
        info = dict(cmdline=req["cmd"], cwd=req["cwd"], elapsed=elapsed, stdout_path=req["stdout"],
                    stderr_path=req["stderr"], tag=req["tag"])
        pidfile = req["pidfile_unix"]
        info["pid"] = int(pidfile.read_text().strip()) if pidfile.exists() else None
        if text.startswith("exit="):
            fields = dict(line.split("=", 1) for line in text.splitlines() if "=" in line)
            info["start_retries"] = int(fields.get("start_retries", 0))
            if info["start_retries"]:
                print(f"e2e: warning: Wine failed to start {req['cmd']!r} {info['start_retries']} time(s) "
                      "with ERROR_INTERNAL_ERROR before it started", file=sys.stderr)
            return RunResult(int(fields["exit"]), **info)
        if text == "timeout":
            raise WineTimeout(f"terminated after its time limit: {req['cmd']!r} (logs {req['stdout']})",
                              pid=info["pid"], cmdline=req["cmd"])
        if text.startswith("error="):
            raise HarnessError(f"could not start {req['cmd']!r} in {req['cwd']!r}: {text} "
                               f"(Win32 error, step)")
        raise HarnessError(f"run_child gave no result (wine exit {loader_rc}) for {req['cmd']!r}:\n"
                           f"{_read_text(req['stderr'])[-2000:]}")

    def _tool_windows_path(self, name, arch=None):
        return self.to_windows(tool_path(name, arch or self._tool_arch()))

    def _tool(self, name, args, check=True, arch=None, env=None, timeout=60):
        """Run one of the harness's own query tools. They need neither an
        exact command line nor a 32-bit exit code, so wine starts them
        directly: one process instead of two."""
        self.ensure()
        args = [str(a) for a in args]
        exe = self._tool_windows_path(name, arch)
        for attempt in (1, 2):
            tag = f"{next(self._seq):04d}-{name}"
            out_path, err_path = self.logs_dir / f"{tag}.out", self.logs_dir / f"{tag}.err"
            started = time.monotonic()
            with open(out_path, "wb") as out, open(err_path, "wb") as errf:
                try:
                    rc = subprocess.call([self._loader(), exe] + args, env=self.env(env),
                                         cwd=str(self.drive_c), stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=errf, timeout=timeout)
                except subprocess.TimeoutExpired:
                    raise HarnessError(f"{name} {args} did not finish within {timeout}s")
            result = RunResult(rc, cmdline=join_command_line([exe] + args), cwd="C:\\",
                               elapsed=time.monotonic() - started, stdout_path=out_path,
                               stderr_path=err_path, tag=tag, pid=None)
            # Every tool prints something when it runs; a failure with no
            # output at all means wine never got it going (seen once under
            # load), and a loader crash on the way out ("Inconsistency detected
            # by ld.so", exit 127) leaves the tool's work done but its status
            # lost. Both are worth one more try, never a silent one. The
            # tools are idempotent, so running one again is safe.
            loader_crash = result == 127 and "Inconsistency detected by ld.so" in (result.stderr or "")
            if result == 0 or attempt == 2 or not (loader_crash or not (result.stdout or result.stderr)):
                break
            print(f"e2e: warning: {name} {args} ended with {result.code} before running; trying again",
                  file=sys.stderr)
        if check and result != 0:
            raise HarnessError(f"{name} failed: {result!r}\n{result.stdout}")
        return result

    def windows_info(self, variables=(), env=None, arch=None):
        """What a program sees (winfo): temp, user, sysdir, syslang, ... as a
        dict, with 'env:NAME' for each variable asked for (None: unset)."""
        result = self._tool("winfo", list(variables), arch=arch, env=env)
        info = {}
        for line in result.stdout.splitlines():
            if line.startswith("env:") and line.endswith("!") and "=" not in line:
                info[line[:-1]] = None
            elif "=" in line:
                key, value = line.split("=", 1)
                info[key] = value
        return info

    def program_icon(self, unix_path):
        """A program's icon as Windows' icon functions see it (icon_probe):
        {'size:48': 'id 7 icon 1 pixel c03020', ..., 'image:1': '1', ...}."""
        result = self._tool("icon_probe", [self.to_windows(unix_path)], check=False)
        return dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)

    def file_steps(self, *steps, arch=None):
        """Run file_probe's steps ("attrib|C:\\x|6", "copy|C:\\a|C:\\b",
        "wfopen|C:\\x|wb+", "getattrib|C:\\x"); one dict per step of what
        it printed, e.g. {"step": "copy", "ok": 1, "error": 5}."""
        result = self._tool("file_probe", list(steps), arch=arch)
        answers = []
        for line in result.stdout.splitlines():
            step, *fields = line.split()
            answers.append({"step": step, **{k: int(v, 0) for k, v in (f.split("=", 1) for f in fields)}})
        if len(answers) != len(steps):
            raise HarnessError(f"file_probe answered {len(answers)} of {len(steps)} steps: {result!r}")
        return answers

    def set_file_attributes(self, windows_path, attributes):
        (answer,) = self.file_steps(f"attrib|{windows_path}|{attributes:x}")
        if not answer["ok"]:
            raise HarnessError(f"SetFileAttributesW({windows_path!r}, 0x{attributes:x}) failed: {answer}")

    def file_attributes(self, windows_path):
        """GetFileAttributesW's answer (0xFFFFFFFF when the file is missing)."""
        return self.file_steps(f"getattrib|{windows_path}")[0]["value"]

    # -- drives

    def add_drive(self, letter, unix_dir, type="hd", label=None):
        """Map a drive letter to a host directory with the given type
        ('hd', 'cdrom' or 'removable'); label, when given, is written to
        .windows-label first. Every type goes through Wine's mount manager:
        a bare dosdevices link made while the session runs is a fixed drive
        whose volume query fails, and it would not replace a letter the
        mount manager already knows."""
        letter = self._drive_letter(letter)
        if type not in DRIVE_TYPES:
            raise ValueError(f"drive type must be one of {sorted(DRIVE_TYPES)}")
        unix_dir = Path(unix_dir).resolve()
        unix_dir.mkdir(parents=True, exist_ok=True)
        if label is not None:
            (unix_dir / ".windows-label").write_text(label, encoding="utf-8")
        self._tool("define_drive", [letter, type, str(unix_dir)])
        self._drives[letter] = (unix_dir, type)
        return unix_dir

    def set_drive_label(self, letter, label):
        """Rewrite the label and define the drive again, since the mount
        manager caches it."""
        letter = self._drive_letter(letter)
        unix_dir, type = self._drives[letter]
        self.add_drive(letter, unix_dir, type, label)

    def remove_drive(self, letter):
        letter = self._drive_letter(letter)
        self._tool("define_drive", [letter, "remove"])
        self._drives.pop(letter, None)

    def drive_info(self, letter):
        """GetDriveTypeW and GetVolumeInformationW as a program sees them."""
        letter = self._drive_letter(letter)
        result = self._tool("drive_probe", [letter])
        return DriveInfo(result.stdout.strip())

    @staticmethod
    def _drive_letter(letter):
        letter = str(letter).rstrip(":\\").lower()
        if not re.fullmatch(r"[abd-y]", letter):
            raise ValueError(f"drive letter must be one of A, B, D..Y (C: and Z: belong to Wine): {letter!r}")
        return letter

    # -- msiexec

    def _originals_dir(self, sysdir):
        return self.path / "e2e-originals" / sysdir.name

    def recording_msiexec_installed(self):
        for sysdir, arch in self.system_dirs().items():
            target = sysdir / "msiexec.exe"
            if target.exists() and _has_marker(target, RECORDING_MARKER):
                return True
        return False

    def install_recording_msiexec(self):
        """Put the recording msiexec in place of Wine's (system32 for 64-bit
        callers, syswow64 for 32-bit ones), keeping Wine's originals, and
        clear its log and scripted behaviour."""
        self.ensure()
        need_32 = is_32bit_execution_available()
        for sysdir, arch in self.system_dirs().items():
            if arch == "i686" and self.arch == "win64" and not shutil.which(COMPILERS["i686"]):
                if need_32:
                    require_compiler("i686")
                continue
            sysdir.mkdir(parents=True, exist_ok=True)
            target = sysdir / "msiexec.exe"
            original = self._originals_dir(sysdir) / "msiexec.exe"
            if target.exists() and not _has_marker(target, RECORDING_MARKER) and not original.exists():
                original.parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(target, original)
            tmp = target.with_name("msiexec.exe.e2e-tmp")
            shutil.copyfile(tool_path("record_msiexec", arch), tmp)
            os.replace(tmp, target)
        self.clear_msiexec_records()
        self.set_msiexec_exit(0)

    def restore_msiexec(self):
        """Put Wine's own msiexec back."""
        for sysdir in self.system_dirs():
            self._restore_msiexec_in(sysdir)

    def _restore_msiexec_in(self, sysdir):
        target = sysdir / "msiexec.exe"
        original = self._originals_dir(sysdir) / "msiexec.exe"
        if original.exists():
            shutil.copy2(original, target)
        elif target.exists() and _has_marker(target, RECORDING_MARKER):
            target.unlink()   # Wine had none there (syswow64 without wine32)

    def set_msiexec_exit(self, code, delay_ms=0):
        """Script the recording msiexec: its exit code (int, or any text to
        test a malformed script) and how long it runs first."""
        self.e2e_dir.mkdir(parents=True, exist_ok=True)
        (self.e2e_dir / "msiexec_exitcode.txt").write_text(f"{code}\n")
        delay = self.e2e_dir / "msiexec_delay.txt"
        if delay_ms:
            delay.write_text(f"{int(delay_ms)}\n")
        elif delay.exists():
            delay.unlink()

    def clear_msiexec_records(self):
        log = self.e2e_dir / "msiexec_log.txt"
        if log.exists():
            log.unlink()

    def msiexec_records(self):
        """Every start of the recording msiexec since it was installed or
        the records were cleared, in order."""
        log = self.e2e_dir / "msiexec_log.txt"
        if not log.exists():
            return []
        records = []
        for n, line in enumerate(log.read_text(encoding="utf-8").splitlines(), 1):
            try:
                records.append(MsiexecRecord(json.loads(line)))
            except (ValueError, KeyError) as e:
                raise HarnessError(f"{log}:{n}: malformed record {line!r}: {e}")
        return records

    def real_msiexec(self, args, timeout=120):
        """Run Wine's own msiexec even while the recording one is in place
        (built-in load order for this one start)."""
        return self.run("C:\\windows\\system32\\msiexec.exe", list(args), cwd="C:\\",
                        env={"WINEDLLOVERRIDES": "msiexec.exe=b"}, timeout=timeout)

    def install_msi(self, package, extra=()):
        """Install a package silently with Wine's msiexec; the RunResult."""
        return self.real_msiexec(["/qn", "/i", self._msi_arg(package)] + list(extra))

    def uninstall_msi(self, package_or_product_code):
        return self.real_msiexec(["/qn", "/x", self._msi_arg(package_or_product_code)])

    def _msi_arg(self, package):
        if isinstance(package, MsiPackage):
            package = package.path
        package = str(package)
        return self.to_windows(package) if package.startswith("/") else package

    def related_products(self, upgrade_code, verbatim=False):
        """Product codes that MsiEnumRelatedProductsW reports for an upgrade
        code, which is first put in the braced upper-case form Windows
        Installer expects (Wine matches no other), unless verbatim."""
        result = self._tool("msi_probe", ["related", upgrade_code if verbatim else _guid(upgrade_code)])
        return [line[8:] for line in result.stdout.splitlines() if line.startswith("product=")]

    def msi_tables(self, database, tables, transform=None):
        """Tables of a database as Windows Installer's own code reads them:
        ({"apply": code, "commit": code} or {}, {table: sorted row lines}).
        With a transform, it is applied to the database in place and the
        tables are read before the commit."""
        args = ["query", self._msi_arg(database)] if transform is None else \
            ["apply", self._msi_arg(database), self._msi_arg(transform)]
        result = self._tool("msi_transform", args + list(tables), check=False)
        codes, found, current = {}, {}, None
        for line in result.stdout.splitlines():
            key, _, value = line.partition("=")
            if key == "table":
                current = found.setdefault(value, [])
            elif key == "row" and current is not None:
                current.append(value)
            elif key in ("apply", "commit", "open", "query"):
                codes[key] = int(value)
        return codes, {name: sorted(rows) for name, rows in found.items()}

    def product_state(self, product_code):
        """MsiQueryProductStateW (5 = installed, -1 = unknown)."""
        result = self._tool("msi_probe", ["state", _guid(product_code)])
        return int(result.stdout.strip().split("=", 1)[1])

    # -- processes and named objects

    def processes(self):
        """[(pid, ppid, image name)] of the Windows processes in this prefix."""
        result = self._tool("proc_list", [])
        procs = []
        for line in result.stdout.splitlines():
            m = re.match(r"pid=(\d+) ppid=(\d+) exe=(.*)$", line)
            if m:
                procs.append((int(m.group(1)), int(m.group(2)), m.group(3)))
        return procs

    def wait_no_process(self, image_name, timeout=15):
        """Wait until no process of that image name (case-insensitive) is left."""
        wanted = image_name.lower()
        return wait_for(lambda: not any(p[2].lower() == wanted for p in self.processes()),
                        timeout, interval=0.1, what=f"{image_name} to exit")

    def start_sleeper(self, ms, exit_code=0):
        """A process of known pid living ms milliseconds. Returns the
        Background; .pid is the Windows pid (read from the sleeper's file)."""
        pidfile = self.e2e_dir / f"sleeper-{next(self._seq)}.pid"
        bg = self.start(self._tool_windows_path("sleeper"),
                        [self.to_windows(pidfile), str(int(ms)), str(exit_code)], cwd="C:\\",
                        timeout=ms / 1000 + 60)
        wait_for(lambda: pidfile.exists() or not bg.running(), 30, what="the sleeper's pid file")
        return bg

    def hold_object(self, kind, name, ms=120000):
        """Create the named mutex (owned) or event in another process and
        keep it until release() (a context manager)."""
        if kind not in ("mutex", "event"):
            raise ValueError("kind must be 'mutex' or 'event'")
        tag = next(self._seq)
        ready = self.e2e_dir / f"hold-{tag}.ready"
        release = self.e2e_dir / f"hold-{tag}.release"
        bg = self.start(self._tool_windows_path("hold_object"),
                        [kind, name, str(int(ms)), self.to_windows(ready), self.to_windows(release)],
                        cwd="C:\\", timeout=ms / 1000 + 60)
        wait_for(lambda: ready.exists() or not bg.running(), 30, what=f"{kind} {name!r} to be created")
        if not ready.exists():
            raise HarnessError(f"hold_object ended before creating {name!r}: {bg.wait()!r}")
        return HeldObject(self, kind, name, bg, release, ready.read_text().strip())

    def probe_object(self, kind, name):
        """The last error of CreateMutexW / CreateEventW on that name in a
        fresh process: 0 (new), 183 (already exists) or the failure."""
        return self._tool("hold_object", [kind, name, "0"], check=False).code


def _has_marker(path, marker):
    try:
        return marker in path.read_bytes()
    except OSError:
        return False


# ------------------------------------------------------------------- MSI

def build_msi(out_path, upgrade_code, product_name, version, files=(), product_code=None,
              manufacturer="SetupStub E2E", language=1033):
    """Build a per-user MSI with wixl (installs without administrator rights
    into %LOCALAPPDATA%\\<product name>).

    files: Unix paths, or (name, bytes or str) pairs written for the build.
    product_code: default derived from upgrade code, name and version, so
    the same inputs give the same package identity."""
    wixl = require_wixl()
    out_path = Path(out_path).resolve()
    out_path.parent.mkdir(parents=True, exist_ok=True)
    upgrade_code = _guid(upgrade_code)
    if product_code is None:
        product_code = _guid(uuid.uuid5(uuid.NAMESPACE_URL, f"e2e:{upgrade_code}:{product_name}:{version}"))
    product_code = _guid(product_code)
    dir_name = re.sub(r"[^A-Za-z0-9_.-]", "_", product_name) or "Product"
    stage = out_path.parent / f".{out_path.stem}-files"
    if stage.exists():
        shutil.rmtree(stage)
    stage.mkdir()
    # wixl resolves sources relative to its working directory only
    sources = []
    for item in files or [("readme.txt", f"{product_name} {version}\n")]:
        if isinstance(item, tuple):
            name, content = item
            src = stage / name
            src.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
        else:
            src = stage / Path(item).name
            shutil.copyfile(item, src)
        sources.append(src)
    if len({p.name.lower() for p in sources}) != len(sources):
        raise ValueError("file names in one package must differ (case-insensitively)")
    components = []
    for i, src in enumerate(sources, 1):
        guid = _guid(uuid.uuid5(uuid.NAMESPACE_URL, f"e2e:{product_code}:{src.name}"))
        components.append(
            f'          <Component Id="C{i}" Guid="{guid}">\n'
            f'            <File Id="F{i}" Name="{_xml(src.name)}" Source="{_xml(src.name)}" KeyPath="yes"/>\n'
            f'          </Component>')
    refs = "".join(f'<ComponentRef Id="C{i}"/>' for i in range(1, len(sources) + 1))
    wxs = f"""<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{product_code}" Name="{_xml(product_name)}" Language="{language}" Version="{version}"
           Manufacturer="{_xml(manufacturer)}" UpgradeCode="{upgrade_code}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perUser"/>
    <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="LocalAppDataFolder">
        <Directory Id="INSTALLDIR" Name="{_xml(dir_name)}">
{chr(10).join(components)}
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Main" Level="1">{refs}</Feature>
  </Product>
</Wix>
"""
    wxs_path = out_path.with_suffix(".wxs")
    wxs_path.write_text(wxs, encoding="utf-8")
    log = out_path.with_suffix(".wixl.log")
    with open(log, "wb") as out:
        rc = subprocess.call([wixl, "-o", str(out_path), str(wxs_path)], cwd=str(stage),
                             stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    if rc != 0 or not out_path.exists():
        raise HarnessError(f"wixl failed ({rc}):\n{_read_text(log)}")
    return MsiPackage(out_path, product_code, upgrade_code, product_name, version, dir_name)


def _guid(value):
    return "{" + str(uuid.UUID(str(value))).upper() + "}"


def new_upgrade_code():
    """A fresh braced upper-case GUID, the spelling Windows Installer matches."""
    return _guid(uuid.uuid4())


def _xml(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


# ---------------------------------------------------------- shared prefix

_shared = None
_shared_lock = threading.Lock()


def shared_prefix():
    """The run's prefix (config().prefix_dir), started on first use and
    stopped by shutdown() or at interpreter exit."""
    global _shared
    with _shared_lock:
        if _shared is None:
            _shared = WinePrefix(config().prefix_dir)
            import atexit
            atexit.register(shutdown)
        return _shared.ensure()


def shutdown():
    global _shared
    if _shared is not None:
        _shared.kill()
        _shared = None
