#!/usr/bin/python3
"""Generate setup.ico: a blue disc with a white downward arrow.

Stdlib only and fully deterministic (coverage is counted on an integer
supersampling grid, all colour maths is integer), so the committed
setup.ico must be byte-identical to what this script writes.

    make_icon.py            rewrite setup.ico next to this script
    make_icon.py -o FILE    write FILE instead
    make_icon.py --check    exit 1 if setup.ico differs from the output

Image order matters: windres numbers the RT_ICON images 1..9 in file order,
and the build expects 48/32/16 at 4 bpp, then at 8 bpp, then at 32 bpp.
"""

import argparse
import os
import struct
import sys

SIZES = (48, 32, 16)
DEPTHS = (4, 8, 32)
SUPERSAMPLE = 8  # samples per pixel edge

# Layers, in paint priority order (later wins where shapes overlap).
BG, FILL, RING, ARROW = 0, 1, 2, 3
RGB = {
    FILL: (0x33, 0x66, 0xCC),
    RING: (0x00, 0x33, 0x99),
    ARROW: (0xFF, 0xFF, 0xFF),
}

# Standard 16-colour VGA palette, RGB.
VGA = (
    (0x00, 0x00, 0x00), (0x80, 0x00, 0x00), (0x00, 0x80, 0x00), (0x80, 0x80, 0x00),
    (0x00, 0x00, 0x80), (0x80, 0x00, 0x80), (0x00, 0x80, 0x80), (0xC0, 0xC0, 0xC0),
    (0x80, 0x80, 0x80), (0xFF, 0x00, 0x00), (0x00, 0xFF, 0x00), (0xFF, 0xFF, 0x00),
    (0x00, 0x00, 0xFF), (0xFF, 0x00, 0xFF), (0x00, 0xFF, 0xFF), (0xFF, 0xFF, 0xFF),
)
# Nearest-colour matching would turn the blue into teal at 16 colours, so
# each layer gets a hand-picked VGA entry instead.
VGA_INDEX = {FILL: 12, RING: 4, ARROW: 15}


def mix(a, b, num, den):
    """a + (b - a) * num / den per channel, rounded."""
    return tuple((2 * (x * (den - num) + y * num) + den) // (2 * den)
                 for x, y in zip(a, b))


def palette_256():
    """VGA 16, the 6x6x6 colour cube, then 24 steps of the icon's own edge
    blends (fill to white, ring to fill) so anti-aliased edges keep their
    hue instead of snapping to a purplish cube entry."""
    cube = [(r * 51, g * 51, b * 51)
            for r in range(6) for g in range(6) for b in range(6)]
    ramp = [mix(RGB[FILL], RGB[ARROW], k, 17) for k in range(1, 17)]
    ramp += [mix(RGB[RING], RGB[FILL], k, 9) for k in range(1, 9)]
    pal = list(VGA) + cube + ramp
    assert len(pal) == 256
    return pal


def layer_at(x, y, size):
    """Topmost layer at point (x, y) in pixel units on a size x size canvas."""
    c = size / 2.0
    radius = size * 0.47
    ring = max(1.0, size / 24.0)
    dx, dy = x - c, y - c
    d2 = dx * dx + dy * dy
    if d2 > radius * radius:
        return BG
    u, v = x / size, y / size  # unit coordinates for the arrow
    shaft = abs(u - 0.5) <= 0.1 and 0.2 <= v <= 0.52
    head = 0.46 <= v <= 0.8 and abs(u - 0.5) <= 0.26 * (0.8 - v) / 0.34
    if shaft or head:
        return ARROW
    if d2 > (radius - ring) ** 2:
        return RING
    return FILL


def coverage(size):
    """Per pixel, a list of sample counts per layer, rows top to bottom."""
    s = SUPERSAMPLE
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            counts = [0, 0, 0, 0]
            for j in range(s):
                y = py + (2 * j + 1) / (2.0 * s)
                for i in range(s):
                    counts[layer_at(px + (2 * i + 1) / (2.0 * s), y, size)] += 1
            row.append(counts)
        rows.append(row)
    return rows


def blend(counts):
    """Mean colour of the painted samples (ignoring background), rounded."""
    painted = sum(counts[1:])
    if painted == 0:
        return (0, 0, 0)
    return tuple(
        (sum(counts[k] * RGB[k][ch] for k in (FILL, RING, ARROW)) * 2 + painted)
        // (2 * painted)
        for ch in range(3))


def nearest(pal, rgb):
    best, best_d = 0, None
    for i, p in enumerate(pal):
        d = sum((a - b) * (a - b) for a, b in zip(p, rgb))
        if best_d is None or d < best_d:
            best, best_d = i, d
    return best


def row_bytes(width, bpp):
    return (width * bpp + 31) // 32 * 4


def dib(size, bpp, cov):
    """One icon image: BITMAPINFOHEADER, palette, XOR bitmap, AND mask."""
    total = SUPERSAMPLE * SUPERSAMPLE
    pal = VGA if bpp == 4 else palette_256() if bpp == 8 else ()
    cache = {}
    xor_rows, and_rows = [], []
    for row in cov:
        pixels, mask_bits = [], []
        for counts in row:
            bg = counts[BG]
            if bpp == 32:
                alpha = ((total - bg) * 255 * 2 + total) // (2 * total)
                r, g, b = blend(counts) if alpha else (0, 0, 0)
                pixels.append(bytes((b, g, r, alpha)))
                mask_bits.append(1 if alpha == 0 else 0)
                continue
            if 2 * bg >= total:  # mostly background: transparent
                pixels.append(0)
                mask_bits.append(1)
                continue
            if bpp == 4:
                top = max((FILL, RING, ARROW), key=lambda k: (counts[k], k))
                pixels.append(VGA_INDEX[top])
            else:
                rgb = blend(counts)
                if rgb not in cache:
                    cache[rgb] = nearest(pal, rgb)
                pixels.append(cache[rgb])
            mask_bits.append(0)
        if bpp == 32:
            xor = b"".join(pixels)
        elif bpp == 8:
            xor = bytes(pixels)
        else:
            xor = bytes((pixels[i] << 4) | pixels[i + 1]
                        for i in range(0, len(pixels), 2))
        xor_rows.append(xor.ljust(row_bytes(size, bpp), b"\0"))
        mask = bytearray(row_bytes(size, 1))
        for i, bit in enumerate(mask_bits):
            if bit:
                mask[i // 8] |= 0x80 >> (i % 8)
        and_rows.append(bytes(mask))
    # DIB rows are stored bottom-up.
    xor_data = b"".join(reversed(xor_rows))
    and_data = b"".join(reversed(and_rows))
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bpp, 0,
                         len(xor_data) + len(and_data), 0, 0, 0, 0)
    palette = b"".join(bytes((b, g, r, 0)) for r, g, b in pal)
    return header + palette + xor_data + and_data


def build_ico():
    cov = {size: coverage(size) for size in SIZES}
    images = [(size, bpp, dib(size, bpp, cov[size]))
              for bpp in DEPTHS for size in SIZES]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, bpp, data in images:
        out += struct.pack("<BBBBHHII", size, size, 16 if bpp == 4 else 0, 0,
                           1, bpp, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, _, data in images)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("-o", "--output", default=os.path.join(here, "setup.ico"))
    ap.add_argument("--check", action="store_true",
                    help="compare with the existing file instead of writing")
    args = ap.parse_args()
    data = build_ico()
    if args.check:
        try:
            with open(args.output, "rb") as f:
                same = f.read() == data
        except OSError as e:
            print(f"make_icon: cannot read {args.output}: {e}", file=sys.stderr)
            return 1
        if not same:
            print(f"make_icon: {args.output} is stale; rerun make_icon.py",
                  file=sys.stderr)
            return 1
        print(f"make_icon: {args.output} is up to date")
        return 0
    with open(args.output, "wb") as f:
        f.write(data)
    print(f"make_icon: wrote {args.output} ({len(data)} bytes)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
