#!/usr/bin/env python3
"""Writes the icon fuzzer's seed PNGs: every colour type and bit depth the
format allows, plain and Adam7-interlaced, with every filter type, a palette
with and without transparency, transparency keys and a few ancillary chunks.
Independent of the program's decoder. Run by hand:
    tests/fuzz/PngSeeds.py tests/fuzz/corpus/IconFuzzer
"""
import os
import struct
import sys
import zlib

DEPTHS = {0: (1, 2, 4, 8, 16), 2: (8, 16), 3: (1, 2, 4, 8), 4: (8, 16), 6: (8, 16)}
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}
ADAM7 = ((0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2))


def chunk(kind, data):
    body = kind + data
    return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)


def sample(x, y, c, depth):
    return (x * 37 + y * 101 + c * 53 + x * y) % (1 << depth)


def pack_row(values, depth):
    if depth == 16:
        return b"".join(struct.pack(">H", v) for v in values)
    if depth == 8:
        return bytes(values)
    out = bytearray()
    per_byte = 8 // depth
    for i in range(0, len(values), per_byte):
        byte = 0
        for j in range(per_byte):
            v = values[i + j] if i + j < len(values) else 0
            byte |= v << (8 - depth * (j + 1))
        out.append(byte)
    return bytes(out)


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def filter_rows(rows, bpp, first_filter):
    out = bytearray()
    previous = bytes(len(rows[0])) if rows else b""
    for index, row in enumerate(rows):
        kind = (first_filter + index) % 5
        out.append(kind)
        for i, x in enumerate(row):
            a = row[i - bpp] if i >= bpp else 0
            b = previous[i]
            c = previous[i - bpp] if i >= bpp else 0
            predictor = (0, a, b, (a + b) // 2, paeth(a, b, c))[kind]
            out.append((x - predictor) & 0xFF)
        previous = row
    return bytes(out)


def image_data(width, height, colour, depth, interlace, first_filter):
    channels = CHANNELS[colour]
    bpp = max(1, channels * depth // 8)
    passes = ADAM7 if interlace else ((0, 0, 1, 1),)
    out = bytearray()
    for x0, y0, dx, dy in passes:
        xs = list(range(x0, width, dx))
        ys = list(range(y0, height, dy))
        if not xs or not ys:
            continue
        rows = []
        for y in ys:
            values = [sample(x, y, c, depth) for x in xs for c in range(channels)]
            rows.append(pack_row(values, depth))
        out += filter_rows(rows, bpp, first_filter)
    return bytes(out)


def png(width, height, colour, depth, interlace, first_filter, extra=()):
    data = b"\x89PNG\r\n\x1a\n"
    data += chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, interlace))
    for kind, body in extra:
        data += chunk(kind, body)
    raw = zlib.compress(image_data(width, height, colour, depth, interlace, first_filter), 9)
    # Two IDAT chunks: the stream continues across chunk boundaries.
    half = len(raw) // 2
    data += chunk(b"IDAT", raw[:half]) + chunk(b"IDAT", raw[half:])
    data += chunk(b"IEND", b"")
    return data


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    width, height = 9, 7
    for colour, depths in DEPTHS.items():
        for depth in depths:
            for interlace in (0, 1):
                extra = [(b"gAMA", struct.pack(">I", 45455))]
                if colour == 3:
                    entries = 1 << depth
                    palette = bytes((i * 40 + k * 90) % 256 for i in range(entries) for k in range(3))
                    extra.append((b"PLTE", palette))
                    if interlace:
                        extra.append((b"tRNS", bytes((i * 70) % 256 for i in range(min(entries, 5)))))
                elif colour in (0, 2) and interlace:
                    key = struct.pack(">H", sample(0, 0, 0, depth)) * CHANNELS[colour]
                    extra.append((b"tRNS", key))
                name = "c%d-d%d-%s.png" % (colour, depth, "adam7" if interlace else "plain")
                with open(os.path.join(out, name), "wb") as f:
                    f.write(png(width, height, colour, depth, interlace, (colour + depth) % 5, extra))
    with open(os.path.join(out, "one-pixel.png"), "wb") as f:
        f.write(png(1, 1, 6, 8, 1, 0))
    with open(os.path.join(out, "stored-blocks.png"), "wb") as f:
        raw = image_data(4, 2, 2, 8, 0, 0)
        stream = b"\x78\x01" + b"\x01" + struct.pack("<HH", len(raw), len(raw) ^ 0xFFFF) + raw
        stream += struct.pack(">I", zlib.adler32(raw))
        data = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 4, 2, 8, 2, 0, 0, 0))
        data += chunk(b"IDAT", stream) + chunk(b"IEND", b"")
        f.write(data)


if __name__ == "__main__":
    main()
