#!/usr/bin/python3
"""Writes the seed corpus of the LZMA expansion fuzz target: a few valid tiny
files and the header edges. Run from anywhere; needs lzma_alone."""
import os
import struct
import subprocess
import tempfile

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "lzma")
TEXT = b"setup package transform medium setup package language drive eject " * 6


def header(props, dictionary, size):
    return struct.pack("<BIQ", props, dictionary, size)


def lzma_alone(data, *options):
    with tempfile.TemporaryDirectory() as tmp:
        src, out = os.path.join(tmp, "in"), os.path.join(tmp, "out")
        with open(src, "wb") as f:
            f.write(data)
        subprocess.run(["lzma_alone", "e", src, out, *options], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        with open(out, "rb") as f:
            return f.read()


def main():
    os.makedirs(HERE, exist_ok=True)
    plain = lzma_alone(TEXT, "-d16")
    marked = lzma_alone(TEXT, "-d16", "-eos")  # size written as all 0xFF
    stream, marked_stream = plain[13:], marked[13:]
    wide = lzma_alone(TEXT[:100], "-lc8", "-lp4", "-pb4", "-d12")
    seeds = {
        "text": plain,
        "text-marker-unknown-size": marked,
        "text-marker-early": header(0x5D, 1 << 16, len(TEXT) + 50) + marked_stream,
        "text-trailing": plain + b"\x00trailing",
        "text-dictionary-0": header(0x5D, 0, len(TEXT)) + stream,
        "properties-224": wide,
        "properties-225": header(225, 1 << 16, len(TEXT)) + stream,
        "size-0-start-bytes": header(0x5D, 1 << 16, 0) + b"\x00" * 5,
        "size-4gib": header(0x5D, 1 << 16, 1 << 32) + marked_stream,
        "size-4gib-less-1": header(0x5D, 1 << 16, (1 << 32) - 1) + marked_stream,
        "header-only": header(0x5D, 1 << 16, 10),
        "short": b"\x5d\x00\x00\x01",
        "truncated": plain[: len(plain) // 2],
    }
    for name, data in seeds.items():
        with open(os.path.join(HERE, name + ".lzma"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
