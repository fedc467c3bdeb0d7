#!/usr/bin/python3
"""pack's speed and size beside the LZMA tools people know: the release
stubmedia packs a 100 MiB mixed package (generated text, the system's ELF
binaries, deflate-compressed data as cabinets hold it), and on the same file
xz --format=lzma -6 (liblzma) and lzma_alone e run; each with its wall
time, CPU time, output size and peak memory. pack's time includes its
verification with the launcher's expansion and its lint of the medium.

usage: bench/pack_bench.py [--build-dir build/release] [--size-mib 100] [--level N ...] [--keep DIR]
(build first: cmake --preset release && cmake --build --preset release)"""

import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
CHUNK = 4 << 20


def text_chunks(rng):
    """English-like text from the licences' vocabulary, words drawn with a skew."""
    words = sorted(set(re.findall(rb"[A-Za-z]{2,}", b"".join(
        p.read_bytes() for p in sorted(Path("/usr/share/common-licenses").glob("*")) if p.is_file()))))
    weights = [1.0 / (i + 1) for i in range(len(words))]
    while True:
        out = bytearray()
        while len(out) < CHUNK:
            line = b" ".join(rng.choices(words, weights, k=rng.randint(6, 14)))
            out += line + b".\r\n"
        yield bytes(out[:CHUNK])


def binary_files():
    for directory in ("/usr/lib/x86_64-linux-gnu", "/usr/bin"):
        for path in sorted(Path(directory).iterdir()):
            if path.is_file() and not path.is_symlink():
                with open(path, "rb") as f:
                    if f.read(4) == b"\x7fELF":
                        yield path


def binary_chunks():
    pending = bytearray()
    for path in binary_files():
        pending += path.read_bytes()
        while len(pending) >= CHUNK:
            yield bytes(pending[:CHUNK])
            del pending[:CHUNK]
    raise SystemExit("pack_bench: not enough ELF files for the binary part")


def cabinet_chunks(texts, binaries):
    """Deflate at level 6, what MSZIP cabinets hold, of more text and binaries."""
    pending = bytearray()
    while True:
        pending += zlib.compress(next(texts) + next(binaries), 6)
        while len(pending) >= CHUNK:
            yield bytes(pending[:CHUNK])
            del pending[:CHUNK]


def make_mixed(path, size):
    rng = random.Random(14)
    texts, binaries = text_chunks(rng), binary_chunks()
    cabinets = cabinet_chunks(text_chunks(random.Random(15)), binary_chunks())
    # Roughly 40 % text, 35 % binaries, 25 % cabinets, interleaved as files in a package are.
    plan = ["text", "binary", "cabinet", "text", "binary", "text", "cabinet", "binary"]
    sources = {"text": texts, "binary": binaries, "cabinet": cabinets}
    written, parts = 0, {"text": 0, "binary": 0, "cabinet": 0}
    with open(path, "wb") as out:
        i = 0
        while written < size:
            kind = plan[i % len(plan)]
            data = next(sources[kind])[: size - written]
            out.write(data)
            written += len(data)
            parts[kind] += len(data)
            i += 1
    return parts


WXS = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}" Name="Pack Bench" Language="1033" Version="1.0.0"
           Manufacturer="SetupStub" UpgradeCode="{12345678-ABCD-1234-ABCD-1234567890AB}">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perUser"/>
    <Media Id="1" Cabinet="data.cab" EmbedCab="yes"/>
    <Binary Id="Mixed" SourceFile="mixed.bin"/>
    <Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="LocalAppDataFolder"><Directory Id="INSTALLDIR" Name="Bench">
      <Component Id="C1" Guid="{11111111-0000-0000-0000-000000000001}">
        <File Id="F1" Name="readme.txt" Source="readme.txt" KeyPath="yes"/></Component>
    </Directory></Directory></Directory>
    <Feature Id="Main" Level="1"><ComponentRef Id="C1"/></Feature>
  </Product>
</Wix>
"""


def build_package(mixed, out):
    """A real wixl package carrying the mixed data as a Binary row: a stream
    stored as it is (wixl would deflate it as a file in its cabinet)."""
    stage = out.parent.parent / "wixl"
    stage.mkdir(exist_ok=True)
    (stage / "product.wxs").write_text(WXS)
    (stage / "readme.txt").write_text("pack bench\n")
    target = stage / "mixed.bin"
    if not target.exists():
        os.symlink(mixed, target)
    out.parent.mkdir(exist_ok=True)
    subprocess.run(["wixl", "-o", str(out), "product.wxs"], cwd=stage, check=True)


def measure(command, cwd):
    """Runs under /usr/bin/time: (wall s, CPU s, peak RSS KiB)."""
    log = Path(cwd) / "time.txt"
    proc = subprocess.run(["/usr/bin/time", "-f", "%e %U %S %M", "-o", str(log)] + [str(c) for c in command],
                          cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if proc.returncode != 0:
        raise SystemExit(f"pack_bench: {' '.join(map(str, command))} failed ({proc.returncode}):\n"
                         f"{proc.stderr.decode(errors='replace')}")
    wall, user, system, rss = log.read_text().split()[-4:]
    return float(wall), float(user) + float(system), int(rss)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build-dir", default=str(REPO / "build" / "release"))
    parser.add_argument("--size-mib", type=int, default=100)
    parser.add_argument("--level", type=int, action="append", help="pack levels to run (default: the tool's)")
    parser.add_argument("--keep", help="make the mixed file here and keep it (reused when present)")
    args = parser.parse_args()
    build = Path(args.build_dir).resolve()
    stubmedia = build / "tools" / "stubmedia"
    for tool in (stubmedia, Path("/usr/bin/xz"), Path("/usr/bin/lzma_alone"), Path("/usr/bin/time"),
                 Path("/usr/bin/wixl")):
        if not os.access(tool, os.X_OK):
            raise SystemExit(f"pack_bench: {tool} is missing")
    if "-fsanitize" in (build / "CMakeCache.txt").read_text():
        print("pack_bench: NOTE: this build has sanitizers; use the release preset", file=sys.stderr)

    with tempfile.TemporaryDirectory(prefix="pack-bench-") as tmp:
        tmp = Path(tmp)
        work = Path(args.keep) if args.keep else tmp
        work.mkdir(parents=True, exist_ok=True)
        mixed = work / "mixed.bin"
        size = args.size_mib << 20
        if not (mixed.is_file() and mixed.stat().st_size == size):
            parts = make_mixed(mixed, size)
            print("mixed data: " + ", ".join(f"{k} {v / 1048576:.1f} MiB" for k, v in parts.items()))
        source = work / "input" / "Mixed.msi"
        build_package(mixed, source)
        size = source.stat().st_size
        # pack needs the 1033 fallback transform: a real one, made by the tool.
        subprocess.run([stubmedia, "transform", source, source, "-o", source.parent / "1033.mst"], check=True,
                       stdout=subprocess.DEVNULL)

        rows = []
        for level in args.level or [None]:
            medium = tmp / "medium"
            shutil.rmtree(medium, ignore_errors=True)
            command = [stubmedia, "pack", source.parent, medium, "--upgrade-code",
                       "{12345678-ABCD-1234-ABCD-1234567890AB}", "--quiet"]
            if level is not None:
                command += ["--level", str(level)]
            wall, cpu, rss = measure(command, tmp)
            out = (medium / "Mixed.ms_").stat().st_size if (medium / "Mixed.ms_").exists() else -1
            rows.append((f"stubmedia pack" + (f" --level {level}" if level is not None else ""), wall, cpu, out, rss))
        wall, cpu, rss = measure(["/usr/bin/xz", "--format=lzma", "-6", "-k", "-c", source], tmp)
        # xz writes to stdout, which measure discards: size from a second, untimed run.
        xz_size = len(subprocess.run(["/usr/bin/xz", "--format=lzma", "-6", "-c", source],
                                     capture_output=True, check=True).stdout)
        rows.append(("xz --format=lzma -6", wall, cpu, xz_size, rss))
        wall, cpu, rss = measure(["/usr/bin/lzma_alone", "e", source, tmp / "alone.lzma"], tmp)
        rows.append(("lzma_alone e", wall, cpu, (tmp / "alone.lzma").stat().st_size, rss))

        print(f"input: Mixed.msi, {size} bytes ({args.size_mib} MiB of mixed data in a wixl package), "
              f"{os.cpu_count()} CPUs")
        print(f"{'':28} {'wall s':>8} {'CPU s':>8} {'output bytes':>14} {'ratio':>7} {'peak MiB':>9}")
        for name, wall, cpu, out, rss in rows:
            print(f"{name:28} {wall:8.2f} {cpu:8.2f} {out:14d} {out / size:7.3f} {rss / 1024:9.1f}")
        xz_wall, xz_out = rows[-2][1], rows[-2][3]
        for name, wall, cpu, out, rss in rows[:-2]:
            print(f"{name}: {wall / xz_wall:.2f}x the wall time of xz -6, output {out - xz_out:+d} bytes against it")


if __name__ == "__main__":
    main()
