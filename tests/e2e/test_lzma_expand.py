"""ExpandLzmaFile built for Windows (the x86-64 twin's compiler and flags)
and run under Wine: header refusals, the container's edges and round trips
of lzma_alone files, with the destination's state and the source closed."""

import os
import random
import struct
import subprocess
import unittest

import wine_env as w

LZMA_SDK = "/usr/include/lzma"
STUB_DIR = w.REPO_ROOT / "installer" / "SetupStub"
PROBE_SRC = w.HERE / "lzma_expand_probe.cpp"
STALE = b"stale bytes of an earlier run"


def build_probe():
    """The probe with the program's own expansion code and the SDK decoder,
    compiled as setup.exe is; rebuilt when a source is newer."""
    out_dir = w.config().e2e_dir / "lzma-probe"
    exe = out_dir / "lzma_expand_probe.exe"
    sources = [PROBE_SRC, STUB_DIR / "lzma_expand.cpp", STUB_DIR / "lzma_expand.h"]
    if exe.exists() and exe.stat().st_mtime >= max(s.stat().st_mtime for s in sources):
        return exe
    cxx, cc = "x86_64-w64-mingw32-g++", "x86_64-w64-mingw32-gcc"
    for tool in (cxx, cc):
        if subprocess.call(["sh", "-c", f"command -v {tool}"], stdout=subprocess.DEVNULL) != 0:
            raise w.MissingComponent(f"{tool} is missing: install g++-mingw-w64-x86-64-win32")
    if not os.path.exists(f"{LZMA_SDK}/LzmaDec.c"):
        raise w.MissingComponent(f"{LZMA_SDK}/LzmaDec.c is missing: install lzma-dev")
    out_dir.mkdir(parents=True, exist_ok=True)
    defines = ["-DUNICODE", "-D_UNICODE", "-DWIN32_LEAN_AND_MEAN", "-D_WIN32_WINNT=0x0501"]
    includes = [f"-I{STUB_DIR}", f"-I{LZMA_SDK}"]
    log = out_dir / "build.log"
    with open(log, "wb") as out:
        steps = [
            [cc, "-Os", "-Wall", "-c", *includes, f"{LZMA_SDK}/LzmaDec.c", "-o", str(out_dir / "LzmaDec.o")],
            [cxx, "-Os", "-Wall", "-Wextra", "-fno-exceptions", "-fno-rtti", "-municode", *defines, *includes,
             str(PROBE_SRC), str(STUB_DIR / "lzma_expand.cpp"), str(out_dir / "LzmaDec.o"),
             "-static", "-s", "-o", str(exe)],
        ]
        for cmd in steps:
            if subprocess.call(cmd, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT) != 0:
                raise w.HarnessError(f"building the probe failed:\n{log.read_text(errors='replace')}")
    return exe


def lzma_alone(data, *options):
    d = w.config().e2e_dir / "lzma-probe"
    d.mkdir(parents=True, exist_ok=True)
    src, out = d / "alone.in", d / "alone.lzma"
    src.write_bytes(data)
    w.compress_lzma_alone(src, out, options)
    return out.read_bytes()


def header(props, dictionary, size):
    return struct.pack("<BIQ", props, dictionary, size)


def text(size, seed):
    rng = random.Random(seed)
    words = [b"setup ", b"package ", b"transform ", b"medium ", b"language ", b"drive\r\n", b"the "]
    out = bytearray()
    while len(out) < size:
        out += rng.choice(words)
    return bytes(out[:size])


class LzmaExpandUnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = w.shared_prefix()
        cls.probe = build_probe()
        cls.dir = cls.wine.e2e_dir / "lzma"
        cls.dir.mkdir(parents=True, exist_ok=True)

    def expand(self, cases):
        """cases: {name: file bytes}. Returns {name: (result, closed)}; each
        destination held stale bytes before."""
        control = self.dir / "control.bin"
        control.write_bytes(b"held open")
        args = ["--control", self.wine.to_windows(control)]
        for i, (name, data) in enumerate(cases.items()):
            src, dst = self.dir / f"case{i}.lzma", self.dir / f"case{i}.out"
            src.write_bytes(data)
            dst.write_bytes(STALE)
            args += [self.wine.to_windows(src), self.wine.to_windows(dst)]
        result = self.wine.run(self.probe, args)
        self.assertEqual(result, 0, result.stdout)
        lines = result.stdout.split()
        self.assertEqual(lines[:2], ["control", "0"], "renaming an open file must fail, or 'closed' proves nothing")
        pairs = list(zip(lines[2::2], lines[3::2]))
        self.assertEqual(len(pairs), len(cases), result.stdout)
        return {name: (int(r), int(c)) for name, (r, c) in zip(cases, pairs)}

    def output(self, i):
        return (self.dir / f"case{i}.out").read_bytes()

    def test_refusals_and_damage_leave_an_empty_destination(self):
        data = text(20000, 1)
        plain = lzma_alone(data, "-d16")
        marked = lzma_alone(data, "-d16", "-eos")
        cases = {
            "empty file": b"",
            "four bytes": b"\x5d\x00\x00\x01",
            "one size byte missing": plain[:12],
            "header only, size 0": header(0x5D, 1 << 16, 0),
            "size all 0xFF, marked stream": marked,
            "size 4 GiB": header(0x5D, 1 << 16, 1 << 32) + marked[13:],
            "properties 225": header(225, 1 << 16, len(data)) + plain[13:],
            "stream cut": plain[: len(plain) // 2],
            "stream shorter than declared": header(0x5D, 1 << 16, len(data) + 1) + plain[13:],
        }
        results = self.expand(cases)
        for i, name in enumerate(cases):
            with self.subTest(name):
                self.assertEqual(results[name], (0, 1))
                self.assertEqual(self.output(i), b"")

    def test_edges_and_round_trips(self):
        rng = random.Random(2)
        far = rng.randbytes(40000)
        far += far  # matches 40000 bytes back
        small = text(30000, 3)
        marked = lzma_alone(small, "-eos")
        big_random, big_text = rng.randbytes(300000), text(400000, 4)
        expected = {
            "size 0, five start bytes": (header(0x5D, 1 << 16, 0) + b"\x00" * 5, b""),
            "end marker before the declared size": (header(0x5D, 1 << 16, len(small) + 99) + marked[13:], small),
            "input after the declared size": (lzma_alone(small) + b"trailing", small),
            "dictionary field 0": (header(0x5D, 0, len(far)) + lzma_alone(far, "-d20")[13:], far),
            "properties 224": (lzma_alone(small, "-lc8", "-lp4", "-pb4"), small),
            "random, defaults": (lzma_alone(big_random), big_random),
            "text, defaults": (lzma_alone(big_text), big_text),
            "text, lc0 lp4 pb4": (lzma_alone(big_text, "-lc0", "-lp4", "-pb4"), big_text),
            "random, fast mode, 4 KiB dictionary": (lzma_alone(big_random, "-a0", "-d12"), big_random),
        }
        results = self.expand({name: f for name, (f, _) in expected.items()})
        for i, (name, (_, data)) in enumerate(expected.items()):
            with self.subTest(name):
                self.assertEqual(results[name], (1, 1))
                self.assertTrue(self.output(i) == data, f"{name}: output differs ({len(self.output(i))} bytes)")

    def test_destination_that_cannot_be_opened(self):
        missing = self.dir / "no-such-dir" / "out.msi"
        src = self.dir / "unopenable.lzma"
        src.write_bytes(lzma_alone(b"payload"))
        result = self.wine.run(self.probe, [self.wine.to_windows(src),
                                            self.wine.to_windows(self.dir) + "\\no-such-dir\\out.msi"])
        self.assertEqual(result.stdout.split(), ["0", "1"])
        self.assertFalse(missing.parent.exists())


if __name__ == "__main__":
    unittest.main()
